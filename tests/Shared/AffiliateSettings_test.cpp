#include "Shared/AffiliateSettings.h"

#include "tests/support/MachineKeyGuard.h"
#include "tests/support/RawRegistryValue.h"
#include "base/Format.h"
#include "base/RegKey.h"

#include "tests/support/ScratchRegistryKey.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

const std::wstring kSettings = L"Software\\Oberix\\NUV\\Settings";
const std::wstring kDefault = kSettings + L"\\default";

// The real settings keys, with this program's own affiliate id installed for the test.
class AffiliateSettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        affiliateId_ = Tessal::Format(L"NuvTest-%lu", ::GetCurrentProcessId());
        affiliate_ = kSettings + L"\\" + affiliateId_;
        ASSERT_TRUE(guard_.SetString(kSettings, L"affid", affiliateId_));
        ASSERT_TRUE(guard_.CreateKey(affiliate_));
    }

    std::wstring affiliateId_;
    std::wstring affiliate_;
    NuvTest::MachineKeyGuard guard_;
};

TEST_F(AffiliateSettingsTest, AffiliateIdFallsBackToDefault) {
    struct Case {
        const char* what;
        DWORD type;
        std::vector<BYTE> data;  // empty with type REG_NONE: value absent
        std::wstring expected;
    };
    auto text = [](const std::wstring& value, bool terminated = true) {
        const auto* bytes = reinterpret_cast<const BYTE*>(value.c_str());
        return std::vector<BYTE>(bytes, bytes + (value.size() + (terminated ? 1 : 0)) * sizeof(wchar_t));
    };
    const Case cases[] = {
        {"absent", REG_NONE, {}, L"default"},
        {"empty", REG_SZ, {}, L"default"},
        {"only a NUL", REG_SZ, text(L""), L"default"},
        {"zero", REG_SZ, text(L"0"), L"default"},
        {"300 characters", REG_SZ, text(std::wstring(300, L'x')), L"default"},
        {"260 characters", REG_SZ, text(std::wstring(260, L'x')), std::wstring(260, L'x')},
        {"no terminator", REG_SZ, text(L"acme", false), L"default"},
        {"odd byte count", REG_SZ, {'a', 0, 0}, L"default"},
        {"DWORD", REG_DWORD, {7, 0, 0, 0}, L"default"},
        {"expandable, not expanded", REG_EXPAND_SZ, text(L"%TEMP%"), L"%TEMP%"},
        {"plain", REG_SZ, text(L"acme"), L"acme"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.type == REG_NONE) {
            guard_.DeleteValue(kSettings, L"affid");
        } else {
            ASSERT_TRUE(guard_.SetValue(kSettings, L"affid", c.type, c.data.data(), static_cast<DWORD>(c.data.size())));
        }
        std::wstring id = L"stale";
        CAffiliateSettings settings;
        EXPECT_TRUE(settings.LoadAffiliateId(id));
        EXPECT_EQ(id, c.expected);
    }
}

TEST_F(AffiliateSettingsTest, DwordComesFromAffiliateElseDefault) {
    ASSERT_TRUE(guard_.SetDword(affiliate_, L"NuvTest.Both", 1));
    ASSERT_TRUE(guard_.SetDword(kDefault, L"NuvTest.Both", 2));
    ASSERT_TRUE(guard_.SetDword(affiliate_, L"NuvTest.AffiliateOnly", 3));
    ASSERT_TRUE(guard_.SetDword(kDefault, L"NuvTest.DefaultOnly", 4));
    ASSERT_TRUE(guard_.SetString(affiliate_, L"NuvTest.WrongType", L"5"));
    ASSERT_TRUE(guard_.SetDword(kDefault, L"NuvTest.WrongType", 6));
    ASSERT_TRUE(guard_.SetString(kDefault, L"NuvTest.TextOnly", L"7"));
    guard_.DeleteValue(kDefault, L"NuvTest.Missing");

    struct Case {
        const wchar_t* name;
        bool found;
        DWORD expected;
    };
    for (const Case& c : {Case{L"NuvTest.Both", true, 1}, Case{L"NuvTest.AffiliateOnly", true, 3},
                          Case{L"NuvTest.DefaultOnly", true, 4}, Case{L"NuvTest.WrongType", true, 6},
                          Case{L"NuvTest.TextOnly", false, 99}, Case{L"NuvTest.Missing", false, 99}}) {
        SCOPED_TRACE(testing::Message() << std::string(c.name, c.name + wcslen(c.name)));
        CAffiliateSettings settings;
        DWORD value = 99;
        EXPECT_EQ(settings.ReadDword(c.name, value), c.found);
        EXPECT_EQ(value, c.expected);
    }
    CAffiliateSettings settings;
    DWORD value = 99;
    EXPECT_FALSE(settings.ReadDword(nullptr, value));
}

