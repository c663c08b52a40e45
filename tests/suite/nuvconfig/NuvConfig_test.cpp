// The NuvConfig stand-in through its public face only: created by COM from the registration
// scripts/test.sh wrote, called through INuvConfig's vtable and by name through IDispatch, and
// steered through INuvConfigStandIn.
#include "nuvconfig.h"

#include "nuvutil/com/Bstr.h"
#include "nuvutil/com/CoInitializeScope.h"
#include "nuvutil/com/SafeArray.h"
#include "nuvutil/com/Variant.h"

#include <gtest/gtest.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

namespace {

// Arrays of CVariant serve as DISPPARAMS argument arrays.
static_assert(sizeof(NuvCom::CVariant) == sizeof(VARIANT), "CVariant is a bare VARIANT");

using Microsoft::WRL::ComPtr;
using NuvCom::CBstr;
using NuvCom::CSafeArray;
using NuvCom::CVariant;

constexpr LONG kPassword = 200;
constexpr LONG kHint = 201;
constexpr LONG kTimeZone = 337;

// Result statuses fail when these bits are set.
constexpr LONG kStatusMask = 0x1FFFF;

CVariant Text(const wchar_t* text) { return CVariant(text); }

std::wstring TextOf(const VARIANT& value) {
    return value.vt == VT_BSTR && value.bstrVal ? std::wstring(value.bstrVal, ::SysStringLen(value.bstrVal)) : L"";
}

// The elements of a VT_ARRAY | VT_VARIANT, copied.
std::vector<CVariant> Elements(const VARIANT& value) {
    std::vector<CVariant> elements;
    if (value.vt != (VT_ARRAY | VT_VARIANT) || value.parray == nullptr) {
        ADD_FAILURE() << "not an array of VARIANTs: vt " << value.vt;
        return elements;
    }
    NuvCom::CSafeArrayData<VARIANT> data(value.parray);
    for (VARIANT& element : data) {
        CVariant copy;
        EXPECT_EQ(S_OK, ::VariantCopy(copy.Get(), &element));
        elements.push_back(std::move(copy));
    }
    return elements;
}

class NuvConfigTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_com.Succeeded());
        m_config = Create();
        ASSERT_NE(nullptr, m_config.Get());
        ASSERT_EQ(S_OK, m_config.As(&m_control));
        ASSERT_EQ(S_OK, m_control->Reset());
    }

    static ComPtr<INuvConfig> Create() {
        ComPtr<INuvConfig> config;
        EXPECT_EQ(S_OK, ::CoCreateInstance(__uuidof(NuvConfig), nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&config)));
        return config;
    }

    LONG AddUser(const wchar_t* user) {
        LONG result = -1;
        EXPECT_EQ(S_OK, m_config->AddUser(CBstr(user).Get(), &result));
        return result;
    }

    LONG IsUserKnown(const wchar_t* user) {
        LONG result = -1;
        EXPECT_EQ(S_OK, m_config->IsUserKnown(CBstr(user).Get(), &result));
        return result;
    }

    bool IsUserProtected(const wchar_t* user) {
        VARIANT_BOOL isProtected = 7;
        EXPECT_EQ(S_OK, m_config->IsUserProtected(CBstr(user).Get(), &isProtected));
        return isProtected == VARIANT_TRUE;
    }

    LONG SetUserSetting(const wchar_t* user, LONG id, const CVariant& value) {
        LONG result = -1;
        EXPECT_EQ(S_OK, m_config->SetUserSetting(CBstr(user).Get(), id, *value.Get(), &result));
        return result;
    }

    CVariant GetUserSetting(const wchar_t* user, LONG id) {
        CVariant value;
        EXPECT_EQ(S_OK, m_config->GetUserSetting(CBstr(user).Get(), id, value.Put()));
        return value;
    }

    LONG SetValue(LONG id, const CVariant& value) {
        LONG result = -1;
        EXPECT_EQ(S_OK, m_config->SetValue(*CVariant(id).Get(), *value.Get(), &result));
        return result;
    }

    // (result status, value)
    std::pair<LONG, CVariant> GetValue(LONG id) {
        CVariant result;
        CVariant value;
        EXPECT_EQ(S_OK, m_config->GetValue(*CVariant(id).Get(), result.Put(), value.Put()));
        EXPECT_EQ(VT_I4, result.Type());
        return {result.Get()->lVal, std::move(value)};
    }

    CVariant GetDefault(LONG ageGroup, LONG id) {
        CVariant result;
        CVariant value;
        EXPECT_EQ(S_OK, m_config->GetDefaultSetting(ageGroup, *CVariant(id).Get(), result.Put(), value.Put()));
        EXPECT_EQ(VT_I4, result.Type());
        EXPECT_EQ(0, result.Get()->lVal);
        return value;
    }

    bool Authenticate(const wchar_t* password) {
        VARIANT_BOOL authenticated = 7;
        EXPECT_EQ(S_OK, m_config->Authenticate(CBstr(password).Get(), &authenticated));
        return authenticated == VARIANT_TRUE;
    }

    std::wstring CallLog() {
        CBstr log;
        EXPECT_EQ(S_OK, m_control->GetCallLog(log.Put()));
        return log.Str();
    }

    NuvCom::CCoInitialize m_com{COINIT_MULTITHREADED};
    ComPtr<INuvConfig> m_config;
    ComPtr<INuvConfigStandIn> m_control;
};

