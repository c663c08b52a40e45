#pragma once
// Scoped timer: logs its name, start, stop and elapsed milliseconds once, at level 1, when it is
// stopped or leaves scope. The clock does not count time the machine spent asleep.

#include <cstdint>
#include <string>

namespace Korin {
namespace internal {

class PerfTimer {
public:
    explicit PerfTimer(const std::wstring& name);
    ~PerfTimer();
    PerfTimer(const PerfTimer&) = delete;
    PerfTimer& operator=(const PerfTimer&) = delete;

    // Logs the line; later calls (and the destructor) do nothing.
    void stop();

private:
    std::uint64_t m_start;
    std::wstring m_name;
    bool m_stopped = false;
};

}  // namespace internal
}  // namespace Korin