TEST_F(AffiliateSettingsTest, StringComesFromAffiliateElseDefault) {
    ASSERT_TRUE(guard_.SetString(affiliate_, L"NuvTest.Both", L"affiliate"));
    ASSERT_TRUE(guard_.SetString(kDefault, L"NuvTest.Both", L"default"));
    ASSERT_TRUE(guard_.SetString(affiliate_, L"NuvTest.Expandable", L"%WINDIR%\\x", REG_EXPAND_SZ));
    ASSERT_TRUE(guard_.SetDword(affiliate_, L"NuvTest.WrongType", 1));
    ASSERT_TRUE(guard_.SetString(kDefault, L"NuvTest.WrongType", L"15/5"));
    ASSERT_TRUE(guard_.SetString(affiliate_, L"NuvTest.Empty", L""));
    ASSERT_TRUE(guard_.SetString(kDefault, L"NuvTest.Empty", L"default"));
    ASSERT_TRUE(guard_.SetString(affiliate_, L"NuvTest.Longest", std::wstring(260, L'a')));
    ASSERT_TRUE(guard_.SetString(affiliate_, L"NuvTest.TooLong", std::wstring(261, L'a')));
    ASSERT_TRUE(guard_.SetString(kDefault, L"NuvTest.TooLong", L"short"));
    const std::wstring unterminated = L"abc";
    ASSERT_TRUE(guard_.SetValue(affiliate_, L"NuvTest.Unterminated", REG_SZ, unterminated.c_str(), 6));
    guard_.DeleteValue(kDefault, L"NuvTest.Unterminated");

    struct Case {
        const wchar_t* name;
        bool found;
        std::wstring expected;
    };
    const Case cases[] = {
        {L"NuvTest.Both", true, L"affiliate"},
        {L"NuvTest.Expandable", true, L"%WINDIR%\\x"},
        {L"NuvTest.WrongType", true, L"15/5"},
        {L"NuvTest.Empty", true, L""},
        {L"NuvTest.Longest", true, std::wstring(260, L'a')},
        {L"NuvTest.TooLong", true, L"short"},
        {L"NuvTest.Unterminated", false, L"unchanged"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::string(c.name, c.name + wcslen(c.name)));
        CAffiliateSettings settings;
        std::wstring text = L"unchanged";
        EXPECT_EQ(settings.ReadString(c.name, text), c.found);
        EXPECT_EQ(text, c.expected);
    }
}

TEST_F(AffiliateSettingsTest, MissingAffiliateKeyReadsDefault) {
    ASSERT_TRUE(guard_.SetString(kSettings, L"affid", affiliateId_ + L"-nowhere"));
    ASSERT_TRUE(guard_.SetDword(kDefault, L"NuvTest.Dword", 42));
    ASSERT_TRUE(guard_.SetString(kDefault, L"NuvTest.Text", L"pool.example"));
    CAffiliateSettings settings;
    DWORD value = 0;
    std::wstring text;
    EXPECT_TRUE(settings.ReadDword(L"NuvTest.Dword", value));
    EXPECT_EQ(value, 42u);
    EXPECT_TRUE(settings.ReadString(L"NuvTest.Text", text));
    EXPECT_EQ(text, L"pool.example");
}