TEST_F(NuvConfigTest, InstancesCreatedByClassIdOrProgIdShareOneState) {
    CLSID clsid = {};
    ASSERT_EQ(S_OK, ::CLSIDFromProgID(L"Nuv.NuvConfig.1", &clsid));
    EXPECT_TRUE(::IsEqualCLSID(clsid, __uuidof(NuvConfig)));
    ASSERT_EQ(S_OK, ::CLSIDFromProgID(L"Nuv.NuvConfig", &clsid));
    EXPECT_TRUE(::IsEqualCLSID(clsid, __uuidof(NuvConfig)));

    EXPECT_EQ(0, AddUser(L"S-1-5-21-1001"));
    ComPtr<INuvConfig> second = Create();
    ASSERT_NE(nullptr, second.Get());
    LONG known = 0;
    ASSERT_EQ(S_OK, second->IsUserKnown(CBstr(L"S-1-5-21-1001").Get(), &known));
    EXPECT_NE(0, known);

    // Even with every instance released in between.
    m_control.Reset();
    m_config.Reset();
    second.Reset();
    ::CoFreeUnusedLibrariesEx(0, 0);
    m_config = Create();
    ASSERT_NE(nullptr, m_config.Get());
    ASSERT_EQ(S_OK, m_config.As(&m_control));
    EXPECT_NE(0, IsUserKnown(L"S-1-5-21-1001"));
}

TEST_F(NuvConfigTest, ProductValuesRoundTripByNumericId) {
    CVariant result;
    CVariant value;
    ASSERT_EQ(S_OK, m_config->GetProductValue(*CVariant(kTimeZone).Get(), result.Put(), value.Put()));
    EXPECT_EQ(VT_I4, result.Type());
    EXPECT_EQ(0, result.Get()->lVal);
    EXPECT_EQ(VT_EMPTY, value.Type());

    LONG status = -1;
    ASSERT_EQ(S_OK, m_config->SetProductValue(*CVariant(kTimeZone).Get(), *Text(L"W. Europe Standard Time").Get(), &status));
    EXPECT_EQ(0, status);
    // An id given as text names the same value.
    ASSERT_EQ(S_OK, m_config->GetProductValue(*Text(L"337").Get(), result.Put(), value.Put()));
    EXPECT_EQ(L"W. Europe Standard Time", TextOf(*value.Get()));

    EXPECT_EQ(DISP_E_TYPEMISMATCH, m_config->GetProductValue(*Text(L"time zone").Get(), result.Put(), value.Put()));
}

