#pragma once
// The answers of the reputation service, kept for an hour per URL: one process-wide map, pruned
// every ten seconds by a thread of its own (the oldest beyond 10000 entries and every entry older
// than 3600 s). The reputation client is its only user.

#include "plugin/filter/reputation/TimedMap.h"

#include <cstdint>
#include <string>
#include <vector>

namespace NNUV {

// The answer for one URL.
struct URLRespResult {
    std::int32_t rep = 0;
    std::vector<std::int32_t> cat;
};

struct URLRespCache {
    std::int32_t rep = 0;
    std::vector<std::int32_t> cat;
    std::int64_t insertionTime = 0;
};

namespace UrlResponseCache {

inline constexpr std::size_t kMaxEntries = 10000;
inline constexpr std::int64_t kLifetimeSeconds = 3600;
inline constexpr unsigned kPrunePeriodMs = 10000;

using Clock = NNUVInternal::CDefaultTimeFunctor<URLRespCache>;

// The entry's answer, expired or not (until a prune removes it).
bool Find(const std::wstring& url, URLRespResult& result);
// Replaces an entry of the same URL; the insertion time is the cache clock's now.
void Insert(const std::wstring& url, const URLRespResult& answer);
void RemoveExpired();
std::size_t Size();
void Clear();

// The prune thread: started by the first look-up (again after a stop), stopped and joined when
// URL classification stops. A stop waits 10 s for it; past that it is left to end by itself
// (logged), holding the DLL until it does, and the next start makes a new one.
void StartPruneThread();
void StopPruneThread() noexcept;
bool IsPruneThreadRunning() noexcept;
// For tests: the prune period and the stop's limit, both read afresh at each use; 0 restores the
// product's value.
void SetPruneTimingForTests(unsigned periodMs, unsigned stopLimitMs) noexcept;

}  // namespace UrlResponseCache
}  // namespace NNUV
