// The reputation client's statistics: the counters of successful requests, kept in the registry
// across restarts, and the thread that reports their average once a day. The thread co-owns the
// client's state and holds this DLL while it runs, so a stop that gives up on it (a hung call)
// leaves it nothing freed or unloaded to run into.
#include "plugin/filter/reputation/TyvoHandlerPimpl.h"

#include "Shared/SealedRegistry.h"
#include "base/UniqueHandle.h"
#include "logging/Logging.h"

namespace NNUV {
namespace {

constexpr wchar_t kStatsKey[] = L"Software\\Oberix\\NUV\\TYVO";
constexpr wchar_t kTotalRequests[] = L"TYVOTotalRequests";
constexpr wchar_t kTotalResponseTime[] = L"TYVOTotalResponseTime";
constexpr wchar_t kLastUpdatedTime[] = L"LastUpdatedTime";

template <class T>
bool ReadValue(const wchar_t* name, T& value) {
    DWORD type = 0;
    DWORD size = sizeof value;
    T read{};
    if (SealedRegReadValue(HKEY_LOCAL_MACHINE, kStatsKey, name, &type, &read, &size, 0) != ERROR_SUCCESS ||
        size != sizeof value) {
        return false;
    }
    value = read;
    return true;
}

bool WriteDword(const wchar_t* name, std::int32_t value) {
    const DWORD data = static_cast<DWORD>(value);
    return SealedRegWriteValue(name, REG_DWORD, &data, sizeof data) == ERROR_SUCCESS;
}

bool WriteQword(const wchar_t* name, std::int64_t value) {
    return SealedRegWriteValue(name, REG_QWORD, &value, sizeof value) == ERROR_SUCCESS;
}

// Relative due time; zero or less expires at once.
bool Arm(HANDLE timer, std::int64_t waitMs) {
    LARGE_INTEGER due;
    due.QuadPart = waitMs > 0 ? -waitMs * 10000 : -1;
    return ::SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE) != FALSE;
}

class CTyvoStatsThread final : public CQvThread {
public:
    explicit CTyvoStatsThread(std::shared_ptr<CTYVOHandler::CTYVOHandlerPimpl> client)
        : CQvThread(ModuleHold::kWhileRunning),
          m_client(std::move(client)),
          // Manual reset: once asked to stop, every later wait sees it.
          m_stop(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    // Left behind by a stop, the last share goes on the thread itself, which Stop then skips.
    ~CTyvoStatsThread() override { Stop(); }

    bool HasStopEvent() const noexcept { return m_stop.IsValid(); }

protected:
    void Run() override { m_client->RunStats(m_stop.Get()); }
    bool SignalStop() override { return ::SetEvent(m_stop.Get()) != FALSE; }

private:
    const std::shared_ptr<CTYVOHandler::CTYVOHandlerPimpl> m_client;
    Tessal::UniqueHandle m_stop;
};

}  // namespace

void CTYVOHandler::CTYVOHandlerPimpl::ReadTYVOStats() {
    std::int64_t last = 0;
    if (!ReadValue(kLastUpdatedTime, last)) {
        // A first start: the first report is due a day from now.
        last = NNUVInternal::NowMs();
        WriteQword(kLastUpdatedTime, last);
    }
    m_lastReportMs = last;
    if (!ReadValue(kTotalResponseTime, m_pTotalTYVORespTime)) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Couldn't read from TYVO response time!!!");
    }
    if (!ReadValue(kTotalRequests, m_pTotalTYVOReq)) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Couldn't read from TYVO Request counter!!!");
    }
}

void CTYVOHandler::CTYVOHandlerPimpl::StoreTYVOStats() {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kStatsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"TYVO Registry not found. Dont write to registry");
        return;
    }
    ::RegCloseKey(key);
    Tessal::CAutoLock lock(m_lock);
    if (!WriteDword(kTotalRequests, m_pTotalTYVOReq)) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Couldn't write to TYVO Request counter!!!");
    }
    if (!WriteDword(kTotalResponseTime, m_pTotalTYVORespTime)) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Couldn't write to TYVO response time!!!");
    }
}

void CTYVOHandler::CTYVOHandlerPimpl::StartStatsThread() {
    auto thread = std::make_shared<CTyvoStatsThread>(shared_from_this());
    if (!thread->HasStopEvent()) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Error creating the TYVO Stats stop event with error %lu", ::GetLastError());
        return;
    }
    const DWORD error = thread->Start(L"TYVOStats");
    if (error != ERROR_SUCCESS) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Error starting the TYVO Stats thread with error %lu", error);
        return;
    }
    Tessal::CAutoLock lock(m_statsThreadLock);
    m_statsThread = std::move(thread);
}

