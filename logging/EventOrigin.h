#pragma once
// The origin record every ETW event carries before its text, and the byte layout consumers decode:
// little-endian, packed; a counted string is a 16-bit character count and that many UTF-16 code
// units, without terminator.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace ETWLogging {

struct EventOrigin {
    DWORD processId = 0;
    DWORD threadId = 0;
    const wchar_t* processImageName = nullptr;
    const wchar_t* sourceFile = nullptr;
    const wchar_t* function = nullptr;
    DWORD line = 0;
    const wchar_t* moduleFileName = nullptr;
    const wchar_t* moduleVersion = nullptr;
    const wchar_t* componentName = nullptr;
    std::uint64_t textBytes = 0;
};

// Holds the packed record: 256 bytes in place, growing to the larger of the need and one and a
// half times the capacity.
class EventOriginBuffer {
public:
    static constexpr std::size_t kInPlaceBytes = 256;

    EventOriginBuffer() = default;
    EventOriginBuffer(const EventOriginBuffer&) = delete;
    EventOriginBuffer& operator=(const EventOriginBuffer&) = delete;

    // Packs the record; throws std::bad_alloc when growing fails.
    void Pack(const EventOrigin& origin);

    const BYTE* Data() const noexcept { return m_heap ? m_heap.get() : m_inPlace; }
    std::size_t Size() const noexcept { return m_size; }
    std::size_t Capacity() const noexcept { return m_capacity; }

private:
    void Reserve(std::size_t needed);
    BYTE* MutableData() noexcept { return m_heap ? m_heap.get() : m_inPlace; }

    BYTE m_inPlace[kInPlaceBytes];
    std::unique_ptr<BYTE[]> m_heap;
    std::size_t m_capacity = kInPlaceBytes;
    std::size_t m_size = 0;
};

}  // namespace ETWLogging
