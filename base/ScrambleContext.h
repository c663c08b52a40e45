#pragma once
// Byte scrambler for values that must not be read or edited by hand: an RC4 keystream with a
// chain byte that carries every plain byte into all later ones, applied in one or more passes.
// A context serves one value: each value's keystream starts from the beginning.

#include <cstddef>
#include <cstdint>
#include <memory>

namespace Tessal::internal {

class CScrambleContext {
public:
    // A null key or a length of 0 or less selects kDefaultScrambleKey; passes below 1 count as 1.
    CScrambleContext(const char* key, int keyLength, int passes = 1);
    ~CScrambleContext();
    CScrambleContext(const CScrambleContext&) = delete;
    CScrambleContext& operator=(const CScrambleContext&) = delete;

    // False for a null input or output or a length of 0.
    bool Scramble(const std::uint8_t* input, std::uint8_t* output, std::size_t length) noexcept;
    bool Unscramble(const std::uint8_t* input, std::uint8_t* output, std::size_t length) noexcept;

private:
    struct Rc4State;

    std::uint8_t NextKeyByte() noexcept;

    std::unique_ptr<Rc4State> m_rc4;
    int m_passes;
    std::uint8_t m_inlineScratch[2][5];
    std::unique_ptr<std::uint8_t[]> m_allocatedScratch;  // 2 * passes bytes when passes > 5
    std::uint8_t* m_scratchA;
    std::uint8_t* m_scratchB;
    std::uint8_t m_chain;
};

}  // namespace Tessal::internal