TEST_F(NuvConfigTest, UsersBecomeKnownAndProtected) {
    const wchar_t* user = L"S-1-5-21-1001";
    EXPECT_EQ(0, IsUserKnown(user));
    EXPECT_FALSE(IsUserProtected(user));

    // Protection needs a known user.
    LONG result = 0;
    ASSERT_EQ(S_OK, m_config->SetUserProtected(CBstr(user).Get(), -1, &result));
    EXPECT_NE(0, result & kStatusMask);
    EXPECT_FALSE(IsUserProtected(user));

    EXPECT_EQ(0, AddUser(user));
    EXPECT_NE(0, IsUserKnown(user));
    EXPECT_EQ(0, IsUserKnown(L"s-1-5-21-1001")) << "user ids compare exactly";
    ASSERT_EQ(S_OK, m_config->SetUserProtected(CBstr(user).Get(), -1, &result));
    EXPECT_EQ(0, result);
    EXPECT_TRUE(IsUserProtected(user));
    // The flag is a COM boolean: 1 is a caller's mistake.
    EXPECT_EQ(E_INVALIDARG, m_config->SetUserProtected(CBstr(user).Get(), 1, &result));
    EXPECT_TRUE(IsUserProtected(user));
    ASSERT_EQ(S_OK, m_config->SetUserProtected(CBstr(user).Get(), 0, &result));
    EXPECT_FALSE(IsUserProtected(user));

    EXPECT_EQ(0, AddUser(L"S-1-5-21-1002"));
    CVariant known;
    ASSERT_EQ(S_OK, m_config->GetKnownUserList(known.Put()));
    std::vector<std::wstring> ids;
    for (const CVariant& id : Elements(*known.Get())) ids.push_back(TextOf(*id.Get()));
    EXPECT_EQ((std::vector<std::wstring>{L"S-1-5-21-1001", L"S-1-5-21-1002"}), ids);

    ASSERT_EQ(S_OK, m_config->RemoveUser(CBstr(user).Get(), &result));
    EXPECT_EQ(0, result);
    EXPECT_EQ(0, IsUserKnown(user));
    ASSERT_EQ(S_OK, m_config->RemoveUser(CBstr(user).Get(), &result));
    EXPECT_NE(0, result & kStatusMask);
}

TEST_F(NuvConfigTest, UserSettingsKeepTheirTypeAndBelongToOneUser) {
    const std::wstring calendar(2016, L'1');
    struct Case {
        LONG id;
        CVariant value;
    };
    const Case cases[] = {
        {203, CVariant(3)},
        {210, CVariant(std::wstring_view(calendar))},
        {310, CVariant(true)},
        {311, Text(L"00000000000010000800400440000000 00000000000000008000000000002000")},
        {312, CVariant(1)},
        {313, Text(L"")},
        {314, Text(L"example.com kids.example.org/games")},
    };
    const wchar_t* user = L"S-1-5-21-1001";
    // Readable before the user is known: callers ask before they prepare a user.
    EXPECT_EQ(VT_EMPTY, GetUserSetting(user, 203).Type());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        EXPECT_EQ(0, SetUserSetting(user, c.id, c.value));
        const CVariant read = GetUserSetting(user, c.id);
        EXPECT_EQ(VARCMP_EQ, ::VarCmp(const_cast<VARIANT*>(read.Get()), const_cast<VARIANT*>(c.value.Get()), 0, 0));
        EXPECT_EQ(c.value.Type(), read.Type());
        EXPECT_EQ(VT_EMPTY, GetUserSetting(L"S-1-5-21-1002", c.id).Type());
    }
    // A null BSTR stays a VT_BSTR.
    VARIANT nullText;
    ::VariantInit(&nullText);
    nullText.vt = VT_BSTR;
    nullText.bstrVal = nullptr;
    LONG result = -1;
    ASSERT_EQ(S_OK, m_config->SetUserSetting(CBstr(user).Get(), 313, nullText, &result));
    EXPECT_EQ(VT_BSTR, GetUserSetting(user, 313).Type());

    ASSERT_EQ(S_OK, m_config->RemoveUserSetting(CBstr(user).Get(), 203, &result));
    EXPECT_EQ(VT_EMPTY, GetUserSetting(user, 203).Type());
    EXPECT_EQ(VT_I4, GetUserSetting(user, 312).Type());
    ASSERT_EQ(S_OK, m_config->ClearUserSettings(CBstr(user).Get(), &result));
    EXPECT_EQ(VT_EMPTY, GetUserSetting(user, 312).Type());
}

