// The session manager with real sessions and event threads, the stand-in configuration service,
// the stand-in legacy NuvConfig object (protected users) and, for the statistic, the stand-in
// "QvLWAPI.DLL" placed for a moment where the suite's folder is looked for in this prefix.

#include "plugin/core/SessionManager.h"

#include "nuvutil/com/SafeArray.h"
#include "suite/lwapi/QvLWAPIStandIn.h"
#include "tests/plugin/core/SessionTestDoubles.h"

#include <gtest/gtest.h>

#include <nuvconfig.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using namespace NuvTest;
using Strings = std::vector<std::wstring>;
namespace fs = std::filesystem;

using SessionManagerTest = SessionFixture;

TEST_F(SessionManagerTest, FindOrCreateInitializesOnce) {
    EXPECT_EQ(nullptr, Manager().FindSession(3));
    EXPECT_FALSE(Manager().SessionExists(3));

    CSession* const first = Manager().FindOrCreateSession(3);
    CSession* const second = Manager().FindOrCreateSession(3);

    EXPECT_EQ(first, second);
    EXPECT_EQ(first, Manager().FindSession(3));
    EXPECT_TRUE(Manager().SessionExists(3));
    EXPECT_EQ(1u, m_log.Count(1, L"Initializing session 3\r\n"));
    EXPECT_TRUE(m_events.WaitFor(L"3 sign-in-required"));
    EXPECT_EQ(1u, m_events.Count(L"init 3"));
}

TEST_F(SessionManagerTest, SignedInQuery) {
    SignInAtService(4, kAlice);
    Manager().FindOrCreateSession(3);
    Manager().FindOrCreateSession(4);

    EXPECT_FALSE(Manager().IsSessionSignedIn(3));
    EXPECT_TRUE(Manager().IsSessionSignedIn(4));
    EXPECT_FALSE(Manager().IsSessionSignedIn(5));
    EXPECT_FALSE(Manager().SessionExists(5));
}

