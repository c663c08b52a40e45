#include "plugin/filter/reputation/UrlResponseCache.h"

#include "base/Sync.h"
#include "base/UniqueHandle.h"
#include "logging/Logging.h"
#include "nuvutil/QvThread.h"

#include <windows.h>

#include <atomic>
#include <memory>

namespace NNUV {
namespace UrlResponseCache {
namespace {

using Map = NNUVInternal::CTimedMap<std::wstring, URLRespCache, Clock>;

Tessal::CCriticalSection g_lock(4000);
Map g_map;

constexpr DWORD kPruneStopLimitMs = 10000;
std::atomic<unsigned> g_periodMs{kPrunePeriodMs};
std::atomic<unsigned> g_stopLimitMs{kPruneStopLimitMs};

bool Arm(HANDLE timer) {
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(g_periodMs.load()) * 10000;  // relative, 100 ns units
    return ::SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE) != FALSE;
}

// It touches only the process-wide map and its lock, which stay as long as the DLL does: the
// thread holds the DLL while it runs, so one that a stop left behind finds them intact.
class CPruneThread final : public CQvThread {
public:
    // Manual reset: once asked to stop, every later wait sees it.
    CPruneThread() : CQvThread(ModuleHold::kWhileRunning), m_stop(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~CPruneThread() override { Stop(); }

    bool HasStopEvent() const noexcept { return m_stop.IsValid(); }

protected:
    void Run() override {
        Tessal::UniqueHandle timer(::CreateWaitableTimerW(nullptr, TRUE, nullptr));
        if (!timer) {
            NUV_LOG(ETWLogging::LOG_ERROR, L"CreateWaitableTimer failed - %lu", ::GetLastError());
            return;
        }
        if (!Arm(timer.Get())) {
            NUV_LOG(ETWLogging::LOG_ERROR, L"SetWaitableTimer failed - %lu", ::GetLastError());
            return;
        }
        const HANDLE handles[] = {m_stop.Get(), timer.Get()};
        for (;;) {
            const DWORD waited = ::WaitForMultipleObjects(2, handles, FALSE, INFINITE);
            if (waited == WAIT_OBJECT_0) return;
            if (waited != WAIT_OBJECT_0 + 1) {
                NUV_LOG(ETWLogging::LOG_ERROR, L"WaitForSingleObject failed - %lu", ::GetLastError());
                return;
            }
            RemoveExpired();
            if (!Arm(timer.Get())) {
                NUV_LOG(ETWLogging::LOG_ERROR, L"SetWaitableTimer failed:%lu", ::GetLastError());
                return;
            }
        }
    }
    bool SignalStop() override { return ::SetEvent(m_stop.Get()) != FALSE; }

private:
    Tessal::UniqueHandle m_stop;
};

// The prune thread; guarded by g_threadLock, which is taken before g_lock.
Tessal::CCriticalSection g_threadLock;
std::shared_ptr<CQvThread> g_thread;
std::atomic<bool> g_running{false};

}  // namespace

bool Find(const std::wstring& url, URLRespResult& result) {
    Tessal::CAutoLock lock(g_lock);
    const auto entry = g_map.Find(url);
    if (!entry) return false;
    result.rep = entry->rep;
    result.cat = entry->cat;
    return true;
}

void Insert(const std::wstring& url, const URLRespResult& answer) {
    URLRespCache entry;
    entry.rep = answer.rep;
    entry.cat = answer.cat;
    entry.insertionTime = Clock()();
    Tessal::CAutoLock lock(g_lock);
    g_map.Insert(url, entry);
}

void RemoveExpired() {
    Tessal::CAutoLock lock(g_lock);
    g_map.RemoveExpired(kMaxEntries, kLifetimeSeconds);
}

std::size_t Size() {
    Tessal::CAutoLock lock(g_lock);
    return g_map.Size();
}

void Clear() {
    Tessal::CAutoLock lock(g_lock);
    g_map.Clear();
}

void StartPruneThread() {
    if (g_running.load(std::memory_order_acquire)) return;
    Tessal::CAutoLock lock(g_threadLock);
    if (g_thread) return;
    std::shared_ptr<CPruneThread> thread;
    try {
        thread = std::make_shared<CPruneThread>();
    } catch (const std::exception& error) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"The cache prune thread could not be made (%hs)", error.what());
        return;
    }
    if (!thread->HasStopEvent() || thread->Start(L"UrlResponseCache") != ERROR_SUCCESS) return;
    g_thread = std::move(thread);
    g_running.store(true, std::memory_order_release);
}

void StopPruneThread() noexcept {
    Tessal::CAutoLock lock(g_threadLock);
    if (!g_thread) return;
    const unsigned limitMs = g_stopLimitMs.load();
    if (!CQvThread::StopOrLeave(std::move(g_thread), limitMs)) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"The cache prune thread did not stop within %u ms, leaving it", limitMs);
    }
    g_running.store(false, std::memory_order_release);
}

void SetPruneTimingForTests(unsigned periodMs, unsigned stopLimitMs) noexcept {
    g_periodMs.store(periodMs != 0 ? periodMs : kPrunePeriodMs);
    g_stopLimitMs.store(stopLimitMs != 0 ? stopLimitMs : kPruneStopLimitMs);
}

bool IsPruneThreadRunning() noexcept { return g_running.load(); }

}  // namespace UrlResponseCache
}  // namespace NNUV
