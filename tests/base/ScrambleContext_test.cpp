#include "base/ScrambleContext.h"

#include "base/ScrambleKeys.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

// The scrambler takes its scratch buffers with the non-throwing array new. This program counts
// those allocations, or makes them fail, while a test asks for it.
namespace {
int g_nothrowArrayAllocations = 0;
bool g_countNothrowArrays = false;
bool g_failNothrowArrays = false;
}  // namespace

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    if (g_countNothrowArrays) ++g_nothrowArrayAllocations;
    if (g_failNothrowArrays) return nullptr;
    return std::malloc(size != 0 ? size : 1);
}

namespace {

using Tessal::internal::CScrambleContext;
using Tessal::internal::kDefaultScrambleKey;
using Bytes = std::vector<std::uint8_t>;

Bytes Text(const char* text) { return Bytes(text, text + std::strlen(text)); }

Bytes Scrambled(const char* key, int keyLength, int passes, const Bytes& plain) {
    CScrambleContext context(key, keyLength, passes);
    Bytes out(plain.size());
    EXPECT_TRUE(context.Scramble(plain.data(), out.data(), plain.size()));
    return out;
}

Bytes Unscrambled(const char* key, int keyLength, int passes, const Bytes& scrambled) {
    CScrambleContext context(key, keyLength, passes);
    Bytes out(scrambled.size());
    EXPECT_TRUE(context.Unscramble(scrambled.data(), out.data(), scrambled.size()));
    return out;
}

class ScopedNothrowArrays {
public:
    explicit ScopedNothrowArrays(bool fail) {
        g_nothrowArrayAllocations = 0;
        g_countNothrowArrays = true;
        g_failNothrowArrays = fail;
    }
    ~ScopedNothrowArrays() {
        g_countNothrowArrays = false;
        g_failNothrowArrays = false;
    }
};

TEST(ScrambleContext, UnscrambleRestoresTheInput) {
    Bytes binary(300);
    for (std::size_t k = 0; k < binary.size(); ++k) binary[k] = static_cast<std::uint8_t>(k * 13);
    const Bytes inputs[] = {Bytes{0}, Bytes{0xFF}, Text("Tessal"), Bytes(64, 0), binary};
    const char kKey[] = "an-arbitrary-key";

    for (int passes : {0, 1, 2, 5, 6, 9}) {
        for (const Bytes& plain : inputs) {
            SCOPED_TRACE("passes " + std::to_string(passes) + ", length " + std::to_string(plain.size()));
            const Bytes scrambled = Scrambled(kKey, sizeof(kKey) - 1, passes, plain);
            if (plain.size() > 4) {
                EXPECT_NE(scrambled, plain);
            }
            EXPECT_EQ(Unscrambled(kKey, sizeof(kKey) - 1, passes, scrambled), plain);
        }
    }
}

TEST(ScrambleContext, SameKeyAndDataGiveTheSameBytes) {
    const Bytes plain = Text("the same value, scrambled twice");
    const Bytes once = Scrambled("k1", 2, 1, plain);
    EXPECT_EQ(Scrambled("k1", 2, 1, plain), once);
    EXPECT_NE(Scrambled("k2", 2, 1, plain), once);
    EXPECT_NE(Scrambled("k1", 2, 2, plain), once);

    // The keystream and the chain byte carry on from one call to the next.
    CScrambleContext context("k1", 2, 1);
    Bytes pieces(plain.size());
    ASSERT_TRUE(context.Scramble(plain.data(), pieces.data(), 7));
    ASSERT_TRUE(context.Scramble(plain.data() + 7, pieces.data() + 7, plain.size() - 7));
    EXPECT_EQ(pieces, once);
}

TEST(ScrambleContext, AChangedByteChangesEveryLaterByte) {
    const Bytes first = Text("abcdefghij");
    Bytes second = first;
    second[2] = 'X';

    for (int passes : {1, 3}) {
        SCOPED_TRACE("passes " + std::to_string(passes));
        const Bytes a = Scrambled("chain", 5, passes, first);
        const Bytes b = Scrambled("chain", 5, passes, second);
        EXPECT_EQ(a[0], b[0]);
        EXPECT_EQ(a[1], b[1]);
        for (std::size_t k = 2; k < a.size(); ++k) EXPECT_NE(a[k], b[k]) << "byte " << k;
    }
}

TEST(ScrambleContext, PassCountsBelowOneCountAsOne) {
    const Bytes plain = Text("pass counts");
    const Bytes one = Scrambled("key", 3, 1, plain);
    EXPECT_EQ(Scrambled("key", 3, 0, plain), one);
    EXPECT_EQ(Scrambled("key", 3, -4, plain), one);
}

TEST(ScrambleContext, MoreThanFivePassesAllocateTheScratchBuffers) {
    {
        ScopedNothrowArrays counting(false);
        CScrambleContext five("key", 3, 5);
        EXPECT_EQ(g_nothrowArrayAllocations, 0);
    }
    {
        ScopedNothrowArrays counting(false);
        CScrambleContext six("key", 3, 6);
        EXPECT_EQ(g_nothrowArrayAllocations, 1);
    }
    const Bytes plain = Text("six passes");
    EXPECT_EQ(Unscrambled("key", 3, 6, Scrambled("key", 3, 6, plain)), plain);
}

TEST(ScrambleContext, MissingScratchBuffersRefuseUnscrambling) {
    std::uint8_t in[4] = {1, 2, 3, 4}, out[4];
    ScopedNothrowArrays failing(true);
    CScrambleContext context("key", 3, 6);
    EXPECT_TRUE(context.Scramble(in, out, sizeof(in)));
    EXPECT_FALSE(context.Unscramble(in, out, sizeof(in)));
}

TEST(ScrambleContext, RefusesNullBuffersAndEmptyInput) {
    CScrambleContext context("key", 3, 1);
    std::uint8_t in[4] = {1, 2, 3, 4}, out[4];
    EXPECT_FALSE(context.Scramble(nullptr, out, 4));
    EXPECT_FALSE(context.Scramble(in, nullptr, 4));
    EXPECT_FALSE(context.Scramble(in, out, 0));
    EXPECT_FALSE(context.Unscramble(nullptr, out, 4));
    EXPECT_FALSE(context.Unscramble(in, nullptr, 4));
    EXPECT_FALSE(context.Unscramble(in, out, 0));
}

TEST(ScrambleContext, NoKeySelectsTheDefaultKey) {
    const Bytes plain = Text("default key");
    const Bytes expected = Scrambled(kDefaultScrambleKey, sizeof(kDefaultScrambleKey) - 1, 1, plain);
    EXPECT_EQ(Scrambled(nullptr, 10, 1, plain), expected);
    EXPECT_EQ(Scrambled("ignored", 0, 1, plain), expected);
    EXPECT_EQ(Scrambled("ignored", -1, 1, plain), expected);
}

// Computed with an independent implementation of the algorithm (RC4 schedule and output, chain
// byte, P passes): a silent change of the scrambler would make every stored value unreadable.
TEST(ScrambleContext, KnownAnswers) {
    const Bytes plain = Text("Plaintext");
    EXPECT_EQ(Scrambled("Key", 3, 1, plain), (Bytes{0x9b, 0x0d, 0x4c, 0x54, 0xf2, 0x54, 0x58, 0x5a, 0x3d}));
    EXPECT_EQ(Scrambled("Key", 3, 3, plain), (Bytes{0xaf, 0x1e, 0x05, 0xc3, 0xa3, 0x24, 0xa7, 0x6a, 0x3f}));
    EXPECT_EQ(Scrambled(nullptr, 0, 1, Text("Tessal scrambler")),
              (Bytes{0xc8, 0x98, 0xb3, 0x81, 0xf9, 0xe5, 0x36, 0x0e, 0x07, 0x64, 0xdd, 0x05, 0xa8, 0x1c, 0xdb, 0x11}));
}

}  // namespace
