#pragma once
// Byte tests and searches of the request scan, which looks at every byte a client sends: the
// character classes come from one table, and line ends and control bytes are searched 16 bytes
// at a time (msvcrt's memchr tests one byte per step).

#include "nuvutil/ByteSearch.h"

#include <windows.h>

#include <array>
#include <cstddef>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace HttpBytes {

enum : unsigned char { kToken = 1, kControl = 2, kLineSpace = 4 };

constexpr std::array<unsigned char, 256> MakeClasses() {
    std::array<unsigned char, 256> classes{};
    for (int c = 0; c < 256; ++c) {
        unsigned char bits = 0;
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) bits |= kToken;
        for (const char* symbol = "!#$%&'*+-.^_`|~"; *symbol != '\0'; ++symbol) {
            if (c == *symbol) bits |= kToken;
        }
        if ((c < 0x20 && c != '\t') || c == 0x7F) bits |= kControl;
        // Any of these separates the parts of a request line for some server.
        if (c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r') bits |= kLineSpace;
        classes[static_cast<std::size_t>(c)] = bits;
    }
    return classes;
}

inline constexpr std::array<unsigned char, 256> kClasses = MakeClasses();

inline bool IsTokenChar(unsigned char c) noexcept { return (kClasses[c] & kToken) != 0; }
// A control byte no text line holds; TAB is none.
inline bool IsControl(unsigned char c) noexcept { return (kClasses[c] & kControl) != 0; }
inline bool IsLineSpace(unsigned char c) noexcept { return (kClasses[c] & kLineSpace) != 0; }

// ASCII case only, as _strnicmp compares in the C locale, without its stop at a NUL: for texts
// that hold none (header names), without a call into the runtime for each.
inline bool EqualsAsciiNoCase(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t n = 0; n < a.size(); ++n) {
        unsigned char x = static_cast<unsigned char>(a[n]);
        unsigned char y = static_cast<unsigned char>(b[n]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + ('a' - 'A'));
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + ('a' - 'A'));
        if (x != y) return false;
    }
    return true;
}

using NuvBytes::FindByte;

// The offset of the first control byte (IsControl) in the `size` bytes at `text`; `size` when
// there is none.
inline std::size_t FindControl(const char* text, std::size_t size) noexcept {
    std::size_t at = 0;
#if defined(__SSE2__)
    const __m128i highestLow = _mm_set1_epi8(0x1F);
    const __m128i tab = _mm_set1_epi8('\t');
    const __m128i del = _mm_set1_epi8(0x7F);
    for (; at + 16 <= size; at += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at));
        const __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(bytes, highestLow), bytes);  // bytes <= 0x1F
        const __m128i control = _mm_or_si128(_mm_andnot_si128(_mm_cmpeq_epi8(bytes, tab), low), _mm_cmpeq_epi8(bytes, del));
        const int found = _mm_movemask_epi8(control);
        if (found != 0) return at + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(found)));
    }
#endif
    for (; at < size; ++at) {
        if (IsControl(static_cast<unsigned char>(text[at]))) return at;
    }
    return size;
}

// The offset of the first byte that is white space or a control byte (a byte up to ' ', or DEL)
// in the `size` bytes at `text`; `size` when there is none. Every IsLineSpace and IsControl byte
// is one.
inline std::size_t FindSpaceOrControl(const char* text, std::size_t size) noexcept {
    std::size_t at = 0;
#if defined(__SSE2__)
    const __m128i space = _mm_set1_epi8(' ');
    const __m128i del = _mm_set1_epi8(0x7F);
    for (; at + 16 <= size; at += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at));
        const __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(bytes, space), bytes);  // bytes <= ' '
        const int found = _mm_movemask_epi8(_mm_or_si128(low, _mm_cmpeq_epi8(bytes, del)));
        if (found != 0) return at + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(found)));
    }
#endif
    for (; at < size; ++at) {
        const unsigned char c = static_cast<unsigned char>(text[at]);
        if (c <= ' ' || c == 0x7F) return at;
    }
    return size;
}

inline bool HasControl(const char* text, std::size_t size) noexcept { return FindControl(text, size) != size; }

// The first line end in the `size` bytes at `text`: CR LF (a CR as the last byte is no line end)
// or a lone LF, as FindLineEnd of the site lists finds it. `consumed` is the line's length with
// its terminator; both outputs are 0 when there is none.
inline bool FindLineEnd(const char* text, std::size_t size, DWORD& consumed, DWORD& terminatorLength) noexcept {
    const std::size_t lf = FindByte(text, size, '\n');
    if (lf == size) {
        consumed = 0;
        terminatorLength = 0;
        return false;
    }
    consumed = static_cast<DWORD>(lf) + 1;
    terminatorLength = lf > 0 && text[lf - 1] == '\r' ? 2 : 1;
    return true;
}

// As FindLineEnd, and whether the line holds a control byte (its terminator aside): one pass
// over a header line finds its end and what would refuse it.
inline bool FindLineEndAndControl(const char* text, std::size_t size, DWORD& consumed, DWORD& terminatorLength,
                                  bool& hasControl) noexcept {
    const std::size_t control = FindControl(text, size);
    hasControl = false;
    if (control < size && text[control] == '\n') {
        consumed = static_cast<DWORD>(control) + 1;
        terminatorLength = 1;
        return true;
    }
    if (control + 1 < size && text[control] == '\r' && text[control + 1] == '\n') {
        consumed = static_cast<DWORD>(control) + 2;
        terminatorLength = 2;
        return true;
    }
    // No control byte at all, or one before the line's end (which a CR LF there is not).
    if (control == size || !FindLineEnd(text + control, size - control, consumed, terminatorLength)) {
        consumed = 0;
        terminatorLength = 0;
        return false;
    }
    consumed += static_cast<DWORD>(control);
    hasControl = true;
    return true;
}

}  // namespace HttpBytes
