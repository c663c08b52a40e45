#include "plugin/timelimits/VyxLogEngineImpl.h"

#include "AnalyticsAPI/Analytics.h"
#include "Shared/AffiliateSettings.h"
#include "Shared/StgStorageDB.h"
#include "logging/Logging.h"
#include "nuvutil/com/ComBoundary.h"

#include <process.h>
#include <sddl.h>

#include <algorithm>
#include <atomic>
#include <new>

namespace {

constexpr wchar_t kTelemetryKey[] = L"SOFTWARE\\Oberix\\NUV\\GA";
// Authenticated Users may wait and release, Administrators and Local System everything.
constexpr wchar_t kMutexSecurity[] = L"D:(A;;0x100001;;;AU)(A;;0x1F0001;;;BA)(A;;0x1F0001;;;SY)";
constexpr ULONGLONG kTicksPerSecond = 10000000;
constexpr DWORD kAppInitFailure = 575;  // ERROR_APP_INIT_FAILURE, missing from MinGW's headers

std::atomic<VyxLogClock::Source> g_clock{nullptr};

ULONGLONG Ticks(const SYSTEMTIME& time, bool& valid) {
    FILETIME file;
    valid = ::SystemTimeToFileTime(&time, &file) != FALSE;
    return static_cast<ULONGLONG>(file.dwHighDateTime) << 32 | file.dwLowDateTime;
}

SYSTEMTIME FromTicks(ULONGLONG ticks) {
    FILETIME file;
    file.dwLowDateTime = static_cast<DWORD>(ticks);
    file.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    SYSTEMTIME time = {};
    ::FileTimeToSystemTime(&file, &time);
    return time;
}

bool IsSameDate(const SYSTEMTIME& a, const SYSTEMTIME& b) {
    return a.wYear == b.wYear && a.wMonth == b.wMonth && a.wDay == b.wDay;
}

DWORD AtLeastOneMinute(ULONGLONG seconds) { return std::max<DWORD>(1, static_cast<DWORD>(seconds / 60)); }

// One unit of work's hold of the database mutex and of the store, let go in that order's reverse
// however the work ends.
struct MutexHold {
    HANDLE mutex;
    ~MutexHold() { ::ReleaseMutex(mutex); }
};
struct StoreHold {
    CStgStorageDB* store = nullptr;
    ~StoreHold() {
        if (store != nullptr) store->Release();
    }
};

}  // namespace

namespace VyxLogClock {
void Set(Source source) noexcept { g_clock.store(source); }
SYSTEMTIME Now() {
    SYSTEMTIME now = {};
    if (const Source source = g_clock.load()) {
        source(&now);
    } else {
        ::GetLocalTime(&now);
    }
    return now;
}
}  // namespace VyxLogClock

DWORD CreateVyxLogEngine(const wchar_t* databasePath, IVyxLogEngine** engine) {
    if (databasePath == nullptr || *databasePath == L'\0' || engine == nullptr) return ERROR_INVALID_PARAMETER;
    *engine = nullptr;
    auto* const created = new (std::nothrow) CVyxLogEngineImpl(databasePath);
    if (created == nullptr) return ERROR_OUTOFMEMORY;
    if (!created->Init()) {
        delete created;
        return kAppInitFailure;
    }
    *engine = created;
    return ERROR_SUCCESS;
}

CVyxLogEngineImpl::CVyxLogEngineImpl(const std::wstring& databasePath, VyxLogEngineSeams seams)
    : m_seams(std::move(seams)),
      m_databasePath(databasePath.substr(0, MAX_PATH - 1)), m_mutexName(VyxLog::MutexName(m_databasePath)) {
    DWORD records = 0;
    CAffiliateSettings settings;
    if (settings.ReadDword(L"MaxLoggingRecords", records)) m_maxLoggingRecords = records;
    // Fewer than one day would remove the day about to be written.
    if (m_maxLoggingRecords < 1) m_maxLoggingRecords = 1;
}

CVyxLogEngineImpl::~CVyxLogEngineImpl() {
    if (m_thread) {
        ::SetEvent(m_stopEvent.Get());
        ::WaitForSingleObject(m_thread.Get(), INFINITE);
    }
    Tessal::CAutoLock lock(m_queueLock);
    if (!m_queue.empty()) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"%lu activity records were not written\r\n", static_cast<unsigned long>(m_queue.size()));
    }
    m_queue.clear();
}

