#include "plugin/filter/reputation/UrlResponseCache.h"

#include "base/Sync.h"
#include "base/UniqueHandle.h"
#include "logging/Logging.h"

#include <windows.h>

#include <atomic>

namespace NNUV {
namespace UrlResponseCache {
namespace {

using Map = NNUVInternal::CTimedMap<std::wstring, URLRespCache, Clock>;

Tessal::CCriticalSection g_lock(4000);
Map g_map;

// The prune thread; guarded by g_threadLock, which is taken before g_lock.
Tessal::CCriticalSection g_threadLock;
HANDLE g_thread = nullptr;
HANDLE g_stop = nullptr;
std::atomic<bool> g_running{false};

bool Arm(HANDLE timer) {
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(kPrunePeriodMs) * 10000;  // relative, 100 ns units
    return ::SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE) != FALSE;
}

DWORD WINAPI CacheThreadProc(void* stopEvent) {
    Tessal::UniqueHandle timer(::CreateWaitableTimerW(nullptr, TRUE, nullptr));
    if (!timer) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"CreateWaitableTimer failed - %lu", ::GetLastError());
        return 0;
    }
    if (!Arm(timer.Get())) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"SetWaitableTimer failed - %lu", ::GetLastError());
        return 0;
    }
    const HANDLE handles[] = {static_cast<HANDLE>(stopEvent), timer.Get()};
    for (;;) {
        const DWORD waited = ::WaitForMultipleObjects(2, handles, FALSE, INFINITE);
        if (waited == WAIT_OBJECT_0) return 1;
        if (waited != WAIT_OBJECT_0 + 1) {
            NUV_LOG(ETWLogging::LOG_ERROR, L"WaitForSingleObject failed - %lu", ::GetLastError());
            return 0;
        }
        RemoveExpired();
        if (!Arm(timer.Get())) {
            NUV_LOG(ETWLogging::LOG_ERROR, L"SetWaitableTimer failed:%lu", ::GetLastError());
            return 0;
        }
    }
}

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
    if (g_thread != nullptr) return;
    g_stop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (g_stop == nullptr) return;
    g_thread = ::CreateThread(nullptr, 0, &CacheThreadProc, g_stop, 0, nullptr);
    if (g_thread == nullptr) {
        ::CloseHandle(g_stop);
        g_stop = nullptr;
        return;
    }
    g_running.store(true, std::memory_order_release);
}

void StopPruneThread() noexcept {
    Tessal::CAutoLock lock(g_threadLock);
    if (g_thread == nullptr) return;
    ::SetEvent(g_stop);
    ::WaitForSingleObject(g_thread, INFINITE);
    ::CloseHandle(g_thread);
    ::CloseHandle(g_stop);
    g_thread = g_stop = nullptr;
    g_running.store(false, std::memory_order_release);
}

bool IsPruneThreadRunning() noexcept { return g_running.load(); }

}  // namespace UrlResponseCache
}  // namespace NNUV