TEST_F(SessionManagerTest, ExistingSessions) {
    const std::vector<WtsSessionInfo> sessions = {{0, WTSActive}, {1, WTSActive}, {2, WTSDisconnected}, {5, WTSActive}};
    const struct {
        const char* name;
        DWORD osClass;
        WtsEnumerateStatus status;
        DWORD error;
        std::vector<DWORD> created;
        DWORD logLevel;  // 0: no line of its own
        std::wstring logLine;
    } cases[] = {
        {"active ones, session 0 too", 10, WtsEnumerateStatus::kEnumerated, 0, {0, 1, 5}, 1,
         L"Existing session 2 found, status = 4\r\n"},
        {"Vista: not session 0", 7, WtsEnumerateStatus::kEnumerated, 0, {1, 5}, 1,
         L"Existing session 0 found, status = 0\r\n"},
        {"Windows 7: not session 0", 8, WtsEnumerateStatus::kEnumerated, 0, {1, 5}, 0, L""},
        {"no export", 10, WtsEnumerateStatus::kExportMissing, 0, {}, 2, L"Failed to find WTSEnumerateSessions\r\n"},
        {"the call fails", 10, WtsEnumerateStatus::kCallFailed, 1702, {}, 2,
         L"WTSEnumerateSessions failed (error 1702)\r\n"},
        {"no library", 10, WtsEnumerateStatus::kLibraryNotLoaded, 0, {}, 0, L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        m_module.osClass = c.osClass;
        NewManager();
        m_log.All().clear();
        m_wts.enumerateResult.status = c.status;
        m_wts.enumerateResult.error = c.error;
        m_wts.enumerateResult.sessions.clear();
        if (c.status == WtsEnumerateStatus::kEnumerated) m_wts.enumerateResult.sessions = sessions;

        Manager().addExistingSessions();

        for (const DWORD id : {0u, 1u, 2u, 5u}) {
            const bool expected = std::find(c.created.begin(), c.created.end(), id) != c.created.end();
            EXPECT_EQ(expected, Manager().SessionExists(id)) << id;
        }
        if (c.logLevel != 0) {
            EXPECT_TRUE(m_log.Has(c.logLevel, c.logLine));
        }
        if (c.status != WtsEnumerateStatus::kEnumerated) {
            EXPECT_EQ(0u, m_log.Count(1, L"Existing session 1 found, status = 0\r\n"));
        }
        if (c.status == WtsEnumerateStatus::kLibraryNotLoaded) {
            EXPECT_EQ(0u, m_log.All().size());
        }
    }
    m_module.osClass = 10;
}

TEST_F(SessionManagerTest, FilterState) {
    // alice: a week that blocks something, the allowed list only, safe search, a blocked site.
    SetUserSetting(kAlice, CUserSettings::kTimeBlocks, NuvCom::CVariant(L"0"));
    SetUserSetting(kAlice, CUserSettings::kAllowedListOnly, NuvCom::CVariant(1));
    SetUserSetting(kAlice, CUserSettings::kSafeSearch, NuvCom::CVariant(true));
    SetUserSetting(kAlice, CUserSettings::kBlockedSites, NuvCom::CVariant(L"bad.example"));
    SetProtected(kBob, false);  // the unrestricted defaults
    SignInAtService(4, kAlice);
    SignInAtService(5, kBob);
    for (const DWORD id : {3u, 4u, 5u}) Manager().FindOrCreateSession(id);

    struct Expected {
        DWORD id;
        BYTE timeRestricted, allowedListOnly, safeSearchOff, noCategoryFiltering, blockedListEmpty;
    };
    const Expected expected[] = {
        {3, 0, 0, 0, 0, 0},  // nobody signed in
        {4, 1, 1, 0, 0, 0},
        {5, 0, 0, 1, 1, 1},
    };
    auto check = [&](const SessionFilterFlags& flags, const Expected& e) {
        SCOPED_TRACE(e.id);
        SessionFilterState state;
        ASSERT_TRUE(flags.Find(e.id, state));
        EXPECT_EQ(e.timeRestricted, state.timeRestricted);
        EXPECT_EQ(e.allowedListOnly, state.allowedListOnly);
        EXPECT_EQ(e.safeSearchOff, state.safeSearchOff);
        EXPECT_EQ(e.noCategoryFiltering, state.noCategoryFiltering);
        EXPECT_EQ(e.blockedListEmpty, state.blockedListEmpty);
    };

    SessionFilterFlags all;
    Manager().CollectAllSessionFilterState(all);
    EXPECT_EQ(3u, all.timeRestricted.size());
    for (const Expected& e : expected) check(all, e);

    for (const Expected& e : expected) {
        SessionFilterFlags one;
        Manager().CollectSessionFilterState(e.id, one);
        EXPECT_EQ(1u, one.safeSearchOff.size());
        check(one, e);
    }
    SessionFilterFlags none;
    Manager().CollectSessionFilterState(9, none);  // no such session: nothing written
    SessionFilterState state;
    EXPECT_FALSE(none.Find(9, state));
}

// The only test of this program that resumes sessions as the temporary adult: its line is
// logged once in the life of the process.
TEST_F(SessionManagerTest, ProblemsReachPausedConnections) {
    CSession* const three = Manager().FindOrCreateSession(3);
    CSession* const four = Manager().FindOrCreateSession(4);
    RecordingHeldConnection first(L"first", m_calls);
    RecordingHeldConnection second(L"second", m_calls);
    three->RegisterHandler(&first);
    four->RegisterHandler(&second);
    m_calls.Clear();

    m_module.ReportProblem(50, false, 1);

    EXPECT_EQ(L"adult_temp", UserOf(*three));
    EXPECT_EQ(L"adult_temp", UserOf(*four));
    EXPECT_EQ(1u, m_calls.Count(L"first Resume"));
    EXPECT_EQ(1u, m_calls.Count(L"second Resume"));
    EXPECT_EQ(1, first.References());
    EXPECT_EQ(1, second.References());
    EXPECT_EQ(1u, m_log.Count(2, L"Resuming connections as temporary adult user\r\n"));

    // Later: again where nobody is signed in, without the line.
    four->Logoff();
    m_module.ReportProblem(51, false, E_FAIL);
    EXPECT_EQ(L"adult_temp", UserOf(*four));
    EXPECT_EQ(1u, m_log.Count(2, L"Resuming connections as temporary adult user\r\n"));

    // A problem that forces traffic through lets paused connections pass unscanned.
    four->Logoff();
    RecordingHeldConnection third(L"third", m_calls);
    four->RegisterHandler(&third);
    m_module.ReportProblem(40, true, E_FAIL);
    EXPECT_EQ(1u, m_calls.Count(L"third Ignore"));
    EXPECT_EQ(0u, m_calls.Count(L"third Resume"));
    EXPECT_EQ(1, third.References());
    EXPECT_FALSE(Manager().IsSessionSignedIn(4));
    EXPECT_TRUE(m_log.Has(2, L"Ignoring 1 paused handler in Session 4\r\n"));

    // Nothing is resumed during shutdown.
    m_module.shuttingDown = true;
    Manager().ResumeAllPausedConnectionsAsAdultTemp();
    EXPECT_FALSE(Manager().IsSessionSignedIn(4));
    m_module.shuttingDown = false;
}

TEST_F(SessionManagerTest, UpdateUsersThenTellsTheFirewall) {
    SignInAtService(3, kAlice);
    SignInAtService(4, kBob);
    Manager().FindOrCreateSession(3);
    Manager().FindOrCreateSession(4);
    ASSERT_HRESULT_SUCCEEDED(m_control->RemoveUser(NuvCom::CBstr(kBob).Get()));
    m_wts.userNames[4] = L"somebody";
    m_calls.Clear();

    Manager().UpdateUsers();

    EXPECT_TRUE(Manager().IsSessionSignedIn(3));
    EXPECT_FALSE(Manager().IsSessionSignedIn(4));
    EXPECT_EQ((Strings{L"firewall logoff Bob", L"firewall settings"}), m_calls.Calls());
}

TEST_F(SessionManagerTest, ListenerReachesTheFirewallUntilShutdown) {
    CSession* const session = Manager().FindOrCreateSession(3);
    {
        Tessal::CAutoLock lock(session->GetLock());
        session->Logon(CSafeStringW(kAlice));
        session->Logon(CSafeStringW(kBob));
    }
    EndManager();  // bob is signed out after the firewall thread was stopped

    EXPECT_EQ((Strings{L"firewall logon Alice 3", L"firewall logoff Alice", L"firewall logon Bob 3",
                       L"firewall stopped"}),
              m_calls.Calls());
    EXPECT_EQ((Strings{L"sign-in-required", L"sign-in", L"sign-out", L"sign-in", L"sign-out"}), EventsOf(3));
}

TEST_F(SessionManagerTest, DeletingAnUnknownSessionStillSignsOutAtTheService) {
    m_control->ClearLogs();
    Manager().DeleteSession(9);
    EXPECT_EQ(1u, ServiceCallCount(L"IConfigSignIn.SignOut"));
    EXPECT_TRUE(m_log.Has(1, L"CSessionManager::DeleteSession( 9 )"));
}

// ---------------------------------------------------------------------------------------------
// Protected users.

NuvCom::CVariant ArrayVariant(NuvCom::CSafeArray array, VARTYPE elementType) {
    NuvCom::CVariant value;
    value.Get()->vt = VT_ARRAY | elementType;
    value.Get()->parray = array.Detach();
    return value;
}

NuvCom::CVariant VariantList(std::vector<NuvCom::CVariant> elements, LONG lowerBound = 0) {
    NuvCom::CSafeArray array =
        NuvCom::CSafeArray::CreateVector(VT_VARIANT, static_cast<ULONG>(elements.size()), lowerBound);
    for (std::size_t i = 0; i < elements.size(); ++i) {
        EXPECT_HRESULT_SUCCEEDED(array.PutElement(lowerBound + static_cast<LONG>(i), elements[i].Get()));
    }
    return ArrayVariant(std::move(array), VT_VARIANT);
}

NuvCom::CVariant TextList(const std::vector<std::wstring>& texts) {
    NuvCom::CSafeArray array = NuvCom::CSafeArray::CreateVector(VT_BSTR, static_cast<ULONG>(texts.size()));
    for (std::size_t i = 0; i < texts.size(); ++i) {
        NuvCom::CBstr text(texts[i].c_str());
        EXPECT_HRESULT_SUCCEEDED(array.PutElement(static_cast<LONG>(i), text.Get()));
    }
    return ArrayVariant(std::move(array), VT_BSTR);
}

// [display name, user id, is administrator], indexed from `lowerBound`.
NuvCom::CVariant WindowsUser(const wchar_t* id, LONG lowerBound = 0) {
    std::vector<NuvCom::CVariant> fields;
    fields.emplace_back(std::wstring(L"Name of ") + id);
    fields.emplace_back(id);
    fields.emplace_back(false);
    return VariantList(std::move(fields), lowerBound);
}

// The stand-in statistics DLL is loaded into the module's wrapper first, with the suite's folder
// pointing at a copy of it only for that moment: the wrapper keeps the DLL, so no report looks
// for it again, and the prefix is left as it was. NuvConfig knows "p1" and "p2" protected and
// "u1" not; nobody is listed as a Windows user.
class ProtectedUsers : public SessionFixture {
public:
    static constexpr const wchar_t* kSuiteKey = L"SOFTWARE\\Oberix\\Dov";

    void SetUp() override {
        SessionFixture::SetUp();
        wchar_t temp[MAX_PATH] = {};
        ASSERT_NE(0u, ::GetTempPathW(MAX_PATH, temp));
        m_scratch = std::wstring(temp) + L"nuv-sessions-" + std::to_wstring(::GetCurrentProcessId());
        std::error_code ignored;
        fs::remove_all(m_scratch, ignored);
        ASSERT_TRUE(fs::create_directories(m_scratch));
        wchar_t exe[MAX_PATH] = {};
        ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
        m_dll = m_scratch + L"\\QvLWAPI.DLL";
        fs::copy_file(fs::path(exe).parent_path() / L"lwapi" / L"QvLWAPI.DLL", m_dll);
        m_record = m_scratch + L"\\record.txt";
        ::SetEnvironmentVariableW(QVLWAPI_RECORD_VARIABLE, m_record.c_str());
        ASSERT_NO_FATAL_FAILURE(LoadStatisticsDll());
        if (IsSkipped()) return;

        ASSERT_HRESULT_SUCCEEDED(m_nuvControl->Reset());
        for (const auto& user : {std::make_pair(L"p1", -1L), std::make_pair(L"p2", -1L), std::make_pair(L"u1", 0L)}) {
            LONG result = 0;
            ASSERT_HRESULT_SUCCEEDED(m_nuvConfig->AddUser(NuvCom::CBstr(user.first).Get(), &result));
            ASSERT_HRESULT_SUCCEEDED(
                m_nuvConfig->SetUserProtected(NuvCom::CBstr(user.first).Get(), user.second, &result));
            ASSERT_EQ(0, result);
        }
    }
    void TearDown() override {
        m_module.lightWeightApi.Unload();
        ::SetEnvironmentVariableW(QVLWAPI_RECORD_VARIABLE, nullptr);
        ::SetEnvironmentVariableW(QVLWAPI_FAIL_VARIABLE, nullptr);
        std::error_code ignored;
        if (!m_scratch.empty()) fs::remove_all(m_scratch, ignored);
        SessionFixture::TearDown();
    }

    // The suite's key in this program's own machine registry points at the scratch copy.
    void LoadStatisticsDll() {
        Tessal::UniqueHKey key;
        ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSuiteKey, 0, nullptr, 0, KEY_SET_VALUE,
                                                   nullptr, key.Put(), nullptr));
        const DWORD bytes = static_cast<DWORD>((m_scratch.size() + 1) * sizeof(wchar_t));
        ::RegSetValueExW(key.Get(), L"Install Dir", 0, REG_SZ, reinterpret_cast<const BYTE*>(m_scratch.c_str()), bytes);
        key.Reset();
        const DWORD loaded = m_module.lightWeightApi.Init();
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kSuiteKey);
        ASSERT_EQ(0u, loaded);
        ASSERT_NE(nullptr, ::GetModuleHandleW(m_dll.c_str()))
            << "the statistics DLL did not load from " << fs::path(m_scratch).string();
    }

    void SetList(NuvCom::CVariant list) { ASSERT_HRESULT_SUCCEEDED(m_nuvControl->SetWindowsUserList(*list.Get())); }
    void AddWindowsUser(const wchar_t* id) {
        ASSERT_HRESULT_SUCCEEDED(
            m_nuvControl->AddWindowsUser(NuvCom::CBstr(L"Name").Get(), NuvCom::CBstr(id).Get(), VARIANT_FALSE));
    }

    Strings Reports() {
        Strings reports;
        Tessal::UniqueHandle file(::CreateFileW(m_record.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                nullptr, OPEN_EXISTING, 0, nullptr));
        if (!file) return reports;
        std::string text(::GetFileSize(file.Get(), nullptr), '\0');
        DWORD read = 0;
        if (!text.empty()) ::ReadFile(file.Get(), &text[0], static_cast<DWORD>(text.size()), &read, nullptr);
        for (std::size_t start = 0, end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
            const std::string line = text.substr(start, end - start);
            if (line.rfind("ReportStatisticData|", 0) == 0) reports.emplace_back(line.begin(), line.end());
        }
        return reports;
    }

    static std::wstring Report(int count, const wchar_t* result = L"0x00000000") {
        return L"ReportStatisticData|NUV\\Activity|UserProtected|19|" + std::to_wstring(count) + L"|0|" + result;
    }

    std::wstring m_scratch;
    std::wstring m_dll;
    std::wstring m_record;
};

