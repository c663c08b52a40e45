#include "base/Digest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Tessal::CMd5;
using Tessal::internal::ComputeDigest;
using Tessal::internal::VerifyDigest;

std::string Hex(const std::uint8_t* digest) {
    std::string text;
    char pair[3];
    for (std::size_t k = 0; k < CMd5::kDigestSize; ++k) {
        std::snprintf(pair, sizeof(pair), "%02x", digest[k]);
        text += pair;
    }
    return text;
}

std::string Md5Hex(const std::string& message) {
    CMd5 md5;
    md5.Update(message.data(), message.size());
    std::uint8_t digest[CMd5::kDigestSize];
    md5.Final(digest);
    return Hex(digest);
}

struct DigestCase {
    std::string message;
    const char* digest;
};

// RFC 1321, appendix A.5, then lengths around the padding boundaries (one or two final blocks).
const DigestCase kDigestCases[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
    {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
    {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
    {std::string(63, 'a'), "b06521f39153d618550606be297466d5"},
    {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
    {std::string(65, 'a'), "c743a45e0d2e6a95cb859adae0248435"},
    {std::string(119, 'a'), "8a7bd0732ed6a28ce75f6dabc90e1613"},
    {std::string(120, 'a'), "5f61c0ccad4cac44c75ff505e1f1e537"},
    {std::string(1000, 'a'), "cabe45dcc9ae5b66ba86600cca6b8ba8"},
};

TEST(Md5, KnownDigests) {
    for (const DigestCase& c : kDigestCases) {
        SCOPED_TRACE("length " + std::to_string(c.message.size()));
        EXPECT_EQ(Md5Hex(c.message), c.digest);
        if (c.message.empty()) continue;  // the digest functions refuse empty data

        std::uint8_t digest[CMd5::kDigestSize];
        ASSERT_EQ(ComputeDigest(c.message.data(), c.message.size(), digest, sizeof(digest)), 0);
        EXPECT_EQ(Hex(digest), c.digest);
        EXPECT_EQ(VerifyDigest(c.message.data(), c.message.size(), digest, sizeof(digest)), 0);
    }
}

TEST(Md5, UpdatesSplitAtAnyPointGiveTheSameDigest) {
    std::string message;
    for (int k = 0; k < 150; ++k) message += static_cast<char>(k * 37 + 11);
    const std::string whole = Md5Hex(message);

    for (std::size_t split = 0; split <= message.size(); ++split) {
        CMd5 md5;
        md5.Update(message.data(), split);
        md5.Update(message.data() + split, message.size() - split);
        std::uint8_t digest[CMd5::kDigestSize];
        md5.Final(digest);
        EXPECT_EQ(Hex(digest), whole) << "split at " << split;
    }
}

TEST(Md5, FinalStartsOver) {
    CMd5 md5;
    md5.Update("abc", 3);
    std::uint8_t digest[CMd5::kDigestSize];
    md5.Final(digest);
    md5.Update("a", 1);
    md5.Final(digest);
    EXPECT_EQ(Hex(digest), "0cc175b9c0f1b6a831c399e269772661");
}

TEST(Md5, DigestFunctionsRefuseBadArguments) {
    const char data[] = "abc";
    std::uint8_t digest[CMd5::kDigestSize] = {};
    EXPECT_EQ(ComputeDigest(nullptr, 3, digest, 16), -1);
    EXPECT_EQ(ComputeDigest(data, 0, digest, 16), -1);
    EXPECT_EQ(ComputeDigest(data, 3, nullptr, 16), -1);
    EXPECT_EQ(ComputeDigest(data, 3, digest, 15), -1);
    EXPECT_EQ(ComputeDigest(data, 3, digest, 20), -1);

    ASSERT_EQ(ComputeDigest(data, 3, digest, 16), 0);
    EXPECT_EQ(VerifyDigest(nullptr, 3, digest, 16), -1);
    EXPECT_EQ(VerifyDigest(data, 0, digest, 16), -1);
    EXPECT_EQ(VerifyDigest(data, 3, nullptr, 16), -1);
    EXPECT_EQ(VerifyDigest(data, 3, digest, 15), -1);
}

TEST(Md5, VerifyDigestRejectsAnyChangedByte) {
    const std::vector<std::uint8_t> data = {1, 2, 3, 4, 5, 6, 7, 8};
    std::uint8_t digest[CMd5::kDigestSize];
    ASSERT_EQ(ComputeDigest(data.data(), data.size(), digest, sizeof(digest)), 0);

    for (std::size_t k = 0; k < data.size(); ++k) {
        std::vector<std::uint8_t> changed = data;
        changed[k] ^= 0x01;
        EXPECT_EQ(VerifyDigest(changed.data(), changed.size(), digest, sizeof(digest)), -1) << "data byte " << k;
    }
    for (std::size_t k = 0; k < sizeof(digest); ++k) {
        std::uint8_t expected[CMd5::kDigestSize];
        std::copy(digest, digest + sizeof(digest), expected);
        expected[k] ^= 0x80;
        EXPECT_EQ(VerifyDigest(data.data(), data.size(), expected, sizeof(expected)), -1) << "digest byte " << k;
    }
}

}  // namespace
