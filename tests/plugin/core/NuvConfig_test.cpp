// The configuration client against the stand-in configuration service (registered in the test
// prefix; its state is process-wide and reset before every test) with a test module object and,
// where sessions matter, the real session manager.

#include "plugin/core/NuvConfig.h"

#include "base/Format.h"
#include "base/UniqueHandle.h"
#include "nuvutil/com/Bstr.h"
#include "nuvutil/com/CoInitializeScope.h"
#include "nuvutil/com/Variant.h"
#include "plugin/core/NuvException.h"
#include "plugin/core/QvPermissionsHelper.h"
#include "plugin/core/Session.h"
#include "plugin/core/SessionManager.h"
#include "tests/plugin/core/TestModuleServices.h"
#include "tests/support/LogRecorder.h"
#include "tests/plugin/core/ConfigServiceStandIn.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <configservice.h>
#include <olectl.h>
#include <wrl/client.h>

#include <atomic>
#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Microsoft::WRL::ComPtr;

constexpr HRESULT kRefusedShutdown = static_cast<HRESULT>(0x80080008);
constexpr HRESULT kRefusedProblem = static_cast<HRESULT>(0x80040206);
constexpr LONG kStatusFailed = QV_CONFIG_STATUS_FAILED;

std::wstring Text(const CSafeStringW& s) { return std::wstring(s.GetString(), s.GetLength()); }

std::wstring Hex(HRESULT hr) { return Tessal::Format(L"%08X", static_cast<unsigned>(hr)); }

NuvCom::CVariant UI4(ULONG value) {
    NuvCom::CVariant v;
    v.Get()->vt = VT_UI4;
    v.Get()->ulVal = value;
    return v;
}

NuvCom::CVariant NullBstr() {
    NuvCom::CVariant v;
    v.Get()->vt = VT_BSTR;
    v.Get()->bstrVal = nullptr;
    return v;
}

// Lines of one level logged since the last take.
std::vector<std::wstring> Logged(DWORD level) {
    std::vector<std::wstring> lines;
    for (const auto& line : NuvTest::TakeLoggedLines()) {
        if (line.level == level) lines.push_back(line.text);
    }
    return lines;
}

bool SameProblems(const std::vector<NuvTest::ReportedProblem>& actual,
                  const std::vector<NuvTest::ReportedProblem>& expected) {
    if (actual.size() != expected.size()) return false;
    for (std::size_t i = 0; i < actual.size(); ++i) {
        if (actual[i].id != expected[i].id || actual[i].affectsPersonalInfo != expected[i].affectsPersonalInfo ||
            actual[i].result != expected[i].result) {
            return false;
        }
    }
    return true;
}

class NuvConfigTest : public ::testing::Test {
public:
    void SetUp() override {
        ASSERT_TRUE(m_com.Succeeded());
        ASSERT_TRUE(NuvTest::ConnectConfigService(m_service, m_control));
        NuvTest::TakeLoggedLines();
    }
    void TearDown() override {
        m_module.Detach();
        if (m_control) m_control->Reset();
    }

    CNuvConfig& Config() {
        if (!m_module.config) m_module.config = std::make_unique<CNuvConfig>(m_module);
        return *m_module.config;
    }
    CSessionManager& Manager() {
        if (!m_module.manager) m_module.manager = std::make_unique<CSessionManager>(m_module, nullptr);
        return *m_module.manager;
    }

    void AddUser(const wchar_t* id, const wchar_t* name) {
        ASSERT_HRESULT_SUCCEEDED(m_control->AddUser(NuvCom::CBstr(id).Get(), NuvCom::CBstr(name).Get())) << id;
    }
    void Set(const wchar_t* id, LONG setting, const NuvCom::CVariant& value) {
        ASSERT_HRESULT_SUCCEEDED(m_control->SetUserSetting(NuvCom::CBstr(id).Get(), setting, *value.Get()));
    }
    void Fail(const wchar_t* call, HRESULT hr, LONG status, LONG times = 1) {
        ASSERT_HRESULT_SUCCEEDED(m_control->FailCall(NuvCom::CBstr(call).Get(), hr, status, times));
    }
    ULONG CallCount(const wchar_t* call) {
        ULONG count = 0;
        EXPECT_HRESULT_SUCCEEDED(m_control->GetCallCount(NuvCom::CBstr(call).Get(), &count));
        return count;
    }
    std::wstring CallLog() {
        NuvCom::CBstr log;
        EXPECT_HRESULT_SUCCEEDED(m_control->GetCallLog(log.Put()));
        return log.Str();
    }
    std::wstring EventLog() {
        NuvCom::CBstr log;
        EXPECT_HRESULT_SUCCEEDED(m_control->GetEventLog(log.Put()));
        return log.Str();
    }
    ULONG SinkCount() {
        ULONG count = 0;
        EXPECT_HRESULT_SUCCEEDED(m_control->GetSinkCount(&count));
        return count;
    }
    void WaitForEvents() { ASSERT_HRESULT_SUCCEEDED(m_control->WaitForEvents(10000)); }

