#include "nuvutil/com/Module.h"

#include "nuvutil/com/ComBoundary.h"
#include "nuvutil/com/HResultError.h"

#include <oleauto.h>

namespace NuvCom {

namespace {

LONG g_lockCount = 0;

}  // namespace

void CModule::Lock() noexcept { ::InterlockedIncrement(&g_lockCount); }

void CModule::Unlock() noexcept { ::InterlockedDecrement(&g_lockCount); }

LONG CModule::LockCount() noexcept { return ::InterlockedCompareExchange(&g_lockCount, 0, 0); }

HRESULT CModule::CanUnloadNow() noexcept { return LockCount() == 0 ? S_OK : S_FALSE; }

HMODULE CModule::Handle() noexcept {
    HMODULE module = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(&g_lockCount), &module);
    return module;
}

std::wstring CModule::Path() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(Handle(), &path[0], static_cast<DWORD>(path.size()));
        if (length == 0) {
            ThrowLastError("GetModuleFileNameW");
        }
        // A cut path comes back filling the whole buffer.
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

HRESULT CModule::LoadTypeLibrary(ITypeLib** typeLibrary) noexcept {
    if (typeLibrary == nullptr) {
        return E_POINTER;
    }
    *typeLibrary = nullptr;
    try {
        // REGKIND_NONE: plain LoadTypeLib may register the library as a side effect.
        return ::LoadTypeLibEx(Path().c_str(), REGKIND_NONE, typeLibrary);
    } catch (...) {
        return HResultFromCurrentException(L"CModule::LoadTypeLibrary");
    }
}

}  // namespace NuvCom
