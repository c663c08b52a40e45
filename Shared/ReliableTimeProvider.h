#pragma once
// A clock the user cannot set: UTC from a time server (SNTP) once a day, and in between the server
// time plus the tick count elapsed since its answer, converted into a named time zone. Without a
// server time (none yet, or none for 30 days) it answers the PC's local time and says so.

#include "Shared/TimeZoneManager.h"
#include "base/Sync.h"
#include "base/UniqueHandle.h"
#include "nuvutil/QvThread.h"

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

// What the product fixes and tests replace.
struct ReliableClockOptions {
    unsigned short port = 123;
    DWORD(WINAPI* tickCount)() = ::GetTickCount;
    LONGLONG refreshDue = -864000000000LL;  // relative, in 100 ns: 24 hours
    DWORD queryTimeoutMs = 3000;
    // The time-zone database; null root: the machine's own.
    HKEY timeZoneRoot = nullptr;
    const wchar_t* timeZoneDatabase = nullptr;
};

class CReliableTimeProvider final : public CQvThread {
public:
    // Starts the refresh thread at once. A null or empty server name never gets a server time.
    // Throws std::system_error when a handle or the thread cannot be made.
    explicit CReliableTimeProvider(const wchar_t* serverName);
    CReliableTimeProvider(const wchar_t* serverName, const ReliableClockOptions& options);
    // Stops the thread; a query under way is not interrupted (name resolution and the query's
    // time-out may hold it up to a few seconds).
    ~CReliableTimeProvider() override;

    // The time in the named zone (the PC's when null, empty or unknown); `reliable` is 1 when it
    // comes from the server time, 0 for the PC's local time. Without a server time a refresh is
    // requested, and up to `waitMs` spent waiting for it.
    void GetCurrentLocalTime(const wchar_t* zoneName, SYSTEMTIME* time, DWORD* reliable, DWORD waitMs);

    // `callback` runs once: on the refresh thread after the next good answer is stored, or at
    // once on the caller's thread when a server time is held already. Replaces one still pending.
    void SetFirstSynchronisationCallback(std::function<void()> callback);

protected:
    void Run() override;
    bool SignalStop() override;

private:
    void _CalculateCurrentTime(SYSTEMTIME* utc);
    void _UpdateTimeFromServer();
    void _NotifySynchronised();

    const ReliableClockOptions m_options;
    std::unique_ptr<CTimeZoneManager> m_timeZoneManager;
    // 1 while m_serverTime is valid; written by atomic exchange only, read without the lock.
    std::atomic<LONG> m_serverTimeValid{0};
    FILETIME m_serverTime = {};
    DWORD m_acquisitionTick = 0;
    std::wstring m_serverName;
    Tessal::UniqueHandle m_stop;            // manual-reset event
    Tessal::UniqueHandle m_refreshTimer;    // manual-reset waitable timer
    Tessal::UniqueHandle m_refreshRequest;  // auto-reset event
    Tessal::UniqueHandle m_refreshed;       // auto-reset event
    Tessal::CCriticalSection m_lock;        // m_serverTime and m_acquisitionTick

    Tessal::CCriticalSection m_callbackLock;
    std::function<void()> m_firstSynchronisation;
};
