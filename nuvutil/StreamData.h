#pragma once
// Serialisation buffer of the activity-log records: the writer appends fields one after the other,
// the reader loads a whole stream and takes the fields off the front in the same order. Record
// data may be private, so every block is zero-filled before it is given back.

#include <windows.h>

#include <cstddef>

// Where CStreamData gets its blocks; replaceable so tests can fail an allocation and see each
// block as it is given back. Release receives blocks already zero-filled.
class CStreamDataMemory {
public:
    virtual ~CStreamDataMemory();
    virtual void* Allocate(std::size_t size) noexcept;  // null on failure
    virtual void Release(void* block, std::size_t size) noexcept;
};

// Installs a replacement (null restores the heap's); returns the previous one. A replacement must
// outlive every CStreamData that holds a block from it.
CStreamDataMemory* SetStreamDataMemory(CStreamDataMemory* memory) noexcept;

class CStreamData {
public:
    CStreamData() noexcept = default;
    ~CStreamData();
    CStreamData(const CStreamData&) = delete;
    CStreamData& operator=(const CStreamData&) = delete;

    // Zero-fills and releases the buffer; capacity and position go back to zero.
    void Free() noexcept;
    // A buffer of n bytes holding the old contents up to the smaller size, position at its start.
    // FALSE (nothing changed) when the allocation fails.
    BOOL Allocate(DWORD n) noexcept;

    BYTE* GetData() const noexcept { return m_pData; }
    DWORD GetSize() const noexcept { return m_dwSize; }

    // Appends n bytes at the position, growing the buffer to exactly what is filled. FALSE when an
    // allocation fails or the filled size would pass 4 GiB; the buffer is then unchanged.
    BOOL WriteDataToStream(const void* source, DWORD n) noexcept;
    // Copies n bytes from the position and advances it. FALSE (position unchanged) without a
    // buffer or when fewer than n bytes remain before the end of the capacity.
    BOOL ReadDataFromStream(void* target, DWORD n) noexcept;

private:
    DWORD m_dwSize = 0;
    BYTE* m_pData = nullptr;
    BYTE* m_pCurrentPointer = nullptr;
};