TEST_F(NuvConfigTest, AdministratorPasswordNeedsPreparationFirst) {
    VARIANT_BOOL flag = VARIANT_FALSE;
    ASSERT_EQ(S_OK, m_config->NeedsConfiguration(&flag));
    EXPECT_EQ(VARIANT_TRUE, flag);
    ASSERT_EQ(S_OK, m_config->CanSetAdminPassword(&flag));
    EXPECT_EQ(VARIANT_FALSE, flag);

    // Refused until prepared; nothing is stored.
    EXPECT_NE(0, SetValue(kPassword, Text(L"secret")) & kStatusMask);
    EXPECT_NE(0, SetValue(kHint, Text(L"pet's name")) & kStatusMask);
    EXPECT_FALSE(Authenticate(L"secret"));
    EXPECT_EQ(VT_EMPTY, GetValue(kHint).second.Type());

    LONG result = -1;
    ASSERT_EQ(S_OK, m_config->PrepareAdminPassword(&result));
    EXPECT_EQ(0, result);
    ASSERT_EQ(S_OK, m_config->CanSetAdminPassword(&flag));
    EXPECT_EQ(VARIANT_TRUE, flag);
    EXPECT_EQ(0, SetValue(kPassword, Text(L"secret")));
    EXPECT_EQ(0, SetValue(kHint, Text(L"pet's name")));

    EXPECT_TRUE(Authenticate(L"secret"));
    EXPECT_FALSE(Authenticate(L"Secret"));
    EXPECT_FALSE(Authenticate(L""));
    EXPECT_EQ(S_OK, m_config->Authenticate(nullptr, &flag));
    EXPECT_EQ(VARIANT_FALSE, flag);
    ASSERT_EQ(S_OK, m_config->NeedsConfiguration(&flag));
    EXPECT_EQ(VARIANT_FALSE, flag);
    ASSERT_EQ(S_OK, m_config->IsAdminPasswordSet(&flag));
    EXPECT_EQ(VARIANT_TRUE, flag);

    const auto hint = GetValue(kHint);
    EXPECT_EQ(0, hint.first);
    EXPECT_EQ(L"pet's name", TextOf(*hint.second.Get()));
    // The password is never read back.
    const auto password = GetValue(kPassword);
    EXPECT_NE(0, password.first & kStatusMask);
    EXPECT_EQ(VT_EMPTY, password.second.Type());

    // An empty password is a password like any other.
    EXPECT_EQ(0, SetValue(kPassword, Text(L"")));
    EXPECT_TRUE(Authenticate(L""));
    EXPECT_EQ(S_OK, m_config->Authenticate(nullptr, &flag));
    EXPECT_EQ(VARIANT_TRUE, flag);
}

