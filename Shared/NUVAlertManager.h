#pragma once
// Toast alerts of the product, shown in a user's Windows session through the suite's alert
// component. Every text comes from the product's resource DLL; each kind of alert has a fixed
// alert id the component and its callbacks know it by. Nothing is reported to the caller: a
// missing resource DLL or alert component is logged and the alert is dropped. The calling thread
// must have COM initialised. One thread at a time per manager.

#include "alerts.h"

#include "base/UniqueHandle.h"

#include <windows.h>
#include <objbase.h>

#include <string>

// What _GetQvAlert asks of the system where tests need another answer: the account of the
// process, and the parse of the session moniker's display name (Wine parses no "Session:" name).
class CAlertBindSeam {
public:
    virtual ~CAlertBindSeam() = default;

    virtual bool IsLocalSystem();
    // MkParseDisplayNameEx.
    virtual HRESULT ParseDisplayName(IBindCtx* context, const wchar_t* displayName, ULONG* eaten,
                                     IMoniker** moniker);
};

class CNUVAlertManager {
public:
    // Reads "AlertTimeOut" (5000 ms without it) and the resource DLL's path; loads nothing yet.
    // A null seam stands for the system itself; a seam given must outlive the manager.
    explicit CNUVAlertManager(CAlertBindSeam* seam = nullptr);
    ~CNUVAlertManager();
    CNUVAlertManager(const CNUVAlertManager&) = delete;
    CNUVAlertManager& operator=(const CNUVAlertManager&) = delete;

    // Session id 0xFFFFFFFF (-1) stands for the console session, or, in a process that does not
    // run as the local system account, for the caller's own session.
    static constexpr DWORD kConsoleSession = 0xFFFFFFFF;

    // A connection of `imagePath` was blocked by a time restriction. The user may answer through
    // `callback`; when the component refuses that alert, a plain one without answer is shown.
    void ShowBlockedDueToTimeRestriction(const wchar_t* imagePath, IAlertCallback* callback, DWORD sessionId);
    // The user id is the caller's; the alert does not name the user.
    void ShowTimeRestrictionApplied(const wchar_t* userId, DWORD sessionId);
    void ShowTimeRestrictionApplied(DWORD sessionId) { ShowTimeRestrictionApplied(nullptr, sessionId); }
    void ShowTimeRestrictionUpcoming(DWORD minutes, DWORD sessionId);
    void ShowTimeZoneOutOfSync(DWORD sessionId);
    void ShowTimeZoneUpdated(DWORD sessionId);
    void ShowURLBlockedDueToBlacklist(const wchar_t* imagePath, const wchar_t* domain, DWORD sessionId);
    // The domain is not shown: the alert names the category (`categoryNameId`, a string resource).
    void ShowURLBlockedDueToCategoryBlocked(const wchar_t* imagePath, const wchar_t* domain, UINT categoryNameId,
                                            DWORD sessionId);
    void ShowURLBlockedDueToCategoryNotAllowed(const wchar_t* imagePath, const wchar_t* domain, DWORD sessionId);

    // True once the resource DLL is loaded (as a data file); a failure is logged and the next
    // call tries again.
    bool _LoadResourceFileIfNeeded();
    // The alert object of the session: bound through the session moniker, or created in this
    // process for kConsoleSession when it does not run as the local system account. Failures
    // are logged.
    bool _GetQvAlert(IQvAlert** alert, DWORD sessionId);

    // A string of the loaded resource DLL (at most 2047 characters); empty when it is missing or
    // no DLL is loaded.
    std::wstring LoadResourceString(UINT id) const;
    void LoadResString(std::wstring& text, UINT id) const { text = LoadResourceString(id); }

    // ProductName of the file's version resource, first language in the translation table that
    // has one; empty when there is none.
    static std::wstring GetProductName(const wchar_t* path);
    // The process token's user is S-1-5-18.
    static bool IsLocalSystem();

    DWORD AlertTimeOut() const { return m_alertTimeOut; }
    const std::wstring& ResourceDllPath() const { return m_resourceDllPath; }

private:
    std::wstring m_resourceDllPath;
    Tessal::UniqueHModule m_resourceLibrary;
    DWORD m_alertTimeOut;
    CAlertBindSeam* m_seam;
};

// Operating-system class 7 or 8 (Windows Vista or 7).
bool IsVistaOrWindows7();
