#pragma once
// The activity-log engine's implementation (see VyxLogEngine.h).

#include "plugin/timelimits/VyxLogEngine.h"

#include "Shared/CriticalSection.h"
#include "Shared/VyxLogFormat.h"
#include "base/UniqueHandle.h"

#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

class CStgStorageDB;

struct ActivityRecord {
    enum Type : int { kLogon = 0, kLogoff = 1, kSleep = 2, kWakeup = 3, kWebSiteBlocked = 4, kAccessBlocked = 5,
                      kCloseAllLogons = 6 };
    SYSTEMTIME time{};
    int type = 0;
    std::wstring user;
    DWORD value = 3;
    std::wstring text;
    std::string data;
};

// What tests replace; empty members keep the engine's own behaviour.
struct VyxLogEngineSeams {
    // Lists a user's day storages in place of the store (its EnumElements).
    std::function<HRESULT(CStgStorageDB* store, const std::wstring& user, std::vector<std::wstring>* days)> listDays;
    // On the writer, with each record about to be written, the database held (may throw).
    std::function<void(const ActivityRecord& record)> beforeWrite;
    // How long a write waits for another process's hold on the database.
    DWORD mutexWaitMs = VyxLog::kMutexWaitMs;
};

class CVyxLogEngineImpl : public IVyxLogEngine {
public:
    // Time the writer keeps writing what is queued once asked to stop.
    static constexpr DWORD kDrainLimitMs = 10000;

    explicit CVyxLogEngineImpl(const std::wstring& databasePath, VyxLogEngineSeams seams = {});
    ~CVyxLogEngineImpl() override;

    bool Init();

    DWORD LogUserLogon(const wchar_t* user) override;
    DWORD LogUserLogoff(const wchar_t* user) override;
    DWORD CloseAllUserLogons() override;
    DWORD LogSystemSleep(const wchar_t* user) override;
    DWORD LogSystemWakeup(const wchar_t* user) override;
    DWORD LogWebSiteBlocked(const wchar_t* user, DWORD kind, const wchar_t* url, const char* data) override;
    DWORD LogAccessAttemptBlocked(const wchar_t* user) override;

    // One record into the database (the writer thread's work); a Windows error: the wait's result
    // when the mutex is not had in time, 33 when the file cannot be opened, 29 when a stream
    // cannot be written.
    DWORD Log(const ActivityRecord& record);
    DWORD ListUsers(std::vector<std::wstring>& users);
    DWORD MaxLoggingRecords() const noexcept { return m_maxLoggingRecords; }

private:
    // The writer's entry: nothing escapes it. A record whose writing throws is dropped (logged)
    // and the writer goes on with the next.
    static unsigned __stdcall LoggingThread(void* engine) noexcept;
    // The writer's loop; `resume`: records may be queued without a pending wake-up.
    unsigned RunWriter(bool resume);
    void WriteQueued(bool stopping);
    DWORD Queue(int type, const wchar_t* user, DWORD value, const wchar_t* text, const char* data);
    DWORD CheckUserName(const wchar_t* user);
    DWORD QueueUserRecord(int type, const wchar_t* user);

    DWORD LockDatabase();
    bool CreateDBObj(CStgStorageDB** store);
    bool WriteStreamDataToDB(CStgStorageDB* store, const std::wstring& path, const wchar_t* stream,
                             const std::vector<std::uint8_t>& bytes, bool append);
    bool ReadStream(CStgStorageDB* store, const std::wstring& path, const wchar_t* stream, std::vector<std::uint8_t>& bytes);
    VyxLog::LoginTimes ReadLoginTimes(CStgStorageDB* store, const std::wstring& user);
    bool UpdateTimeUsage(CStgStorageDB* store, const std::wstring& user, SYSTEMTIME start, const SYSTEMTIME& end);
    bool AddTimeUsage(CStgStorageDB* store, const std::wstring& user, const SYSTEMTIME& day, DWORD minutes);
    void CheckUserLoggedRecords(CStgStorageDB* store, const std::wstring& user, const std::wstring& targetDay);
    // Writes a day record after the retention; a failed write forgets what is known of the days.
    bool WriteDayRecord(CStgStorageDB* store, const std::wstring& user, const SYSTEMTIME& day, const wchar_t* stream,
                        const std::vector<std::uint8_t>& bytes, bool append);
    void SendTelemetryForBlockedSites();

    CriticalSection m_queueLock;
    std::deque<ActivityRecord> m_queue;
    Tessal::UniqueHandle m_stopEvent;
    Tessal::UniqueHandle m_newRecordEvent;
    Tessal::UniqueHandle m_mutex;
    Tessal::UniqueHandle m_thread;
    VyxLogEngineSeams m_seams;
    std::wstring m_databasePath;
    std::wstring m_mutexName;
    DWORD m_maxLoggingRecords = VyxLog::kDefaultMaxLoggingRecords;
    // The day storages of each user as this writer last saw them (the writer thread's only):
    // listing a user's days costs far more than a record's write, and no one else adds or removes
    // days. Forgotten when the file is created anew, a write fails or a record's writing threw;
    // a listing that failed is never kept.
    std::map<std::wstring, std::set<std::wstring>> m_days;
};