    // Calls the sink as the service does: arguments first first, DISPPARAMS holds them last first.
    static HRESULT Invoke(IDispatch* sink, DISPID dispId, const std::vector<NuvCom::CVariant>& args,
                          UINT namedArgs = 0, bool nullParameters = false) {
        std::vector<VARIANTARG> reversed;
        for (auto arg = args.rbegin(); arg != args.rend(); ++arg) reversed.push_back(*arg->Get());
        std::vector<DISPID> named(namedArgs, 0);
        DISPPARAMS parameters = {reversed.empty() ? nullptr : reversed.data(), named.empty() ? nullptr : named.data(),
                                 static_cast<UINT>(reversed.size()), namedArgs};
        NuvCom::CVariant result;
        UINT argError = 0;
        return sink->Invoke(dispId, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                            nullParameters ? nullptr : &parameters, result.Put(), nullptr, &argError);
    }
    HRESULT Invoke(DISPID dispId, const std::vector<NuvCom::CVariant>& args = {}) {
        return Invoke(Config().GetEventSink(), dispId, args);
    }

    // The user signed in to a session as the session sees it ("" for nobody or no session).
    std::wstring SessionUser(DWORD sessionId) {
        CSession* const session = m_module.FindSession(sessionId);
        if (session == nullptr) return L"";
        Tessal::CAutoLock lock(session->GetLock());
        return Text(session->GetUserId());
    }

    std::optional<SessionFilterState> Flags(DWORD sessionId) {
        SessionFilterState state;
        state.safeSearchOff = 0x55;  // must be overwritten either way
        const bool found = Config().GetSessionFilterState(sessionId, state);
        EXPECT_TRUE(found || (state.timeRestricted | state.allowedListOnly | state.safeSearchOff |
                              state.noCategoryFiltering | state.blockedListEmpty) == 0);
        if (!found) return std::nullopt;
        return state;
    }

    NuvCom::CCoInitialize m_com;
    ComPtr<IQvConfigCategory> m_service;
    ComPtr<IQvConfigServiceControl> m_control;
    NuvTest::TestModuleServices m_module;
};

// ---------------------------------------------------------------------------------------------
// Creation and subscription

TEST_F(NuvConfigTest, CreationFailureReportsProblem40AndThrows) {
    const HRESULT injected = E_ACCESSDENIED;
    Fail(L"CreateInstance", injected, kStatusFailed);

    try {
        CNuvConfig config(m_module);
        FAIL() << "created although the service failed";
    } catch (const CNuvException& e) {
        EXPECT_EQ(-1001, e.Code());
    }
    EXPECT_TRUE(SameProblems(m_module.Problems(), {{40, true, injected}}));
    EXPECT_EQ(40, m_module.currentProblem);
    EXPECT_TRUE(m_module.bypass);
    EXPECT_EQ(std::vector<std::wstring>{L"Failed to create NUV config (0x" + Hex(injected) + L")\r\n"},
              Logged(5));
}

TEST_F(NuvConfigTest, SubscribeFailuresReportProblem41AndThrowNothing) {
    const struct {
        const wchar_t* call;
        HRESULT hr;
        const wchar_t* message;
    } cases[] = {
        {L"QueryInterface(IConnectionPointContainer)", E_NOINTERFACE, L"Failed to get ConnectionPointContainer"},
        {L"FindConnectionPoint", CONNECT_E_NOCONNECTION, L"Failed to find ConnectionPoint"},
        {L"Advise", CONNECT_E_ADVISELIMIT, L"Failed to Advise ConnectionPoint"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::string(c.call, c.call + wcslen(c.call)));
        NuvTest::TestModuleServices module;
        CNuvConfig config(module);
        Fail(c.call, c.hr, kStatusFailed);
        NuvTest::TakeLoggedLines();

        config.SubscribeToComEvents();

        EXPECT_TRUE(SameProblems(module.Problems(), {{41, false, c.hr}}));
        EXPECT_FALSE(module.bypass);
        EXPECT_EQ(std::vector<std::wstring>{std::wstring(c.message) + L" (0x" + Hex(c.hr) + L")\r\n"}, Logged(5));
        EXPECT_EQ(0u, SinkCount());
    }
}

