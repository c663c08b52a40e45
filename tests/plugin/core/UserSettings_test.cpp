// The per-user settings record read from the stand-in configuration service (created by its
// CLSID, registered into the test prefix): defaults of an unprotected user, stored values of a
// protected one, failed reads, the VARIANT types each setting is taken from, site lists and the
// week of setting 210.

#include "plugin/core/UserSettings.h"

#include "nuvutil/com/Bstr.h"
#include "nuvutil/com/CoInitializeScope.h"
#include "nuvutil/com/Variant.h"
#include "tests/plugin/core/ConfigServiceStandIn.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <configservice.h>
#include <wrl/client.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using Microsoft::WRL::ComPtr;

constexpr const wchar_t* kUser = L"alice";
constexpr const wchar_t* kUserName = L"Alice";
constexpr const wchar_t* kZeros = L"00000000000000000000000000000000";
constexpr const wchar_t* kMask = L"00000000000000000000000000000104";

std::wstring Text(const CSafeStringW& s) { return std::wstring(s.GetString(), s.GetLength()); }

std::vector<std::wstring> Texts(const CSiteList& list) {
    std::vector<std::wstring> texts;
    for (const CSafeStringW& entry : list) texts.push_back(Text(entry));
    return texts;
}

NuvCom::CVariant Bool(bool value) { return NuvCom::CVariant(value); }

NuvCom::CVariant Short(SHORT value) {
    NuvCom::CVariant v;
    v.Get()->vt = VT_I2;
    v.Get()->iVal = value;
    return v;
}

class UserSettingsFromService : public ::testing::Test {
public:
    void SetUp() override {
        ASSERT_TRUE(m_com.Succeeded());
        ASSERT_TRUE(NuvTest::ConnectConfigService(m_config, m_control));
        ASSERT_HRESULT_SUCCEEDED(m_control->AddUser(NuvCom::CBstr(kUser).Get(), NuvCom::CBstr(kUserName).Get()));
    }
    void TearDown() override {
        if (m_control) m_control->Reset();
    }

    void Set(LONG setting, const NuvCom::CVariant& value) {
        ASSERT_HRESULT_SUCCEEDED(m_control->SetUserSetting(NuvCom::CBstr(kUser).Get(), setting, *value.Get()))
            << setting;
    }
    void Set(LONG setting, const wchar_t* text) { Set(setting, NuvCom::CVariant(text)); }
    void Set(LONG setting, LONG number) { Set(setting, NuvCom::CVariant(number)); }

    void Fail(const std::wstring& call, HRESULT hr, LONG status) {
        ASSERT_HRESULT_SUCCEEDED(m_control->FailCall(NuvCom::CBstr(call.c_str()).Get(), hr, status, -1));
    }

    ULONG CallCount(const wchar_t* call) {
        ULONG count = 0;
        EXPECT_HRESULT_SUCCEEDED(m_control->GetCallCount(NuvCom::CBstr(call).Get(), &count));
        return count;
    }

    // The user's category, found in the user collection as the configuration client finds it.
    ComPtr<IConfigSettings> Category() {
        NuvCom::CVariant users;
        LONG status = 0;
        EXPECT_HRESULT_SUCCEEDED(m_config->Get(QV_CONFIG_ITEM_USERS, users.Put(), &status));
        EXPECT_EQ(users.Type(), VT_DISPATCH);
        if (users.Type() != VT_DISPATCH) return nullptr;
        ComPtr<IConfigCollection> collection;
        EXPECT_HRESULT_SUCCEEDED(users.Get()->pdispVal->QueryInterface(IID_IConfigCollection, &collection));
        ComPtr<IUnknown> enumeratorObject;
        ComPtr<IEnumVARIANT> enumerator;
        if (!collection || FAILED(collection->get__NewEnum(&enumeratorObject)) ||
            FAILED(enumeratorObject.As(&enumerator))) {
            ADD_FAILURE() << "no user enumerator";
            return nullptr;
        }
        NuvCom::CVariant user;
        ULONG fetched = 0;
        EXPECT_EQ(enumerator->Next(1, user.Put(), &fetched), S_OK);
        ComPtr<IConfigSettings> category;
        if (user.Type() == VT_DISPATCH) user.Get()->pdispVal->QueryInterface(IID_IConfigSettings, &category);
        EXPECT_NE(category, nullptr);
        return category;
    }

