// The time-zone check against the configuration-service stand-in (users, product settings,
// injected failures), the alert-component stand-in (what reaches it) and the resource stand-in
// NuvRes2.dll, found through "Install Dir" pointed at this program's folder. The PC's zone is
// named by a small zone database below HKCU holding the PC's own rules.

#include "plugin/core/TimeZoneCheck.h"

#include "Shared/NUVAlertManager.h"
#include "base/Format.h"
#include "base/RegKey.h"
#include "logging/Logging.h"
#include "nuvutil/com/Bstr.h"
#include "nuvutil/com/CoInitializeScope.h"
#include "nuvutil/com/Variant.h"
#include "suite/alerts/AlertRecords.h"
#include "tests/support/MachineKeyGuard.h"
#include "tests/support/LogRecorder.h"
#include "tests/support/ScratchRegistryKey.h"
#include "tests/plugin/core/ConfigServiceStandIn.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <configservice.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

using AlertStandIn::CallRecord;
using AlertStandIn::CreationRecord;
using Microsoft::WRL::ComPtr;
using NuvCom::CBstr;
using NuvCom::CVariant;
using NuvTest::LoggedLine;

constexpr wchar_t kLocalZone[] = L"Test Local Zone";
constexpr wchar_t kOtherZone[] = L"Test Other Zone";
constexpr wchar_t kOutOfSyncId[] = L"5A3B3956-32CF-4554-B595-0F11371BD389";
constexpr wchar_t kAlertClassText[] = L"5AE43A84-811D-4AA7-96CC-41607ADE91EB";

constexpr LONG kTimeBlocks = 210;
constexpr LONG kProtected = 315;

const std::wstring kAllowed(2016, L'1');
const std::wstring kOneBlockBlocked = std::wstring(700, L'1') + L'0' + std::wstring(1315, L'1');

std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L'\\'));
}

CVariant Bool(bool value) { return CVariant(value); }

std::vector<std::wstring> TextsAt(const std::vector<LoggedLine>& lines, DWORD level) {
    std::vector<std::wstring> texts;
    for (const LoggedLine& line : lines) {
        if (line.level == level) texts.push_back(line.text);
    }
    return texts;
}

// Wine parses no "Session:" display name: records the name and parses the class moniker of the
// same class instead, whose class object answers the same factory interface.
class CRecordingSeam : public CAlertBindSeam {
public:
    bool IsLocalSystem() override { return true; }
    HRESULT ParseDisplayName(IBindCtx* context, const wchar_t* displayName, ULONG* eaten,
                             IMoniker** moniker) override {
        displayNames.emplace_back(displayName);
        const std::wstring classMoniker = Tessal::Format(L"clsid:%s:", kAlertClassText);
        return ::MkParseDisplayName(context, classMoniker.c_str(), eaten, moniker);
    }

    std::vector<std::wstring> displayNames;
};

// Public: the case tables arrange the service through the fixture.
class TimeZoneCheckTest : public ::testing::Test {
public:
    void SetUp() override {
        ASSERT_TRUE(m_com.Succeeded());
        ASSERT_TRUE(NuvTest::ConnectConfigService(m_config, m_control));
        ASSERT_NO_THROW(m_alerts = AlertStandIn::CreateControl());
        ASSERT_HRESULT_SUCCEEDED(m_alerts->Reset());
        ASSERT_TRUE(m_guard.SetString(L"SOFTWARE\\Oberix\\NUV", L"Install Dir", ProgramFolder()));

        // The PC's zone under a name of ours, so the stored name decides the comparison.
        TIME_ZONE_INFORMATION pc = {};
        ASSERT_NE(TIME_ZONE_ID_INVALID, ::GetTimeZoneInformation(&pc));
        BYTE tzi[44] = {};
        const LONG biases[3] = {pc.Bias, pc.StandardBias, pc.DaylightBias};
        std::memcpy(tzi, biases, sizeof(biases));
        std::memcpy(tzi + 12, &pc.StandardDate, sizeof(SYSTEMTIME));
        std::memcpy(tzi + 28, &pc.DaylightDate, sizeof(SYSTEMTIME));
        Tessal::CRegKey zone;
        ASSERT_EQ(ERROR_SUCCESS, zone.Create(HKEY_CURRENT_USER, (m_zones.Path() + L"\\" + kLocalZone).c_str()));
        ASSERT_EQ(ERROR_SUCCESS, zone.SetStringValue(L"Std", pc.StandardName));
        ASSERT_EQ(ERROR_SUCCESS, zone.SetStringValue(L"Dlt", pc.DaylightName));
        ASSERT_EQ(ERROR_SUCCESS, zone.SetBinaryValue(L"TZI", tzi, sizeof(tzi)));
        NuvTest::TakeLoggedLines();
    }

