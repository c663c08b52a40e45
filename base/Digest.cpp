#include "base/Digest.h"

#include <cstring>

namespace Tessal {
namespace {

inline std::uint32_t RotateLeft(std::uint32_t x, int n) noexcept { return (x << n) | (x >> (32 - n)); }

inline std::uint32_t LoadLittleEndian(const std::uint8_t* p) noexcept {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline void StoreLittleEndian(std::uint32_t v, std::uint8_t* p) noexcept {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

// Per-step shift amounts and sine-derived constants of RFC 1321, section 3.4.
constexpr int kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                            5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                            4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                            6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

constexpr std::uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

}  // namespace

CMd5::CMd5() noexcept
    : m_state{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476}, m_bitCount(0), m_buffer{} {}

void CMd5::Transform(const std::uint8_t* block) noexcept {
    std::uint32_t x[16];
    for (int k = 0; k < 16; ++k) x[k] = LoadLittleEndian(block + 4 * k);

    std::uint32_t a = m_state[0], b = m_state[1], c = m_state[2], d = m_state[3];
    for (int step = 0; step < 64; ++step) {
        std::uint32_t f;
        int index;
        switch (step / 16) {
        case 0:
            f = (b & c) | (~b & d);
            index = step;
            break;
        case 1:
            f = (b & d) | (c & ~d);
            index = (5 * step + 1) % 16;
            break;
        case 2:
            f = b ^ c ^ d;
            index = (3 * step + 5) % 16;
            break;
        default:
            f = c ^ (b | ~d);
            index = (7 * step) % 16;
            break;
        }
        const std::uint32_t rotated = b + RotateLeft(a + f + kSine[step] + x[index], kShift[step]);
        a = d;
        d = c;
        c = b;
        b = rotated;
    }
    m_state[0] += a;
    m_state[1] += b;
    m_state[2] += c;
    m_state[3] += d;
}

void CMd5::Update(const void* data, std::size_t length) noexcept {
    if (data == nullptr || length == 0) return;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::size_t used = static_cast<std::size_t>((m_bitCount / 8) % 64);
    m_bitCount += static_cast<std::uint64_t>(length) * 8;

    if (used != 0) {
        const std::size_t take = length < 64 - used ? length : 64 - used;
        std::memcpy(m_buffer + used, bytes, take);
        used += take;
        bytes += take;
        length -= take;
        if (used < 64) return;
        Transform(m_buffer);
    }
    for (; length >= 64; bytes += 64, length -= 64) Transform(bytes);
    if (length != 0) std::memcpy(m_buffer, bytes, length);
}

void CMd5::Final(std::uint8_t (&digest)[kDigestSize]) noexcept {
    std::uint8_t lengthBytes[8];
    for (int k = 0; k < 8; ++k) lengthBytes[k] = static_cast<std::uint8_t>(m_bitCount >> (8 * k));

    // Pad with 0x80 and zeros up to 56 bytes modulo 64, then the message length in bits.
    static constexpr std::uint8_t kPadding[64] = {0x80};
    const std::size_t used = static_cast<std::size_t>((m_bitCount / 8) % 64);
    Update(kPadding, used < 56 ? 56 - used : 120 - used);
    Update(lengthBytes, sizeof(lengthBytes));

    for (int k = 0; k < 4; ++k) StoreLittleEndian(m_state[k], digest + 4 * k);
    *this = CMd5();
}

namespace internal {

int ComputeDigest(const void* data, std::size_t length, std::uint8_t* digest, std::size_t digestSize) noexcept {
    if (data == nullptr || digest == nullptr || length == 0 || digestSize != CMd5::kDigestSize) return -1;
    CMd5 md5;
    md5.Update(data, length);
    std::uint8_t result[CMd5::kDigestSize];
    md5.Final(result);
    std::memcpy(digest, result, sizeof(result));
    return 0;
}

int VerifyDigest(const void* data, std::size_t length, const std::uint8_t* expected, std::size_t digestSize) noexcept {
    if (expected == nullptr) return -1;
    std::uint8_t actual[CMd5::kDigestSize];
    if (ComputeDigest(data, length, actual, digestSize) != 0) return -1;
    return std::memcmp(actual, expected, sizeof(actual)) == 0 ? 0 : -1;
}

}  // namespace internal
}  // namespace Tessal
