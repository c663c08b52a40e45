#pragma once
// Access-control functions of advapi32.dll bound at run time from the system folder, so callers
// need no load-time dependency and can tell whether the functions are there.

#include "base/OSInfo.h"
#include "base/Sync.h"
#include "base/UniqueHandle.h"

#include <windows.h>
#include <aclapi.h>
#include <winsvc.h>

#include <functional>

namespace Tessal {
namespace internal {

// The 26 access-control functions both security-function tables bind (this library's and the
// plug-in's own), null until bound. Bound in this order.
struct SecurityFunctionTable {
    decltype(&::SetEntriesInAclW) setEntriesInAclW = nullptr;
    decltype(&::GetFileSecurityW) getFileSecurityW = nullptr;
    decltype(&::SetFileSecurityW) setFileSecurityW = nullptr;
    decltype(&::LookupAccountSidW) lookupAccountSidW = nullptr;
    decltype(&::GetExplicitEntriesFromAclW) getExplicitEntriesFromAclW = nullptr;
    decltype(&::RegGetKeySecurity) regGetKeySecurity = nullptr;
    decltype(&::RegSetKeySecurity) regSetKeySecurity = nullptr;
    decltype(&::InitializeSecurityDescriptor) initializeSecurityDescriptor = nullptr;
    decltype(&::SetSecurityDescriptorDacl) setSecurityDescriptorDacl = nullptr;
    decltype(&::GetSecurityDescriptorDacl) getSecurityDescriptorDacl = nullptr;
    decltype(&::AllocateAndInitializeSid) allocateAndInitializeSid = nullptr;
    decltype(&::FreeSid) freeSid = nullptr;
    decltype(&::OpenThreadToken) openThreadToken = nullptr;
    decltype(&::GetTokenInformation) getTokenInformation = nullptr;
    decltype(&::InitializeAcl) initializeAcl = nullptr;
    decltype(&::InitializeSid) initializeSid = nullptr;
    decltype(&::GetSidSubAuthority) getSidSubAuthority = nullptr;
    decltype(&::AddAccessAllowedAce) addAccessAllowedAce = nullptr;
    decltype(&::GetSecurityInfo) getSecurityInfo = nullptr;
    decltype(&::SetSecurityInfo) setSecurityInfo = nullptr;
    decltype(&::QueryServiceStatusEx) queryServiceStatusEx = nullptr;
    decltype(&::GetAce) getAce = nullptr;
    decltype(&::DeleteAce) deleteAce = nullptr;
    decltype(&::EqualSid) equalSid = nullptr;
    decltype(&::GetAclInformation) getAclInformation = nullptr;
    decltype(&::SetSecurityDescriptorControl) setSecurityDescriptorControl = nullptr;

    // Looks up every function with `resolve` (GetProcAddress when empty), in the order above.
    void Bind(HMODULE module, const std::function<FARPROC(HMODULE, LPCSTR)>& resolve);
    bool AllBound() const noexcept;
};

class CAdvapi32Loader {
public:
    // GetProcAddress by default; tests replace it to make a function "missing".
    using ProcAddressResolver = std::function<FARPROC(HMODULE module, LPCSTR name)>;

    // The NT flag is asked once, here, from `osInfo` (a default proxy when null).
    explicit CAdvapi32Loader(ProcAddressResolver resolver = nullptr,
                             OSInfoProxy<WinOSVersionAPI>* osInfo = nullptr);
    ~CAdvapi32Loader() = default;
    CAdvapi32Loader(const CAdvapi32Loader&) = delete;
    CAdvapi32Loader& operator=(const CAdvapi32Loader&) = delete;

    // Loads advapi32.dll once and binds the functions; true only when all of them were found.
    // A later call only repeats that test.
    bool Load();
    bool IsUnloaded() const noexcept { return !m_module.IsValid(); }
    bool IsNT() const noexcept { return m_isNT; }

    // Each refuses (FALSE, or ERROR_INVALID_FUNCTION for the two returning error codes) when its
    // function is missing or the system is not of the NT family.
    BOOL AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE subAuthorityCount, DWORD subAuthority0,
                                  DWORD subAuthority1, DWORD subAuthority2, DWORD subAuthority3,
                                  DWORD subAuthority4, DWORD subAuthority5, DWORD subAuthority6,
                                  DWORD subAuthority7, PSID* sid);
    BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision);
    BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL daclPresent, PACL dacl, BOOL daclDefaulted);
    BOOL GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, LPBOOL daclPresent, PACL* dacl,
                                   LPBOOL daclDefaulted);
    LONG RegGetKeySecurity(HKEY key, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor,
                           LPDWORD size);
    DWORD SetEntriesInAclW(ULONG count, PEXPLICIT_ACCESS_W entries, PACL oldAcl, PACL* newAcl);

private:


    // Declared before the lock: the lock goes first at destruction, then the module.
    UniqueHModule m_module;
    CCriticalSection m_lock{4000};
    ProcAddressResolver m_resolve;
    bool m_isNT = false;
    SecurityFunctionTable m_fn;
};

}  // namespace internal
}  // namespace Tessal
