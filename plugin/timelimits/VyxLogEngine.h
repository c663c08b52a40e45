#pragma once
// The writer of the activity-log database: callers on any thread hand it records, stamped with
// the local time and queued at once; its writer thread writes them in order, one opening of the
// file and one hold of the database mutex per record, and never holds the queue lock while it
// writes.

#include <windows.h>

#include <cstdint>
#include <string>

class IVyxLogEngine {
public:
    virtual ~IVyxLogEngine() = default;
    virtual DWORD LogUserLogon(const wchar_t* user) = 0;
    virtual DWORD LogUserLogoff(const wchar_t* user) = 0;
    // Closes every log-on the database holds open (an earlier run's).
    virtual DWORD CloseAllUserLogons() = 0;
    virtual DWORD LogSystemSleep(const wchar_t* user) = 0;
    virtual DWORD LogSystemWakeup(const wchar_t* user) = 0;
    virtual DWORD LogWebSiteBlocked(const wchar_t* user, DWORD kind, const wchar_t* url, const char* data) = 0;
    virtual DWORD LogAccessAttemptBlocked(const wchar_t* user) = 0;
};

// 87: no path or no out pointer; 14: no memory; 575: the mutex, events or writer thread could not
// be made. The engine's days kept per user come from `MaxLoggingRecords` (default 90, at least 1).
DWORD CreateVyxLogEngine(const wchar_t* databasePath, IVyxLogEngine** engine);

namespace VyxLogClock {
// The local time records are stamped with; tests put their own clock here (null: GetLocalTime).
using Source = void (*)(SYSTEMTIME* now);
void Set(Source source) noexcept;
SYSTEMTIME Now();
}  // namespace VyxLogClock
