#include "Shared/SealedRegistry.h"

#include "tests/support/MachineKeyGuard.h"
#include "tests/support/RawRegistryValue.h"
#include "base/Digest.h"
#include "base/Format.h"
#include "base/RegKey.h"

#include "tests/support/ScratchRegistryKey.h"

#include "tests/support/MachineRegistry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// A sealed blob built here from the layout, independently of the writer.
Bytes Seal(DWORD type, const Bytes& plain, std::uint32_t version = 1) {
    Bytes blob(32 + plain.size(), 0);
    CRegSealCipher cipher(kRegSealKey, static_cast<int>(sizeof(kRegSealKey) - 1), 1);
    if (!plain.empty()) {
        EXPECT_TRUE(cipher.Encrypt(plain.data(), &blob[32], plain.size()));
    }
    const std::uint32_t header[4] = {0x47525651 /* "QVRG" */, version, static_cast<std::uint32_t>(plain.size()), type};
    std::memcpy(&blob[0], header, sizeof(header));
    EXPECT_EQ(Tessal::internal::ComputeDigest(blob.data(), blob.size(), &blob[16], 16), 0);
    return blob;
}

void Redigest(Bytes& blob) {
    std::memset(&blob[16], 0, 16);
    ASSERT_EQ(Tessal::internal::ComputeDigest(blob.data(), blob.size(), &blob[16], 16), 0);
}

Bytes Narrow(const char* text, std::size_t size) { return Bytes(text, text + size); }

std::wstring WideOf(const std::vector<wchar_t>& buffer, DWORD bytes) {
    return std::wstring(buffer.data(), bytes / sizeof(wchar_t));
}

