#pragma once
// Growable byte block for the data of one registry value. The block only grows: a smaller value
// reuses it, so a reader that enumerates many values allocates once.

#include <cstdint>
#include <memory>

class CByteBuffer {
public:
    // Allocates `initialSize` bytes at once unless `noAllocate` is set or the size is 0 (a failed
    // allocation leaves the buffer empty; SetData tries again).
    explicit CByteBuffer(int initialSize = 0, bool noAllocate = false);
    ~CByteBuffer();
    // Copies the held bytes; the copy keeps the other's initial size.
    CByteBuffer(const CByteBuffer& other);
    CByteBuffer& operator=(const CByteBuffer& other);

    // With `release`, frees the block; otherwise keeps it and only forgets the bytes held.
    void Free(bool release);
    // Replaces the block by one of `size` bytes; false (and no block) when that fails.
    bool Allocate(std::uint32_t size);
    // Copies `size` bytes, growing the block to at least the initial size; 0 only when the block
    // could not grow. A null source or a size of 0 empties the buffer but keeps the block.
    int SetData(const void* source, std::uint32_t size);

    std::uint8_t* GetData() const noexcept { return m_data.get(); }
    std::uint32_t GetSize() const noexcept { return m_size; }
    std::uint32_t GetCapacity() const noexcept { return m_capacity; }

private:
    std::unique_ptr<std::uint8_t[]> m_data;
    std::int32_t m_initialSize;
    std::uint32_t m_capacity = 0;
    std::uint32_t m_size = 0;
};
