#pragma once
// The suite's lightweight API DLL "QvLWAPI.DLL", found in the security suite's install folder,
// loaded on first use and kept until the plug-in unloads; and the look-up of that folder.

#include "base/Sync.h"
#include "base/UniqueHandle.h"
#include "suite/interfaces/QvLWAPI.h"

#include <windows.h>
#include <oaidl.h>

// A recursive lock that counts its current entries.
class CQvLock {
public:
    CQvLock() = default;
    virtual ~CQvLock();
    CQvLock(const CQvLock&) = delete;
    CQvLock& operator=(const CQvLock&) = delete;

    LONG EntryCount() const noexcept { return m_entries; }

private:
    friend class CQvAutoLock;
    LONG m_entries = 0;  // changed only by the holder
    Tessal::CCriticalSection m_section;
};

class CQvAutoLock {
public:
    explicit CQvAutoLock(CQvLock& lock) noexcept : m_lock(lock) {
        m_lock.m_section.Enter();
        ++m_lock.m_entries;
    }
    ~CQvAutoLock() {
        --m_lock.m_entries;
        m_lock.m_section.Leave();
    }
    CQvAutoLock(const CQvAutoLock&) = delete;
    CQvAutoLock& operator=(const CQvAutoLock&) = delete;

private:
    CQvLock& m_lock;
};

class CQvLightWeightAPIWrapper : public CQvLock {
public:
    static constexpr const wchar_t* kDllName = L"QvLWAPI.DLL";
    static constexpr const wchar_t* kActivityCategory = L"NUV\\Activity";
    static constexpr const wchar_t* kUserProtectedStatistic = L"UserProtected";

    CQvLightWeightAPIWrapper() = default;
    ~CQvLightWeightAPIWrapper() override;

    // Loads the DLL from the suite's install folder and binds its seven exports, once. 0 when
    // loaded; the Win32 error of the failed look-up or load otherwise (never 0 without the DLL);
    // 127 when an export is missing (the DLL is unloaded again). Each failed call tries anew.
    DWORD Init();
    void Unload();
    bool IsLoaded() const noexcept { return m_library.IsValid(); }

    // The bound export's result; E_FAIL (logged) when the DLL is not bound.
    HRESULT ReportStatisticData(const wchar_t* category, const wchar_t* name, const VARIANT* value, DWORD flags);
    // The one statistic the plug-in reports: under the lock, Init, then "NUV\\Activity",
    // "UserProtected", VT_UI4 count, flags 0.
    HRESULT ReportUserProtected(ULONG protectedUsers);

private:
    void Clear() noexcept;

    PFN_RegisterProtectionProvider m_pRegisterProtectionProvider = nullptr;
    PFN_UnregisterProtectionProvider m_pUnregisterProtectionProvider = nullptr;
    PFN_NotifyProtectionStatusChange m_pNotifyProtectionStatusChange = nullptr;
    PFN_ReportStatisticData m_pReportStaticData = nullptr;
    PFN_GetStatisticData m_pGetStatisticData = nullptr;
    PFN_SetStatisticDataStorageFormat m_pSetStatisticDataStorageFormat = nullptr;
    PFN_GetStatisticDataStorageFormat m_pGetStatisticDataStorageFormat = nullptr;
    Tessal::UniqueHModule m_library;  // null exactly when the seven pointers are null
};

// The suite's install folder: "Install Dir" of HKLM\SOFTWARE\Oberix\Dov (64-bit view, REG_SZ, not
// empty), else the folder of the suite's registered COM server, else "<Program Files>\Oberix\Dov".
// Ends in exactly one backslash when `trailingBackslash`, else in none. 0, or 87 (no buffer), 122
// (does not fit), 232 (no folder at all), or the last error when the result is empty.
DWORD GetSuiteInstallFolder(wchar_t* folder, DWORD capacity, bool trailingBackslash);

// The default value of HKCR\CLSID\{clsid}\InprocServer32, else of ...\LocalServer32 (each in the
// default, then the 32-bit, then the 64-bit view), without one pair of surrounding quotes; the
// braces are optional in `clsidText`. True when a non-empty path results.
bool GetComServerPath(const wchar_t* clsidText, wchar_t* path, int capacity);
