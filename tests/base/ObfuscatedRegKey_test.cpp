#include "base/ObfuscatedRegKey.h"

#include "base/Digest.h"
#include "base/Format.h"

#include "tests/support/FailingNew.h"
#include "tests/support/ScratchRegistryKey.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// Each test works below its own key of HKCU, removed afterwards.
class ObfuscatedRegKeyTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(key_.Create(HKEY_CURRENT_USER, path_.c_str()), ERROR_SUCCESS);
        ASSERT_EQ(plain_.Open(HKEY_CURRENT_USER, path_.c_str()), ERROR_SUCCESS);
    }
    void TearDown() override {
        key_.Close();
        plain_.Close();
    }

    // The stored value exactly as the registry holds it.
    Bytes Raw(const char* name, DWORD* type = nullptr) {
        DWORD size = 0, registryType = 0;
        EXPECT_EQ(::RegQueryValueExA(plain_, name, nullptr, &registryType, nullptr, &size), ERROR_SUCCESS);
        Bytes data(size);
        EXPECT_EQ(::RegQueryValueExA(plain_, name, nullptr, &registryType, data.data(), &size), ERROR_SUCCESS);
        if (type) *type = registryType;
        return data;
    }
    void PutRaw(const char* name, const Bytes& data, DWORD type = REG_BINARY) {
        ASSERT_EQ(::RegSetValueExA(plain_, name, 0, type, data.data(), static_cast<DWORD>(data.size())), ERROR_SUCCESS);
    }

    NuvTest::ScratchRegistryKey scratch_{L"Obfuscated"};
    const std::wstring& path_ = scratch_.Path();
    Tessal::CObfuscatedRegKey key_;
    Tessal::CRegKey plain_;
};

