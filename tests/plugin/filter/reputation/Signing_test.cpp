// Signing pieces: HMAC-SHA1 through CNG keyed from a masked key, the key and digest buffers
// zeroed before they are freed, the random source and its status codes.
#include "plugin/filter/reputation/CryptoRandom.h"
#include "plugin/filter/reputation/HMACSHA1.h"
#include "plugin/filter/reputation/MaskedStorage.h"
#include "plugin/filter/reputation/SigningKeyTables.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using NNUV::SecureByteVector;
using NNUV::NNUVExternal::CMaskedStorage;
using NNUV::NNUVInternal::CHMACSHA1;

constexpr NTSTATUS kInvalidParameter = static_cast<NTSTATUS>(0xC000000D);

std::string Hex(const SecureByteVector& bytes) {
    std::string text;
    char pair[3];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
        text += pair;
    }
    return text;
}

// The key split into two tables as the product stores its own.
std::string SignWithMaskedKey(const std::string& key, const std::string& data) {
    std::vector<std::uint8_t> mask(key.size()), masked(key.size());
    for (std::size_t i = 0; i < key.size(); ++i) {
        mask[i] = static_cast<std::uint8_t>(i * 37 + 11);
        masked[i] = static_cast<std::uint8_t>(key[i]) ^ mask[i];
    }
    const CMaskedStorage storage(masked.data(), mask.data(), key.size());
    CHMACSHA1 hmac;
    if (hmac.SetKey(storage) != 0) return "SetKey failed";
    if (hmac.HashData(data.data(), data.size()) != 0) return "HashData failed";
    SecureByteVector digest;
    if (hmac.FinishHash(digest) != 0) return "FinishHash failed";
    return Hex(digest);
}

