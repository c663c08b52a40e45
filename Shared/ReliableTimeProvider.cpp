#include "Shared/ReliableTimeProvider.h"

#include "Shared/Sntp.h"
#include "logging/Logging.h"
#include "nuvutil/com/ComBoundary.h"

#include <system_error>
#include <utility>

namespace {

// A server time older than this (by the tick count) is no longer trusted.
constexpr DWORD kServerTimeLifetimeMs = 2592000000UL;  // 30 days
constexpr ULONGLONG kFileTimeUnitsPerMs = 10000ULL;

ReliableClockOptions Checked(ReliableClockOptions options) {
    if (options.tickCount == nullptr) options.tickCount = ::GetTickCount;
    return options;
}

std::unique_ptr<CTimeZoneManager> MakeTimeZoneManager(const ReliableClockOptions& options) {
    if (options.timeZoneRoot != nullptr && options.timeZoneDatabase != nullptr) {
        return std::make_unique<CTimeZoneManager>(options.timeZoneRoot, options.timeZoneDatabase);
    }
    return std::make_unique<CTimeZoneManager>();
}

Tessal::UniqueHandle Created(HANDLE handle, const char* what) {
    if (handle == nullptr) throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(), what);
    return Tessal::UniqueHandle(handle);
}

}  // namespace

CReliableTimeProvider::CReliableTimeProvider(const wchar_t* serverName)
    : CReliableTimeProvider(serverName, ReliableClockOptions()) {}

CReliableTimeProvider::CReliableTimeProvider(const wchar_t* serverName, const ReliableClockOptions& options)
    : m_options(Checked(options)),
      m_timeZoneManager(MakeTimeZoneManager(m_options)),
      m_serverName(serverName != nullptr ? serverName : L"") {
    m_stop = Created(::CreateEventW(nullptr, TRUE, FALSE, nullptr), "CReliableTimeProvider stop event");
    m_refreshTimer = Created(::CreateWaitableTimerW(nullptr, TRUE, nullptr), "CReliableTimeProvider refresh timer");
    m_refreshRequest = Created(::CreateEventW(nullptr, FALSE, FALSE, nullptr), "CReliableTimeProvider refresh request");
    m_refreshed = Created(::CreateEventW(nullptr, FALSE, FALSE, nullptr), "CReliableTimeProvider refreshed event");
    const DWORD error = Start(L"ReliableTimeProvider");
    if (error != ERROR_SUCCESS) throw std::system_error(static_cast<int>(error), std::system_category(), "CReliableTimeProvider thread");
}

CReliableTimeProvider::~CReliableTimeProvider() { CQvThread::Stop(); }

bool CReliableTimeProvider::SignalStop() { return ::SetEvent(m_stop.Get()) != FALSE; }

void CReliableTimeProvider::GetCurrentLocalTime(const wchar_t* zoneName, SYSTEMTIME* time, DWORD* reliable,
                                                DWORD waitMs) {
    if (time == nullptr || reliable == nullptr) return;
    *reliable = 0;
    if (m_serverTimeValid.load() == 0) {
        // An earlier answer nobody waited for must not end this wait; one stored since the
        // check above is seen by the second check, one stored after it sets the event again.
        ::ResetEvent(m_refreshed.Get());
        ::SetEvent(m_refreshRequest.Get());
        if (waitMs != 0 && m_serverTimeValid.load() == 0) ::WaitForSingleObject(m_refreshed.Get(), waitMs);
    }
    if (m_serverTimeValid.load() != 0) {
        SYSTEMTIME utc = {};
        _CalculateCurrentTime(&utc);
        if (m_timeZoneManager->ConvertToLocalTime(zoneName, &utc, time)) {
            NUV_LOG(ETWLogging::LOG_NORMAL, L"Converted UTC to %s: %04d-%02d-%02d_%02d:%02d:%02d.%03d\r\n",
                    zoneName != nullptr && *zoneName != L'\0' ? zoneName : L"local time", static_cast<int>(time->wYear),
                    static_cast<int>(time->wMonth), static_cast<int>(time->wDay), static_cast<int>(time->wHour),
                    static_cast<int>(time->wMinute), static_cast<int>(time->wSecond),
                    static_cast<int>(time->wMilliseconds));
            *reliable = 1;
            return;
        }
    }
    ::GetLocalTime(time);
}

void CReliableTimeProvider::SetFirstSynchronisationCallback(std::function<void()> callback) {
    std::function<void()> now;
    {
        Tessal::CAutoLock lock(m_callbackLock);
        // The refresh thread sets the flag before it looks for a callback: one of us runs it.
        if (m_serverTimeValid.load() != 0) {
            now = std::move(callback);
            m_firstSynchronisation = nullptr;
        } else {
            m_firstSynchronisation = std::move(callback);
        }
    }
    if (now) now();
}