bool CVyxLogEngineImpl::Init() {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ::ConvertStringSecurityDescriptorToSecurityDescriptorW(kMutexSecurity, SDDL_REVISION_1, &descriptor, nullptr);
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
    m_mutex.Reset(::CreateMutexW(descriptor != nullptr ? &attributes : nullptr, FALSE, m_mutexName.c_str()));
    if (descriptor != nullptr) ::LocalFree(descriptor);
    if (!m_mutex) m_mutex.Reset(::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, m_mutexName.c_str()));
    if (!m_mutex) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to create database file mutex err = %d\r\n", static_cast<int>(::GetLastError()));
        return false;
    }
    m_stopEvent.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    m_newRecordEvent.Reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!m_stopEvent || !m_newRecordEvent) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Create LogThread StopEvent/NewLogEvent failed, err = %d", static_cast<int>(::GetLastError()));
        return false;
    }
    m_thread.Reset(reinterpret_cast<HANDLE>(::_beginthreadex(nullptr, 0, &LoggingThread, this, 0, nullptr)));
    if (!m_thread) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed create LoggingThread, err=%d", static_cast<int>(::GetLastError()));
        return false;
    }
    return true;
}

DWORD CVyxLogEngineImpl::Queue(int type, const wchar_t* user, DWORD value, const wchar_t* text, const char* data) {
    ActivityRecord record;
    record.time = VyxLogClock::Now();
    record.type = type;
    record.user = user != nullptr ? user : L"";
    record.value = value;
    record.text = text != nullptr ? text : L"";
    record.data = data != nullptr ? data : "";
    Tessal::CAutoLock lock(m_queueLock);
    m_queue.push_back(std::move(record));
    // The writer empties the queue before it waits again: only the first record wakes it.
    if (m_queue.size() == 1) ::SetEvent(m_newRecordEvent.Get());
    return ERROR_SUCCESS;
}

DWORD CVyxLogEngineImpl::CheckUserName(const wchar_t* user) {
    if (user == nullptr || *user == L'\0') return ERROR_INVALID_PARAMETER;
    if (!VyxLog::IsValidUserStorageName(user)) {
        // Altering the name would file the records under another user's storage.
        NUV_LOG(ETWLogging::LOG_ERROR, L"User name \"%s\" cannot name a storage of the activity log; not recorded\r\n", user);
        return ERROR_INVALID_PARAMETER;
    }
    return ERROR_SUCCESS;
}

DWORD CVyxLogEngineImpl::QueueUserRecord(int type, const wchar_t* user) {
    const DWORD result = CheckUserName(user);
    return result != ERROR_SUCCESS ? result : Queue(type, user, 3, nullptr, nullptr);
}

DWORD CVyxLogEngineImpl::LogUserLogon(const wchar_t* user) { return QueueUserRecord(ActivityRecord::kLogon, user); }
DWORD CVyxLogEngineImpl::LogUserLogoff(const wchar_t* user) { return QueueUserRecord(ActivityRecord::kLogoff, user); }
DWORD CVyxLogEngineImpl::LogSystemSleep(const wchar_t* user) { return QueueUserRecord(ActivityRecord::kSleep, user); }
DWORD CVyxLogEngineImpl::LogSystemWakeup(const wchar_t* user) { return QueueUserRecord(ActivityRecord::kWakeup, user); }
DWORD CVyxLogEngineImpl::LogAccessAttemptBlocked(const wchar_t* user) {
    return QueueUserRecord(ActivityRecord::kAccessBlocked, user);
}
DWORD CVyxLogEngineImpl::CloseAllUserLogons() { return Queue(ActivityRecord::kCloseAllLogons, nullptr, 3, nullptr, nullptr); }

DWORD CVyxLogEngineImpl::LogWebSiteBlocked(const wchar_t* user, DWORD kind, const wchar_t* url, const char* data) {
    if (url == nullptr || *url == L'\0' || data == nullptr) return ERROR_INVALID_PARAMETER;
    const DWORD result = CheckUserName(user);
    return result != ERROR_SUCCESS ? result : Queue(ActivityRecord::kWebSiteBlocked, user, kind, url, data);
}

