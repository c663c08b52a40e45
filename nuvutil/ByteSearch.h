#pragma once
// A byte searched 16 bytes at a time: msvcrt's memchr and strnlen test one byte per step, and the
// filter searches every byte a client sends (line ends, the NUL check of each text it keeps).

#include <cstddef>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace NuvBytes {

// The offset of the first `byte` in the `size` bytes at `text`; `size` when there is none.
inline std::size_t FindByte(const char* text, std::size_t size, char byte) noexcept {
    std::size_t at = 0;
#if defined(__SSE2__)
    const __m128i wanted = _mm_set1_epi8(byte);
    for (; at + 16 <= size; at += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at));
        const int found = _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, wanted));
        if (found != 0) return at + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(found)));
    }
#endif
    for (; at < size; ++at) {
        if (text[at] == byte) return at;
    }
    return size;
}

}  // namespace NuvBytes
