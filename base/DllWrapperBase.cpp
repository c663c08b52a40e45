#include "base/DllWrapperBase.h"

#include "base/LibraryLoading.h"

namespace Tessal {

namespace {
using DllRefFunction = ULONG(WINAPI*)();
}  // namespace

CDllWrapperBase::~CDllWrapperBase() {
    if (!m_module) return;
    if (const FARPROC release = ::GetProcAddress(m_module.Get(), "DllRelease")) {
        reinterpret_cast<DllRefFunction>(reinterpret_cast<void*>(release))();
    }
}

DWORD CDllWrapperBase::Load(LPCWSTR path) {
    const DWORD check = PreLoadCheck();
    if (check != ERROR_SUCCESS) return check;
    if (m_module) return ERROR_SUCCESS;

    m_module.Reset(SafeLoadLibrary(path));
    if (!m_module) {
        // A refused relative path sets no error; 0 here would read as success.
        const DWORD error = ::GetLastError();
        return error != ERROR_SUCCESS ? error : ERROR_MOD_NOT_FOUND;
    }

    // The DLL's own reference count is optional: looking it up must not leave 127 behind.
    const DWORD lastError = ::GetLastError();
    const FARPROC addRef = ::GetProcAddress(m_module.Get(), "DllAddRef");
    ::SetLastError(lastError);
    if (addRef != nullptr) reinterpret_cast<DllRefFunction>(reinterpret_cast<void*>(addRef))();
    return ERROR_SUCCESS;
}

FARPROC CDllWrapperBase::GetExport(const char* name) const noexcept {
    if (!m_module) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return ::GetProcAddress(m_module.Get(), name);
}

}  // namespace Tessal