unsigned __stdcall CVyxLogEngineImpl::LoggingThread(void* parameter) noexcept {
    auto* const engine = static_cast<CVyxLogEngineImpl*>(parameter);
    bool resume = false;
    for (;;) {
        try {
            return engine->RunWriter(resume);
        } catch (...) {
            // The record being written is lost; the mutex and the store went with their holds.
            // What the writer knew of the days may be half updated: it lists them again.
            NUV_LOG(ETWLogging::LOG_ERROR, L"Activity record dropped: %hs\r\n", NuvCom::CurrentExceptionText());
            engine->m_days.clear();
            resume = true;
        }
    }
}

unsigned CVyxLogEngineImpl::RunWriter(bool resume) {
    // Records queued behind the one that threw woke nobody: the queue's first record does.
    if (resume) WriteQueued(false);
    const HANDLE handles[] = {m_stopEvent.Get(), m_newRecordEvent.Get()};
    for (;;) {
        const DWORD waited = ::WaitForMultipleObjects(2, handles, FALSE, INFINITE);
        if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED_0) {
            // What was queued before the stop (log-offs at shutdown) is still written, within a limit.
            WriteQueued(true);
            NUV_LOG(ETWLogging::LOG_NORMAL, L"VYX LoggingThread is stopping");
            return 0;
        }
        if (waited != WAIT_OBJECT_0 + 1) {
            NUV_LOG(ETWLogging::LOG_WARNING, L"Unexpected return from WaitForMultipleObjects for LoggingThread");
            return 0;
        }
        WriteQueued(false);
    }
}

void CVyxLogEngineImpl::WriteQueued(bool stopping) {
    ULONGLONG deadline = stopping ? ::GetTickCount64() + kDrainLimitMs : 0;
    for (;;) {
        if (!stopping && ::WaitForSingleObject(m_stopEvent.Get(), 0) == WAIT_OBJECT_0) {
            stopping = true;
            deadline = ::GetTickCount64() + kDrainLimitMs;
        }
        if (stopping && ::GetTickCount64() > deadline) return;
        ActivityRecord record;
        {
            // Taken off under the lock, written without it: producers never wait for the disk.
            Tessal::CAutoLock lock(m_queueLock);
            if (m_queue.empty()) return;
            record = std::move(m_queue.front());
            m_queue.pop_front();
        }
        if (record.type == ActivityRecord::kCloseAllLogons) {
            std::vector<std::wstring> users;
            if (ListUsers(users) != ERROR_SUCCESS) continue;
            const SYSTEMTIME now = VyxLogClock::Now();
            Tessal::CAutoLock lock(m_queueLock);
            for (const std::wstring& user : users) {
                ActivityRecord logoff;
                logoff.time = now;
                logoff.type = ActivityRecord::kLogoff;
                logoff.user = user;
                m_queue.push_front(std::move(logoff));
            }
            continue;
        }
        const DWORD error = Log(record);
        if (error != ERROR_SUCCESS) NUV_LOG(ETWLogging::LOG_ERROR, L"Logging new logs failed, err=%d", static_cast<int>(error));
    }
}

DWORD CVyxLogEngineImpl::LockDatabase() {
    const DWORD waited = ::WaitForSingleObject(m_mutex.Get(), m_seams.mutexWaitMs);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) return ERROR_SUCCESS;
    if (waited == WAIT_TIMEOUT) return WAIT_TIMEOUT;
    // A failed wait owns nothing.
    const DWORD error = ::GetLastError();
    return error != ERROR_SUCCESS ? error : ERROR_INVALID_HANDLE;
}

bool CVyxLogEngineImpl::CreateDBObj(CStgStorageDB** store) {
    BOOL created = FALSE;
    const HRESULT result = CreateStgStorageDB(store, m_databasePath.c_str(), STGM_READWRITE, &created);
    if (FAILED(result) || *store == nullptr) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Create Logging DataBase object failed, err= 0x%08lx\r\n", static_cast<unsigned long>(result));
        return false;
    }
    if (created) {
        m_days.clear();  // a new file holds no days
        DWORD handle = 0;
        const HRESULT opened = (*store)->OpenFile(VyxLog::kSystemStorage, VyxLog::kVersionStream, &handle, true, false);
        if (FAILED(opened)) {
            NUV_LOG(ETWLogging::LOG_ERROR, L"failed to open file %s err=0x%08lx", VyxLog::kVersionStream, static_cast<unsigned long>(opened));
        } else {
            const auto version = VyxLog::SerializeUint32(VyxLog::kDatabaseVersion);
            ULONG written = 0;
            const HRESULT wrote = (*store)->WriteFile(handle, version.data(), static_cast<ULONG>(version.size()), &written);
            if (FAILED(wrote) || written != version.size()) {
                NUV_LOG(ETWLogging::LOG_ERROR, L"failed to write database version, err=0x%08lx", static_cast<unsigned long>(wrote));
            }
            (*store)->CloseFile(handle);
        }
    }
    return true;
}