TEST_F(ProtectedUsers, CountedFromTheUserList) {
    NuvCom::CSafeArray twoDimensional;
    {
        SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
        twoDimensional.Reset(::SafeArrayCreate(VT_VARIANT, 2, bounds));
        for (LONG row = 0; row < 2; ++row) {
            LONG index[2] = {0, row};
            NuvCom::CVariant user = WindowsUser(row == 0 ? L"p1" : L"p2");
            ASSERT_HRESULT_SUCCEEDED(::SafeArrayPutElement(twoDimensional.Get(), index, user.Get()));
        }
    }
    struct Case {
        const char* name;
        NuvCom::CVariant list;
        int expected;
    };
    std::vector<Case> cases;
    cases.push_back(
        {"two of three protected", VariantList({WindowsUser(L"p1"), WindowsUser(L"u1"), WindowsUser(L"p2")}), 2});
    cases.push_back({"list indexed from 1", VariantList({WindowsUser(L"p1"), WindowsUser(L"p2")}, 1), 2});
    cases.push_back({"users indexed from 5", VariantList({WindowsUser(L"p1", 5), WindowsUser(L"p2", 5)}), 2});
    cases.push_back({"unknown user", VariantList({WindowsUser(L"nobody")}), 0});
    cases.push_back({"no list", NuvCom::CVariant(), 0});
    cases.push_back({"a list of texts", TextList({L"p1", L"p2"}), 0});
    cases.push_back({"elements of other forms are skipped",
                     VariantList({NuvCom::CVariant(L"p1"), WindowsUser(L"p1"), VariantList({NuvCom::CVariant(L"p2")}),
                                  VariantList({NuvCom::CVariant(L"x"), NuvCom::CVariant(7)}), TextList({L"x", L"p2"}),
                                  WindowsUser(L"p2")}),
                     2});
    cases.push_back({"two dimensions", ArrayVariant(std::move(twoDimensional), VT_VARIANT), 0});
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetList(c.list);
        m_log.All().clear();
        Manager().reportToVelmora();
        EXPECT_EQ(1u, m_log.Count(1, L"Found " + std::to_wstring(c.expected) + L" protected users\r\n"));
    }
}

