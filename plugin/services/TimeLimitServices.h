#pragma once
// The time-limit and activity-log objects the plug-in core calls. Their classes are built with
// the time-limit subsystem; the core knows them only through these interfaces.

#include <windows.h>

#include <functional>

// The activity-log manager: log-on/log-off, sleep/wake-up and blocked-site records. Each returns
// 0 when done, else the log engine's error (the callers only log it).
class IActivityLogManager {
public:
    virtual ~IActivityLogManager() = default;
    virtual DWORD Logon(const wchar_t* userName, DWORD sessionId) = 0;
    virtual DWORD Logoff(const wchar_t* userName, DWORD sessionId) = 0;
    virtual DWORD SystemSleep() = 0;
    virtual DWORD SystemWakeup() = 0;
    virtual DWORD WebSiteBlocked(DWORD sessionId, DWORD value, const wchar_t* url, const char* data) = 0;
    // An internet access the time limits refused (the blocked application's text).
    virtual DWORD AccessAttemptBlocked(DWORD sessionId, const wchar_t* text) = 0;
};

// The host-firewall thread: told of protected users logging on and off and of configuration
// changes. Its destructor stops the thread.
class IHostFirewallThread {
public:
    virtual ~IHostFirewallThread() = default;
    virtual void OnUserLogon(const wchar_t* userName, DWORD sessionId) = 0;
    virtual void OnUserLogoff(const wchar_t* userName) = 0;
    virtual void OnSettingsChanged() = 0;
    // The time may have jumped (resume from sleep, the reliable clock's first answer): the
    // restrictions are evaluated again.
    virtual void OnTimeChanged() = 0;
};

// The reliable clock: the current local time of a named zone (the PC's when the name is empty or
// unknown), corrected by the time server once it answered. Its destructor stops its thread.
class IReliableClock {
public:
    virtual ~IReliableClock() = default;
    virtual void GetCurrentLocalTime(const wchar_t* timeZoneName, SYSTEMTIME* time, DWORD* reliable,
                                     DWORD waitMs) = 0;
    // `callback` runs once, on the clock's thread, after the first good answer of the time server
    // is stored; at once, on the caller's thread, when the clock is synchronised already.
    virtual void OnFirstSynchronisation(std::function<void()> callback) = 0;
};

// The time-limit subsystem's objects, made when the module needs them. Null results mean the
// object is not available (the module runs on without it).
class ITimeLimitFactory {
public:
    virtual ~ITimeLimitFactory() = default;
    virtual IActivityLogManager* CreateLogManager() = 0;
    virtual IHostFirewallThread* CreateFirewallThread() = 0;
    virtual IReliableClock* CreateReliableClock(const wchar_t* timeServer) = 0;
};
