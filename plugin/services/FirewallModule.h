#pragma once
// What the host-firewall thread needs of the plug-in module: the set of time-blocked users the
// HTTP filter consults, the per-session alert switches, the reliable local time, the users'
// settings and SIDs, the activity log. The module implements it; tests give a double.

#include "plugin/services/TimeLimitServices.h"

#include <windows.h>

#include <string>
#include <vector>

class CSessionAlertFlags;

// The parts of a signed-in user's settings the firewall thread works with.
struct MonitoredUserSettings {
    std::wstring week;          // the 2016-character week text; empty: every block allowed
    std::wstring categoryMask;  // setting 311
    LONG categoryMode = 0;      // setting 312
    std::vector<std::wstring> blockedSites;  // setting 313
    std::vector<std::wstring> allowedSites;  // setting 314
};

class IFirewallModule {
public:
    virtual void AddTimeBlockedUser(const wchar_t* userId) = 0;
    virtual void RemoveTimeBlockedUser(const wchar_t* userId) = 0;
    virtual void ClearTimeBlockedUsers() = 0;
    // Null when the module has none.
    virtual CSessionAlertFlags* GetSessionAlertFlags() = 0;
    // The reliable clock in the stored time zone, without waiting; the PC's local time without it.
    virtual void GetReliableLocalTime(SYSTEMTIME* time) = 0;
    virtual bool IsReliableClockSetUp() = 0;
    virtual void InitReliableTimeProvider() = 0;
    // Whether a protected user's week restricts something, asked of a configuration object made
    // for the purpose; false (logged) when it cannot be made.
    virtual bool HasUserWithTimeLimits() = 0;
    virtual bool GetSessionUserSid(DWORD sessionId, std::wstring& sid) = 0;
    // The settings of the user signed in to the session; false when the session has none.
    virtual bool ReadUserSettings(DWORD sessionId, MonitoredUserSettings& settings) = 0;
    // Null when the module has none.
    virtual IActivityLogManager* GetLogManager() = 0;
    // Web filtering's judgement of a host, for the IP check-up: its category mask (false when the
    // reputation service has none), whether a mask shares a category with a list of masks, and
    // whether the host falls under a site-list entry.
    virtual bool ClassifyHost(const wchar_t* host, const wchar_t* processPath, std::string& mask) = 0;
    virtual bool IsCategoryInList(const wchar_t* mask, const wchar_t* list, std::wstring* matched) = 0;
    virtual bool MatchSiteEntry(const wchar_t* host, const wchar_t* entry) = 0;

protected:
    ~IFirewallModule() = default;
};