TEST_F(ProtectedUsers, FailedQueries) {
    AddWindowsUser(L"p1");
    AddWindowsUser(L"p2");

    ASSERT_HRESULT_SUCCEEDED(m_nuvControl->FailCall(NuvConfigOp_IsUserProtected, E_FAIL, 0, 1));
    Manager().reportToVelmora();
    EXPECT_TRUE(m_log.Has(1, L"Found 1 protected users\r\n"));

    m_log.All().clear();
    ASSERT_HRESULT_SUCCEEDED(m_nuvControl->FailCall(NuvConfigOp_GetVORLUserList, E_ACCESSDENIED, 0, 1));
    Manager().reportToVelmora();
    EXPECT_TRUE(m_log.Has(4, L"reportToVelmora: GetVORLUserList failed 0x80070005\r\n"));
    EXPECT_EQ(0u, m_log.Count(1, L"Found 2 protected users\r\n"));
}

TEST_F(ProtectedUsers, SentOnlyWhenTheCountChanges) {
    AddWindowsUser(L"p1");
    AddWindowsUser(L"u1");

    Manager().reportToVelmora();
    EXPECT_EQ(Strings{Report(1)}, Reports());
    EXPECT_TRUE(m_log.Has(1, L"Reported 1 user protected to Velmora, hr = 0x00000000\r\n"));

    // Two log-ons with the count unchanged.
    CSession* const session = Manager().FindOrCreateSession(3);
    {
        Tessal::CAutoLock lock(session->GetLock());
        session->Logon(CSafeStringW(kAlice));
        session->Logon(CSafeStringW(kBob));
    }
    EXPECT_EQ(Strings{Report(1)}, Reports());

    // A count whose report failed is not sent again until it changes.
    AddWindowsUser(L"p2");
    ::SetEnvironmentVariableW(QVLWAPI_FAIL_VARIABLE, L"80004005");
    Manager().UpdateUsers();
    Manager().reportToVelmora();
    ::SetEnvironmentVariableW(QVLWAPI_FAIL_VARIABLE, nullptr);
    EXPECT_EQ((Strings{Report(1), Report(2, L"0x80004005")}), Reports());
    EXPECT_TRUE(m_log.Has(1, L"Reported 2 user protected to Velmora, hr = 0x80004005\r\n"));

    SetList(VariantList({WindowsUser(L"p2")}));
    Manager().UpdateUsers();
    EXPECT_EQ((Strings{Report(1), Report(2, L"0x80004005"), Report(1)}), Reports());
}

// The real calls: the library and its export exist on every system and the call succeeds (Wine
// lists no sessions); any user may ask for the user of its own session.
TEST(RealTerminalServices, EnumerateAndAskForTheUserName) {
    const WtsEnumerateResult result = GetWtsApi().EnumerateSessions();
    EXPECT_EQ(WtsEnumerateStatus::kEnumerated, result.status) << result.error;

    DWORD sessionId = 0;
    ASSERT_TRUE(::ProcessIdToSessionId(::GetCurrentProcessId(), &sessionId));
    wchar_t expected[256] = {};
    DWORD size = 256;
    ASSERT_TRUE(::GetUserNameW(expected, &size));
    std::wstring userName;
    ASSERT_TRUE(GetWtsApi().QuerySessionUserName(sessionId, userName));
    EXPECT_EQ(expected, userName);
}

}  // namespace