TEST_F(AffiliateSettingsTest, CategoriesOfAffiliateOverrideDefault) {
    const std::wstring defaultCategories = kDefault + L"\\Categories";
    const std::wstring affiliateCategories = affiliate_ + L"\\Categories";
    ASSERT_TRUE(guard_.SetString(defaultCategories, L"NuvTest.Replaced", L"1"));
    ASSERT_TRUE(guard_.SetString(defaultCategories, L"NuvTest.Digits", L"12abc"));
    ASSERT_TRUE(guard_.SetString(defaultCategories, L"NuvTest.Letters", L"abc"));
    ASSERT_TRUE(guard_.SetString(defaultCategories, L"NuvTest.Signed", L"  -7"));
    ASSERT_TRUE(guard_.SetString(affiliateCategories, L"NUVTEST.REPLACED", L"40"));
    ASSERT_TRUE(guard_.SetString(affiliateCategories, L"NuvTest.Added", L"5"));
    ASSERT_TRUE(guard_.SetDword(affiliateCategories, L"NuvTest.Dword", 9));
    ASSERT_TRUE(guard_.SetString(affiliateCategories, L"", L"8"));  // the unnamed value

    CategoryMap table = {{L"NuvTest.Stale", 1}};
    CAffiliateSettings().LoadCategorySettings(table);

    EXPECT_EQ(table.count(L"NuvTest.Stale"), 0u);
    EXPECT_EQ(table.count(L"NuvTest.Dword"), 0u);
    EXPECT_EQ(table.count(L""), 0u);
    EXPECT_EQ(table.count(L"nuvtest.replaced"), 1u);
    struct Case {
        const wchar_t* name;
        int expected;
    };
    for (const Case& c : {Case{L"NuvTest.Replaced", 40}, Case{L"nuvtest.digits", 12}, Case{L"NuvTest.Letters", 0},
                          Case{L"NuvTest.Signed", -7}, Case{L"NuvTest.Added", 5}}) {
        SCOPED_TRACE(testing::Message() << std::string(c.name, c.name + wcslen(c.name)));
        const auto entry = table.find(c.name);
        ASSERT_NE(entry, table.end());
        EXPECT_EQ(entry->second, c.expected);
    }
}

// The enumeration helpers on a key of their own below HKCU.
class RegistryEnumerationTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(key_.Create(HKEY_CURRENT_USER, path_.c_str()), ERROR_SUCCESS);
    }
    void TearDown() override {
        key_.Close();
    }

    NuvTest::ScratchRegistryKey scratch_{L"Enumeration"};
    const std::wstring& path_ = scratch_.Path();
    Tessal::CRegKey key_;
};