TEST_F(NuvConfigTest, SubscriptionLastsUntilUnsubscribeOrDestruction) {
    Config().SubscribeToComEvents();
    EXPECT_EQ(1u, SinkCount());
    EXPECT_TRUE(m_module.Problems().empty());

    Config().UnsubscribeFromComEvents();
    EXPECT_EQ(0u, SinkCount());
    EXPECT_EQ(1u, CallCount(L"Unadvise"));
    Config().UnsubscribeFromComEvents();  // nothing left to unadvise
    EXPECT_EQ(1u, CallCount(L"Unadvise"));

    Config().SubscribeToComEvents();
    EXPECT_EQ(1u, SinkCount());
    m_module.config.reset();
    EXPECT_EQ(0u, SinkCount());
}

// ---------------------------------------------------------------------------------------------
// Notifications

TEST_F(NuvConfigTest, NotificationsFromTheServiceThreadSignUsersInAndOut) {
    AddUser(L"alice", L"Alice");
    Set(L"alice", CUserSettings::kAllowedListOnly, NuvCom::CVariant(true));
    Set(L"alice", CUserSettings::kSafeSearch, NuvCom::CVariant(true));
    Manager().FindOrCreateSession(3);
    Config().SubscribeToComEvents();

    ASSERT_HRESULT_SUCCEEDED(m_control->SignInUser(3, NuvCom::CBstr(L"alice").Get()));
    WaitForEvents();
    EXPECT_EQ(L"alice", SessionUser(3));
    const auto flags = Flags(3);  // refreshed after the sign-in
    ASSERT_TRUE(flags.has_value());
    EXPECT_EQ(1, flags->allowedListOnly);
    EXPECT_EQ(0, flags->safeSearchOff);

    // A session the manager does not hold: S_FALSE, and no session is made for it.
    const NuvCom::CVariant session(UI4(7)), user(L"alice");
    const VARIANT args[] = {*session.Get(), *user.Get()};
    ASSERT_HRESULT_SUCCEEDED(m_control->FireEvent(2, 2, args));
    WaitForEvents();
    EXPECT_FALSE(m_module.SessionExists(7));
    EXPECT_FALSE(Flags(7).has_value());

    ASSERT_HRESULT_SUCCEEDED(m_control->SignOutUser(3));
    WaitForEvents();
    EXPECT_EQ(L"", SessionUser(3));
    EXPECT_TRUE(Flags(3).has_value());  // a sign-out leaves the entries

    EXPECT_EQ(L"2(3, \"alice\") -> 0x00000000\n"
              L"2(7, \"alice\") -> 0x00000001\n"
              L"3(3, \"alice\") -> 0x00000000\n",
              EventLog());
}

