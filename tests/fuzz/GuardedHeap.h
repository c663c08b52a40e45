#pragma once
// Linking this replaces operator new and delete for the whole program. While a GuardedScope lives
// on a thread, each allocation of that thread gets pages of its own that end where an inaccessible
// guard page begins, so reading or writing past the end faults at once (up to 15 bytes of
// alignment slack); freeing decommits the pages, so a later use of the block faults too (a freed
// slot is used again only after thousands of others of its size were freed).
// Other allocations go to malloc as usual.

#include <cstddef>

namespace NuvFuzz {

class GuardedScope {
public:
    GuardedScope() noexcept;
    ~GuardedScope();
    GuardedScope(const GuardedScope&) = delete;
    GuardedScope& operator=(const GuardedScope&) = delete;
};

// Whether an address lies in the guarded region (for reporting a fault).
bool IsGuardedAddress(const void* address) noexcept;
std::size_t GuardedAllocations() noexcept;

}  // namespace NuvFuzz