TEST_F(ObfuscatedRegKeyTest, DwordIsStoredAsChecksummedBlob) {
    ASSERT_EQ(key_.SetDWORDValue(L"Logging Mechanism", 1), ERROR_SUCCESS);
    DWORD type = 0;
    const Bytes raw = Raw("Logging Mechanism", &type);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    ASSERT_EQ(raw.size(), 36u);
    EXPECT_EQ(std::memcmp(raw.data(), "QVRG", 4), 0);
    EXPECT_EQ(raw[8], 4);              // N
    EXPECT_EQ(raw[12], REG_DWORD);     // stored type
    EXPECT_NE(Bytes(raw.begin() + 32, raw.end()), (Bytes{1, 0, 0, 0}));  // not in the clear

    DWORD value = 0;
    EXPECT_EQ(key_.QueryDWORDValue(L"Logging Mechanism", value), ERROR_SUCCESS);
    EXPECT_EQ(value, 1u);
    DWORD storedType = 0;
    EXPECT_EQ(key_.QueryValue(L"Logging Mechanism", &storedType, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(storedType, static_cast<DWORD>(REG_DWORD));
}

TEST_F(ObfuscatedRegKeyTest, NonAsciiTextRoundTripsAsUtf8) {
    const std::wstring text = L"Gr\u00FC\u00DFe \u65E5\u672C \U0001F600";
    ASSERT_EQ(key_.SetStringValue(L"Greeting", text.c_str()), ERROR_SUCCESS);
    std::wstring back;
    EXPECT_EQ(key_.QueryStringValue(L"Greeting", back), ERROR_SUCCESS);
    EXPECT_EQ(back, text);
    // UTF-8 with its NUL: the stored N is the UTF-8 byte count.
    const int utf8 = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    EXPECT_EQ(Raw("Greeting").size(), 32u + static_cast<std::size_t>(utf8));
}

TEST_F(ObfuscatedRegKeyTest, EveryFlippedByteMakesTheValueDamaged) {
    ASSERT_EQ(key_.SetDWORDValue(L"Value", 0x12345678), ERROR_SUCCESS);
    const Bytes good = Raw("Value");
    for (std::size_t i = 0; i < good.size(); ++i) {
        Bytes bad = good;
        bad[i] ^= 0x01;
        PutRaw("Value", bad);
        DWORD value = 0;
        EXPECT_EQ(key_.QueryDWORDValue(L"Value", value), ERROR_INVALID_DATA) << "byte " << i;
    }
}

TEST_F(ObfuscatedRegKeyTest, PlainAndForeignValuesReadAsDamaged) {
    ASSERT_EQ(plain_.SetDWORDValue(L"PlainDword", 1), ERROR_SUCCESS);
    PutRaw("Short", Bytes(31, 0));
    PutRaw("Empty", Bytes{});
    for (const wchar_t* name : {L"PlainDword", L"Short", L"Empty"}) {
        DWORD value = 0;
        EXPECT_EQ(key_.QueryDWORDValue(name, value), ERROR_INVALID_DATA) << ::testing::PrintToString(std::wstring(name));
    }
    DWORD value = 0;
    EXPECT_EQ(key_.QueryDWORDValue(L"Missing", value), ERROR_FILE_NOT_FOUND);

    // The out type after a failure: 0 when nothing scrambled was read, REG_BINARY for a damaged blob.
    ASSERT_EQ(key_.SetDWORDValue(L"Good", 7), ERROR_SUCCESS);
    const struct {
        const wchar_t* name;
        LONG error;
        DWORD type;
    } cases[] = {
        {L"Missing", ERROR_FILE_NOT_FOUND, 0},
        {L"PlainDword", ERROR_INVALID_DATA, 0},
        {L"Short", ERROR_INVALID_DATA, REG_BINARY},
        {L"Good", ERROR_SUCCESS, REG_DWORD},
    };
    for (const auto& c : cases) {
        DWORD type = 99, size = sizeof(value);
        EXPECT_EQ(key_.QueryValue(c.name, &type, &value, &size), c.error) << ::testing::PrintToString(std::wstring(c.name));
        EXPECT_EQ(type, c.type) << ::testing::PrintToString(std::wstring(c.name));
    }
}

TEST_F(ObfuscatedRegKeyTest, AnotherFormatVersionStillReads) {
    ASSERT_EQ(key_.SetDWORDValue(L"Value", 77), ERROR_SUCCESS);
    Bytes blob = Raw("Value");
    blob[4] = 2;
    std::memset(&blob[16], 0, 16);
    std::uint8_t digest[16];
    ASSERT_EQ(Tessal::internal::ComputeDigest(blob.data(), blob.size(), digest, sizeof(digest)), 0);
    std::memcpy(&blob[16], digest, sizeof(digest));
    PutRaw("Value", blob);
    DWORD value = 0;
    EXPECT_EQ(key_.QueryDWORDValue(L"Value", value), ERROR_SUCCESS);
    EXPECT_EQ(value, 77u);
}

TEST_F(ObfuscatedRegKeyTest, ShortBuffersGetTheSizeNeeded) {
    ASSERT_EQ(key_.SetBinaryValue(L"Bytes", "0123456789", 10), ERROR_SUCCESS);
    char small[4] = {};
    ULONG size = sizeof(small);
    EXPECT_EQ(key_.QueryBinaryValue(L"Bytes", small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 10u);

    ASSERT_EQ(key_.SetStringValue(L"Text", L"abcdef"), ERROR_SUCCESS);
    wchar_t text[3];
    ULONG chars = 3;
    EXPECT_EQ(key_.QueryStringBuffer(L"Text", text, &chars), ERROR_MORE_DATA);
    ULONG bytes = 0;
    EXPECT_EQ(key_.QueryValue(L"Text", nullptr, nullptr, &bytes), ERROR_SUCCESS);
    EXPECT_EQ(bytes, 14u);
}

TEST_F(ObfuscatedRegKeyTest, MultiStringsRoundTripAndShortBuffersAreZeroed) {
    const wchar_t multi[] = L"one\0\u00E9t\u00E9\0three\0";
    ASSERT_EQ(key_.SetMultiStringValue(L"Multi", multi), ERROR_SUCCESS);
    wchar_t buffer[32];
    ULONG chars = 32;
    ASSERT_EQ(key_.QueryMultiStringValue(L"Multi", buffer, &chars), ERROR_SUCCESS);
    EXPECT_EQ(chars, static_cast<ULONG>(sizeof(multi) / sizeof(wchar_t)));
    EXPECT_EQ(std::wmemcmp(buffer, multi, chars), 0);

    wchar_t small[6];
    std::wmemset(small, L'x', 6);
    ULONG size = sizeof(small);
    DWORD type = 0;
    EXPECT_EQ(key_.QueryValue(L"Multi", &type, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, static_cast<ULONG>(sizeof(multi)));
    for (wchar_t c : small) EXPECT_EQ(c, L'\0');

    const wchar_t empty[] = L"\0";
    ASSERT_EQ(key_.SetMultiStringValue(L"EmptyMulti", empty), ERROR_SUCCESS);
    EXPECT_EQ(Raw("EmptyMulti").size(), 33u);  // only the closing NUL
}

// The setter reads no further than the size it was given, even when the text has no terminator.
TEST_F(ObfuscatedRegKeyTest, TextSettersStayWithinTheGivenSize) {
    const wchar_t unterminated[] = {L'a', L'b', L'c', L'X', L'Y', L'Z', 0};
    ASSERT_EQ(key_.SetValue(L"Cut", REG_SZ, unterminated, 3 * sizeof(wchar_t)), ERROR_SUCCESS);
    std::wstring back;
    EXPECT_EQ(key_.QueryStringValue(L"Cut", back), ERROR_SUCCESS);
    EXPECT_EQ(back, L"abc");

    const wchar_t multi[] = {L'a', 0, L'b', L'c', L'Q', L'Q', 0, 0};
    ASSERT_EQ(key_.SetValue(L"CutMulti", REG_MULTI_SZ, multi, 4 * sizeof(wchar_t)), ERROR_SUCCESS);
    wchar_t buffer[16];
    ULONG chars = 16;
    ASSERT_EQ(key_.QueryMultiStringValue(L"CutMulti", buffer, &chars), ERROR_SUCCESS);
    const wchar_t expected[] = {L'a', 0, L'b', L'c', 0, 0};
    ASSERT_EQ(chars, 6u);
    EXPECT_EQ(std::wmemcmp(buffer, expected, 6), 0);
}

// Out of memory for the text's UTF-8 copy is 14, for the blob 8; nothing is written either way.
TEST_F(ObfuscatedRegKeyTest, AllocationFailuresAreReportedAndWriteNothing) {
    const std::wstring text(100000, L'x');
    const struct {
        int skipped;  // large allocations that succeed before the failing one
        LONG error;
    } cases[] = {{0, ERROR_OUTOFMEMORY}, {1, ERROR_NOT_ENOUGH_MEMORY}};
    for (const auto& c : cases) {
        LONG error = ERROR_SUCCESS;
        bool failed = false;
        {
            NuvTest::FailLargeAllocation failure(text.size(), c.skipped);
            error = key_.SetStringValue(L"Large", text.c_str());
            failed = failure.Failed();
        }
        EXPECT_TRUE(failed) << c.skipped;
        EXPECT_EQ(error, c.error) << c.skipped;
        EXPECT_EQ(::RegQueryValueExA(plain_, "Large", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
    }
}

TEST_F(ObfuscatedRegKeyTest, RefusesMissingArguments) {
    EXPECT_EQ(key_.SetValue(L"X", REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key_.SetValue(L"X", REG_BINARY, "x", 0), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key_.QueryValue(L"X", nullptr, nullptr, nullptr), ERROR_INVALID_PARAMETER);
}

// Names pass through the thread's ANSI code page: a character it lacks becomes its replacement.
TEST_F(ObfuscatedRegKeyTest, ValueNamesUseTheAnsiCodePage) {
    const wchar_t wideName[] = L"Na\u65E5me";
    ASSERT_EQ(key_.SetDWORDValue(wideName, 5), ERROR_SUCCESS);
    char narrowName[16] = {};
    ASSERT_GT(::WideCharToMultiByte(CP_THREAD_ACP, 0, wideName, -1, narrowName, sizeof(narrowName), nullptr, nullptr), 0);
    DWORD type = 0;
    Raw(narrowName, &type);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    DWORD value = 0;
    EXPECT_EQ(key_.QueryDWORDValue(wideName, value), ERROR_SUCCESS);
    EXPECT_EQ(value, 5u);

    // The default value (null name) works as well.
    ASSERT_EQ(key_.SetDWORDValue(nullptr, 9), ERROR_SUCCESS);
    EXPECT_EQ(key_.QueryDWORDValue(nullptr, value), ERROR_SUCCESS);
    EXPECT_EQ(value, 9u);
}

}  // namespace
