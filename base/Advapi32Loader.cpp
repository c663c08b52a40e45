#include "base/Advapi32Loader.h"

#include "base/LibraryLoading.h"

#include <type_traits>
#include <utility>

namespace Tessal {
namespace internal {

namespace {

bool AskIsNT(OSInfoProxy<WinOSVersionAPI>* osInfo) {
    if (osInfo != nullptr) return osInfo->IsNT();
    OSInfoProxy<WinOSVersionAPI> proxy;
    return proxy.IsNT();
}

}  // namespace

CAdvapi32Loader::CAdvapi32Loader(ProcAddressResolver resolver, OSInfoProxy<WinOSVersionAPI>* osInfo)
    : m_resolve(resolver ? std::move(resolver)
                         : ProcAddressResolver([](HMODULE module, LPCSTR name) { return ::GetProcAddress(module, name); })),
      m_isNT(AskIsNT(osInfo)) {}

bool CAdvapi32Loader::Load() {
    CAutoLock lock(m_lock);
    if (!m_module) {
        m_module.Reset(LoadSystemLibrary(L"advapi32.dll"));
        if (!m_module) return false;
        m_fn.Bind(m_module.Get(), m_resolve);
    }
    return m_fn.AllBound();
}

void SecurityFunctionTable::Bind(HMODULE module, const std::function<FARPROC(HMODULE, LPCSTR)>& resolve) {
    auto bind = [&](auto& slot, LPCSTR name) {
        const FARPROC address = resolve ? resolve(module, name) : ::GetProcAddress(module, name);
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(reinterpret_cast<void*>(address));
    };
    bind(setEntriesInAclW, "SetEntriesInAclW");
    bind(getFileSecurityW, "GetFileSecurityW");
    bind(setFileSecurityW, "SetFileSecurityW");
    bind(lookupAccountSidW, "LookupAccountSidW");
    bind(getExplicitEntriesFromAclW, "GetExplicitEntriesFromAclW");
    bind(regGetKeySecurity, "RegGetKeySecurity");
    bind(regSetKeySecurity, "RegSetKeySecurity");
    bind(initializeSecurityDescriptor, "InitializeSecurityDescriptor");
    bind(setSecurityDescriptorDacl, "SetSecurityDescriptorDacl");
    bind(getSecurityDescriptorDacl, "GetSecurityDescriptorDacl");
    bind(allocateAndInitializeSid, "AllocateAndInitializeSid");
    bind(freeSid, "FreeSid");
    bind(openThreadToken, "OpenThreadToken");
    bind(getTokenInformation, "GetTokenInformation");
    bind(initializeAcl, "InitializeAcl");
    bind(initializeSid, "InitializeSid");
    bind(getSidSubAuthority, "GetSidSubAuthority");
    bind(addAccessAllowedAce, "AddAccessAllowedAce");
    bind(getSecurityInfo, "GetSecurityInfo");
    bind(setSecurityInfo, "SetSecurityInfo");
    bind(queryServiceStatusEx, "QueryServiceStatusEx");
    bind(getAce, "GetAce");
    bind(deleteAce, "DeleteAce");
    bind(equalSid, "EqualSid");
    bind(getAclInformation, "GetAclInformation");
    bind(setSecurityDescriptorControl, "SetSecurityDescriptorControl");
}

bool SecurityFunctionTable::AllBound() const noexcept {
    const SecurityFunctionTable& f = *this;
    return f.setEntriesInAclW && f.getFileSecurityW && f.setFileSecurityW && f.lookupAccountSidW &&
           f.getExplicitEntriesFromAclW && f.regGetKeySecurity && f.regSetKeySecurity &&
           f.initializeSecurityDescriptor && f.setSecurityDescriptorDacl && f.getSecurityDescriptorDacl &&
           f.allocateAndInitializeSid && f.freeSid && f.openThreadToken && f.getTokenInformation &&
           f.initializeAcl && f.initializeSid && f.getSidSubAuthority && f.addAccessAllowedAce &&
           f.getSecurityInfo && f.setSecurityInfo && f.queryServiceStatusEx && f.getAce && f.deleteAce &&
           f.equalSid && f.getAclInformation && f.setSecurityDescriptorControl;
}

BOOL CAdvapi32Loader::AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE subAuthorityCount,
                                               DWORD subAuthority0, DWORD subAuthority1, DWORD subAuthority2,
                                               DWORD subAuthority3, DWORD subAuthority4, DWORD subAuthority5,
                                               DWORD subAuthority6, DWORD subAuthority7, PSID* sid) {
    if (m_fn.allocateAndInitializeSid == nullptr || !m_isNT) return FALSE;
    return m_fn.allocateAndInitializeSid(authority, subAuthorityCount, subAuthority0, subAuthority1, subAuthority2,
                                         subAuthority3, subAuthority4, subAuthority5, subAuthority6, subAuthority7,
                                         sid);
}

BOOL CAdvapi32Loader::InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision) {
    if (m_fn.initializeSecurityDescriptor == nullptr || !m_isNT) return FALSE;
    return m_fn.initializeSecurityDescriptor(descriptor, revision);
}

BOOL CAdvapi32Loader::SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL daclPresent, PACL dacl,
                                                BOOL daclDefaulted) {
    if (m_fn.setSecurityDescriptorDacl == nullptr || !m_isNT) return FALSE;
    return m_fn.setSecurityDescriptorDacl(descriptor, daclPresent, dacl, daclDefaulted);
}

BOOL CAdvapi32Loader::GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, LPBOOL daclPresent, PACL* dacl,
                                                LPBOOL daclDefaulted) {
    if (m_fn.getSecurityDescriptorDacl == nullptr || !m_isNT) return FALSE;
    return m_fn.getSecurityDescriptorDacl(descriptor, daclPresent, dacl, daclDefaulted);
}

LONG CAdvapi32Loader::RegGetKeySecurity(HKEY key, SECURITY_INFORMATION information,
                                        PSECURITY_DESCRIPTOR descriptor, LPDWORD size) {
    if (m_fn.regGetKeySecurity == nullptr || !m_isNT) return ERROR_INVALID_FUNCTION;
    return m_fn.regGetKeySecurity(key, information, descriptor, size);
}

DWORD CAdvapi32Loader::SetEntriesInAclW(ULONG count, PEXPLICIT_ACCESS_W entries, PACL oldAcl, PACL* newAcl) {
    if (m_fn.setEntriesInAclW == nullptr || !m_isNT) return ERROR_INVALID_FUNCTION;
    return m_fn.setEntriesInAclW(count, entries, oldAcl, newAcl);
}

}  // namespace internal
}  // namespace Tessal