// Each test works below its own key of HKCU, removed afterwards.
class SealedRegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(key_.Create(HKEY_CURRENT_USER, path_.c_str()), ERROR_SUCCESS);
    }
    void TearDown() override {
        key_.Close();
    }

    void PutRaw(const char* name, DWORD type, const Bytes& data) {
        ASSERT_EQ(::RegSetValueExA(key_, name, 0, type, data.data(), static_cast<DWORD>(data.size())), ERROR_SUCCESS);
    }
    Bytes Raw(const char* name) {
        DWORD size = 0, type = 0;
        EXPECT_EQ(::RegQueryValueExA(key_, name, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
        Bytes data(size);
        EXPECT_EQ(::RegQueryValueExA(key_, name, nullptr, &type, data.data(), &size), ERROR_SUCCESS);
        data.resize(size);
        return data;
    }
    LONG Read(const wchar_t* name, DWORD* type, void* data, DWORD* size, DWORD flags) {
        return SealedRegReadValue(HKEY_CURRENT_USER, path_.c_str(), name, type, data, size, flags);
    }

    NuvTest::ScratchRegistryKey scratch_{L"Sealed"};
    const std::wstring& path_ = scratch_.Path();
    Tessal::CRegKey key_;
};

TEST_F(SealedRegistryTest, SealedValueRoundTrips) {
    const DWORD number = 0x12345678;
    const ULONGLONG quad = 0x0102030405060708ull;
    const BYTE binary[] = {0, 1, 2, 0, 0xFF};
    const wchar_t text[] = L"hello";
    const wchar_t multi[] = L"one\0two\0";
    struct Case {
        const wchar_t* name;
        DWORD type;
        const void* data;
        DWORD size;
        Bytes stored;  // the plain bytes inside the blob
    };
    const Case cases[] = {
        {L"Dword", REG_DWORD, &number, sizeof(number), Bytes{0x78, 0x56, 0x34, 0x12}},
        {L"Qword", REG_QWORD, &quad, sizeof(quad), Bytes{8, 7, 6, 5, 4, 3, 2, 1}},
        {L"Binary", REG_BINARY, binary, sizeof(binary), Bytes(binary, binary + sizeof(binary))},
        {L"Text", REG_SZ, text, sizeof(text), Narrow("hello", 6)},
        {L"Multi", REG_MULTI_SZ, multi, sizeof(multi), Narrow("one\0two\0", 9)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.type);
        ASSERT_EQ(SealedRegWriteSealedValue(HKEY_CURRENT_USER, path_.c_str(), c.name, c.type, c.data, c.size),
                  ERROR_SUCCESS);
        const std::string narrowName(c.name, c.name + wcslen(c.name));
        EXPECT_EQ(Raw(narrowName.c_str()), Seal(c.type, c.stored));

        std::vector<BYTE> back(64, 0xCC);
        DWORD type = 0, size = static_cast<DWORD>(back.size());
        ASSERT_EQ(Read(c.name, &type, back.data(), &size, SEALED_REG_SEALED), ERROR_SUCCESS);
        EXPECT_EQ(type, c.type);
        ASSERT_EQ(size, c.size);
        EXPECT_EQ(std::memcmp(back.data(), c.data, c.size), 0);

        // Size and type alone.
        type = 0;
        size = 0;
        EXPECT_EQ(Read(c.name, &type, nullptr, &size, SEALED_REG_SEALED), ERROR_SUCCESS);
        EXPECT_EQ(size, c.size);
        type = 0;
        EXPECT_EQ(Read(c.name, &type, nullptr, nullptr, SEALED_REG_SEALED), ERROR_SUCCESS);
        EXPECT_EQ(type, c.type);
    }
    EXPECT_EQ(Read(L"Dword", nullptr, nullptr, nullptr, SEALED_REG_SEALED), ERROR_INVALID_PARAMETER);
}

TEST_F(SealedRegistryTest, DamagedOrForeignBlobIsInvalidData) {
    const Bytes good = Seal(REG_DWORD, {1, 2, 3, 4});
    struct Case {
        const char* what;
        DWORD registryType;
        Bytes blob;
        bool redigest;
    };
    auto changed = [&](std::size_t at, std::uint8_t value) {
        Bytes blob = good;
        blob[at] = value;
        return blob;
    };
    Bytes longer = good;
    longer.push_back(0);
    const Case cases[] = {
        {"digest changed", REG_BINARY, changed(20, good[20] ^ 1), false},
        {"data changed", REG_BINARY, changed(33, good[33] ^ 1), false},
        {"magic changed, digest fits", REG_BINARY, changed(0, 'q'), true},
        {"size field changed, digest fits", REG_BINARY, changed(8, 5), true},
        {"blob longer than its size field, digest fits", REG_BINARY, longer, true},
        {"shorter than a header", REG_BINARY, Bytes(good.begin(), good.begin() + 31), false},
        {"plain DWORD", REG_DWORD, Bytes{1, 2, 3, 4}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes blob = c.blob;
        if (c.redigest) Redigest(blob);
        PutRaw("Value", c.registryType, blob);
        DWORD value = 0, size = sizeof(value), type = 0;
        EXPECT_EQ(Read(L"Value", &type, &value, &size, SEALED_REG_SEALED), ERROR_INVALID_DATA);
    }

    // The version is not examined.
    Bytes version2 = changed(4, 2);
    Redigest(version2);
    PutRaw("Value", REG_BINARY, version2);
    DWORD value = 0, size = sizeof(value), type = 0;
    EXPECT_EQ(Read(L"Value", &type, &value, &size, SEALED_REG_SEALED), ERROR_SUCCESS);
    EXPECT_EQ(value, 0x04030201u);
}

TEST_F(SealedRegistryTest, SealedDataTooLargeForBuffer) {
    PutRaw("Binary", REG_BINARY, Seal(REG_BINARY, Bytes(10, 7)));
    BYTE small[4] = {};
    DWORD size = sizeof(small), type = 0;
    EXPECT_EQ(Read(L"Binary", &type, small, &size, SEALED_REG_SEALED), ERROR_MORE_DATA);
    EXPECT_EQ(size, 10u);

    PutRaw("Text", REG_BINARY, Seal(REG_SZ, Narrow("hello", 6)));
    std::vector<wchar_t> text(3);
    size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    EXPECT_EQ(Read(L"Text", &type, text.data(), &size, SEALED_REG_SEALED), ERROR_MORE_DATA);
    EXPECT_EQ(size, 12u);

    PutRaw("Multi", REG_BINARY, Seal(REG_MULTI_SZ, Narrow("ab\0cd\0", 7)));
    std::vector<wchar_t> multi(6, L'x');  // 12 bytes; 14 needed
    size = static_cast<DWORD>(multi.size() * sizeof(wchar_t));
    EXPECT_EQ(Read(L"Multi", &type, multi.data(), &size, SEALED_REG_SEALED), ERROR_MORE_DATA);
    EXPECT_EQ(size, 14u);
    EXPECT_EQ(multi, std::vector<wchar_t>(6, L'\0'));
}

// Texts stored without their NUL end where the stored bytes end.
TEST_F(SealedRegistryTest, UnterminatedTextEndsWithItsData) {
    PutRaw("Sealed", REG_BINARY, Seal(REG_SZ, Narrow("abc", 3)));
    PutRaw("SealedMulti", REG_BINARY, Seal(REG_MULTI_SZ, Narrow("ab\0cd", 5)));
    ASSERT_EQ(NuvTest::SetRawValue(key_, L"Plain", REG_SZ, L"abc", 3 * sizeof(wchar_t)), ERROR_SUCCESS);
    struct Case {
        const wchar_t* name;
        DWORD flags;
        std::wstring expected;
    };
    const Case cases[] = {
        {L"Sealed", SEALED_REG_SEALED, std::wstring(L"abc\0", 4)},
        {L"SealedMulti", SEALED_REG_SEALED, std::wstring(L"ab\0cd\0\0", 7)},
        {L"Plain", 0, std::wstring(L"abc\0", 4)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.expected.size());
        std::vector<wchar_t> buffer(32, L'x');
        DWORD size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t)), type = 0;
        ASSERT_EQ(Read(c.name, &type, buffer.data(), &size, c.flags), ERROR_SUCCESS);
        EXPECT_EQ(WideOf(buffer, size), c.expected);
    }
}

