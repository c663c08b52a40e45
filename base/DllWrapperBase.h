#pragma once
// Owner of one DLL bound at run time from an absolute path. A derived wrapper binds its exports
// after Load; the DLL's optional "DllAddRef"/"DllRelease" pair brackets the time it is held.

#include "base/UniqueHandle.h"

#include <windows.h>

namespace Tessal {

class CDllWrapperBase {
public:
    CDllWrapperBase() noexcept = default;
    // Calls "DllRelease" when the DLL has it, then frees the DLL.
    ~CDllWrapperBase();
    CDllWrapperBase(const CDllWrapperBase&) = delete;
    CDllWrapperBase& operator=(const CDllWrapperBase&) = delete;

    // 0 on success or when a DLL is already loaded (the path is then ignored); the pre-load
    // check's non-zero result; else the Win32 error of the load. Only absolute paths are loaded
    // (SafeLoadLibrary).
    DWORD Load(LPCWSTR path);

    HMODULE GetModule() const noexcept { return m_module.Get(); }

protected:
    // Runs before every Load; a non-zero result is returned as Load's error.
    virtual DWORD PreLoadCheck() { return ERROR_SUCCESS; }

    // The export, or null with the thread's last error set by the look-up.
    FARPROC GetExport(const char* name) const noexcept;

private:
    UniqueHModule m_module;
};

}  // namespace Tessal
