#include "GuardedHeap.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <map>
#include <new>

namespace {

constexpr std::size_t kPage = 4096;
constexpr std::size_t kRegionSize = std::size_t{64} << 30;  // address space only
constexpr std::uint64_t kMagic = 0x4755415244454431ull;     // "GUARDED1"

struct Header {  // just before each guarded block
    std::uint64_t magic;
    std::uintptr_t slot;
    std::size_t pages;
};
static_assert(sizeof(Header) <= 32, "the header fits the space kept before a block");

// The heap's own bookkeeping must not come from the replaced operator new.
template <typename T>
struct MallocAllocator {
    using value_type = T;
    MallocAllocator() = default;
    template <typename U>
    MallocAllocator(const MallocAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        if (void* block = std::malloc(n * sizeof(T))) return static_cast<T*>(block);
        throw std::bad_alloc();
    }
    void deallocate(T* p, std::size_t) noexcept { std::free(p); }
    template <typename U>
    bool operator==(const MallocAllocator<U>&) const noexcept { return true; }
    template <typename U>
    bool operator!=(const MallocAllocator<U>&) const noexcept { return false; }
};

// Freed slots by page count, oldest first: a slot is used again only after this many others of
// its size were freed, so a late use of a freed block still finds its pages decommitted.
constexpr std::size_t kQuarantine = 4096;
using SlotQueue = std::deque<std::uintptr_t, MallocAllocator<std::uintptr_t>>;
using FreeSlots = std::map<std::size_t, SlotQueue, std::less<std::size_t>,
                           MallocAllocator<std::pair<const std::size_t, SlotQueue>>>;

thread_local int t_depth = 0;
std::uint8_t* g_region = nullptr;
SRWLOCK g_lock = SRWLOCK_INIT;  // blocks may be freed on other threads
FreeSlots* g_free = nullptr;
std::size_t g_next = 0;  // offset of the first slot never used
std::atomic<std::size_t> g_total{0};

class Exclusive {
public:
    Exclusive() { ::AcquireSRWLockExclusive(&g_lock); }
    ~Exclusive() { ::ReleaseSRWLockExclusive(&g_lock); }
};

bool InRegion(const void* p) {
    const auto* byte = static_cast<const std::uint8_t*>(p);
    return g_region != nullptr && byte >= g_region && byte < g_region + kRegionSize;
}

// A slot of `pages` pages followed by its guard page: a freed one out of quarantine, else a new one.
std::uint8_t* TakeSlot(std::size_t pages) {
    Exclusive lock;
    if (g_region == nullptr) {
        g_region = static_cast<std::uint8_t*>(::VirtualAlloc(nullptr, kRegionSize, MEM_RESERVE, PAGE_NOACCESS));
        if (g_region == nullptr) return nullptr;
        g_free = new (std::malloc(sizeof(FreeSlots))) FreeSlots();
    }
    SlotQueue& queue = (*g_free)[pages];
    if (queue.size() > kQuarantine) {
        const std::uintptr_t slot = queue.front();
        queue.pop_front();
        return reinterpret_cast<std::uint8_t*>(slot);
    }
    const std::size_t bytes = (pages + 1) * kPage;
    if (g_next + bytes > kRegionSize) return nullptr;
    std::uint8_t* slot = g_region + g_next;
    g_next += bytes;
    return slot;
}

void* GuardedAllocate(std::size_t size) {
    const std::size_t aligned = (size + 15) & ~std::size_t{15};
    const std::size_t pages = (aligned + 32 + kPage - 1) / kPage;
    std::uint8_t* slot = TakeSlot(pages);
    if (slot == nullptr) return nullptr;
    if (::VirtualAlloc(slot, pages * kPage, MEM_COMMIT, PAGE_READWRITE) == nullptr) return nullptr;
    std::uint8_t* block = slot + pages * kPage - aligned;
    auto* header = reinterpret_cast<Header*>(block - sizeof(Header));
    *header = Header{kMagic, reinterpret_cast<std::uintptr_t>(slot), pages};
    ++g_total;
    return block;
}

void GuardedFree(void* p) {
    auto* header = reinterpret_cast<Header*>(static_cast<std::uint8_t*>(p) - sizeof(Header));
    if (header->magic != kMagic) std::abort();  // a pointer new never gave out, or freed twice
    header->magic = 0;
    const std::uintptr_t slot = header->slot;
    const std::size_t pages = header->pages;
    ::VirtualFree(reinterpret_cast<void*>(slot), pages * kPage, MEM_DECOMMIT);
    Exclusive lock;
    (*g_free)[pages].push_back(slot);
}

}  // namespace

void* operator new(std::size_t size) {
    if (t_depth > 0) {
        if (void* block = GuardedAllocate(size != 0 ? size : 1)) return block;
    }
    for (;;) {
        if (void* block = std::malloc(size != 0 ? size : 1)) return block;
        std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) throw std::bad_alloc();
        handler();
    }
}

void operator delete(void* p) noexcept {
    if (p == nullptr) return;
    if (InRegion(p)) {
        GuardedFree(p);
    } else {
        std::free(p);
    }
}

void operator delete(void* p, std::size_t) noexcept { operator delete(p); }

namespace NuvFuzz {

GuardedScope::GuardedScope() noexcept { ++t_depth; }
GuardedScope::~GuardedScope() { --t_depth; }

bool IsGuardedAddress(const void* address) noexcept { return InRegion(address); }
std::size_t GuardedAllocations() noexcept { return g_total.load(); }

}  // namespace NuvFuzz
