#include "modulefw/performance/PerfTimer.h"

#include "logging/Logging.h"

#include <windows.h>
#include <realtimeapiset.h>

namespace Korin {
namespace internal {

namespace {

// Milliseconds since boot without sleep and hibernation.
std::uint64_t UnbiasedMilliseconds() {
    ULONGLONG units = 0;  // 100 ns
    ::QueryUnbiasedInterruptTime(&units);
    return units / 10000;
}

}  // namespace

PerfTimer::PerfTimer(const std::wstring& name) : m_start(UnbiasedMilliseconds()), m_name(name) {}

PerfTimer::~PerfTimer() { stop(); }

void PerfTimer::stop() {
    if (m_stopped) return;
    const std::uint64_t stopTime = UnbiasedMilliseconds();
    NUV_LOG(ETWLogging::LOG_NORMAL, L"M12NPerfTimer|%ls|%lld|%lld|%lld", m_name.c_str(),
            static_cast<long long>(m_start), static_cast<long long>(stopTime),
            static_cast<long long>(stopTime - m_start));
    m_stopped = true;
}

}  // namespace internal
}  // namespace Korin