TEST_F(SealedRegistryTest, PlainValuesAndTextConversion) {
    PutRaw("Number", REG_DWORD, {4, 3, 2, 1});
    PutRaw("Text", REG_SZ, Narrow("plain text", 11));
    PutRaw("Multi", REG_MULTI_SZ, Narrow("a\0bc\0\0", 6));

    DWORD number = 0, size = sizeof(number), type = 0;
    EXPECT_EQ(Read(L"Number", &type, &number, &size, 0), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(number, 0x01020304u);
    EXPECT_EQ(Read(L"Number", &type, &number, &size, SEALED_REG_SEALED), ERROR_INVALID_DATA);

    std::vector<wchar_t> buffer(32, L'x');
    size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    ASSERT_EQ(Read(L"Text", &type, buffer.data(), &size, 0), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(WideOf(buffer, size), std::wstring(L"plain text\0", 11));

    // Too small: the size of the wide text with its NUL, whether or not the narrow text fits.
    for (DWORD capacity : {4u, 16u}) {
        size = capacity;
        EXPECT_EQ(Read(L"Text", &type, buffer.data(), &size, 0), ERROR_MORE_DATA);
        EXPECT_EQ(size, 22u);
    }
    size = 0;
    EXPECT_EQ(Read(L"Text", &type, nullptr, &size, 0), ERROR_SUCCESS);
    EXPECT_EQ(size, 22u);

    size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    ASSERT_EQ(Read(L"Multi", &type, buffer.data(), &size, 0), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(WideOf(buffer, size), std::wstring(L"a\0bc\0\0", 6));
    buffer.assign(32, L'x');
    size = 10;  // 12 needed
    EXPECT_EQ(Read(L"Multi", &type, buffer.data(), &size, 0), ERROR_MORE_DATA);
    EXPECT_EQ(size, 12u);
    EXPECT_EQ(std::wstring(buffer.data(), 5), std::wstring(5, L'\0'));

    EXPECT_EQ(Read(L"Missing", &type, buffer.data(), &size, 0), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(SealedRegReadValue(HKEY_CURRENT_USER, (path_ + L"\\Missing").c_str(), L"Number", &type, &number, &size, 0),
              ERROR_FILE_NOT_FOUND);

    // The default value of the key itself.
    PutRaw(nullptr, REG_DWORD, {9, 0, 0, 0});
    for (const wchar_t* name : {static_cast<const wchar_t*>(nullptr), L""}) {
        number = 0;
        size = sizeof(number);
        EXPECT_EQ(Read(name, &type, &number, &size, 0), ERROR_SUCCESS);
        EXPECT_EQ(number, 9u);
    }
}

// The 32-bit view of HKLM\Software is a key of its own on 64-bit Windows (and Wine).
TEST(SealedRegistryViewTest, Flag08OpensThe32BitView) {
    const NuvTest::RealMachineRegistry realMachine;  // the program's own has no 32-bit view
    const std::wstring path = Tessal::Format(L"Software\\NuvTests-View-%lu", ::GetCurrentProcessId());
    Tessal::CRegKey key;
    ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, path.c_str(), nullptr, REG_OPTION_NON_VOLATILE,
                         KEY_READ | KEY_WRITE | KEY_WOW64_32KEY),
              ERROR_SUCCESS);
    ASSERT_EQ(key.SetDWORDValue(L"Value", 32), ERROR_SUCCESS);

    struct Case {
        DWORD flags;
        LONG result;
    };
    for (const Case& c : {Case{0x08, ERROR_SUCCESS}, Case{0x18, ERROR_SUCCESS}, Case{0x10, ERROR_FILE_NOT_FOUND},
                          Case{0x00, ERROR_FILE_NOT_FOUND}}) {
        SCOPED_TRACE(testing::Message() << c.flags);
        DWORD value = 0, size = sizeof(value), type = 0;
        EXPECT_EQ(SealedRegReadValue(HKEY_LOCAL_MACHINE, path.c_str(), L"Value", &type, &value, &size, c.flags),
                  c.result);
        if (c.result == ERROR_SUCCESS) {
            EXPECT_EQ(value, 32u);
        }
    }
    key.Close();
    ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), KEY_WOW64_32KEY, 0);
}