TEST_F(NuvConfigTest, EveryAgeGroupHasDefaultsInTheStoredForms) {
    CVariant categories;
    ASSERT_EQ(S_OK, m_config->GetCategoryList(categories.Put()));
    std::set<std::wstring> masks;
    for (const CVariant& row : Elements(*categories.Get())) {
        const std::vector<CVariant> fields = Elements(*row.Get());
        ASSERT_EQ(2u, fields.size());
        masks.insert(TextOf(*fields[0].Get()));
    }

    for (LONG group = 1; group <= 6; ++group) {
        SCOPED_TRACE(group);
        const CVariant safeSearch = GetDefault(group, 210);
        ASSERT_EQ(VT_I4, safeSearch.Type());
        EXPECT_TRUE(safeSearch.Get()->lVal == 0 || safeSearch.Get()->lVal == 1);

        const std::wstring calendar = TextOf(*GetDefault(group, 223).Get());
        EXPECT_EQ(2016u, calendar.size());
        EXPECT_EQ(std::wstring::npos, calendar.find_first_not_of(L"01"));

        const CVariant mode = GetDefault(group, 234);
        ASSERT_EQ(VT_I4, mode.Type());
        EXPECT_TRUE(mode.Get()->lVal == 0 || mode.Get()->lVal == 1);

        // Masks of the category list, separated by single blanks.
        const CVariant list = GetDefault(group, 233);
        ASSERT_EQ(VT_BSTR, list.Type());
        const std::wstring text = TextOf(*list.Get());
        for (size_t start = 0; start < text.size();) {
            const size_t end = std::min(text.find(L' ', start), text.size());
            EXPECT_EQ(1u, masks.count(text.substr(start, end - start))) << text.substr(start, end - start);
            start = end + 1;
        }

        EXPECT_EQ(VT_BSTR, GetDefault(group, 240).Type());
        EXPECT_EQ(VT_BSTR, GetDefault(group, 241).Type());
    }
    // The kid-safe-only group: an allowed list of exactly that category.
    EXPECT_EQ(1, GetDefault(1, 234).Get()->lVal);
    EXPECT_EQ(L"00000000200000000000000000000000", TextOf(*GetDefault(1, 233).Get()));

    // No defaults for an age group outside the table.
    for (LONG id : {210, 223, 233, 234, 240, 241}) EXPECT_EQ(VT_EMPTY, GetDefault(-1, id).Type());

    LONG result = -1;
    ASSERT_EQ(S_OK, m_config->SetDefaultSetting(3, *CVariant(240).Get(), *Text(L"example.com").Get(), &result));
    EXPECT_EQ(0, result);
    EXPECT_EQ(L"example.com", TextOf(*GetDefault(3, 240).Get()));
}

TEST_F(NuvConfigTest, CategoryListNamesEveryCategoryOnceWithAStringId) {
    CVariant categories;
    ASSERT_EQ(S_OK, m_config->GetCategoryList(categories.Put()));
    const std::vector<CVariant> rows = Elements(*categories.Get());
    ASSERT_EQ(19u, rows.size());
    std::set<std::wstring> masks;
    std::set<LONG> nameIds;
    for (const CVariant& row : rows) {
        const std::vector<CVariant> fields = Elements(*row.Get());
        ASSERT_EQ(2u, fields.size());
        const std::wstring mask = TextOf(*fields[0].Get());
        EXPECT_EQ(32u, mask.size());
        EXPECT_EQ(std::wstring::npos, mask.find_first_not_of(L"0123456789ABCDEF")) << mask;
        ASSERT_EQ(VT_I4, fields[1].Type());
        masks.insert(mask);
        nameIds.insert(fields[1].Get()->lVal);
    }
    EXPECT_EQ(rows.size(), masks.size());
    EXPECT_EQ(rows.size(), nameIds.size());
    EXPECT_EQ(0u, masks.count(L"11111111111111111111111111111111")) << "callers add the pseudo-category";

    ASSERT_EQ(S_OK, m_control->SetCategoryList(*CVariant().Get()));
    ASSERT_EQ(S_OK, m_config->GetCategoryList(categories.Put()));
    EXPECT_EQ(VT_EMPTY, categories.Type());
}

