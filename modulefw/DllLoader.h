#pragma once
// Loads a library by full path (taking another reference on a module that is already loaded),
// looks up its entry points and frees it, logging every failure.

#include "modulefw/DllAPI.h"

#include <memory>
#include <string>

namespace Korin {

class DllLoader {
public:
    // An empty pointer gets the default wrapper.
    explicit DllLoader(std::shared_ptr<DllAPI> dllApi = nullptr);
    virtual ~DllLoader();

    // True with *handle set; every success takes one reference that freeDLL gives back.
    virtual bool loadDLL(const std::wstring& path, HMODULE* handle);
    // Null when the module lacks the entry point.
    virtual FARPROC getProcAddress(HMODULE handle, const char* name);
    virtual bool freeDLL(HMODULE handle);

private:
    std::shared_ptr<DllAPI> m_dllApi;
};

}  // namespace Korin
