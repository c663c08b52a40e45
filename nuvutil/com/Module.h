#pragma once
// The COM server module this code is linked into: its object/lock count behind DllCanUnloadNow,
// its handle and path. Each DLL links its own copy of this library, so the count is per DLL.
// Not to be confused with CModule (a DLL loaded for one object's lifetime) or CNuvModule.

#include <windows.h>
#include <oaidl.h>

#include <string>

namespace NuvCom {

class CModule {
public:
    static void Lock() noexcept;
    static void Unlock() noexcept;
    static LONG LockCount() noexcept;

    // S_OK when no object and no IClassFactory::LockServer lock is alive, else S_FALSE.
    static HRESULT CanUnloadNow() noexcept;

    // The DLL (or program) that contains this code, found from an address inside it,
    // so no DllMain has to record it.
    static HMODULE Handle() noexcept;
    // Full path of Handle(); throws std::bad_alloc or CHResultError.
    static std::wstring Path();

    // The type library embedded in the module as resource 1. Loaded without registering it.
    static HRESULT LoadTypeLibrary(ITypeLib** typeLibrary) noexcept;
};

// Holds one module lock for its lifetime: a member of every live object.
class CModuleLock {
public:
    CModuleLock() noexcept { CModule::Lock(); }
    ~CModuleLock() { CModule::Unlock(); }
    CModuleLock(const CModuleLock&) = delete;
    CModuleLock& operator=(const CModuleLock&) = delete;
};

}  // namespace NuvCom
