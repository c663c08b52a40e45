#include "plugin/core/QvPermissionsHelper.h"

#include "base/UniqueHandle.h"
#include "logging/Logging.h"

#include <aclapi.h>
#include <shlobj.h>

#include <cwchar>
#include <utility>

namespace {

constexpr std::size_t kFolderChars = MAX_PATH;   // the data folder's buffer
constexpr std::size_t kPathChars = 2 * MAX_PATH;  // paths built during the walk
constexpr DWORD kInheritToAll = SUB_CONTAINERS_AND_OBJECTS_INHERIT;

// Everything that touches the file system's security goes through the table; FreeSid and
// GetSecurityDescriptorControl work on memory only and are called directly.
using Tessal::UniqueSid;

// A security call that reported failure by FALSE: never answer 0 for it, even if the call (or a
// refusal of the table) left no last error.
DWORD LastErrorOfFailedCall() noexcept {
    const DWORD error = ::GetLastError();
    return error != ERROR_SUCCESS ? error : ERROR_INVALID_FUNCTION;
}

// "<folder>\<name>" into `out`; false when it does not fit.
bool JoinPath(wchar_t (&out)[kPathChars], const wchar_t* folder, std::size_t folderLength, const wchar_t* name) {
    const std::size_t nameLength = std::wcslen(name);
    if (folderLength + 1 + nameLength >= kPathChars) return false;
    std::wmemcpy(out, folder, folderLength);
    out[folderLength] = L'\\';
    std::wmemcpy(out + folderLength + 1, name, nameLength + 1);
    return true;
}

}  // namespace

CQvPermissionsHelper::CQvPermissionsHelper(CSecurityApiLoader::ProcAddressResolver resolver)
    : m_api(std::move(resolver)) {}

CQvPermissionsHelper::~CQvPermissionsHelper() = default;

DWORD CQvPermissionsHelper::SetPermission(const wchar_t* folder, SID_IDENTIFIER_AUTHORITY authority,
                                          BYTE subAuthorityCount, const DWORD* subAuthorities, DWORD grantRights,
                                          DWORD denyRights, bool thisFolderOnly, bool recursive) {
    if (folder == nullptr || *folder == L'\0') return ERROR_INVALID_PARAMETER;
    if (m_api.Load() == 0) return ERROR_FILE_NOT_FOUND;
    const Tessal::internal::SecurityFunctionTable& fn = m_api.Functions();
    if (subAuthorityCount > 8 || (subAuthorityCount != 0 && subAuthorities == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }

    DWORD needed = 0;
    if (!fn.getFileSecurityW(folder, DACL_SECURITY_INFORMATION, nullptr, 0, &needed)) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER) return error;
    }
    if (needed == 0) return ERROR_BAD_LENGTH;

    const Tessal::UniqueLocalMem oldDescriptor(::LocalAlloc(LPTR, needed));
    if (!oldDescriptor) return ERROR_NOT_ENOUGH_MEMORY;
    if (!fn.initializeSecurityDescriptor(oldDescriptor.Get(), SECURITY_DESCRIPTOR_REVISION) ||
        !fn.getFileSecurityW(folder, DACL_SECURITY_INFORMATION, oldDescriptor.Get(), needed, &needed)) {
        return LastErrorOfFailedCall();
    }
    BOOL daclPresent = FALSE;
    BOOL daclDefaulted = FALSE;
    PACL oldDacl = nullptr;
    if (!fn.getSecurityDescriptorDacl(oldDescriptor.Get(), &daclPresent, &oldDacl, &daclDefaulted)) {
        return LastErrorOfFailedCall();
    }

    PACL newDacl = nullptr;
    const DWORD result = BuildDacl(daclPresent ? oldDacl : nullptr, authority, subAuthorityCount, subAuthorities,
                                   grantRights, denyRights, &newDacl);
    const Tessal::UniqueLocalMem newDaclOwner(newDacl);
    if (result != ERROR_SUCCESS || newDacl == nullptr) return result;

    SECURITY_DESCRIPTOR descriptor;  // SECURITY_DESCRIPTOR_MIN_LENGTH bytes, absolute
    if (!fn.initializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !fn.setSecurityDescriptorDacl(&descriptor, TRUE, newDacl, FALSE)) {
        return LastErrorOfFailedCall();
    }

    // Keep the folder's place in inheritance: auto-inherited stays so, a protected DACL stays
    // protected. A failure here leaves the plain descriptor, which still carries the grant.
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (::GetSecurityDescriptorControl(oldDescriptor.Get(), &control, &revision)) {
        if ((control & SE_DACL_AUTO_INHERITED) != 0) {
            const SECURITY_DESCRIPTOR_CONTROL bits = SE_DACL_AUTO_INHERIT_REQ | SE_DACL_AUTO_INHERITED;
            fn.setSecurityDescriptorControl(&descriptor, bits, bits);
        } else if ((control & SE_DACL_PROTECTED) != 0) {
            fn.setSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
        }
    }

    return ApplyToPath(folder, &descriptor, thisFolderOnly, recursive);
}

