#pragma once
// Random and mutated inputs, reproducible: every input of a run comes from its own generator,
// seeded from the run's seed, the target and the input's number.

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace NuvFuzz {

using Bytes = std::vector<std::uint8_t>;

class Random {
public:
    Random(std::uint64_t seed, const std::string& target, std::uint64_t index);

    std::uint64_t Next() { return m_engine(); }
    // In [0, bound); 0 for a bound of 0.
    std::size_t Below(std::size_t bound) { return bound == 0 ? 0 : static_cast<std::size_t>(Next() % bound); }
    bool OneIn(std::size_t n) { return Below(n) == 0; }
    std::uint8_t Byte() { return static_cast<std::uint8_t>(Next()); }
    // Mostly small sizes, now and then up to `maximum`.
    std::size_t Size(std::size_t maximum);
    // A 32-bit value from the edges (0, 1, sizes around powers of two, all ones) or anywhere.
    std::uint32_t Interesting32();

    Bytes RandomBytes(std::size_t maximum);
    // Text made of the characters that matter to parsers (separators, quotes, digits, high bytes).
    std::string RandomText(std::size_t maximum);
    std::wstring RandomWideText(std::size_t maximum);

    // A few random edits: flipped bits, bytes set to edge values, ranges inserted, cut, repeated.
    void Mutate(Bytes& data);
    void Mutate(std::string& text);

private:
    std::mt19937_64 m_engine;
};

void PutUInt32(std::uint8_t* at, std::uint32_t value);

}  // namespace NuvFuzz