// The writer's own key below HKLM\Software\Oberix\NUV, left as it was found.
class SealedRegistryWriteTest : public ::testing::Test {
protected:
    const std::wstring statistics_ = L"Software\\Oberix\\NUV\\TYVO";
    NuvTest::MachineKeyGuard guard_;
};

TEST_F(SealedRegistryWriteTest, WritesPlainValuesUnderStatisticsKey) {
    guard_.WillCreate(statistics_);
    for (const wchar_t* name : {L"NuvTest.Dword", L"NuvTest.Text", L"NuvTest.Cut", L"NuvTest.Multi"}) {
        guard_.SaveValue(statistics_, name);
    }

    const DWORD number = 77;
    ASSERT_EQ(SealedRegWriteValue(L"NuvTest.Dword", REG_DWORD, &number, sizeof(number)), ERROR_SUCCESS);
    EXPECT_TRUE(NuvTest::MachineKeyGuard::KeyExists(statistics_));
    const wchar_t text[] = L"written";
    ASSERT_EQ(SealedRegWriteValue(L"NuvTest.Text", REG_SZ, text, sizeof(text)), ERROR_SUCCESS);
    // Only the caller's size is read: no NUL within it, the text ends there.
    ASSERT_EQ(SealedRegWriteValue(L"NuvTest.Cut", REG_SZ, L"abcdef", 3 * sizeof(wchar_t)), ERROR_SUCCESS);
    const wchar_t multi[] = L"x\0yz\0";
    ASSERT_EQ(SealedRegWriteValue(L"NuvTest.Multi", REG_MULTI_SZ, multi, sizeof(multi)), ERROR_SUCCESS);

    Tessal::CRegKey key;
    ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, statistics_.c_str(), KEY_READ), ERROR_SUCCESS);
    struct Case {
        const char* name;
        DWORD type;
        Bytes stored;
    };
    const Case cases[] = {
        {"NuvTest.Dword", REG_DWORD, Bytes{77, 0, 0, 0}},
        {"NuvTest.Text", REG_SZ, Narrow("written", 8)},
        {"NuvTest.Cut", REG_SZ, Narrow("abc", 4)},
        {"NuvTest.Multi", REG_MULTI_SZ, Narrow("x\0yz\0", 6)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes raw(64);
        DWORD size = static_cast<DWORD>(raw.size()), type = 0;
        ASSERT_EQ(::RegQueryValueExA(key, c.name, nullptr, &type, raw.data(), &size), ERROR_SUCCESS);
        raw.resize(size);
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(raw, c.stored);
    }

    // Read back plain; the writer does not seal.
    std::vector<wchar_t> buffer(16);
    DWORD size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t)), type = 0;
    ASSERT_EQ(SealedRegReadValue(HKEY_LOCAL_MACHINE, statistics_.c_str(), L"NuvTest.Text", &type, buffer.data(),
                                 &size, 0),
              ERROR_SUCCESS);
    EXPECT_EQ(WideOf(buffer, size), std::wstring(text, 8));
    DWORD value = 0;
    size = sizeof(value);
    EXPECT_EQ(SealedRegReadValue(HKEY_LOCAL_MACHINE, statistics_.c_str(), L"NuvTest.Dword", &type, &value, &size,
                                 SEALED_REG_SEALED),
              ERROR_INVALID_DATA);
}

}  // namespace
