#include "GuardedHeap.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
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

thread_local int t_depth = 0;
std::uint8_t* g_region = nullptr;
std::atomic<std::size_t> g_next{0};  // offset of the next free slot
std::atomic<std::size_t> g_live{0};
std::atomic<std::size_t> g_total{0};

bool InRegion(const void* p) {
    const auto* byte = static_cast<const std::uint8_t*>(p);
    return g_region != nullptr && byte >= g_region && byte < g_region + kRegionSize;
}

void* GuardedAllocate(std::size_t size) {
    if (g_region == nullptr) {
        g_region = static_cast<std::uint8_t*>(::VirtualAlloc(nullptr, kRegionSize, MEM_RESERVE, PAGE_NOACCESS));
        if (g_region == nullptr) return nullptr;
    }
    // With nothing alive the region starts over; else slots are never reused.
    if (g_live.load() == 0) g_next.store(0);
    const std::size_t aligned = (size + 15) & ~std::size_t{15};
    const std::size_t pages = (aligned + 32 + kPage - 1) / kPage;
    const std::size_t offset = g_next.fetch_add((pages + 1) * kPage);
    if (offset + (pages + 1) * kPage > kRegionSize) return nullptr;
    std::uint8_t* slot = g_region + offset;
    if (::VirtualAlloc(slot, pages * kPage, MEM_COMMIT, PAGE_READWRITE) == nullptr) return nullptr;
    std::uint8_t* block = slot + pages * kPage - aligned;
    auto* header = reinterpret_cast<Header*>(block - sizeof(Header));
    *header = Header{kMagic, reinterpret_cast<std::uintptr_t>(slot), pages};
    ++g_live;
    ++g_total;
    return block;
}

void GuardedFree(void* p) {
    auto* header = reinterpret_cast<Header*>(static_cast<std::uint8_t*>(p) - sizeof(Header));
    if (header->magic != kMagic) std::abort();  // a pointer new never gave out, or freed twice
    header->magic = 0;
    ::VirtualFree(reinterpret_cast<void*>(header->slot), header->pages * kPage, MEM_DECOMMIT);
    --g_live;
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
