#include "plugin/filter/reputation/SecureByteVector.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

namespace NNUV {
namespace {
std::atomic<SecureByteVector::ReleaseObserver> g_observer{nullptr};
}  // namespace

void SecureByteVector::SetReleaseObserver(ReleaseObserver observer) noexcept { g_observer.store(observer); }

void SecureByteVector::Free(std::uint8_t* block, std::size_t capacity) noexcept {
    if (block == nullptr) return;
    // Not optimised away, unlike a memset before a free.
    ::SecureZeroMemory(block, capacity);
    if (const ReleaseObserver observer = g_observer.load()) observer(block, capacity);
    ::operator delete(block);
}

SecureByteVector::SecureByteVector(SecureByteVector&& other) noexcept
    : m_data(other.m_data), m_size(other.m_size), m_capacity(other.m_capacity) {
    other.m_data = nullptr;
    other.m_size = other.m_capacity = 0;
}

SecureByteVector& SecureByteVector::operator=(SecureByteVector&& other) noexcept {
    if (this != &other) {
        release();
        m_data = other.m_data;
        m_size = other.m_size;
        m_capacity = other.m_capacity;
        other.m_data = nullptr;
        other.m_size = other.m_capacity = 0;
    }
    return *this;
}

void SecureByteVector::resize(std::size_t size) {
    if (size > m_capacity) {
        const std::size_t capacity = std::max(size, m_capacity + m_capacity / 2);
        auto* const block = static_cast<std::uint8_t*>(::operator new(capacity));
        if (m_size != 0) std::memcpy(block, m_data, m_size);
        std::memset(block + m_size, 0, capacity - m_size);
        Free(m_data, m_capacity);
        m_data = block;
        m_capacity = capacity;
    } else if (size > m_size) {
        std::memset(m_data + m_size, 0, size - m_size);
    }
    m_size = size;
}

void SecureByteVector::release() noexcept {
    Free(m_data, m_capacity);
    m_data = nullptr;
    m_size = m_capacity = 0;
}

}  // namespace NNUV
