#pragma once
// Widens the access rights of the plug-in's data folder: merges a grant (and a denial) for one
// well-known group into the folder's DACL and writes the result to the folder and its files.
// The configuration service asks for it through its folder-permissions notification.

#include "plugin/core/SecurityApiLoader.h"

#include <windows.h>

class CQvPermissionsHelper {
public:
    // `resolver` binds the security-function table and the file-security calls (tests make a
    // function "missing", or keep what is written: Wine stores no file DACLs, it maps them to
    // Unix mode bits).
    explicit CQvPermissionsHelper(CSecurityApiLoader::ProcAddressResolver resolver = nullptr);
    virtual ~CQvPermissionsHelper();
    CQvPermissionsHelper(const CQvPermissionsHelper&) = delete;
    CQvPermissionsHelper& operator=(const CQvPermissionsHelper&) = delete;

    // Grants `grantRights` to and denies `denyRights` to the SID made of the authority and the
    // first `subAuthorityCount` (at most 8) sub-authorities, inherited by subfolders and files.
    // Rights the folder's explicit entries already grant (or deny) that way are not written again;
    // when nothing is left, nothing is written. With `thisFolderOnly` only the folder gets the
    // new descriptor; otherwise also each file in it, and each subfolder (not beginning with '.')
    // when `recursive`, else a subfolder makes the result 3 while the walk goes on.
    // Returns a Win32 error code: 87 for an empty folder, 2 when a security function is missing.
    DWORD SetPermission(const wchar_t* folder, SID_IDENTIFIER_AUTHORITY authority, BYTE subAuthorityCount,
                        const DWORD* subAuthorities, DWORD grantRights, DWORD denyRights, bool thisFolderOnly,
                        bool recursive);

private:
    // The merged DACL in *newDacl (LocalFree), or null with 0 when the old one already says it all.
    DWORD BuildDacl(PACL oldDacl, SID_IDENTIFIER_AUTHORITY authority, BYTE subAuthorityCount,
                    const DWORD* subAuthorities, DWORD grantRights, DWORD denyRights, PACL* newDacl);
    DWORD ApplyToPath(const wchar_t* path, PSECURITY_DESCRIPTOR descriptor, bool thisFolderOnly, bool recursive);
    // `pattern` is "<folder>\*.*".
    DWORD ApplyToFolderEntries(const wchar_t* pattern, PSECURITY_DESCRIPTOR descriptor, bool recursive);
    CSecurityApiLoader m_api;
};

// Name of the event another process of the suite waits for after a folder-permissions request.
constexpr const char kFolderPermissionsEventName[] = "Global\\{38336B31-F18A-4E7D-BA20-BE91A3E28A03}";

// Grants BUILTIN\Users GENERIC_WRITE on "<common application data>\Oberix\NUV" and its files.
// Failures are logged.
void setFoldersPermission();

// Creates the folder-permissions event (Everyone: all access), sets it and closes it. Failures
// are not reported.
void SignalFolderPermissionsEvent();
