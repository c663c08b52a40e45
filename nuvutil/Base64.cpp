#include "nuvutil/Base64.h"

#include <limits>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kPad = '=';

}  // namespace

std::uint64_t Base64EncodedLength(std::uint64_t n) noexcept {
    const std::uint64_t groups = n / 3 + (n % 3 != 0 ? 1 : 0);
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    if (groups > (kMax - 1) / 4) return kMax;
    return groups * 4 + 1;
}

std::uint64_t Base64Encode(const void* data, std::size_t n, char* out, std::size_t outSize) noexcept {
    if (data == nullptr || out == nullptr) return 0;
    const std::uint64_t needed = Base64EncodedLength(n);
    if (outSize < needed) return 0;

    const auto* in = static_cast<const unsigned char*>(data);
    char* o = out;
    std::size_t left = n;
    for (; left >= 3; left -= 3, in += 3) {
        const unsigned v = (unsigned{in[0]} << 16) | (unsigned{in[1]} << 8) | in[2];
        *o++ = kAlphabet[(v >> 18) & 0x3F];
        *o++ = kAlphabet[(v >> 12) & 0x3F];
        *o++ = kAlphabet[(v >> 6) & 0x3F];
        *o++ = kAlphabet[v & 0x3F];
    }
    if (left == 2) {
        const unsigned v = (unsigned{in[0]} << 16) | (unsigned{in[1]} << 8);
        *o++ = kAlphabet[(v >> 18) & 0x3F];
        *o++ = kAlphabet[(v >> 12) & 0x3F];
        *o++ = kAlphabet[(v >> 6) & 0x3F];
        *o++ = kPad;
    } else if (left == 1) {
        const unsigned v = unsigned{in[0]} << 16;
        *o++ = kAlphabet[(v >> 18) & 0x3F];
        *o++ = kAlphabet[(v >> 12) & 0x3F];
        *o++ = kPad;
        *o++ = kPad;
    }
    *o++ = 0;
    return static_cast<std::uint64_t>(o - out);
}
