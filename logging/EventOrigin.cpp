#include "logging/EventOrigin.h"

#include <cstring>
#include <cwchar>

namespace ETWLogging {
namespace {

constexpr std::size_t kMaxCountedChars = 0xFFFF;

std::size_t CountedChars(const wchar_t* text) {
    if (text == nullptr) return 0;
    const std::size_t length = std::wcslen(text);
    return length < kMaxCountedChars ? length : kMaxCountedChars;
}

class Writer {
public:
    explicit Writer(BYTE* out) noexcept : m_out(out) {}
    template <class T>
    void Put(T value) noexcept {
        std::memcpy(m_out, &value, sizeof(value));
        m_out += sizeof(value);
    }
    void PutCounted(const wchar_t* text) noexcept {
        const std::size_t chars = CountedChars(text);
        Put(static_cast<std::uint16_t>(chars));
        if (chars != 0) std::memcpy(m_out, text, chars * sizeof(wchar_t));
        m_out += chars * sizeof(wchar_t);
    }

private:
    BYTE* m_out;
};

}  // namespace

void EventOriginBuffer::Reserve(std::size_t needed) {
    if (needed <= m_capacity) return;
    const std::size_t grown = m_capacity + m_capacity / 2;
    const std::size_t capacity = needed > grown ? needed : grown;
    m_heap.reset(new BYTE[capacity]);
    m_capacity = capacity;
}

void EventOriginBuffer::Pack(const EventOrigin& origin) {
    const wchar_t* const strings[] = {origin.processImageName, origin.sourceFile,    origin.function,
                                      origin.moduleFileName,   origin.moduleVersion, origin.componentName};
    std::size_t needed = 4 + 4 + 4 + 8;  // process id, thread id, line, text bytes
    for (const wchar_t* s : strings) needed += 2 + CountedChars(s) * sizeof(wchar_t);
    Reserve(needed);

    Writer writer(MutableData());
    writer.Put(static_cast<std::uint32_t>(origin.processId));
    writer.Put(static_cast<std::uint32_t>(origin.threadId));
    writer.PutCounted(origin.processImageName);
    writer.PutCounted(origin.sourceFile);
    writer.PutCounted(origin.function);
    writer.Put(static_cast<std::uint32_t>(origin.line));
    writer.PutCounted(origin.moduleFileName);
    writer.PutCounted(origin.moduleVersion);
    writer.PutCounted(origin.componentName);
    writer.Put(static_cast<std::uint64_t>(origin.textBytes));
    m_size = needed;
}

}  // namespace ETWLogging