    CUserSettings Read() { return CUserSettings(Category().Get()); }

    NuvCom::CCoInitialize m_com;
    ComPtr<IQvConfigCategory> m_config;
    ComPtr<IQvConfigServiceControl> m_control;
};

TEST_F(UserSettingsFromService, ProtectedUserGetsTheStoredValues) {
    const std::wstring week = std::wstring(5, L'1') + L"00" + std::wstring(2009, L'1');
    Set(CUserSettings::kProtected, Bool(true));
    Set(CUserSettings::kAgeGroup, 3);
    Set(CUserSettings::kAllowedListOnly, Bool(true));
    Set(CUserSettings::kTimeBlocks, week.c_str());
    Set(CUserSettings::kSafeSearch, Bool(true));
    Set(CUserSettings::kCategoryMask, kMask);
    Set(CUserSettings::kCategoryMode, 1);
    Set(CUserSettings::kBlockedSites, L"bad.example games.example.com/play");
    Set(CUserSettings::kAllowedSites, L"school.example");

    const CUserSettings s = Read();
    EXPECT_EQ(Text(s.m_strUserId), kUser);
    EXPECT_EQ(Text(s.m_strUserName), kUserName);
    EXPECT_EQ(s.m_bProtected, 1);
    EXPECT_EQ(s.m_nAgeGroup, 3);
    EXPECT_EQ(s.m_bAllowedListOnly, 1);
    EXPECT_EQ(s.m_bTimeRestricted, 1);
    EXPECT_EQ(s.m_bSafeSearch, 1);
    EXPECT_EQ(Text(s.m_strCategoryMask), kMask);
    EXPECT_EQ(s.m_nCategoryMode, 1);
    EXPECT_EQ(s.m_bNoCategoryFiltering, 0);
    EXPECT_EQ(s.m_bBlockedListEmpty, 0);
    EXPECT_EQ(Texts(s.m_blockedSites), (std::vector<std::wstring>{L"bad.example", L"games.example.com/play"}));
    EXPECT_EQ(Texts(s.m_allowedSites), (std::vector<std::wstring>{L"school.example"}));

    CSafeStringW blocks;
    ASSERT_TRUE(s.GetTimeBlocks(blocks));
    EXPECT_EQ(Text(blocks), week);

    CSafeStringW matched;
    EXPECT_TRUE(s.IsOnBlockedList(L"www.bad.example/index.html", matched));
    EXPECT_EQ(Text(matched), L"bad.example");
    EXPECT_FALSE(s.IsOnBlockedList(L"school.example/", matched));
    EXPECT_TRUE(s.IsOnAllowedList(L"http://School.Example/", matched));
    EXPECT_EQ(Text(matched), L"bad.exampleschool.example");  // appended
}

TEST_F(UserSettingsFromService, UnprotectedUserGetsTheDefaultsWhateverElseIsStored) {
    Set(CUserSettings::kProtected, Bool(false));
    Set(CUserSettings::kAgeGroup, 3);
    Set(CUserSettings::kAllowedListOnly, Bool(true));
    Set(CUserSettings::kTimeBlocks, std::wstring(2016, L'0').c_str());
    Set(CUserSettings::kSafeSearch, Bool(true));
    Set(CUserSettings::kCategoryMask, kMask);
    Set(CUserSettings::kCategoryMode, 1);
    Set(CUserSettings::kBlockedSites, L"bad.example");
    Set(CUserSettings::kAllowedSites, L"school.example");

    const CUserSettings s = Read();
    EXPECT_EQ(Text(s.m_strUserId), kUser);
    EXPECT_EQ(Text(s.m_strUserName), kUserName);
    EXPECT_EQ(s.m_bProtected, 0);
    EXPECT_EQ(s.m_nAgeGroup, 6);
    EXPECT_EQ(s.m_bAllowedListOnly, 0);
    EXPECT_EQ(s.m_bTimeRestricted, 0);
    EXPECT_EQ(s.m_pTimeBlocks, nullptr);
    EXPECT_EQ(s.m_bSafeSearch, 0);
    EXPECT_EQ(Text(s.m_strCategoryMask), kZeros);
    EXPECT_EQ(s.m_nCategoryMode, 0);
    EXPECT_EQ(s.m_bNoCategoryFiltering, 1);
    EXPECT_EQ(s.m_bBlockedListEmpty, 1);
    EXPECT_TRUE(s.m_blockedSites.empty());
    EXPECT_TRUE(s.m_allowedSites.empty());
    CSafeStringW blocks(L"untouched");
    EXPECT_FALSE(s.GetTimeBlocks(blocks));
    EXPECT_EQ(Text(blocks), L"untouched");
    // The record stops reading at 315.
    EXPECT_EQ(CallCount(L"IConfigSettings.Get(203)"), 0u);
    EXPECT_EQ(CallCount(L"IConfigSettings.Get(314)"), 0u);
}

