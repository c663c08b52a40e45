#include "FuzzInput.h"

#include <algorithm>

namespace NuvFuzz {
namespace {

std::uint64_t Mix(std::uint64_t value) {  // splitmix64
    value += 0x9E3779B97F4A7C15ull;
    value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ull;
    value = (value ^ (value >> 27)) * 0x94D049BB133111EBull;
    return value ^ (value >> 31);
}

constexpr char kParserCharacters[] =
    "[]=;#\r\n\t .:/?&%\"'\\_-0123456789abcdefABCDEFQVRGwxyz\x80\xC3\xA9\xE6\x97\xA5\xFF";

}  // namespace

Random::Random(std::uint64_t seed, const std::string& target, std::uint64_t index) {
    std::uint64_t value = Mix(seed);
    for (const char c : target) value = Mix(value ^ static_cast<std::uint8_t>(c));
    m_engine.seed(Mix(value ^ index));
}

std::size_t Random::Size(std::size_t maximum) {
    switch (Below(8)) {
        case 0: return Below(std::min<std::size_t>(maximum, 4) + 1);
        case 1: return Below(maximum + 1);
        default: return Below(std::min<std::size_t>(maximum, 64) + 1);
    }
}

std::uint32_t Random::Interesting32() {
    static const std::uint32_t kEdges[] = {0,          1,          2,          3,          4,          7,
                                           8,          15,         16,         31,         32,         33,
                                           63,         64,         127,        128,        255,        256,
                                           1023,       1024,       4095,       4096,       65535,      65536,
                                           0x7FFFFFFF, 0x80000000, 0xFFFFFFFE, 0xFFFFFFFF, 0xFFFFFFE0};
    if (OneIn(2)) return kEdges[Below(sizeof(kEdges) / sizeof(kEdges[0]))];
    return static_cast<std::uint32_t>(Next());
}

Bytes Random::RandomBytes(std::size_t maximum) {
    Bytes data(Size(maximum));
    for (auto& byte : data) byte = Byte();
    return data;
}

std::string Random::RandomText(std::size_t maximum) {
    std::string text(Size(maximum), ' ');
    for (char& c : text) {
        c = OneIn(8) ? static_cast<char>(Byte()) : kParserCharacters[Below(sizeof(kParserCharacters) - 1)];
    }
    return text;
}

std::wstring Random::RandomWideText(std::size_t maximum) {
    std::wstring text(Size(maximum), L' ');
    for (wchar_t& c : text) {
        switch (Below(10)) {
            case 0: c = static_cast<wchar_t>(Next()); break;                 // anything, lone surrogates too
            case 1: c = static_cast<wchar_t>(0x400 + Below(0x100)); break;   // Cyrillic
            default: c = static_cast<wchar_t>(static_cast<std::uint8_t>(kParserCharacters[Below(sizeof(kParserCharacters) - 1)]));
        }
    }
    return text;
}

void Random::Mutate(Bytes& data) {
    const std::size_t edits = 1 + Below(4);
    for (std::size_t n = 0; n < edits; ++n) {
        const std::size_t at = Below(data.size() + 1);
        switch (Below(7)) {
            case 0:
                if (!data.empty()) data[Below(data.size())] ^= static_cast<std::uint8_t>(1u << Below(8));
                break;
            case 1:
                if (!data.empty()) data[Below(data.size())] = static_cast<std::uint8_t>(Interesting32());
                break;
            case 2: {  // a 32-bit field
                if (data.size() >= 4) PutUInt32(&data[Below(data.size() - 3)], Interesting32());
                break;
            }
            case 3: {
                const Bytes inserted = RandomBytes(64);
                data.insert(data.begin() + static_cast<std::ptrdiff_t>(at), inserted.begin(), inserted.end());
                break;
            }
            case 4:  // cut a range
                data.erase(data.begin() + static_cast<std::ptrdiff_t>(at),
                           data.begin() + static_cast<std::ptrdiff_t>(std::min(data.size(), at + Size(64))));
                break;
            case 5:  // truncate
                data.resize(at);
                break;
            default: {  // repeat a range
                const std::size_t length = std::min(data.size() - at, Size(32));
                const Bytes copy(data.begin() + static_cast<std::ptrdiff_t>(at),
                                 data.begin() + static_cast<std::ptrdiff_t>(at + length));
                data.insert(data.begin() + static_cast<std::ptrdiff_t>(Below(data.size() + 1)), copy.begin(), copy.end());
            }
        }
    }
}

void Random::Mutate(std::string& text) {
    Bytes data(text.begin(), text.end());
    Mutate(data);
    text.assign(data.begin(), data.end());
}

void PutUInt32(std::uint8_t* at, std::uint32_t value) {
    for (int k = 0; k < 4; ++k) at[k] = static_cast<std::uint8_t>(value >> (8 * k));
}

}  // namespace NuvFuzz
