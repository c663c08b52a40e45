#include "base/ScrambleContext.h"

#include "base/ScrambleKeys.h"

#include <new>
#include <utility>

namespace Tessal::internal {

struct CScrambleContext::Rc4State {
    bool keyed = false;
    std::uint8_t i = 0;
    std::uint8_t j = 0;
    std::uint8_t s[256];
};

namespace {
constexpr int kInlinePasses = 5;
}

// Nothing here may throw (the layers above report Win32 codes only): a state that cannot be
// allocated leaves the context unkeyed, and missing scratch buffers make Unscramble fail.
CScrambleContext::CScrambleContext(const char* key, int keyLength, int passes)
    : m_rc4(new (std::nothrow) Rc4State),
      m_passes(passes > 1 ? passes : 1),
      m_inlineScratch{},
      m_scratchA(nullptr),
      m_scratchB(nullptr),
      m_chain(0) {
    if (key == nullptr || keyLength <= 0) {
        key = kDefaultScrambleKey;
        keyLength = static_cast<int>(sizeof(kDefaultScrambleKey) - 1);
    }

    if (m_rc4) {
        std::uint8_t* s = m_rc4->s;
        for (int k = 0; k < 256; ++k) s[k] = static_cast<std::uint8_t>(k);
        std::uint8_t j = 0;
        for (int k = 0; k < 256; ++k) {
            j = static_cast<std::uint8_t>(j + s[k] + static_cast<std::uint8_t>(key[k % keyLength]));
            std::swap(s[k], s[j]);
        }
        m_rc4->i = 0;
        m_rc4->j = 0;
        m_rc4->keyed = true;
    }

    if (m_passes <= kInlinePasses) {
        m_scratchA = m_inlineScratch[0];
        m_scratchB = m_inlineScratch[1];
    } else {
        m_allocatedScratch.reset(new (std::nothrow) std::uint8_t[2 * static_cast<std::size_t>(m_passes)]);
        if (m_allocatedScratch) {
            m_scratchA = m_allocatedScratch.get();
            m_scratchB = m_scratchA + m_passes;
        }
    }

    m_chain = NextKeyByte();
}

CScrambleContext::~CScrambleContext() = default;

std::uint8_t CScrambleContext::NextKeyByte() noexcept {
    if (!m_rc4 || !m_rc4->keyed) return 0;
    Rc4State& rc4 = *m_rc4;
    rc4.i = static_cast<std::uint8_t>(rc4.i + 1);
    rc4.j = static_cast<std::uint8_t>(rc4.j + rc4.s[rc4.i]);
    std::swap(rc4.s[rc4.i], rc4.s[rc4.j]);
    return rc4.s[static_cast<std::uint8_t>(rc4.s[rc4.i] + rc4.s[rc4.j])];
}

bool CScrambleContext::Scramble(const std::uint8_t* input, std::uint8_t* output, std::size_t length) noexcept {
    if (input == nullptr || output == nullptr || length == 0) return false;
    for (std::size_t n = 0; n < length; ++n) {
        m_chain ^= input[n];
        const std::uint8_t k1 = NextKeyByte();
        const std::uint8_t k2 = NextKeyByte();
        std::uint8_t c = static_cast<std::uint8_t>((k1 ^ m_chain) + k2);
        for (int pass = 1; pass < m_passes; ++pass) {
            const std::uint8_t k = NextKeyByte();
            const std::uint8_t kNext = NextKeyByte();
            c = static_cast<std::uint8_t>((c ^ k) + kNext);
        }
        output[n] = c;
    }
    return true;
}

bool CScrambleContext::Unscramble(const std::uint8_t* input, std::uint8_t* output, std::size_t length) noexcept {
    if (input == nullptr || output == nullptr || length == 0 || m_scratchA == nullptr || m_scratchB == nullptr) {
        return false;
    }
    for (std::size_t n = 0; n < length; ++n) {
        for (int pass = 0; pass < m_passes; ++pass) {
            m_scratchA[pass] = NextKeyByte();
            m_scratchB[pass] = NextKeyByte();
        }
        std::uint8_t v = input[n];
        for (int pass = m_passes - 1; pass >= 1; --pass) {
            v = static_cast<std::uint8_t>(static_cast<std::uint8_t>(v - m_scratchB[pass]) ^ m_scratchA[pass]);
        }
        v = static_cast<std::uint8_t>(v - m_scratchB[0]);
        const std::uint8_t plain = static_cast<std::uint8_t>(v ^ m_scratchA[0] ^ m_chain);
        m_chain ^= plain;
        output[n] = plain;
    }
    return true;
}

}  // namespace Tessal::internal