DWORD CQvPermissionsHelper::BuildDacl(PACL oldDacl, SID_IDENTIFIER_AUTHORITY authority, BYTE subAuthorityCount,
                                      const DWORD* subAuthorities, DWORD grantRights, DWORD denyRights,
                                      PACL* newDacl) {
    *newDacl = nullptr;
    const Tessal::internal::SecurityFunctionTable& fn = m_api.Functions();
    DWORD sub[8] = {};
    for (BYTE i = 0; i < subAuthorityCount; ++i) sub[i] = subAuthorities[i];
    UniqueSid trustee;
    if (!fn.allocateAndInitializeSid(&authority, subAuthorityCount, sub[0], sub[1], sub[2], sub[3], sub[4],
                                        sub[5], sub[6], sub[7], trustee.Put())) {
        return LastErrorOfFailedCall();
    }

    if (oldDacl != nullptr) {
        ULONG count = 0;
        PEXPLICIT_ACCESS_W entries = nullptr;
        // Without the list the entries are simply not examined: the merge below still works.
        if (fn.getExplicitEntriesFromAclW(oldDacl, &count, &entries) == ERROR_SUCCESS) {
            const Tessal::UniqueLocalMem entriesOwner(entries);
            DWORD granted = 0;
            DWORD denied = 0;
            for (ULONG i = 0; i < count; ++i) {
                const EXPLICIT_ACCESS_W& entry = entries[i];
                if (entry.Trustee.TrusteeForm != TRUSTEE_IS_SID || entry.grfInheritance != kInheritToAll ||
                    !fn.equalSid(reinterpret_cast<PSID>(entry.Trustee.ptstrName), trustee.Get())) {
                    continue;
                }
                if (entry.grfAccessMode == GRANT_ACCESS) granted |= entry.grfAccessPermissions;
                if (entry.grfAccessMode == DENY_ACCESS) denied |= entry.grfAccessPermissions;
            }
            if ((grantRights & granted) == grantRights) grantRights = 0;
            if ((denyRights & denied) == denyRights) denyRights = 0;
        }
    }
    if (grantRights == 0 && denyRights == 0) return ERROR_SUCCESS;

    EXPLICIT_ACCESS_W access[2] = {};
    ULONG count = 0;
    auto add = [&](DWORD rights, ACCESS_MODE mode) {
        if (rights == 0) return;
        EXPLICIT_ACCESS_W& entry = access[count++];
        entry.grfAccessPermissions = rights;
        entry.grfAccessMode = mode;
        entry.grfInheritance = kInheritToAll;
        entry.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
        entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
        entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
        entry.Trustee.ptstrName = static_cast<LPWSTR>(trustee.Get());
    };
    add(grantRights, GRANT_ACCESS);
    add(denyRights, DENY_ACCESS);
    return fn.setEntriesInAclW(count, access, oldDacl, newDacl);
}