bool CVyxLogEngineImpl::WriteStreamDataToDB(CStgStorageDB* store, const std::wstring& path, const wchar_t* stream,
                                            const std::vector<std::uint8_t>& bytes, bool append) {
    DWORD handle = 0;
    const HRESULT opened = store->OpenFile(path.c_str(), stream, &handle, true, append);
    if (FAILED(opened)) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"failed to open file %s\\%s err=0x%08lx", path.c_str(), stream, static_cast<unsigned long>(opened));
        return false;
    }
    ULONG written = 0;
    const HRESULT wrote = store->WriteFile(handle, bytes.data(), static_cast<ULONG>(bytes.size()), &written);
    store->CloseFile(handle);
    if (FAILED(wrote) || written != bytes.size()) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"failed to write data to file %s\\%s err=0x%08lx", path.c_str(), stream,
                static_cast<unsigned long>(wrote));
        return false;
    }
    return true;
}

bool CVyxLogEngineImpl::ReadStream(CStgStorageDB* store, const std::wstring& path, const wchar_t* stream,
                                   std::vector<std::uint8_t>& bytes) {
    DWORD handle = 0;
    if (FAILED(store->OpenFile(path.c_str(), stream, &handle, false, false))) return false;
    DWORD size = 0;
    bool read = false;
    if (SUCCEEDED(store->GetFileSize(handle, &size))) {
        bytes.resize(size);
        ULONG got = 0;
        read = size == 0 || (SUCCEEDED(store->ReadFile(handle, bytes.data(), size, &got)) && got == size);
    }
    store->CloseFile(handle);
    return read;
}

VyxLog::LoginTimes CVyxLogEngineImpl::ReadLoginTimes(CStgStorageDB* store, const std::wstring& user) {
    std::vector<std::uint8_t> bytes;
    if (!ReadStream(store, user, VyxLog::kLoginStream, bytes)) return {};
    return VyxLog::ParseLoginTimes(bytes.data(), bytes.size());
}

void CVyxLogEngineImpl::CheckUserLoggedRecords(CStgStorageDB* store, const std::wstring& user, const std::wstring& targetDay) {
    auto known = m_days.find(user);
    std::set<std::wstring> unknown;  // this record's only, when the days could not be listed
    if (known == m_days.end()) {
        std::vector<std::wstring> listed;
        const HRESULT result =
            m_seams.listDays ? m_seams.listDays(store, user, &listed) : store->EnumElements(user.c_str(), &listed);
        if (SUCCEEDED(result) || result == STG_E_FILENOTFOUND) {
            // A user without a storage has no days yet.
            known = m_days.emplace(user, std::set<std::wstring>(listed.begin(), listed.end())).first;
        } else {
            // Kept, an empty list would stop the retention until the file is made anew.
            NUV_LOG(ETWLogging::LOG_ERROR, L"failed to list the days of %s err=0x%08lx\r\n", user.c_str(),
                    static_cast<unsigned long>(result));
            known = m_days.end();
        }
    }
    std::set<std::wstring>& days = known != m_days.end() ? known->second : unknown;
    if (!days.empty() && days.size() >= m_maxLoggingRecords) {
        // The oldest by name; the day about to be written is never the one removed.
        const auto oldest = std::find_if(days.begin(), days.end(), [&](const std::wstring& day) { return day != targetDay; });
        if (oldest != days.end()) {
            const HRESULT removed = store->RemoveElement(user.c_str(), oldest->c_str());
            if (FAILED(removed)) {
                NUV_LOG(ETWLogging::LOG_ERROR, L"failed to to remove date record %s\\%s err=0x%08lx", user.c_str(),
                        oldest->c_str(), static_cast<unsigned long>(removed));
            } else {
                days.erase(oldest);
            }
        }
    }
    days.insert(targetDay);
}