TEST_F(NuvConfigTest, ParameterChecksComeBeforeTheGates) {
    const NuvCom::CVariant bstr(L"x");
    ULONG status = 0;
    NuvCom::CVariant byRefStatus;
    byRefStatus.Get()->vt = VT_BYREF | VT_UI4;
    byRefStatus.Get()->pulVal = &status;
    const NuvCom::CVariant i4(LONG{3});
    const struct {
        const char* name;
        DISPID dispId;
        std::vector<NuvCom::CVariant> args;
        UINT namedArgs;
        bool nullParameters;
        HRESULT checked;  // S_OK: the checks pass
        HRESULT handled;  // answered when no gate refuses (no session manager exists)
    } cases[] = {
        {"sign-in", 2, {UI4(3), bstr}, 0, false, S_OK, S_FALSE},
        {"sign-in with a VT_I4 session", 2, {i4, bstr}, 0, false, DISP_E_BADVARTYPE, 0},
        {"sign-in with a number as user", 2, {UI4(3), i4}, 0, false, DISP_E_BADVARTYPE, 0},
        {"sign-in with one argument", 2, {UI4(3)}, 0, false, DISP_E_BADPARAMCOUNT, 0},
        {"sign-in with a named argument", 2, {UI4(3), bstr}, 1, false, DISP_E_BADPARAMCOUNT, 0},
        {"sign-in without parameters", 2, {}, 0, true, DISP_E_BADPARAMCOUNT, 0},
        {"sign-out", 3, {UI4(3), bstr}, 0, false, S_OK, S_FALSE},
        {"sign-out with the arguments swapped", 3, {bstr, UI4(3)}, 0, false, DISP_E_BADVARTYPE, 0},
        {"query status", 9, {bstr, byRefStatus}, 0, false, S_OK, DISP_E_MEMBERNOTFOUND},
        {"query status by value", 9, {bstr, UI4(1)}, 0, false, DISP_E_BADVARTYPE, 0},
        {"query status with three arguments", 9, {bstr, byRefStatus, bstr}, 0, false, DISP_E_BADPARAMCOUNT, 0},
        {"configuration changed", 1, {}, 0, false, S_OK, S_OK},
        {"configuration changed without parameters", 1, {}, 0, true, S_OK, S_OK},
        {"configuration changed with one argument", 1, {UI4(1)}, 0, false, DISP_E_BADPARAMCOUNT, 0},
        {"reset with a named argument", 4, {}, 1, false, DISP_E_BADPARAMCOUNT, 0},
        {"reset", 4, {}, 0, false, S_OK, S_OK},
        {"unknown dispid", 77, {}, 0, false, S_OK, DISP_E_MEMBERNOTFOUND},
    };
    const struct {
        const char* name;
        bool shuttingDown;
        bool initialized;
        int problem;
        HRESULT refusal;  // S_OK: no gate
        const wchar_t* logFormat;
    } gates[] = {
        {"shutting down", true, true, 0, kRefusedShutdown,
         L"Refused to handle Invoke(%d) because NUV is shutting down\r\n"},
        {"initialization failed", false, false, 0, kRefusedShutdown,
         L"Refused to handle Invoke(%d) because NUV failed to initializer\n"},
        {"problem 41", false, true, 41, kRefusedProblem,
         L"Refused to handle Invoke(%d) because NUV has problem 41\r\n"},
        {"open", false, true, 0, S_OK, nullptr},
    };
    IDispatch* const sink = Config().GetEventSink();
    for (const auto& gate : gates) {
        m_module.shuttingDown = gate.shuttingDown;
        m_module.initialized = gate.initialized;
        m_module.currentProblem = gate.problem;
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << gate.name << " / " << c.name);
            NuvTest::TakeLoggedLines();
            const HRESULT expected = FAILED(c.checked) ? c.checked : gate.logFormat ? gate.refusal : c.handled;
            EXPECT_EQ(expected, Invoke(sink, c.dispId, c.args, c.namedArgs, c.nullParameters));
            std::vector<std::wstring> refusals;
            if (SUCCEEDED(c.checked) && gate.logFormat) {
                refusals.push_back(Tessal::Format(gate.logFormat, static_cast<int>(c.dispId)));
            }
            EXPECT_EQ(refusals, Logged(2));
        }
    }
}

TEST_F(NuvConfigTest, HandlersOfTheOtherNotifications) {
    Config();
    ASSERT_HRESULT_SUCCEEDED(m_control->ClearLogs());
    int reloads = 0;
    m_module.reloadSearchEngines = [&] { ++reloads; };
    EXPECT_EQ(S_OK, Invoke(6));
    EXPECT_EQ(1, reloads);

    // Another process of the suite waits for the folder-permissions event.
    const Tessal::UniqueHandle waiter(::CreateEventA(nullptr, TRUE, FALSE, kFolderPermissionsEventName));
    ASSERT_TRUE(waiter.IsValid());
    EXPECT_EQ(S_OK, Invoke(5));
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(waiter.Get(), 0));

    EXPECT_EQ(S_OK, Invoke(4));
    EXPECT_EQ(L"", CallLog());  // none of them asked the service anything
}