DWORD CQvPermissionsHelper::ApplyToPath(const wchar_t* path, PSECURITY_DESCRIPTOR descriptor, bool thisFolderOnly,
                                        bool recursive) {
    if (!m_api.Functions().setFileSecurityW(path, DACL_SECURITY_INFORMATION, descriptor)) {
        return LastErrorOfFailedCall();
    }
    if (thisFolderOnly) return ERROR_SUCCESS;
    wchar_t pattern[kPathChars];
    if (!JoinPath(pattern, path, std::wcslen(path), L"*.*")) return ERROR_FILENAME_EXCED_RANGE;
    return ApplyToFolderEntries(pattern, descriptor, recursive);
}

DWORD CQvPermissionsHelper::ApplyToFolderEntries(const wchar_t* pattern, PSECURITY_DESCRIPTOR descriptor,
                                                 bool recursive) {
    const wchar_t* const lastSeparator = std::wcsrchr(pattern, L'\\');
    if (lastSeparator == nullptr) return ERROR_INVALID_PARAMETER;
    const std::size_t folderLength = static_cast<std::size_t>(lastSeparator - pattern);

    WIN32_FIND_DATAW found;
    const Tessal::UniqueFindHandle find(::FindFirstFileW(pattern, &found));
    if (!find) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES ? ERROR_SUCCESS : error;
    }
    DWORD result = ERROR_SUCCESS;
    do {
        const bool isFolder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (isFolder && found.cFileName[0] == L'.') continue;
        wchar_t path[kPathChars];
        if (!JoinPath(path, pattern, folderLength, found.cFileName)) return ERROR_FILENAME_EXCED_RANGE;
        if (!isFolder) {
            if (!m_api.Functions().setFileSecurityW(path, DACL_SECURITY_INFORMATION, descriptor)) {
                return LastErrorOfFailedCall();
            }
        } else if (recursive) {
            const DWORD entered = ApplyToPath(path, descriptor, false, true);
            if (entered != ERROR_SUCCESS) return entered;
        } else {
            result = ERROR_PATH_NOT_FOUND;  // reported, though the walk goes on
        }
    } while (::FindNextFileW(find.Get(), &found));
    return result;
}

void setFoldersPermission() {
    wchar_t folder[kFolderChars] = {};
    if (!::SHGetSpecialFolderPathW(nullptr, folder, CSIDL_COMMON_APPDATA, FALSE) &&
        !::SHGetSpecialFolderPathW(nullptr, folder, CSIDL_APPDATA, FALSE)) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to set folder permissions\r\n");
        return;
    }
    if (wcscat_s(folder, L"\\Oberix\\NUV") != 0) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to set folder permissions\r\n");
        return;
    }
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    const DWORD users[] = {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS};
    CQvPermissionsHelper helper;
    const DWORD result = helper.SetPermission(folder, ntAuthority, 2, users, GENERIC_WRITE, 0, false, false);
    if (result != ERROR_SUCCESS) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Set permission on folder: %s failed, error code: %d\r\n", folder,
                static_cast<int>(result));
    }
}

void SignalFolderPermissionsEvent() {
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    UniqueSid everyone;
    if (!::AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, everyone.Put())) return;
    alignas(DWORD) BYTE aclBuffer[64] = {};
    const DWORD aclSize = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + ::GetLengthSid(everyone.Get());
    if (aclSize > sizeof(aclBuffer)) return;
    const PACL acl = reinterpret_cast<PACL>(aclBuffer);
    SECURITY_DESCRIPTOR descriptor;
    if (!::InitializeAcl(acl, aclSize, ACL_REVISION) ||
        !::AddAccessAllowedAce(acl, ACL_REVISION, 0x1FFFFF, everyone.Get()) ||
        !::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !::SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE)) {
        return;
    }
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), &descriptor, FALSE};
    const Tessal::UniqueHandle event(::CreateEventA(&attributes, TRUE, FALSE, kFolderPermissionsEventName));
    if (event) ::SetEvent(event.Get());
}