bool CVyxLogEngineImpl::WriteDayRecord(CStgStorageDB* store, const std::wstring& user, const SYSTEMTIME& day,
                                       const wchar_t* stream, const std::vector<std::uint8_t>& bytes, bool append) {
    CheckUserLoggedRecords(store, user, VyxLog::DayStorageName(day));
    if (WriteStreamDataToDB(store, VyxLog::DayStoragePath(user, day), stream, bytes, append)) return true;
    m_days.erase(user);
    return false;
}

bool CVyxLogEngineImpl::AddTimeUsage(CStgStorageDB* store, const std::wstring& user, const SYSTEMTIME& day, DWORD minutes) {
    std::vector<std::uint8_t> bytes;
    const DWORD before = ReadStream(store, VyxLog::DayStoragePath(user, day), VyxLog::kTimeUsageStream, bytes)
                             ? VyxLog::ParseUint32(bytes.data(), bytes.size())
                             : 0;
    return WriteDayRecord(store, user, day, VyxLog::kTimeUsageStream, VyxLog::SerializeUint32(before + minutes), false);
}

bool CVyxLogEngineImpl::UpdateTimeUsage(CStgStorageDB* store, const std::wstring& user, SYSTEMTIME start,
                                        const SYSTEMTIME& end) {
    bool validStart = false, validEnd = false;
    ULONGLONG from = Ticks(start, validStart);
    const ULONGLONG to = Ticks(end, validEnd);
    // A period that ends before it starts (the clock was set back) adds nothing.
    if (!validStart || !validEnd || to < from) return true;
    for (;;) {
        if (IsSameDate(start, end)) return AddTimeUsage(store, user, start, AtLeastOneMinute((to - from) / kTicksPerSecond));
        SYSTEMTIME endOfDay = start;
        endOfDay.wHour = 23;
        endOfDay.wMinute = 59;
        endOfDay.wSecond = 59;
        bool valid = false;
        const ULONGLONG lastSecond = Ticks(endOfDay, valid);
        AddTimeUsage(store, user, start, AtLeastOneMinute((lastSecond - from) / kTicksPerSecond + 1));
        SYSTEMTIME midnight = start;
        midnight.wHour = midnight.wMinute = midnight.wSecond = midnight.wMilliseconds = 0;
        from = Ticks(midnight, valid) + 86400 * kTicksPerSecond;
        start = FromTicks(from);
    }
}

DWORD CVyxLogEngineImpl::Log(const ActivityRecord& record) {
    DWORD result = LockDatabase();
    if (result != ERROR_SUCCESS) return result;
    const MutexHold locked{m_mutex.Get()};
    StoreHold opened;
    if (!CreateDBObj(&opened.store)) return ERROR_LOCK_VIOLATION;  // 33
    CStgStorageDB* const store = opened.store;
    if (m_seams.beforeWrite) m_seams.beforeWrite(record);
    const auto written = [](bool ok) { return ok ? ERROR_SUCCESS : static_cast<DWORD>(ERROR_WRITE_FAULT); };  // 29
    switch (record.type) {
        case ActivityRecord::kLogon: {
            VyxLog::LoginTimes times;
            times.logon = record.time;
            result = written(WriteStreamDataToDB(store, record.user, VyxLog::kLoginStream, VyxLog::SerializeLoginTimes(times), false));
            break;
        }
        case ActivityRecord::kWakeup: {
            VyxLog::LoginTimes times = ReadLoginTimes(store, record.user);
            times.wakeup = record.time;
            result = written(WriteStreamDataToDB(store, record.user, VyxLog::kLoginStream, VyxLog::SerializeLoginTimes(times), false));
            break;
        }
        case ActivityRecord::kSleep:
        case ActivityRecord::kLogoff: {
            VyxLog::LoginTimes times = ReadLoginTimes(store, record.user);
            if (record.type == ActivityRecord::kLogoff) {
                if (VyxLog::IsSet(times.logoff) || !VyxLog::IsSet(times.logon)) break;
                times.logoff = record.time;
            } else {
                times.sleep = record.time;
            }
            const bool loginWritten =
                WriteStreamDataToDB(store, record.user, VyxLog::kLoginStream, VyxLog::SerializeLoginTimes(times), false);
            const SYSTEMTIME& start = VyxLog::IsSet(times.wakeup) ? times.wakeup : times.logon;
            const bool usageWritten = !VyxLog::IsSet(start) || UpdateTimeUsage(store, record.user, start, record.time);
            result = written(loginWritten && usageWritten);
            break;
        }
        case ActivityRecord::kWebSiteBlocked: {
            NUV_LOG(ETWLogging::LOG_NORMAL, L"Halcyra: NUV BlockedWebSite Telemetry...");
            SendTelemetryForBlockedSites();
            const auto bytes = VyxLog::SerializeBlockedSite(record.text, record.data, record.value, record.time);
            result = written(WriteDayRecord(store, record.user, record.time, VyxLog::kBlockedSitesStream, bytes, true));
            break;
        }
        case ActivityRecord::kAccessBlocked:
            result = written(WriteDayRecord(store, record.user, record.time, VyxLog::kTimeRestrictedStream,
                                            VyxLog::SerializeTime(record.time), true));
            break;
        default: NUV_LOG(ETWLogging::LOG_ERROR, L"Unknown VYX log event: %d", record.type); break;
    }
    return result;
}

