#pragma once
// How the scan buffers grow: to the need rounded up to 64 KiB, with 10 % headroom (again rounded
// up), never beyond their cap. One contiguous block, never shrunk.

#include <windows.h>

#include <algorithm>
#include <cstdint>

namespace BufferGrowth {

constexpr DWORD kStep = 65536;

constexpr std::uint64_t RoundUp(std::uint64_t n) noexcept { return (n + kStep - 1) / kStep * kStep; }

// The capacity to allocate for `need` bytes; 0 when even the rounded need exceeds `cap`.
constexpr DWORD NewCapacity(std::uint64_t need, DWORD cap) noexcept {
    const std::uint64_t rounded = RoundUp(need);
    if (rounded > cap) return 0;
    const std::uint64_t headroom = RoundUp(rounded * 11 / 10);
    return static_cast<DWORD>(std::min<std::uint64_t>(std::max(rounded, headroom), cap));
}

static_assert(NewCapacity(101, 4194304) == 131072, "an empty buffer's first block");
static_assert(NewCapacity(65537, 4194304) == 196608, "one step over gets two more");
static_assert(NewCapacity(4194304, 4194304) == 4194304, "the cap itself is granted");
static_assert(NewCapacity(4194305, 4194304) == 0, "beyond the cap is refused");

}  // namespace BufferGrowth
