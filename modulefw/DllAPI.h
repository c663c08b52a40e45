#pragma once
// Replaceable wrapper of the library functions under DllLoader.

#include <windows.h>

namespace Korin {

class DllAPI {
public:
    virtual ~DllAPI();

    // LoadLibraryExW(path, no file, flags 0); *out receives the result. False (logged with the
    // system's error) when nothing was loaded.
    virtual bool loadLibrary(const wchar_t* path, HMODULE* out);
    virtual FARPROC getProcAddress(HMODULE module, const char* name);
    virtual bool freeLibrary(HMODULE module);
    virtual bool getModuleHandleEx(DWORD flags, const wchar_t* name, HMODULE* out);
};

}  // namespace Korin