DWORD CVyxLogEngineImpl::ListUsers(std::vector<std::wstring>& users) {
    DWORD result = LockDatabase();
    if (result != ERROR_SUCCESS) return result;
    const MutexHold locked{m_mutex.Get()};
    StoreHold opened;
    if (!CreateDBObj(&opened.store)) return ERROR_LOCK_VIOLATION;
    std::vector<std::wstring> names;
    if (FAILED(opened.store->EnumRootElements(&names))) {
        result = ERROR_FILE_NOT_FOUND;
    } else {
        for (std::wstring& name : names) {
            if (name != VyxLog::kSystemStorage) users.push_back(std::move(name));
        }
    }
    return result;
}

void CVyxLogEngineImpl::SendTelemetryForBlockedSites() {
    NUV_LOG(ETWLogging::LOG_NORMAL, L"Entering.. TelemetryForBlockedSites()");
    HKEY key = nullptr;
    LONG error = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kTelemetryKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                   nullptr, &key, nullptr);
    if (error != ERROR_SUCCESS) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Error: Could not create registry key %s \tERROR:%d \n ", kTelemetryKey, static_cast<int>(error));
        return;
    }
    NUV_LOG(ETWLogging::LOG_NORMAL, L"Success: Key created or Opened");
    DWORD count = 0, size = sizeof count, type = 0;
    error = ::RegQueryValueExW(key, L"BlockedCount", nullptr, &type, reinterpret_cast<BYTE*>(&count), &size);
    if (error == ERROR_FILE_NOT_FOUND) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"BlockedCount key not found, So create one");
        count = 1;
        error = ::RegSetValueExW(key, L"BlockedCount", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&count), sizeof count);
        if (error != ERROR_SUCCESS) {
            NUV_LOG(ETWLogging::LOG_ERROR, L"Error: %d  Could not set registry value: BlockedCount.", static_cast<int>(error));
        }
    } else if (error != ERROR_SUCCESS) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Error: Could not get registry value BlockedCount");
    } else {
        count += 1;
        NUV_LOG(ETWLogging::LOG_NORMAL, L"BlockedCount value: %d \n", static_cast<int>(count));
        if (static_cast<int>(count) > 9) {
            Korin::Analytics::v1::CTrack track;
            const bool finished = track.Event(L"NUV_Blocked Sites")
                                      .Category(L"Parental Control")
                                      .Action(L"Sites Blocked")
                                      .Label(L"Blocked Site Count")
                                      .UserInitiated(true)
                                      .Add(L"Sites.Blocked", static_cast<int>(count))
                                      .Finish();
            NUV_LOG(ETWLogging::LOG_NORMAL, L"Status of Telemetry for Blocked site: Finish() returned %d and data =%d\r\n",
                    finished ? 1 : 0, static_cast<int>(count));
            count = 0;
        }
        error = ::RegSetValueExW(key, L"BlockedCount", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&count), sizeof count);
        if (error != ERROR_SUCCESS) {
            NUV_LOG(ETWLogging::LOG_ERROR, L"Error: Could not set registry value: BlockedCount ", static_cast<int>(error));
        }
    }
    ::RegCloseKey(key);
}