    void TearDown() override {
        if (m_control) m_control->Reset();
        if (m_alerts) m_alerts->Reset();
    }

    void AddUser(const wchar_t* id) {
        ASSERT_HRESULT_SUCCEEDED(m_control->AddUser(CBstr(id).Get(), CBstr(id).Get()));
    }
    void Set(const wchar_t* user, LONG setting, const CVariant& value) {
        ASSERT_HRESULT_SUCCEEDED(m_control->SetUserSetting(CBstr(user).Get(), setting, *value.Get())) << setting;
    }
    void Set(const wchar_t* user, LONG setting, const std::wstring& text) { Set(user, setting, CVariant(text)); }
    // A user with time limits.
    void AddRestrictedUser(const wchar_t* id) {
        AddUser(id);
        Set(id, kTimeBlocks, kOneBlockBlocked);
    }
    void StoreZone(const CVariant& value) {
        ASSERT_HRESULT_SUCCEEDED(m_control->SetProductSetting(CTimeZoneCheck::kStoredTimeZoneSetting, *value.Get()));
    }
    void StoreZone(const wchar_t* name) { StoreZone(CVariant(name)); }
    void Fail(const wchar_t* call, HRESULT hr, LONG status, LONG times = -1) {
        ASSERT_HRESULT_SUCCEEDED(m_control->FailCall(CBstr(call).Get(), hr, status, times)) << call;
    }
    ULONG CallCount(const wchar_t* call) {
        ULONG count = 0;
        EXPECT_HRESULT_SUCCEEDED(m_control->GetCallCount(CBstr(call).Get(), &count));
        return count;
    }
    ULONG ConfigReferences() {
        m_config->AddRef();
        return m_config->Release();
    }

    CTimeZoneCheck Checker(CAlertBindSeam* seam = nullptr) {
        return CTimeZoneCheck(seam, NuvTest::ScratchRegistryKey::Root(), m_zones.Path());
    }

    NuvCom::CCoInitialize m_com{COINIT_MULTITHREADED};
    ComPtr<IQvConfigCategory> m_config;
    ComPtr<IQvConfigServiceControl> m_control;
    ComPtr<IQvAlertControl> m_alerts;  // also keeps the alert stand-in and its records loaded
    NuvTest::MachineKeyGuard m_guard;
    NuvTest::ScratchRegistryKey m_zones{L"TimeZoneCheck"};
};

