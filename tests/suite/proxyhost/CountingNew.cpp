#include "tests/suite/proxyhost/CountingNew.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<long long> g_liveBytes{0};

// Each block starts with its size; the header keeps malloc's alignment.
constexpr std::size_t kHeader = 16;

void* Allocate(std::size_t size) noexcept {
    void* const block = std::malloc(size + kHeader);
    if (block == nullptr) return nullptr;
    *static_cast<std::size_t*>(block) = size;
    g_liveBytes += static_cast<long long>(size);
    return static_cast<char*>(block) + kHeader;
}

void Free(void* pointer) noexcept {
    if (pointer == nullptr) return;
    void* const block = static_cast<char*>(pointer) - kHeader;
    g_liveBytes -= static_cast<long long>(*static_cast<std::size_t*>(block));
    std::free(block);
}

void* AllocateOrThrow(std::size_t size) {
    void* const pointer = Allocate(size);
    if (pointer == nullptr) throw std::bad_alloc();
    return pointer;
}

}  // namespace

void* operator new(std::size_t size) { return AllocateOrThrow(size); }
void* operator new[](std::size_t size) { return AllocateOrThrow(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* pointer) noexcept { Free(pointer); }
void operator delete[](void* pointer) noexcept { Free(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { Free(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept { Free(pointer); }
void operator delete(void* pointer, const std::nothrow_t&) noexcept { Free(pointer); }
void operator delete[](void* pointer, const std::nothrow_t&) noexcept { Free(pointer); }

namespace QvProxyTest {

long long LiveBytes() noexcept { return g_liveBytes.load(); }

}  // namespace QvProxyTest