TEST_F(NuvConfigTest, WindowsUserListHoldsNameIdAndAdministratorFlag) {
    CVariant users;
    ASSERT_EQ(S_OK, m_config->GetVORLUserList(users.Put()));
    EXPECT_TRUE(Elements(*users.Get()).empty());

    ASSERT_EQ(S_OK, m_control->AddWindowsUser(CBstr(L"Alice").Get(), CBstr(L"S-1-5-21-1001").Get(), VARIANT_TRUE));
    ASSERT_EQ(S_OK, m_control->AddWindowsUser(CBstr(L"Bob").Get(), CBstr(L"S-1-5-21-1002").Get(), VARIANT_FALSE));
    ASSERT_EQ(S_OK, m_config->GetVORLUserList(users.Put()));
    const std::vector<CVariant> list = Elements(*users.Get());
    ASSERT_EQ(2u, list.size());
    const std::vector<CVariant> bob = Elements(*list[1].Get());
    ASSERT_EQ(3u, bob.size());
    EXPECT_EQ(L"Bob", TextOf(*bob[0].Get()));
    EXPECT_EQ(L"S-1-5-21-1002", TextOf(*bob[1].Get()));
    ASSERT_EQ(VT_BOOL, bob[2].Type());
    EXPECT_EQ(VARIANT_FALSE, bob[2].Get()->boolVal);
    EXPECT_EQ(VARIANT_TRUE, Elements(*list[0].Get())[2].Get()->boolVal);

    ASSERT_EQ(S_OK, m_control->SetWindowsUserList(*CVariant().Get()));
    ASSERT_EQ(S_OK, m_config->GetVORLUserList(users.Put()));
    EXPECT_EQ(VT_EMPTY, users.Type());
}

