#pragma once
// The plug-in's own security-function table: the access-control functions of advapi32.dll bound
// at run time from the system folder. Its users call the bound functions directly.
//
// Not to be confused with Tessal::internal::CAdvapi32Loader, the base library's table, which
// loads through LoadSystemLibrary, knows the NT flag and offers guarded calls.

#include "base/Advapi32Loader.h"
#include "base/Sync.h"
#include "base/UniqueHandle.h"

#include <windows.h>

class CSecurityApiLoader {
public:
    // GetProcAddress by default; tests replace it to make a function "missing" or to watch a call.
    using ProcAddressResolver = Tessal::internal::CAdvapi32Loader::ProcAddressResolver;

    explicit CSecurityApiLoader(ProcAddressResolver resolver = nullptr);
    ~CSecurityApiLoader();
    CSecurityApiLoader(const CSecurityApiLoader&) = delete;
    CSecurityApiLoader& operator=(const CSecurityApiLoader&) = delete;

    // Loads "<system folder>\advapi32.dll" once and binds the functions: 1 when all of them were
    // found, else 0. A later call only repeats that test.
    int Load();

    // Null until loaded, or when missing.
    const Tessal::internal::SecurityFunctionTable& Functions() const noexcept { return m_fn; }

private:
    Tessal::UniqueHModule m_module;
    Tessal::CCriticalSection m_lock;
    ProcAddressResolver m_resolve;
    Tessal::internal::SecurityFunctionTable m_fn;
};
