#pragma once
// A growable byte array for key and digest bytes: its storage is overwritten with zeros before it
// is freed, on destruction and when growth moves it to a larger block.

#include <cstddef>
#include <cstdint>

namespace NNUV {

class SecureByteVector {
public:
    SecureByteVector() = default;
    explicit SecureByteVector(std::size_t size) { resize(size); }
    ~SecureByteVector() { release(); }
    SecureByteVector(const SecureByteVector&) = delete;
    SecureByteVector& operator=(const SecureByteVector&) = delete;
    SecureByteVector(SecureByteVector&& other) noexcept;
    SecureByteVector& operator=(SecureByteVector&& other) noexcept;

    // New bytes are zero. Growth takes max(size, 1.5 x capacity); throws std::bad_alloc.
    void resize(std::size_t size);
    // Zeroes and frees the storage.
    void release() noexcept;

    std::uint8_t* data() noexcept { return m_data; }
    const std::uint8_t* data() const noexcept { return m_data; }
    std::size_t size() const noexcept { return m_size; }
    std::uint8_t& operator[](std::size_t i) noexcept { return m_data[i]; }
    std::uint8_t operator[](std::size_t i) const noexcept { return m_data[i]; }

    // For tests: called with every block just before it is freed (after it was zeroed).
    using ReleaseObserver = void (*)(const std::uint8_t* block, std::size_t capacity);
    static void SetReleaseObserver(ReleaseObserver observer) noexcept;

private:
    static void Free(std::uint8_t* block, std::size_t capacity) noexcept;

    std::uint8_t* m_data = nullptr;
    std::size_t m_size = 0;
    std::size_t m_capacity = 0;
};

}  // namespace NNUV