TEST_F(RegistryEnumerationTest, ListsTextNumberAndBinaryValuesWithinTheirOwnBytes) {
    // Created in name order, so that they enumerate in that order on Windows and under Wine
    // (which lists values sorted).
    const std::wstring longText = L"a long text that leaves bytes behind";
    ASSERT_EQ(key_.SetStringValue(L"A1 Long", longText.c_str()), ERROR_SUCCESS);
    ASSERT_EQ(NuvTest::SetRawValue(key_, L"A2 Short", REG_SZ, L"ab", 2 * sizeof(wchar_t)), ERROR_SUCCESS);
    ASSERT_EQ(key_.SetDWORDValue(L"A3 Number", 0x01020304), ERROR_SUCCESS);
    const BYTE twoBytes[] = {0x11, 0x22};
    ASSERT_EQ(key_.SetValue(L"A4 Short Number", REG_DWORD, twoBytes, sizeof(twoBytes)), ERROR_SUCCESS);
    const BYTE blob[] = {0, 1, 2, 0, 255};
    ASSERT_EQ(key_.SetBinaryValue(L"A5 Blob", blob, sizeof(blob)), ERROR_SUCCESS);
    ASSERT_EQ(key_.SetMultiStringValue(L"A6 Multi", L"x\0y\0"), ERROR_SUCCESS);
    ASSERT_EQ(key_.SetQWORDValue(L"A7 Quad", 5), ERROR_SUCCESS);
    ASSERT_EQ(key_.SetStringValue(L"A8 Expandable", L"%TEMP%", REG_EXPAND_SZ), ERROR_SUCCESS);

    RegValueList entries(1);
    entries[0].m_strName = L"kept";
    EnumRegistryValues(HKEY_CURRENT_USER, path_.c_str(), &entries);

    ASSERT_EQ(entries.size(), 6u);
    EXPECT_EQ(entries[0].m_strName, L"kept");
    EXPECT_EQ(entries[1].m_strName, L"A1 Long");
    EXPECT_EQ(entries[1].m_dwType, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(entries[1].m_strText, longText);
    EXPECT_EQ(entries[2].m_strName, L"A2 Short");
    // Not the rest of "A1 Long" still in the buffer (Wine writes a NUL behind enumerated data
    // when there is room, so only Windows shows that fault here).
    EXPECT_EQ(entries[2].m_strText, L"ab");
    EXPECT_EQ(entries[3].m_strName, L"A3 Number");
    EXPECT_EQ(entries[3].m_dwType, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(entries[3].m_dwNumber, 0x01020304u);
    EXPECT_EQ(entries[4].m_strName, L"A4 Short Number");
    EXPECT_EQ(entries[4].m_dwNumber, 0x2211u);  // nothing of "A3 Number" above its two bytes
    EXPECT_EQ(entries[5].m_strName, L"A5 Blob");
    EXPECT_EQ(entries[5].m_dwType, static_cast<DWORD>(REG_BINARY));
    ASSERT_EQ(entries[5].m_data.GetSize(), sizeof(blob));
    EXPECT_TRUE(std::equal(blob, blob + sizeof(blob), entries[5].m_data.GetData()));

    const RegValueList before = entries;
    EnumRegistryValues(HKEY_CURRENT_USER, (path_ + L"\\Missing").c_str(), &entries);
    EXPECT_EQ(entries.size(), before.size());
    EnumRegistryValues(HKEY_CURRENT_USER, path_.c_str(), nullptr);
}

TEST_F(RegistryEnumerationTest, ValueTooLargeEndsTheList) {
    ASSERT_EQ(key_.SetDWORDValue(L"A1 First", 1), ERROR_SUCCESS);
    const std::vector<BYTE> large(32769, 0xAB);
    ASSERT_EQ(key_.SetBinaryValue(L"A2 Large", large.data(), static_cast<ULONG>(large.size())), ERROR_SUCCESS);
    ASSERT_EQ(key_.SetDWORDValue(L"A3 After", 2), ERROR_SUCCESS);

    RegValueList entries;
    EnumRegistryValues(HKEY_CURRENT_USER, path_.c_str(), &entries);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].m_strName, L"A1 First");
}

TEST_F(RegistryEnumerationTest, SubkeysReplaceTheList) {
    for (const wchar_t* name : {L"Alpha", L"A much longer subkey name", L"B"}) {
        Tessal::CRegKey child;
        ASSERT_EQ(child.Create(key_, name), ERROR_SUCCESS);
    }
    std::vector<std::wstring> names = {L"stale"};
    EnumRegistrySubkeys(HKEY_CURRENT_USER, path_.c_str(), &names);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::wstring>{L"A much longer subkey name", L"Alpha", L"B"}));

    EnumRegistrySubkeys(HKEY_CURRENT_USER, (path_ + L"\\Alpha").c_str(), &names);
    EXPECT_TRUE(names.empty());
    names = {L"stale"};
    EnumRegistrySubkeys(HKEY_CURRENT_USER, (path_ + L"\\Missing").c_str(), &names);
    EXPECT_TRUE(names.empty());
}

}  // namespace