void CReliableTimeProvider::_CalculateCurrentTime(SYSTEMTIME* utc) {
    DWORD tick = 0;
    DWORD lastTick = 0;
    ULARGE_INTEGER time = {};
    {
        Tessal::CAutoLock lock(m_lock);
        tick = m_options.tickCount();
        lastTick = m_acquisitionTick;
        time.LowPart = m_serverTime.dwLowDateTime;
        time.HighPart = m_serverTime.dwHighDateTime;
    }
    // The 32-bit difference survives the tick count's wrap; it is widened before scaling, as
    // a few days in milliseconds times 10000 no longer fit 32 bits.
    time.QuadPart += static_cast<ULONGLONG>(static_cast<DWORD>(tick - lastTick)) * kFileTimeUnitsPerMs;
    FILETIME current;
    current.dwLowDateTime = time.LowPart;
    current.dwHighDateTime = time.HighPart;
    ::FileTimeToSystemTime(&current, utc);
    NUV_LOG(ETWLogging::LOG_NORMAL,
            L"Current/last tick count = %d/%d, calculated current time based on previously acquire NTP time: "
            L"%04d-%02d-%02d_%02d:%02d:%02d.%03d(UTC)\r\n",
            tick, lastTick, static_cast<int>(utc->wYear), static_cast<int>(utc->wMonth), static_cast<int>(utc->wDay),
            static_cast<int>(utc->wHour), static_cast<int>(utc->wMinute), static_cast<int>(utc->wSecond),
            static_cast<int>(utc->wMilliseconds));
}

void CReliableTimeProvider::_UpdateTimeFromServer() {
    FILETIME acquired = {};
    if (QueryNtpServer(m_serverName.empty() ? nullptr : m_serverName.c_str(), &acquired, m_options.port,
                       m_options.queryTimeoutMs)) {
        SYSTEMTIME utc = {};
        ::FileTimeToSystemTime(&acquired, &utc);
        NUV_LOG(ETWLogging::LOG_NORMAL, L"Acquired time from server %s: %04d-%02d-%02d_%02d:%02d:%02d.%03d(UTC)\r\n",
                m_serverName.c_str(), static_cast<int>(utc.wYear), static_cast<int>(utc.wMonth),
                static_cast<int>(utc.wDay), static_cast<int>(utc.wHour), static_cast<int>(utc.wMinute),
                static_cast<int>(utc.wSecond), static_cast<int>(utc.wMilliseconds));
        DWORD tick = 0;
        {
            Tessal::CAutoLock lock(m_lock);
            m_serverTime = acquired;
            m_acquisitionTick = tick = m_options.tickCount();
        }
        m_serverTimeValid.exchange(1);
        NUV_LOG(ETWLogging::LOG_NORMAL, L"Tick count when NTP time was acquired: %d\r\n", tick);
        ::SetEvent(m_refreshed.Get());
        _NotifySynchronised();
        return;
    }

    if (m_serverTimeValid.load() != 0) {
        Tessal::CAutoLock lock(m_lock);
        if (static_cast<DWORD>(m_options.tickCount() - m_acquisitionTick) > kServerTimeLifetimeMs) {
            m_serverTimeValid.exchange(0);
            NUV_LOG(ETWLogging::LOG_WARNING,
                    L"Invalidate stored server time we are unable to fresh server time for too long\r\n");
        }
    } else {
        NUV_LOG(ETWLogging::LOG_WARNING, L"Unable to query time from server %s:%u, is it being blocked?\r\n",
                m_serverName.c_str(), static_cast<unsigned>(m_options.port));
    }
}

void CReliableTimeProvider::_NotifySynchronised() {
    std::function<void()> callback;
    {
        Tessal::CAutoLock lock(m_callbackLock);
        callback.swap(m_firstSynchronisation);
    }
    if (!callback) return;
    // The owner's code must not end the refresh loop.
    try {
        callback();
    } catch (...) {
        NuvCom::HResultFromCurrentException(L"CReliableTimeProvider::_NotifySynchronised");
    }
}

void CReliableTimeProvider::Run() {
    enum : DWORD { kStopped = WAIT_OBJECT_0, kRefreshDue = WAIT_OBJECT_0 + 1, kRefreshRequested = WAIT_OBJECT_0 + 2 };
    const HANDLE handles[] = {m_stop.Get(), m_refreshTimer.Get(), m_refreshRequest.Get()};
    DWORD waitResult = 0;
    for (;;) {
        if (m_serverTimeValid.load() == 0 || waitResult == kRefreshDue) _UpdateTimeFromServer();
        // A request leaves the daily schedule as it was.
        if (waitResult != kRefreshRequested) {
            LARGE_INTEGER due;
            due.QuadPart = m_options.refreshDue;
            if (!::SetWaitableTimer(m_refreshTimer.Get(), &due, 0, nullptr, nullptr, FALSE)) {
                NUV_LOG(ETWLogging::LOG_ERROR, L"CReliableTimeProvider::Run: SetWaitableTimer failed (Err %d)\r\n",
                        static_cast<int>(::GetLastError()));
            }
        }
        waitResult = ::WaitForMultipleObjects(ARRAYSIZE(handles), handles, FALSE, INFINITE);
        if (waitResult == kStopped) return;
        if (waitResult != kRefreshDue && waitResult != kRefreshRequested) {
            // Waiting again would fail again at once: end rather than spin.
            NUV_LOG(ETWLogging::LOG_ERROR, L"CReliableTimeProvider::Run: wait failed (result %u, Err %d)\r\n",
                    static_cast<unsigned>(waitResult), static_cast<int>(::GetLastError()));
            return;
        }
    }
}