TEST_F(NuvConfigTest, PlannedFailuresAnswerInsteadOfTheOperation) {
    const wchar_t* user = L"S-1-5-21-1001";
    struct Case {
        const char* name;
        HRESULT hr;
        LONG status;
        bool stored;
    };
    const Case cases[] = {
        {"failing HRESULT", E_ACCESSDENIED, 0, false},
        {"failing status", S_OK, 0x57, false},
        // Bits above the mask alone are a success.
        {"success status with high bits", S_OK, 0x8020000, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(S_OK, m_control->Reset());
        ASSERT_EQ(S_OK, m_control->FailCall(NuvConfigOp_SetUserSetting, c.hr, c.status, 1));
        LONG result = -1;
        EXPECT_EQ(c.hr, m_config->SetUserSetting(CBstr(user).Get(), 203, *CVariant(2).Get(), &result));
        EXPECT_EQ(c.status, result);
        EXPECT_EQ(c.stored ? VT_I4 : VT_EMPTY, GetUserSetting(user, 203).Type());
        // Planned for one call only.
        EXPECT_EQ(0, SetUserSetting(user, 312, CVariant(1)));
        EXPECT_EQ(VT_I4, GetUserSetting(user, 312).Type());
    }

    // A failing read empties its outputs and writes the status into its result VARIANT.
    ASSERT_EQ(S_OK, m_control->FailCall(NuvConfigOp_GetDefaultSetting, S_OK, 5, NUVCONFIG_FAIL_ALWAYS));
    for (int i = 0; i < 3; ++i) {
        CVariant result;
        CVariant value;
        ASSERT_EQ(S_OK, m_config->GetDefaultSetting(1, *CVariant(210).Get(), result.Put(), value.Put()));
        ASSERT_EQ(VT_I4, result.Type());
        EXPECT_EQ(5, result.Get()->lVal);
        EXPECT_EQ(VT_EMPTY, value.Type());
    }
    ASSERT_EQ(S_OK, m_control->FailCall(NuvConfigOp_GetDefaultSetting, S_OK, 0, 0));
    EXPECT_EQ(VT_I4, GetDefault(1, 210).Type());

    // Operations without a status fail by HRESULT only.
    EXPECT_EQ(0, SetUserSetting(user, 310, CVariant(true)));
    ASSERT_EQ(S_OK, m_control->FailCall(NuvConfigOp_GetUserSetting, E_FAIL, 0, 2));
    CVariant value;
    EXPECT_EQ(E_FAIL, m_config->GetUserSetting(CBstr(user).Get(), 310, value.Put()));
    EXPECT_EQ(VT_EMPTY, value.Type());
    VARIANT_BOOL flag = VARIANT_TRUE;
    ASSERT_EQ(S_OK, m_control->FailCall(NuvConfigOp_IsUserProtected, E_FAIL, 0, 1));
    EXPECT_EQ(E_FAIL, m_config->IsUserProtected(CBstr(user).Get(), &flag));
    EXPECT_EQ(VARIANT_FALSE, flag);

    // Reset drops what is still planned.
    ASSERT_EQ(S_OK, m_control->Reset());
    EXPECT_EQ(S_OK, m_config->GetUserSetting(CBstr(user).Get(), 310, value.Put()));

    EXPECT_EQ(E_INVALIDARG, m_control->FailCall(static_cast<NuvConfigOperation>(6), E_FAIL, 0, 1));
    EXPECT_EQ(E_INVALIDARG, m_control->FailCall(static_cast<NuvConfigOperation>(30), E_FAIL, 0, 1));
}

TEST_F(NuvConfigTest, CallLogListsEveryCallWithItsInputs) {
    const wchar_t* user = L"S-1-5-21-1001";
    IsUserKnown(user);
    AddUser(user);
    SetUserSetting(user, 203, CVariant(3));
    SetUserSetting(user, 310, CVariant(true));
    SetUserSetting(user, 313, Text(L"a.example b.example"));
    ASSERT_EQ(S_OK, m_control->FailCall(NuvConfigOp_SetUserProtected, E_FAIL, 0, 1));
    LONG result = 0;
    m_config->SetUserProtected(CBstr(user).Get(), -1, &result);
    m_config->SetUserProtected(nullptr, -1, &result);
    GetDefault(2, 223);
    SetValue(kHint, CVariant());

    EXPECT_EQ(L"IsUserKnown(\"S-1-5-21-1001\")\n"
              L"AddUser(\"S-1-5-21-1001\")\n"
              L"SetUserSetting(\"S-1-5-21-1001\", 203, I4:3)\n"
              L"SetUserSetting(\"S-1-5-21-1001\", 310, BOOL:-1)\n"
              L"SetUserSetting(\"S-1-5-21-1001\", 313, BSTR:\"a.example b.example\")\n"
              L"SetUserProtected(\"S-1-5-21-1001\", -1)\n"
              L"SetUserProtected(null, -1)\n"
              L"GetDefaultSetting(2, I4:223)\n"
              L"SetValue(I4:201, EMPTY)\n",
              CallLog());
    LONG count = 0;
    ASSERT_EQ(S_OK, m_control->GetCallCount(NuvConfigOp_SetUserSetting, &count));
    EXPECT_EQ(3, count);
    ASSERT_EQ(S_OK, m_control->GetCallCount(NuvConfigOp_SetUserProtected, &count));
    EXPECT_EQ(2, count);
    ASSERT_EQ(S_OK, m_control->GetCallCount(NuvConfigOp_GetVORLUserList, &count));
    EXPECT_EQ(0, count);

    ASSERT_EQ(S_OK, m_control->ClearCallLog());
    EXPECT_EQ(L"", CallLog());
    ASSERT_EQ(S_OK, m_control->GetCallCount(NuvConfigOp_SetUserSetting, &count));
    EXPECT_EQ(0, count);
}

// Each operation at the vtable slot its callers use, as the type library describes it.
TEST_F(NuvConfigTest, TypeLibraryPlacesOperationsAtTheirSlots) {
    const std::pair<const wchar_t*, int> slots[] = {
        {L"GetProductValue", 7},     {L"SetProductValue", 8},      {L"GetVORLUserList", 9},
        {L"AddUser", 13},            {L"GetUserSetting", 14},      {L"SetUserSetting", 15},
        {L"IsUserKnown", 16},        {L"GetValue", 19},            {L"SetValue", 20},
        {L"Authenticate", 21},       {L"NeedsConfiguration", 22},  {L"GetDefaultSetting", 24},
        {L"GetCategoryList", 25},    {L"IsUserProtected", 26},     {L"SetUserProtected", 27},
        {L"PrepareAdminPassword", 28}, {L"CanSetAdminPassword", 29},
    };
    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(S_OK, m_config.As(&dispatch));
    ComPtr<ITypeInfo> typeInfo;
    ASSERT_EQ(S_OK, dispatch->GetTypeInfo(0, 0, &typeInfo));
    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(S_OK, typeInfo->GetTypeAttr(&attributes));
    const bool isDual = (attributes->wTypeFlags & TYPEFLAG_FDUAL) != 0;
    typeInfo->ReleaseTypeAttr(attributes);
    EXPECT_TRUE(isDual);

    // A dual interface's dispatch type info lists the IDispatch methods too; take the vtable view.
    ComPtr<ITypeInfo> vtableInfo = typeInfo;
    HREFTYPE vtableRef = 0;
    if (SUCCEEDED(typeInfo->GetRefTypeOfImplType(-1, &vtableRef))) {
        ASSERT_EQ(S_OK, typeInfo->GetRefTypeInfo(vtableRef, &vtableInfo));
    }
    ASSERT_EQ(S_OK, vtableInfo->GetTypeAttr(&attributes));
    const WORD vtableFunctions = attributes->cFuncs;
    vtableInfo->ReleaseTypeAttr(attributes);
    EXPECT_EQ(23, vtableFunctions);

    for (const auto& [name, slot] : slots) {
        SCOPED_TRACE(testing::Message() << name);
        bool found = false;
        for (WORD i = 0; i < vtableFunctions; ++i) {
            FUNCDESC* function = nullptr;
            ASSERT_EQ(S_OK, vtableInfo->GetFuncDesc(i, &function));
            CBstr functionName;
            vtableInfo->GetDocumentation(function->memid, functionName.Put(), nullptr, nullptr, nullptr);
            if (functionName.View() == name) {
                found = true;
                EXPECT_EQ(slot, function->oVft / static_cast<int>(sizeof(void*)));
            }
            vtableInfo->ReleaseFuncDesc(function);
        }
        EXPECT_TRUE(found);
    }
}

// Late binding by name, the way scripts and the settings pages' hosts call.
TEST_F(NuvConfigTest, OperationsAnswerByNameThroughIDispatch) {
    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(S_OK, m_config.As(&dispatch));
    const auto dispIdOf = [&](const wchar_t* name) {
        DISPID id = DISPID_UNKNOWN;
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        EXPECT_EQ(S_OK, dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id));
        return id;
    };

    // SetUserSetting("S-1-5-21-1001", 203, 4): arguments go last to first.
    CVariant arguments[] = {CVariant(4), CVariant(203), Text(L"S-1-5-21-1001")};
    DISPPARAMS params = {arguments[0].Get(), nullptr, 3, 0};
    CVariant result;
    ASSERT_EQ(S_OK, dispatch->Invoke(dispIdOf(L"SetUserSetting"), IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                                     &params, result.Put(), nullptr, nullptr));
    ASSERT_EQ(VT_I4, result.Type());
    EXPECT_EQ(0, result.Get()->lVal);
    EXPECT_EQ(4, GetUserSetting(L"S-1-5-21-1001", 203).Get()->lVal);

    // GetUserSetting answers through its retval.
    CVariant readArguments[] = {CVariant(203), Text(L"S-1-5-21-1001")};
    DISPPARAMS readParams = {readArguments[0].Get(), nullptr, 2, 0};
    ASSERT_EQ(S_OK, dispatch->Invoke(dispIdOf(L"GetUserSetting"), IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                                     &readParams, result.Put(), nullptr, nullptr));
    ASSERT_EQ(VT_I4, result.Type());
    EXPECT_EQ(4, result.Get()->lVal);

    EXPECT_EQ(1, dispIdOf(L"GetProductValue"));
    EXPECT_EQ(23, dispIdOf(L"CanSetAdminPassword"));
}

}  // namespace