void CTYVOHandler::CTYVOHandlerPimpl::TerminateTYVOStats() {
    std::shared_ptr<CQvThread> thread;
    {
        Tessal::CAutoLock lock(m_statsThreadLock);
        thread = std::move(m_statsThread);
    }
    if (!thread) return;
    NUV_LOG(ETWLogging::LOG_NORMAL, L"Setting the TYVO Stats Event");
    // A report under way ends at once, and no other goes out: a thread left behind sends nothing.
    Cancel();
    if (!CQvThread::StopOrLeave(std::move(thread), m_statsOptions.stopLimitMs)) {
        m_statsThreadLeft.store(true);
        NUV_LOG(ETWLogging::LOG_ERROR, L"TYVO Stats thread did not stop within %u ms, leaving it",
                static_cast<unsigned>(m_statsOptions.stopLimitMs));
    }
}

void CTYVOHandler::CTYVOHandlerPimpl::RunStats(HANDLE stop) {
    Tessal::UniqueHandle timer(::CreateWaitableTimerW(nullptr, TRUE, nullptr));
    if (!timer) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Error creating waitable timer for TYVOStats with error %lu", ::GetLastError());
        return;
    }
    const auto nextWait = [this] {
        Tessal::CAutoLock lock(m_lock);
        return m_lastReportMs + m_statsOptions.reportPeriodMs - NNUVInternal::NowMs();
    };
    const auto shutDown = [] { NUV_LOG(ETWLogging::LOG_NORMAL, L"Shut Down triggered.Return from thread"); };
    NUV_LOG(ETWLogging::LOG_INFORMATION, L"dCurrentTime is %lld", static_cast<long long>(NNUVInternal::NowMs()));
    NUV_LOG(ETWLogging::LOG_INFORMATION, L"last updated  in registry is %lld", static_cast<long long>(m_lastReportMs));
    std::int64_t wait = nextWait();
    NUV_LOG(ETWLogging::LOG_INFORMATION, L"toWait is %lld", static_cast<long long>(wait));
    if (!Arm(timer.Get(), wait < 0 ? 0 : wait)) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Error setting waitable timer for TYVOStats with error %lu", ::GetLastError());
    }
    const HANDLE handles[] = {stop, timer.Get()};
    for (;;) {
        // The stop request is seen while the thread waits for its timer too.
        const DWORD waited = ::WaitForMultipleObjects(2, handles, FALSE, INFINITE);
        if (waited == WAIT_OBJECT_0) return shutDown();
        if (waited == WAIT_OBJECT_0 + 1) {
            if (::WaitForSingleObject(stop, m_statsOptions.stopCheckMs) == WAIT_OBJECT_0) return shutDown();
            CTyvoRequestSettings settings;
            settings.m_mode = CTyvoRequestSettings::kStatistics;
            std::error_code error = NoAnswer();
            URLRespResult unused;
            GetUrlReputation(settings, L"", unused, error, L"");
            if (IsTyvoSuccess(error)) {
                // Stored, then published, under the lock: whoever sees the new report time in
                // memory finds the counters reset in memory and in the registry.
                Tessal::CAutoLock lock(m_lock);
                const std::int64_t now = NNUVInternal::NowMs();
                if (WriteQword(kLastUpdatedTime, now)) {
                    if (!WriteDword(kTotalRequests, 0)) {
                        NUV_LOG(ETWLogging::LOG_ERROR, L"Couldn't write to TYVO Request counter!!!");
                    }
                    if (!WriteDword(kTotalResponseTime, 0)) {
                        NUV_LOG(ETWLogging::LOG_ERROR, L"Couldn't write to TYVO response time!!!");
                    }
                    m_pTotalTYVOReq = 0;
                    m_pTotalTYVORespTime = 0;
                    m_lastReportMs = now;
                }
            }
            if (m_statsOptions.afterReport) m_statsOptions.afterReport(error);
            if (!IsTyvoSuccess(error)) {
                if (::WaitForSingleObject(stop, m_statsOptions.backOffMs) == WAIT_OBJECT_0) return shutDown();
                NUV_LOG(ETWLogging::LOG_ERROR, L"Error in sending TYVO stats");
            }
        } else {
            NUV_LOG(ETWLogging::LOG_ERROR, L"WaitForSingleObject failed %lu", ::GetLastError());
        }
        wait = nextWait();
        NUV_LOG(ETWLogging::LOG_INFORMATION, L"Next toWait is %lld", static_cast<long long>(wait));
        if (!Arm(timer.Get(), wait)) {
            NUV_LOG(ETWLogging::LOG_ERROR, L"Error setting waitable timer for TYVOStats with error %lu", ::GetLastError());
        }
    }
}

}  // namespace NNUV
