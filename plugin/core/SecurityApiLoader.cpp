#include "plugin/core/SecurityApiLoader.h"

#include <cwchar>
#include <utility>

CSecurityApiLoader::CSecurityApiLoader(ProcAddressResolver resolver) : m_resolve(std::move(resolver)) {}

CSecurityApiLoader::~CSecurityApiLoader() {
    m_module.Reset();
    m_fn = {};
}

int CSecurityApiLoader::Load() {
    {
        Tessal::CAutoLock lock(m_lock);
        if (!m_module) {
            wchar_t path[MAX_PATH] = {};
            const UINT length = ::GetSystemDirectoryW(path, MAX_PATH);
            if (length == 0 || length >= MAX_PATH || wcscat_s(path, L"\\advapi32.dll") != 0) return 0;
            m_module.Reset(::LoadLibraryW(path));
            if (!m_module) return 0;
            m_fn.Bind(m_module.Get(), m_resolve);
        }
    }
    return m_fn.AllBound() ? 1 : 0;
}