TEST(HmacSha1, Rfc2202VectorsThroughTheMaskedKey) {
    std::string key4;
    for (char c = 1; c <= 25; ++c) key4 += c;
    const struct {
        std::string key, data, digest;
    } cases[] = {
        {std::string(20, '\x0b'), "Hi There", "b617318655057264e28bc0b6fb378c8ef146be00"},
        {"Jefe", "what do ya want for nothing?", "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        {std::string(20, '\xaa'), std::string(50, '\xdd'), "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
        {key4, std::string(50, '\xcd'), "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
        {std::string(20, '\x0c'), "Test With Truncation", "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
        {std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
         "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
        {std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
         "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.digest, SignWithMaskedKey(c.key, c.data)) << c.data;
}

TEST(HmacSha1, TheProductKeyIsTheXorOfItsTables) {
    std::string key;
    for (std::size_t i = 0; i < NNUV::NNUVExternal::kSigningKeySize; ++i) {
        key += static_cast<char>(NNUV::NNUVExternal::kMaskedSigningKey[i] ^ NNUV::NNUVExternal::kSigningKeyMask[i]);
    }
    CHMACSHA1 hmac;
    ASSERT_EQ(0, hmac.SetKey(CMaskedStorage()));
    ASSERT_EQ(0, hmac.HashData("abc", 3));
    SecureByteVector digest;
    ASSERT_EQ(0, hmac.FinishHash(digest));
    EXPECT_EQ(SignWithMaskedKey(key, "abc"), Hex(digest));
    EXPECT_EQ(20u, digest.size());
}

TEST(HmacSha1, WithoutAKeyedHashNothingIsHashed) {
    CHMACSHA1 hmac;
    SecureByteVector digest;
    EXPECT_EQ(kInvalidParameter, hmac.FinishHash(digest));
    EXPECT_EQ(kInvalidParameter, hmac.HashData("x", 1));
    // A finished hash is gone: the next FinishHash needs a new key.
    ASSERT_EQ(0, hmac.SetKey(CMaskedStorage()));
    ASSERT_EQ(0, hmac.FinishHash(digest));
    EXPECT_EQ(nullptr, hmac.Handle());
    EXPECT_EQ(kInvalidParameter, hmac.FinishHash(digest));
}

TEST(HmacSha1, TheProviderIsOpenedOnceAndCanBeOpenedAgainAfterClosing) {
    CHMACSHA1::CloseProvider();
    EXPECT_FALSE(CHMACSHA1::IsProviderOpen());
    EXPECT_EQ("b617318655057264e28bc0b6fb378c8ef146be00", SignWithMaskedKey(std::string(20, '\x0b'), "Hi There"));
    EXPECT_TRUE(CHMACSHA1::IsProviderOpen());
    CHMACSHA1::CloseProvider();
    EXPECT_EQ("b617318655057264e28bc0b6fb378c8ef146be00", SignWithMaskedKey(std::string(20, '\x0b'), "Hi There"));
}

// Every block a SecureByteVector frees, as the observer saw it just before the free.
struct ReleasedBlock {
    std::size_t capacity;
    bool allZero;
};
std::vector<ReleasedBlock> g_released;

void Observe(const std::uint8_t* block, std::size_t capacity) {
    g_released.push_back({capacity, std::all_of(block, block + capacity, [](std::uint8_t b) { return b == 0; })});
}

class ZeroedBuffers : public ::testing::Test {
protected:
    void SetUp() override {
        g_released.clear();
        SecureByteVector::SetReleaseObserver(&Observe);
    }
    void TearDown() override { SecureByteVector::SetReleaseObserver(nullptr); }
};

TEST_F(ZeroedBuffers, KeyAndDigestBuffersAreZeroWhenFreed) {
    {
        CMaskedStorage storage;
        CHMACSHA1 hmac;
        ASSERT_EQ(0, hmac.SetKey(storage));
        // The plain key lived only inside SetKey.
        ASSERT_EQ(1u, g_released.size());
        EXPECT_EQ(30u, g_released[0].capacity);
        SecureByteVector digest;
        ASSERT_EQ(0, hmac.FinishHash(digest));
    }
    // Then the digest and the two tables of the storage.
    ASSERT_EQ(4u, g_released.size());
    for (const ReleasedBlock& block : g_released) EXPECT_TRUE(block.allZero) << block.capacity;
}

TEST_F(ZeroedBuffers, GrowthZeroesTheOldBlockAndGrowsByHalf) {
    SecureByteVector bytes(10);
    std::memset(bytes.data(), 0x5A, 10);
    bytes.resize(11);
    ASSERT_EQ(1u, g_released.size());
    EXPECT_EQ(10u, g_released[0].capacity);
    EXPECT_TRUE(g_released[0].allZero);
    EXPECT_EQ(0x5A, bytes[9]) << "the bytes moved";
    EXPECT_EQ(0, bytes[10]) << "new bytes are zero";
    bytes.resize(15);  // within the 15 bytes the growth took: no new block
    EXPECT_EQ(1u, g_released.size());
    bytes.release();
    ASSERT_EQ(2u, g_released.size());
    EXPECT_EQ(15u, g_released[1].capacity);
    EXPECT_TRUE(g_released[1].allZero);
}

TEST(CryptoStatus, NtStatusMapsToLibraryCodes) {
    const struct {
        std::uint32_t status, code;
        const char* name;
    } cases[] = {
        {0, 0, "STATUS_SUCCESS"},
        {0xC00000BB, 0x80000001, "STATUS_NOT_SUPPORTED"},
        {0xC0000001, 0x80000002, "STATUS_UNSUCCESSFUL"},
        {0xC000A001, 0x80000003, "STATUS_HMAC_NOT_SUPPORTED"},
        {0xC0000023, 0x80000004, "STATUS_BUFFER_TOO_SMALL"},
        {0xC0000002, 0x80000005, "STATUS_NOT_IMPLEMENTED"},
        {0xC0000206, 0x80000006, "STATUS_INVALID_BUFFER_SIZE"},
        {0xC000A002, 0x80000007, "STATUS_AUTH_TAG_MISMATCH"},
        {0xC000003E, 0x80000008, "STATUS_DATA_ERROR"},
        {0xC0000008, 0x80000009, "STATUS_INVALID_HANDLE"},
        {0xC000000D, 0x8000000A, "STATUS_INVALID_PARAMETER"},
        {0xC0000017, 0x8000000B, "STATUS_NO_MEMORY"},
        {0xC0000225, 0x8000000C, "STATUS_NOT_FOUND"},
        {0xC0000005, 0x8000000D, "STATUS_INVALID_STATE"},
        {0x00000103, 0x8000000D, "STATUS_INVALID_STATE"},
    };
    for (const auto& c : cases) {
        const std::uint32_t code = QvCryptoLib::CWinError(static_cast<NTSTATUS>(c.status)).GetLibraryCode();
        EXPECT_EQ(c.code, code) << std::hex << c.status;
        EXPECT_STREQ(c.name, QvCryptoLib::StatusName(code)) << std::hex << c.status;
    }
    EXPECT_STREQ("STATUS_UNKNOWN", QvCryptoLib::StatusName(0x8000000E));
    EXPECT_STREQ("STATUS_UNKNOWN", QvCryptoLib::StatusName(1));
}

std::vector<std::pair<int, std::string>> g_reports;
void Sink(int level, const char* text) { g_reports.emplace_back(level, text); }

TEST(CryptoRandom, FillsEightBytesAndRefusesANullBuffer) {
    g_reports.clear();
    QvCryptoLib::SetLogSink(&Sink);
    QvCryptoLib::CQvCryptoRandomWin random;
    EXPECT_EQ(0x8000000Au, random.GetRandomBytes(nullptr));
    ASSERT_EQ(1u, g_reports.size());
    EXPECT_EQ(2, g_reports[0].first);
    EXPECT_NE(std::string::npos, g_reports[0].second.find(
        "[QvCryptoLib::CQvCryptoRandomWin::GetRandomBytes] STATUS_INVALID_PARAMETER: Wrong input params for GetRandomBytes()"));
    QvCryptoLib::SetLogSink(nullptr);

    std::uint8_t first[10] = {}, second[10] = {};
    ASSERT_EQ(0u, random.GetRandomBytes(first));
    ASSERT_EQ(0u, random.GetRandomBytes(second));
    EXPECT_EQ(0, first[8]) << "exactly 8 bytes";
    EXPECT_EQ(0, first[9]);
    EXPECT_NE(0, std::memcmp(first, second, 8)) << "two draws of 64 bits";
    EXPECT_EQ(1u, g_reports.size()) << "without a sink nothing is reported";
}

}  // namespace