TEST_F(NuvConfigTest, TheSinkOutlivesTheClient) {
    Config().SubscribeToComEvents();
    ComPtr<IDispatch> sink = Config().GetEventSink();
    ComPtr<IUnknown> events;
    EXPECT_EQ(S_OK, sink->QueryInterface(DIID__IQvPSConfigEvents, reinterpret_cast<void**>(events.GetAddressOf())));
    ComPtr<IUnknown> other;
    EXPECT_EQ(E_NOINTERFACE,
              sink->QueryInterface(IID_IConnectionPoint, reinterpret_cast<void**>(other.GetAddressOf())));
    UINT count = 0;
    EXPECT_EQ(E_NOTIMPL, sink->GetTypeInfoCount(&count));

    m_module.config.reset();
    EXPECT_EQ(0u, SinkCount());
    EXPECT_EQ(kRefusedShutdown, Invoke(sink.Get(), 4, {}));
    EXPECT_EQ(kRefusedShutdown, Invoke(sink.Get(), 2, {UI4(3), NuvCom::CVariant(L"alice")}));
}

TEST_F(NuvConfigTest, UnsubscribeWaitsForAHandlerStillRunning) {
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    m_module.reloadSearchEngines = [&] {
        entered.set_value();
        released.wait();
    };
    ComPtr<IDispatch> sink = Config().GetEventSink();
    auto handler = std::async(std::launch::async, [&] {
        NuvCom::CCoInitialize com;
        return Invoke(sink.Get(), 6, {});
    });
    entered.get_future().wait();

    std::atomic<bool> unsubscribed{false};
    std::thread unsubscribe([&] {
        m_module.config->UnsubscribeFromComEvents();
        unsubscribed = true;
    });
    ::Sleep(200);
    EXPECT_FALSE(unsubscribed) << "returned while a handler was inside the client";
    release.set_value();
    unsubscribe.join();
    EXPECT_TRUE(unsubscribed);
    EXPECT_EQ(S_OK, handler.get());
    EXPECT_EQ(kRefusedShutdown, Invoke(sink.Get(), 6, {}));
}

// ---------------------------------------------------------------------------------------------
// Settings look-ups and sign-ins

TEST_F(NuvConfigTest, TheTemporaryAdultNeverAsksTheService) {
    CNuvConfig& config = Config();
    ASSERT_HRESULT_SUCCEEDED(m_control->ClearLogs());
    const auto settings = config.GetUserSettingsById(CSafeStringW(L"adult_temp"));
    ASSERT_NE(nullptr, settings);
    EXPECT_EQ(L"adult_temp", Text(settings->m_strUserId));
    EXPECT_EQ(0, settings->m_bProtected);
    EXPECT_EQ(L"", CallLog());
}