TEST_F(UserSettingsFromService, OnlyABooleanFalseIn315MakesTheUserUnprotected) {
    const struct {
        const char* what;
        NuvCom::CVariant value;  // VT_EMPTY: not stored
        HRESULT failHr;          // with failStatus, the answer of every read of 315; S_OK and OK: none
        LONG failStatus;
        BYTE expectedProtected;
    } cases[] = {
        {"VT_BOOL FALSE", Bool(false), S_OK, QV_CONFIG_STATUS_OK, 0},
        {"VT_BOOL TRUE", Bool(true), S_OK, QV_CONFIG_STATUS_OK, 1},
        {"integer 0", NuvCom::CVariant(0L), S_OK, QV_CONFIG_STATUS_OK, 1},
        {"text", NuvCom::CVariant(L"0"), S_OK, QV_CONFIG_STATUS_OK, 1},
        {"not stored", NuvCom::CVariant(), S_OK, QV_CONFIG_STATUS_OK, 1},
        {"failed call", Bool(false), E_FAIL, 0, 1},
        {"failed status", Bool(false), S_OK, QV_CONFIG_STATUS_FAILED, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_HRESULT_SUCCEEDED(m_control->Reset());
        ASSERT_HRESULT_SUCCEEDED(m_control->AddUser(NuvCom::CBstr(kUser).Get(), NuvCom::CBstr(kUserName).Get()));
        Set(CUserSettings::kAgeGroup, 2);
        Set(CUserSettings::kProtected, c.value);
        if (c.failHr != S_OK || c.failStatus != QV_CONFIG_STATUS_OK) Fail(L"IConfigSettings.Get(315)", c.failHr, c.failStatus);
        const CUserSettings s = Read();
        EXPECT_EQ(s.m_bProtected, c.expectedProtected);
        // A protected user's other settings are read as usual.
        EXPECT_EQ(s.m_nAgeGroup, c.expectedProtected ? 2 : 6);
        EXPECT_EQ(Text(s.m_strUserId), kUser);
    }
}

// A setting that cannot be read, or comes with a type it is not taken from, keeps its default
// while the others are read.
TEST_F(UserSettingsFromService, UnreadableSettingsKeepTheirDefaults) {
    const std::wstring week = L"0" + std::wstring(2015, L'1');
    const auto storeAll = [&] {
        Set(CUserSettings::kProtected, Bool(true));
        Set(CUserSettings::kAgeGroup, 3);
        Set(CUserSettings::kAllowedListOnly, Bool(true));
        Set(CUserSettings::kTimeBlocks, week.c_str());
        Set(CUserSettings::kSafeSearch, Bool(true));
        Set(CUserSettings::kCategoryMask, kZeros);
        Set(CUserSettings::kCategoryMode, 0L);
        Set(CUserSettings::kBlockedSites, L"bad.example");
        Set(CUserSettings::kAllowedSites, L"school.example");
    };
    // What each setting's field looks like read and unread.
    struct Field {
        LONG setting;
        std::function<std::wstring(const CUserSettings&)> show;
        std::wstring read;
        std::wstring unread;
    };
    const auto flag = [](BYTE CUserSettings::*member) {
        return [member](const CUserSettings& s) { return std::to_wstring(s.*member); };
    };
    const auto number = [](LONG CUserSettings::*member) {
        return [member](const CUserSettings& s) { return std::to_wstring(s.*member); };
    };
    const auto text = [](CSafeStringW CUserSettings::*member) {
        return [member](const CUserSettings& s) { return Text(s.*member); };
    };
    const auto list = [](CSiteList CUserSettings::*member, BYTE CUserSettings::*emptyFlag) {
        return [member, emptyFlag](const CUserSettings& s) {
            std::wstring shown;
            for (const std::wstring& entry : Texts(s.*member)) shown += entry + L";";
            if (emptyFlag != nullptr) shown += L"empty=" + std::to_wstring(s.*emptyFlag);
            return shown;
        };
    };
    const Field fields[] = {
        {CUserSettings::kUserName, text(&CUserSettings::m_strUserName), kUserName, L""},
        {CUserSettings::kAgeGroup, number(&CUserSettings::m_nAgeGroup), L"3", L"6"},
        {CUserSettings::kAllowedListOnly, flag(&CUserSettings::m_bAllowedListOnly), L"1", L"0"},
        {CUserSettings::kTimeBlocks,
         [](const CUserSettings& s) {
             return std::to_wstring(s.m_bTimeRestricted) + (s.m_pTimeBlocks ? L" week" : L" none");
         },
         L"1 week", L"0 none"},
        {CUserSettings::kSafeSearch, flag(&CUserSettings::m_bSafeSearch), L"1", L"0"},
        // The mask decides "no category filtering" as well.
        {CUserSettings::kCategoryMask,
         [](const CUserSettings& s) { return Text(s.m_strCategoryMask) + L" " + std::to_wstring(s.m_bNoCategoryFiltering); },
         std::wstring(kZeros) + L" 1", L" 0"},
        {CUserSettings::kBlockedSites, list(&CUserSettings::m_blockedSites, &CUserSettings::m_bBlockedListEmpty),
         L"bad.example;empty=0", L"empty=1"},
        {CUserSettings::kAllowedSites, list(&CUserSettings::m_allowedSites, nullptr), L"school.example;", L""},
    };
    // The kinds of unreadable: a failed call, a failed status, and for the settings taken from a
    // text (200, 311, 313, 314, 210) a number, for the others a text.
    enum Kind { FailedCall, FailedStatus, WrongType };
    for (const Field& field : fields) {
        for (const Kind kind : {FailedCall, FailedStatus, WrongType}) {
            SCOPED_TRACE(testing::Message() << "setting " << field.setting << " kind " << kind);
            ASSERT_HRESULT_SUCCEEDED(m_control->Reset());
            ASSERT_HRESULT_SUCCEEDED(m_control->AddUser(NuvCom::CBstr(kUser).Get(), NuvCom::CBstr(kUserName).Get()));
            storeAll();
            const CUserSettings all = Read();
            for (const Field& other : fields) EXPECT_EQ(other.show(all), other.read) << other.setting;

            const std::wstring call = L"IConfigSettings.Get(" + std::to_wstring(field.setting) + L")";
            const bool fromText = field.setting == CUserSettings::kUserName || field.setting == CUserSettings::kTimeBlocks ||
                                  (field.setting >= CUserSettings::kCategoryMask && field.setting != CUserSettings::kCategoryMode);
            switch (kind) {
            case FailedCall: Fail(call, E_FAIL, 0); break;
            case FailedStatus: Fail(call, S_OK, QV_CONFIG_STATUS_FAILED); break;
            case WrongType:
                if (fromText) Set(field.setting, 1);
                else Set(field.setting, L"1");
                break;
            }
            const CUserSettings s = Read();
            for (const Field& other : fields) {
                EXPECT_EQ(other.show(s), &other == &field ? other.unread : other.read) << other.setting;
            }
        }
    }
}

TEST_F(UserSettingsFromService, BooleansAreJudgedByTheir16BitValue) {
    const struct {
        LONG setting;
        const char* what;
        NuvCom::CVariant value;
        BYTE CUserSettings::*field;
        BYTE expected;
    } cases[] = {
        // Allowed-list-only: any non-zero 16-bit value.
        {CUserSettings::kAllowedListOnly, "VT_BOOL TRUE", Bool(true), &CUserSettings::m_bAllowedListOnly, 1},
        {CUserSettings::kAllowedListOnly, "integer 1", NuvCom::CVariant(1L), &CUserSettings::m_bAllowedListOnly, 1},
        {CUserSettings::kAllowedListOnly, "VT_I2 2", Short(2), &CUserSettings::m_bAllowedListOnly, 1},
        {CUserSettings::kAllowedListOnly, "integer 0x10000", NuvCom::CVariant(0x10000L), &CUserSettings::m_bAllowedListOnly, 0},
        {CUserSettings::kAllowedListOnly, "VT_BOOL FALSE", Bool(false), &CUserSettings::m_bAllowedListOnly, 0},
        // Safe search: VARIANT_TRUE (-1) only.
        {CUserSettings::kSafeSearch, "VT_BOOL TRUE", Bool(true), &CUserSettings::m_bSafeSearch, 1},
        {CUserSettings::kSafeSearch, "VT_I2 -1", Short(-1), &CUserSettings::m_bSafeSearch, 1},
        {CUserSettings::kSafeSearch, "integer 1", NuvCom::CVariant(1L), &CUserSettings::m_bSafeSearch, 0},
        {CUserSettings::kSafeSearch, "integer 0xFFFF", NuvCom::CVariant(0xFFFFL), &CUserSettings::m_bSafeSearch, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.setting << " " << c.what);
        Set(c.setting, c.value);
        EXPECT_EQ(Read().*c.field, c.expected);
    }
}

TEST_F(UserSettingsFromService, NoCategoryFilteringNeedsModeZeroAndTheAllZeroMask) {
    const struct {
        LONG mode;
        const wchar_t* mask;  // nullptr: not stored
        BYTE expected;
    } cases[] = {
        {0, kZeros, 1}, {1, kZeros, 0}, {0, kMask, 0}, {0, nullptr, 0}, {0, L"0000000000000000000000000000000", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.mode << " " << (c.mask ? c.mask : L"(none)"));
        Set(CUserSettings::kCategoryMode, c.mode);
        Set(CUserSettings::kCategoryMask, c.mask ? NuvCom::CVariant(c.mask) : NuvCom::CVariant());
        EXPECT_EQ(Read().m_bNoCategoryFiltering, c.expected);
    }
}

TEST_F(UserSettingsFromService, WeekFromSetting210) {
    const std::wstring allowed(2016, L'1');
    const struct {
        const char* what;
        NuvCom::CVariant value;
        bool hasWeek;
        BYTE restricted;
        std::wstring blocks;  // the week's text form
    } cases[] = {
        {"all allowed", NuvCom::CVariant(allowed), true, 0, allowed},
        {"one blocked block at the end", NuvCom::CVariant(allowed.substr(0, 2015) + L"0"), true, 1,
         allowed.substr(0, 2015) + L"0"},
        // A short text, or another character, ends the reading; later blocks stay allowed.
        {"short", NuvCom::CVariant(L"0"), true, 1, L"0" + allowed.substr(1)},
        {"bad character", NuvCom::CVariant(L"10x0"), true, 1, L"10" + allowed.substr(2)},
        {"empty text", NuvCom::CVariant(L""), true, 0, allowed},
        {"a number", NuvCom::CVariant(0L), false, 0, L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Set(CUserSettings::kTimeBlocks, c.value);
        const CUserSettings s = Read();
        EXPECT_EQ(s.m_pTimeBlocks != nullptr, c.hasWeek);
        EXPECT_EQ(s.m_bTimeRestricted, c.restricted);
        CSafeStringW blocks;
        EXPECT_EQ(s.GetTimeBlocks(blocks), c.hasWeek);
        EXPECT_EQ(Text(blocks), c.blocks);
    }
}

TEST_F(UserSettingsFromService, SiteListsSkipEmptyWords) {
    const struct {
        const wchar_t* text;
        std::vector<std::wstring> entries;
    } cases[] = {
        {L"a.example  b.example", {L"a.example", L"b.example"}},
        {L"a.example   b.example ", {L"a.example", L"b.example"}},
        // A leading blank must not empty the list.
        {L" a.example b.example", {L"a.example", L"b.example"}},
        {L"   ", {}},
        {L"", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "\"" << c.text << "\"");
        Set(CUserSettings::kBlockedSites, c.text);
        Set(CUserSettings::kAllowedSites, c.text);
        const CUserSettings s = Read();
        EXPECT_EQ(Texts(s.m_blockedSites), c.entries);
        EXPECT_EQ(Texts(s.m_allowedSites), c.entries);
        EXPECT_EQ(s.m_bBlockedListEmpty, c.entries.empty() ? 1 : 0);
        CSafeStringW matched;
        EXPECT_EQ(s.IsOnBlockedList(L"www.b.example/", matched), !c.entries.empty());
    }
}

// The lists as the request scan asks them: stored entries in any spelling keep their text (it names
// the matching entry in the block page and the log) and meet the URLs by their canonical form.
TEST_F(UserSettingsFromService, SiteListsMatchCanonicalForms) {
    Set(CUserSettings::kBlockedSites, L"%62locked.example 2130706434 news.example/x/../banned");
    Set(CUserSettings::kAllowedSites, L"school.example/homework/..");
    const CUserSettings s = Read();
    EXPECT_EQ(Texts(s.m_blockedSites),
              (std::vector<std::wstring>{L"%62locked.example", L"2130706434", L"news.example/x/../banned"}));

    const std::wstring longHost = std::wstring(283, L'a') + L".%62locked.example/";  // 300 characters decoded
    const struct {
        const wchar_t* url;
        const wchar_t* blockedBy;  // nullptr: not on the blocked list
        bool allowed;
    } cases[] = {
        {L"blocked.example/", L"%62locked.example", false},
        {L"www.%62locked.example/", L"%62locked.example", false},
        {L"127.0.0.2/", L"2130706434", false},
        {L"0x7f.2/", L"2130706434", false},
        {L"news.example/./banned?id=1", L"news.example/x/../banned", false},
        {L"news.example/banned/..", nullptr, false},
        {longHost.c_str(), L"%62locked.example", false},
        {L"school.example/", nullptr, true},
        {L"school.example/games", nullptr, false},  // the allowed entry names the root page only
        {L"school.example/homework/../games", nullptr, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.url);
        CSafeStringW matched;
        EXPECT_EQ(s.IsOnBlockedList(c.url, matched), c.blockedBy != nullptr);
        EXPECT_EQ(Text(matched), c.blockedBy != nullptr ? c.blockedBy : L"");
        CSafeStringW allowedBy;
        EXPECT_EQ(s.IsOnAllowedList(c.url, allowedBy), c.allowed);
    }
}

TEST(UserSettings, ParseSiteList) {
    const struct {
        const wchar_t* text;
        std::vector<std::wstring> entries;
    } cases[] = {
        {L"one", {L"one"}},
        {L"one two one", {L"one", L"two", L"one"}},  // duplicates stay
        {L"  one  two  ", {L"one", L"two"}},
        {L"one\ttwo", {L"one\ttwo"}},  // only the blank separates
        {L" ", {}},
        {L"", {}},
    };
    for (const auto& c : cases) {
        CSiteList list{CSafeStringW(L"old")};
        CUserSettings::ParseSiteList(c.text, list);
        EXPECT_EQ(Texts(list), c.entries) << c.text;
    }
    CSiteList list{CSafeStringW(L"old")};
    CUserSettings::ParseSiteList(nullptr, list);
    EXPECT_EQ(Texts(list), std::vector<std::wstring>{L"old"});
}

TEST(UserSettings, TemporaryAdultIsUnprotected) {
    const auto s = CUserSettings::CreateTemporaryAdultSettings();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(Text(s->m_strUserId), L"adult_temp");
    EXPECT_EQ(Text(s->m_strUserName), L"adult_temp");
    EXPECT_EQ(s->m_bProtected, 0);
    EXPECT_EQ(s->m_nAgeGroup, 6);
    EXPECT_EQ(Text(s->m_strCategoryMask), kZeros);
    EXPECT_EQ(s->m_bNoCategoryFiltering, 1);
    EXPECT_EQ(s->m_bBlockedListEmpty, 1);
    EXPECT_EQ(s->m_bTimeRestricted, 0);
    EXPECT_EQ(s->m_pTimeBlocks, nullptr);
    CSafeStringW matched;
    EXPECT_FALSE(s->IsOnBlockedList(L"example.com/", matched));
}

}  // namespace
