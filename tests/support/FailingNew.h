#pragma once
// Linking this replaces the throwing form of operator new for the whole test program, so a test
// can make one chosen allocation throw std::bad_alloc (code that must answer "out of memory").

#include <cstddef>

namespace NuvTest {

// While one lives on a thread, the allocation on that thread of at least `minimumBytes` that
// follows `skipped` such allocations throws; the others go through.
class FailLargeAllocation {
public:
    explicit FailLargeAllocation(std::size_t minimumBytes, int skipped = 0) noexcept;
    ~FailLargeAllocation();
    FailLargeAllocation(const FailLargeAllocation&) = delete;
    FailLargeAllocation& operator=(const FailLargeAllocation&) = delete;

    bool Failed() const noexcept;  // the chosen allocation happened (and threw)
};

}  // namespace NuvTest
