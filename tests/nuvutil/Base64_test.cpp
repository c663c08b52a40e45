// Base64 encoder: RFC 4648 vectors, padding for every remainder, refusal of a short buffer.
#include "nuvutil/Base64.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

struct EncodeCase {
    std::string input;
    const char* expected;
};

class Base64EncodeTest : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(Base64EncodeTest, WritesTextAndTerminatorAndCountsBoth) {
    const EncodeCase& c = GetParam();
    const std::uint64_t needed = Base64EncodedLength(c.input.size());
    ASSERT_EQ(needed, std::strlen(c.expected) + 1);

    // Exactly the size asked for, with guard bytes behind it that must stay untouched.
    std::vector<char> out(needed + 4, '#');
    EXPECT_EQ(Base64Encode(c.input.data(), c.input.size(), out.data(), needed), needed);
    EXPECT_STREQ(out.data(), c.expected);
    EXPECT_EQ(std::string(out.begin() + needed, out.end()), "####");
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, Base64EncodeTest,
    ::testing::Values(EncodeCase{"", ""},                  // only the terminator, result 1
                      EncodeCase{"f", "Zg=="},             // one byte left: "=="
                      EncodeCase{"fo", "Zm8="},            // two bytes left: "="
                      EncodeCase{"foo", "Zm9v"},           // no pad
                      EncodeCase{"foob", "Zm9vYg=="},      // longer inputs: groups, then the rest
                      EncodeCase{"fooba", "Zm9vYmE="},
                      EncodeCase{"foobar", "Zm9vYmFy"},
                      EncodeCase{std::string("\xFB\xFF\xBF\x00\x00", 5), "+/+/AAA="},  // top of the alphabet, zero bytes
                      EncodeCase{std::string(20, '\xFF'), "//////////////////////////8="}));  // a SHA-1 digest: 28

TEST(Base64Encode, RefusesABufferOneByteShortAndWritesNothing) {
    for (std::size_t n = 0; n <= 7; ++n) {
        const std::string input(n, 'x');
        const std::uint64_t needed = Base64EncodedLength(n);
        std::vector<char> out(needed, '#');
        EXPECT_EQ(Base64Encode(input.data(), n, out.data(), needed - 1), 0u) << "n = " << n;
        EXPECT_EQ(std::string(out.begin(), out.end()), std::string(needed, '#')) << "n = " << n;
    }
}

TEST(Base64Encode, RefusesNullDataOrOutput) {
    char out[8] = "#######";
    EXPECT_EQ(Base64Encode(nullptr, 0, out, sizeof out), 0u);
    EXPECT_EQ(Base64Encode(nullptr, 3, out, sizeof out), 0u);
    EXPECT_STREQ(out, "#######");
    EXPECT_EQ(Base64Encode("abc", 3, nullptr, 100), 0u);
}

TEST(Base64EncodedLength, RoundsUpToWholeGroupsAndSaturatesInsteadOfWrapping) {
    EXPECT_EQ(Base64EncodedLength(0), 1u);
    EXPECT_EQ(Base64EncodedLength(1), 5u);
    EXPECT_EQ(Base64EncodedLength(3), 5u);
    EXPECT_EQ(Base64EncodedLength(4), 9u);
    EXPECT_EQ(Base64EncodedLength(5), 9u);  // the 5-byte statistics record: 8 characters
    // 4 * ceil(n / 3) + 1 passes 64 bits for the largest counts: no buffer size can answer them.
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    EXPECT_EQ(Base64EncodedLength(kMax), kMax);
    EXPECT_EQ(Base64EncodedLength((kMax - 1) / 4 * 3), (kMax - 1) / 4 * 4 + 1);
}

}  // namespace