TEST_F(TimeZoneCheckTest, FindsUsersWithTimeLimits) {
    using T = TimeZoneCheckTest;
    struct Case {
        const char* name;
        std::function<void(T&)> arrange;
        bool counted;         // skipping nobody
        bool countedProtected;  // skipping unprotected users
    };
    const Case cases[] = {
        {"nobody", [](T&) {}, false, false},
        {"a user without a week", [](T& t) { t.AddUser(L"a"); }, false, false},
        {"every block allowed",
         [](T& t) {
             t.AddUser(L"a");
             t.Set(L"a", kTimeBlocks, kAllowed);
         },
         false, false},
        {"a week that is not a text",
         [](T& t) {
             t.AddUser(L"a");
             t.Set(L"a", kTimeBlocks, CVariant(0));
         },
         false, false},
        {"one blocked block", [](T& t) { t.AddRestrictedUser(L"a"); }, true, true},
        {"a short text ending in a blocked block",
         [](T& t) {
             t.AddUser(L"a");
             t.Set(L"a", kTimeBlocks, L"1110");
         },
         true, true},
        {"a short text of allowed blocks",
         [](T& t) {
             t.AddUser(L"a");
             t.Set(L"a", kTimeBlocks, L"111");
         },
         false, false},
        {"the empty text",
         [](T& t) {
             t.AddUser(L"a");
             t.Set(L"a", kTimeBlocks, L"");
         },
         false, false},
        {"the second of three users",
         [](T& t) {
             t.AddUser(L"a");
             t.Set(L"a", kTimeBlocks, kAllowed);
             t.AddRestrictedUser(L"b");
             t.AddUser(L"c");
         },
         true, true},
        {"an unprotected user",
         [](T& t) {
             t.AddRestrictedUser(L"a");
             t.Set(L"a", kProtected, Bool(false));
         },
         true, false},
        {"an unprotected and a protected user",
         [](T& t) {
             t.AddRestrictedUser(L"a");
             t.Set(L"a", kProtected, Bool(false));
             t.AddRestrictedUser(L"b");
             t.Set(L"b", kProtected, Bool(true));
         },
         true, true},
        {"protection that is not a VT_BOOL",
         [](T& t) {
             t.AddRestrictedUser(L"a");
             t.Set(L"a", kProtected, CVariant(0));
         },
         true, true},
        {"unprotected, but the read says failed",
         [](T& t) {
             t.AddRestrictedUser(L"a");
             t.Set(L"a", kProtected, Bool(false));
             t.Fail(L"IConfigSettings.Get(315)", S_OK, QV_CONFIG_STATUS_FAILED);
         },
         true, true},
        {"the week's read says failed",
         [](T& t) {
             t.AddRestrictedUser(L"a");
             t.Fail(L"IConfigSettings.Get(210)", S_OK, QV_CONFIG_STATUS_FAILED);
         },
         false, false},
        {"the week's read fails",
         [](T& t) {
             t.AddRestrictedUser(L"a");
             t.Fail(L"IConfigSettings.Get(210)", E_FAIL, QV_CONFIG_STATUS_OK);
         },
         false, false},
        {"a status whose low 17 bits are clear",
         [](T& t) {
             t.AddRestrictedUser(L"a");
             t.Fail(L"IConfigSettings.Get(210)", S_OK, 0x08060000);
         },
         true, true},
        {"the user collection's read says failed",
         [](T& t) {
             t.AddRestrictedUser(L"a");
             t.Fail(L"IQvConfigCategory.Get(102)", S_OK, QV_CONFIG_STATUS_FAILED);
         },
         false, false},
        {"no enumerator",
         [](T& t) {
             t.AddRestrictedUser(L"a");
             t.Fail(L"IConfigCollection._NewEnum", E_ACCESSDENIED, QV_CONFIG_STATUS_OK);
         },
         false, false},
        {"the enumeration fails",
         [](T& t) {
             t.AddRestrictedUser(L"a");
             t.Fail(L"IEnumVARIANT.Next", E_FAIL, QV_CONFIG_STATUS_OK);
         },
         false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_HRESULT_SUCCEEDED(m_control->Reset());
        c.arrange(*this);
        const ULONG references = ConfigReferences();
        EXPECT_EQ(c.counted, HasUserWithTimeLimits(m_config.Get(), false));
        EXPECT_EQ(c.countedProtected, HasUserWithTimeLimits(m_config.Get(), true));
        EXPECT_EQ(references, ConfigReferences());
    }
    EXPECT_FALSE(HasUserWithTimeLimits(nullptr, false));
}

TEST_F(TimeZoneCheckTest, AlertsOnceWhenTheStoredZoneIsNotThePcsAndSomeoneHasTimeLimits) {
    using T = TimeZoneCheckTest;
    struct Case {
        const char* name;
        std::function<void(T&)> arrange;
        bool alert;
        ULONG productReads;  // reads of the product settings
        bool knownPcZone = true;
    };
    // A user with time limits and the stored zone.
    const auto restrictedWith = [](const CVariant& zone) {
        return [zone](T& t) {
            t.AddRestrictedUser(L"a");
            t.StoreZone(zone);
        };
    };
    const Case cases[] = {
        {"nobody has time limits",
         [](T& t) {
             t.AddUser(L"a");
             t.Set(L"a", kTimeBlocks, kAllowed);
             t.StoreZone(kOtherZone);
         },
         false, 0},
        {"other zone", restrictedWith(CVariant(kOtherZone)), true, 1},
        {"an unprotected user's limits count here",
         [](T& t) {
             t.AddRestrictedUser(L"a");
             t.Set(L"a", kProtected, Bool(false));
             t.StoreZone(kOtherZone);
         },
         true, 1},
        {"the PC's zone", restrictedWith(CVariant(kLocalZone)), false, 1},
        // No stored zone: the schedule follows the PC's zone, nothing is out of sync.
        {"no stored zone", [](T& t) { t.AddRestrictedUser(L"a"); }, false, 1},
        {"a stored zone that is not a text", restrictedWith(CVariant(5)), false, 1},
        {"the empty text", restrictedWith(CVariant(L"")), false, 1},
        {"the stored zone's read says failed",
         [](T& t) {
             t.AddRestrictedUser(L"a");
             t.StoreZone(kOtherZone);
             t.Fail(L"IConfigSettings.Get(337)", S_OK, QV_CONFIG_STATUS_FAILED);
         },
         false, 1},
        {"the product settings' read says failed",
         [](T& t) {
             t.AddRestrictedUser(L"a");
             t.StoreZone(kOtherZone);
             t.Fail(L"IQvConfigCategory.Get(100)", S_OK, QV_CONFIG_STATUS_FAILED);
         },
         false, 1},
        {"the PC's zone has no name", restrictedWith(CVariant(kOtherZone)), false, 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_HRESULT_SUCCEEDED(m_control->Reset());
        ASSERT_HRESULT_SUCCEEDED(m_alerts->Reset());
        c.arrange(*this);
        NuvTest::TakeLoggedLines();
        if (c.knownPcZone) {
            Checker().CheckTimeZone();
        } else {
            CTimeZoneCheck(nullptr, NuvTest::ScratchRegistryKey::Root(), m_zones.Path() + L"\\Missing")
                .CheckTimeZone();
        }

        EXPECT_EQ(c.productReads, CallCount(L"IQvConfigCategory.Get(100)"));
        const std::vector<std::wstring> normal = TextsAt(NuvTest::TakeLoggedLines(), ETWLogging::LOG_NORMAL);
        const std::vector<CallRecord> calls = AlertStandIn::ReadCalls(m_alerts.Get());
        if (!c.alert) {
            EXPECT_TRUE(calls.empty());
            EXPECT_TRUE(AlertStandIn::ReadCreations(m_alerts.Get()).empty());
            continue;
        }
        ASSERT_EQ(1u, calls.size());
        EXPECT_EQ(QvAlertMethod_ShowAlertWithButtons, calls[0].method);
        EXPECT_EQ(kOutOfSyncId, calls[0].alertId);
        EXPECT_EQ(L"Time zone out of sync", calls[0].heading);
        // Session -1 from a process that is not the local system: created in this process.
        const std::vector<CreationRecord> creations = AlertStandIn::ReadCreations(m_alerts.Get());
        ASSERT_EQ(1u, creations.size());
        EXPECT_EQ(QvAlertCreation_ClassFactory, creations[0].path);
        EXPECT_NE(normal.end(), std::find(normal.begin(), normal.end(),
                                          L"About to show time zone out of sync toaster alert for session ID -1\r\n"));
    }
}

TEST_F(TimeZoneCheckTest, AsTheLocalSystemTheAlertGoesToTheConsoleSession) {
    AddRestrictedUser(L"a");
    StoreZone(kOtherZone);
    CRecordingSeam seam;
    Checker(&seam).CheckTimeZone();

    const std::vector<std::wstring> expected = {std::wstring(L"Session:Console!clsid:") + kAlertClassText};
    EXPECT_EQ(expected, seam.displayNames);
    const std::vector<CallRecord> calls = AlertStandIn::ReadCalls(m_alerts.Get());
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(kOutOfSyncId, calls[0].alertId);
}

TEST_F(TimeZoneCheckTest, WithoutAConfigurationObjectNothingHappens) {
    AddRestrictedUser(L"a");
    StoreZone(kOtherZone);
    Fail(L"CreateInstance", E_OUTOFMEMORY, QV_CONFIG_STATUS_FAILED, 1);
    Checker().CheckTimeZone();

    EXPECT_EQ(0u, CallCount(L"IQvConfigCategory.Get"));
    EXPECT_TRUE(AlertStandIn::ReadCalls(m_alerts.Get()).empty());
    const std::vector<std::wstring> expected = {
        L"Time zone check: failed to create the configuration object (0x8007000E)\r\n"};
    EXPECT_EQ(expected, TextsAt(NuvTest::TakeLoggedLines(), ETWLogging::LOG_ERROR));

    // The next check creates it again.
    Checker().CheckTimeZone();
    EXPECT_EQ(1u, AlertStandIn::ReadCalls(m_alerts.Get()).size());
}

}  // namespace