TEST_F(NuvConfigTest, UsersAreFoundByIdAndByName) {
    AddUser(L"nameless", nullptr);  // first: a null name must not pass for any name
    AddUser(L"alice", L"Alice");
    AddUser(L"bob", L"Bob");
    const struct {
        const char* name;
        bool byId;
        const wchar_t* key;
        const wchar_t* expectedId;  // null: nobody
    } cases[] = {
        {"by id", true, L"bob", L"bob"},
        {"by id, case matters", true, L"Bob", nullptr},
        {"by id, unknown", true, L"carol", nullptr},
        {"by id, a prefix is not enough", true, L"ali", nullptr},
        {"by name", false, L"Alice", L"alice"},
        {"by name, case matters", false, L"alice", nullptr},
        {"by name, the null name is the empty text", false, L"", L"nameless"},
        {"by name, the temporary adult is only an id", false, L"adult_temp", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const CSafeStringW key(c.key);
        const auto found = c.byId ? Config().GetUserSettingsById(key) : Config().GetUserSettingsByUserName(key);
        const std::wstring foundId = found ? Text(found->m_strUserId) : L"<nobody>";
        EXPECT_EQ(c.expectedId ? c.expectedId : L"<nobody>", foundId);
    }
}

TEST_F(NuvConfigTest, FailedReadsOfTheUserListFindNobody) {
    AddUser(L"alice", L"Alice");
    const struct {
        const char* name;
        const wchar_t* call;
        HRESULT hr;
        LONG status;
        const wchar_t* logged;  // level 4; null: nothing
    } cases[] = {
        {"Get fails", L"IQvConfigCategory.Get(102)", E_FAIL, kStatusFailed,
         L"Failed to get Config collection 102 (0x80004005)\r\n"},
        {"Get refuses by status", L"IQvConfigCategory.Get(102)", S_OK, kStatusFailed,
         L"Failed to get Config collection 102 (0x8000FFFF)\r\n"},
        {"the enumerator fails", L"IConfigCollection._NewEnum", E_OUTOFMEMORY, kStatusFailed, nullptr},
        // S_OK without an item must end the walk rather than loop.
        {"the enumerator hands out nothing", L"IEnumVARIANT.Next", S_OK, QV_CONFIG_STATUS_OK, nullptr},
        {"the user's id cannot be read", L"IConfigSettings.Get(199)", S_OK, kStatusFailed, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fail(c.call, c.hr, c.status, -1);
        NuvTest::TakeLoggedLines();
        EXPECT_EQ(nullptr, Config().GetUserSettingsById(CSafeStringW(L"alice")));
        const std::vector<std::wstring> expected = c.logged ? std::vector<std::wstring>{c.logged}
                                                            : std::vector<std::wstring>{};
        EXPECT_EQ(expected, Logged(4));
        Fail(c.call, S_OK, 0, 0);
    }
    EXPECT_NE(nullptr, Config().GetUserSettingsById(CSafeStringW(L"alice")));
}

TEST_F(NuvConfigTest, SignInAndSignOutCountOnlyWithBothResults) {
    AddUser(L"alice", L"Alice");
    CNuvConfig& config = Config();

    const struct {
        const char* name;
        const wchar_t* userId;
        HRESULT injectedHr;  // S_OK with QV_CONFIG_STATUS_OK: nothing injected
        LONG injectedStatus;
        bool signedIn;
    } signIns[] = {
        {"a known user", L"alice", S_OK, QV_CONFIG_STATUS_OK, true},
        {"a null id", nullptr, S_OK, QV_CONFIG_STATUS_OK, false},
        {"an unknown user", L"carol", S_OK, QV_CONFIG_STATUS_OK, false},
        {"refused by status", L"alice", S_OK, kStatusFailed, false},
        {"a failed call", L"alice", E_FAIL, QV_CONFIG_STATUS_OK, false},
    };
    for (const auto& c : signIns) {
        SCOPED_TRACE(c.name);
        config.SignOut(4);
        if (c.injectedHr != S_OK || c.injectedStatus != QV_CONFIG_STATUS_OK) {
            Fail(L"IConfigSignIn.SignIn", c.injectedHr, c.injectedStatus);
        }
        EXPECT_EQ(c.signedIn, config.SignIn(4, c.userId));
        const auto user = config.GetSignedInUserSettings(4);
        EXPECT_EQ(c.signedIn, user != nullptr);
    }
    EXPECT_NE(std::wstring::npos, CallLog().find(L"IConfigSignIn.SignIn(4, null, 0)"));

    const struct {
        const char* name;
        HRESULT injectedHr;
        LONG injectedStatus;
        const wchar_t* logged;  // level 2; null: nothing
    } signOuts[] = {
        {"signed out", S_OK, QV_CONFIG_STATUS_OK, nullptr},
        {"a failed call", E_FAIL, kStatusFailed, L"Failed to sign out user in session 4 (0x80004005)\r\n"},
        {"refused by status", S_OK, kStatusFailed, L"Failed to sign out user in session 4 (0x08020001)\r\n"},
    };
    for (const auto& c : signOuts) {
        SCOPED_TRACE(c.name);
        if (c.logged) Fail(L"IConfigSignIn.SignOut", c.injectedHr, c.injectedStatus);
        NuvTest::TakeLoggedLines();
        config.SignOut(4);
        const std::vector<std::wstring> expected = c.logged ? std::vector<std::wstring>{c.logged}
                                                            : std::vector<std::wstring>{};
        EXPECT_EQ(expected, Logged(2));
    }
}

TEST_F(NuvConfigTest, TheStoredTimeZoneIsTakenOnlyFromAText) {
    const struct {
        const char* name;
        std::optional<NuvCom::CVariant> value;  // empty: not stored
        std::wstring expected;
    } cases[] = {
        {"a text", NuvCom::CVariant(L"Pacific Standard Time"), L"zone:Pacific Standard Time"},
        {"a number", NuvCom::CVariant(LONG{5}), L"zone:"},
        {"a null text", NullBstr(), L"zone:"},
        {"nothing stored", std::nullopt, L"zone:"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const NuvCom::CVariant value = c.value.value_or(NuvCom::CVariant());
        ASSERT_HRESULT_SUCCEEDED(m_control->SetProductSetting(CUserSettings::kStoredTimeZone, *value.Get()));
        CSafeStringW text(L"zone:");
        Config().GetStoredTimeZone(text);
        EXPECT_EQ(c.expected, Text(text));
    }
}

// ---------------------------------------------------------------------------------------------
// Per-session filter flags

TEST_F(NuvConfigTest, FilterFlagsFollowSignInsAndConfigurationChanges) {
    AddUser(L"alice", L"Alice");
    Set(L"alice", CUserSettings::kTimeBlocks, NuvCom::CVariant((L"00" + std::wstring(2014, L'1')).c_str()));
    Set(L"alice", CUserSettings::kSafeSearch, NuvCom::CVariant(true));
    Set(L"alice", CUserSettings::kCategoryMask, NuvCom::CVariant(L"00000000000000000000000000000000"));
    Set(L"alice", CUserSettings::kBlockedSites, NuvCom::CVariant(L"bad.example"));

    EXPECT_FALSE(Flags(1).has_value());  // built at construction: no manager, no sessions
    Manager().FindOrCreateSession(1);
    Manager().FindOrCreateSession(2);
    EXPECT_FALSE(Flags(1).has_value());  // nothing refreshed them yet

    Config().RebuildSessionFlags();
    for (DWORD session : {1u, 2u}) {
        SCOPED_TRACE(session);
        const auto flags = Flags(session);
        ASSERT_TRUE(flags.has_value());  // nobody signed in: all zero
        EXPECT_EQ(0, flags->timeRestricted | flags->allowedListOnly | flags->safeSearchOff |
                         flags->noCategoryFiltering | flags->blockedListEmpty);
    }

    ASSERT_EQ(S_OK, Invoke(2, {UI4(1), NuvCom::CVariant(L"alice")}));
    auto alice = Flags(1);
    ASSERT_TRUE(alice.has_value());
    EXPECT_EQ(1, alice->timeRestricted);
    EXPECT_EQ(0, alice->allowedListOnly);
    EXPECT_EQ(0, alice->safeSearchOff);
    EXPECT_EQ(1, alice->noCategoryFiltering);
    EXPECT_EQ(0, alice->blockedListEmpty);

    // A configuration change re-reads the user by name and rebuilds every session's entries.
    Set(L"alice", CUserSettings::kSafeSearch, NuvCom::CVariant(false));
    Set(L"alice", CUserSettings::kBlockedSites, NuvCom::CVariant());
    ASSERT_EQ(S_OK, Invoke(1));
    alice = Flags(1);
    ASSERT_TRUE(alice.has_value());
    EXPECT_EQ(1, alice->safeSearchOff);
    EXPECT_EQ(1, alice->blockedListEmpty);

    // An update touches one session; a rebuild drops sessions that are gone.
    Config().UpdateSessionFlags(9);
    EXPECT_FALSE(Flags(9).has_value());
    Manager().DeleteSession(2);
    EXPECT_TRUE(Flags(2).has_value());
    Config().RebuildSessionFlags();
    EXPECT_FALSE(Flags(2).has_value());
    EXPECT_TRUE(Flags(1).has_value());
}

TEST_F(NuvConfigTest, ConnectionThreadsReadTheOldFlagsWhileTheyAreRebuilt) {
    AddUser(L"alice", L"Alice");
    CSession* const session = Manager().FindOrCreateSession(1);
    ASSERT_EQ(S_OK, Invoke(2, {UI4(1), NuvCom::CVariant(L"alice")}));
    ASSERT_TRUE(Flags(1).has_value());

    std::future<void> rebuilt;
    {
        // The rebuild's collection waits for this session's lock; a reader meanwhile must still
        // find the session's entries.
        Tessal::CAutoLock sessionLock(session->GetLock());
        rebuilt = std::async(std::launch::async, [&] { Config().RebuildSessionFlags(); });
        EXPECT_EQ(std::future_status::timeout, rebuilt.wait_for(std::chrono::milliseconds(200)));
        EXPECT_TRUE(Flags(1).has_value());
    }
    rebuilt.get();
    EXPECT_TRUE(Flags(1).has_value());
}

}  // namespace
