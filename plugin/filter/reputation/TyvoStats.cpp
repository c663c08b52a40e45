// The reputation client's statistics: the counters of successful requests, kept in the registry
// across restarts, and the thread that reports their average once a day.
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
constexpr std::int64_t kReportPeriodMs = 86400000;
constexpr DWORD kStopCheckMs = 1000;
constexpr DWORD kBackOffMs = 10000;

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
    // Manual reset: once asked to stop, every later wait sees it.
    m_statsStop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (m_statsStop == nullptr) return;
    m_statsThread = ::CreateThread(nullptr, 0, &TYVOStatsTimer, this, 0, nullptr);
}

void CTYVOHandler::CTYVOHandlerPimpl::TerminateTYVOStats() {
    if (m_statsThread == nullptr) return;
    NUV_LOG(ETWLogging::LOG_NORMAL, L"Setting the TYVO Stats Event");
    ::SetEvent(m_statsStop);
    // A report under way ends at once.
    Cancel();
    ::WaitForSingleObject(m_statsThread, INFINITE);
    ::CloseHandle(m_statsThread);
    m_statsThread = nullptr;
}

DWORD WINAPI CTYVOHandler::CTYVOHandlerPimpl::TYVOStatsTimer(void* parameter) {
    auto* const pimpl = static_cast<CTYVOHandlerPimpl*>(parameter);
    if (pimpl == nullptr) return 0;
    Tessal::UniqueHandle timer(::CreateWaitableTimerW(nullptr, TRUE, nullptr));
    if (!timer) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Error creating waitable timer for TYVOStats with error %lu", ::GetLastError());
        return 0;
    }
    const auto nextWait = [pimpl] {
        Tessal::CAutoLock lock(pimpl->m_lock);
        return pimpl->m_lastReportMs + kReportPeriodMs - NNUVInternal::NowMs();
    };
    const auto shutDown = [] {
        NUV_LOG(ETWLogging::LOG_NORMAL, L"Shut Down triggered.Return from thread");
        return 1;
    };
    NUV_LOG(ETWLogging::LOG_INFORMATION, L"dCurrentTime is %lld", static_cast<long long>(NNUVInternal::NowMs()));
    NUV_LOG(ETWLogging::LOG_INFORMATION, L"last updated  in registry is %lld", static_cast<long long>(pimpl->m_lastReportMs));
    std::int64_t wait = nextWait();
    NUV_LOG(ETWLogging::LOG_INFORMATION, L"toWait is %lld", static_cast<long long>(wait));
    if (!Arm(timer.Get(), wait < 0 ? 0 : wait)) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Error setting waitable timer for TYVOStats with error %lu", ::GetLastError());
    }
    const HANDLE handles[] = {pimpl->m_statsStop, timer.Get()};
    for (;;) {
        // The stop request is seen while the thread waits for its timer too.
        const DWORD waited = ::WaitForMultipleObjects(2, handles, FALSE, INFINITE);
        if (waited == WAIT_OBJECT_0) return shutDown();
        if (waited == WAIT_OBJECT_0 + 1) {
            if (::WaitForSingleObject(pimpl->m_statsStop, kStopCheckMs) == WAIT_OBJECT_0) return shutDown();
            CTyvoRequestSettings settings;
            settings.m_mode = CTyvoRequestSettings::kStatistics;
            std::error_code error = NoAnswer();
            URLRespResult unused;
            pimpl->GetUrlReputation(settings, L"", unused, error, L"");
            if (IsTyvoSuccess(error)) {
                // Stored, then published, under the lock: whoever sees the new report time in
                // memory finds the counters reset in memory and in the registry.
                Tessal::CAutoLock lock(pimpl->m_lock);
                const std::int64_t now = NNUVInternal::NowMs();
                if (WriteQword(kLastUpdatedTime, now)) {
                    if (!WriteDword(kTotalRequests, 0)) {
                        NUV_LOG(ETWLogging::LOG_ERROR, L"Couldn't write to TYVO Request counter!!!");
                    }
                    if (!WriteDword(kTotalResponseTime, 0)) {
                        NUV_LOG(ETWLogging::LOG_ERROR, L"Couldn't write to TYVO response time!!!");
                    }
                    pimpl->m_pTotalTYVOReq = 0;
                    pimpl->m_pTotalTYVORespTime = 0;
                    pimpl->m_lastReportMs = now;
                }
            } else {
                if (::WaitForSingleObject(pimpl->m_statsStop, kBackOffMs) == WAIT_OBJECT_0) return shutDown();
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
