#pragma once
// MD5 (RFC 1321): the one implementation of the base library, used by the scrambled registry and
// ini values, the sealed registry values and the version component.

#include <cstddef>
#include <cstdint>

namespace Tessal {

class CMd5 {
public:
    static constexpr std::size_t kDigestSize = 16;

    CMd5() noexcept;
    void Update(const void* data, std::size_t length) noexcept;
    void Final(std::uint8_t (&digest)[kDigestSize]) noexcept;  // the object starts over afterwards

private:
    void Transform(const std::uint8_t* block) noexcept;

    std::uint32_t m_state[4];
    std::uint64_t m_bitCount;
    std::uint8_t m_buffer[64];
};

namespace internal {

// 0, or -1 when data or digest is null, the length is 0 or the digest size is not 16.
int ComputeDigest(const void* data, std::size_t length, std::uint8_t* digest, std::size_t digestSize) noexcept;
// 0 when the data's digest equals `expected`; -1 when it differs or an argument is invalid.
int VerifyDigest(const void* data, std::size_t length, const std::uint8_t* expected, std::size_t digestSize) noexcept;

}  // namespace internal
}  // namespace Tessal
