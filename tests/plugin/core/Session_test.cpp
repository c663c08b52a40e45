// One session against the stand-in configuration service. Most tests use a session made on its
// own, never initialized: it has no event thread, so the items it queues stay in its queue and
// the test takes them out in order. Initialization, problems and deletion go through the manager
// with real event threads.

#include "plugin/core/Session.h"

#include "tests/plugin/core/SessionTestDoubles.h"
#include "tests/support/ScopedReplacement.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using namespace NuvTest;

constexpr DWORD kSession = 3;
constexpr DWORD kMarkerEvent = 99;

// The items queued so far, in order; a marker item ends the take, so nothing blocks.
std::vector<std::wstring> TakeQueued(CSession& session) {
    session.PutEventWork(new CEventWork(kMarkerEvent, nullptr));
    std::vector<std::wstring> names;
    for (;;) {
        const std::unique_ptr<CEventWork> work(session.GetEventWork());
        if (!work || work->EventId() == kMarkerEvent) break;
        names.push_back(EventName(work->EventId()));
    }
    return names;
}

using Strings = std::vector<std::wstring>;

class SessionTest : public SessionFixture {
public:
    void SetUp() override {
        SessionFixture::SetUp();
        m_session = std::make_unique<CSession>(kSession, &m_listener, m_module);
    }
    void TearDown() override {
        m_session.reset();
        SessionFixture::TearDown();
    }

    // Signs `id` in and forgets what that queued, called and logged.
    void SignedIn(const wchar_t* id) {
        m_session->Logon(CSafeStringW(id));
        ASSERT_EQ(id, UserOf(*m_session));
        TakeQueued(*m_session);
        m_calls.Clear();
        m_log.All().clear();
    }

    RecordingListener m_listener{m_calls};
    std::unique_ptr<CSession> m_session;
};

// ---------------------------------------------------------------------------------------------

TEST_F(SessionTest, LogonPaths) {
    const struct {
        const char* name;
        const wchar_t* signedIn;  // null: nobody before the call
        bool shuttingDown;
        const wchar_t* logon;
        std::wstring expectedUser;
        Strings expectedEvents;
        Strings expectedCalls;  // listener, in order
        DWORD logLevel;
        std::wstring logLine;
    } cases[] = {
        {"first user", nullptr, false, kAlice, kAlice, {L"sign-in"}, {L"logon Alice 3"}, 1,
         L"User \"Alice\" [id=alice] logged in to Session 3\r\n"},
        {"the same user again", kAlice, false, kAlice, kAlice, {}, {}, 1,
         L"User \"alice\" is already signed into session 3\r\n"},
        {"another user: out, then in", kAlice, false, kBob, kBob, {L"sign-out", L"sign-in"},
         {L"logoff Alice 3", L"logon Bob 3"}, 1, L"User \"Alice\" [id=alice] logged out of Session 3\r\n"},
        {"unknown user leaves nobody", kAlice, false, L"ghost", L"", {L"sign-out"}, {L"logoff Alice 3"}, 2,
         L"Can't log in user (ghost) that doesn't exist\r\n"},
        {"refused during shutdown", kAlice, true, kBob, kAlice, {}, {}, 2,
         L"Rejecting logon of user bob in session 3 because NUV is shutting down\r\n"},
        {"the temporary adult", nullptr, false, L"adult_temp", L"adult_temp", {L"sign-in"},
         {L"logon adult_temp 3"}, 1, L"User \"adult_temp\" [id=adult_temp] logged in to Session 3\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        m_session = std::make_unique<CSession>(kSession, &m_listener, m_module);
        m_module.shuttingDown = false;
        if (c.signedIn != nullptr) SignedIn(c.signedIn);
        m_calls.Clear();
        m_log.All().clear();
        m_module.shuttingDown = c.shuttingDown;

        m_session->Logon(CSafeStringW(c.logon));

        EXPECT_EQ(c.expectedUser, UserOf(*m_session));
        EXPECT_EQ(!c.expectedUser.empty(), m_session->GetSettings() != nullptr);
        if (m_session->GetSettings() != nullptr) {
            EXPECT_EQ(c.expectedUser, Text(m_session->GetSettings()->m_strUserId));
        }
        EXPECT_EQ(c.expectedEvents, TakeQueued(*m_session));
        EXPECT_EQ(c.expectedCalls, m_calls.Calls());
        EXPECT_TRUE(m_log.Has(c.logLevel, c.logLine));
    }
    m_module.shuttingDown = false;
}

TEST_F(SessionTest, EmptyIdAndLogoffWithoutUserDoNothing) {
    m_session->Logoff();
    m_session->Logon(CSafeStringW(L""));
    EXPECT_FALSE(m_session->IsSignedIn());
    EXPECT_EQ(Strings{}, TakeQueued(*m_session));
    EXPECT_EQ(Strings{}, m_calls.Calls());

    SignedIn(kAlice);
    m_session->Logon(CSafeStringW(L""));
    EXPECT_EQ(kAlice, UserOf(*m_session));
    EXPECT_EQ(Strings{}, TakeQueued(*m_session));
}

TEST_F(SessionTest, ActivityLogHearsOnlyProtectedUsers) {
    RecordingActivityLog activity(m_calls);
    activity.result = 5;
    m_module.logManager = &activity;
    SetProtected(kBob, false);

    m_session->Logon(CSafeStringW(kAlice));  // protected
    m_session->Logon(CSafeStringW(kBob));    // unprotected: alice's log-off only
    m_session->Logoff();

    EXPECT_EQ((Strings{L"logon Alice 3", L"activity logon Alice 3", L"logoff Alice 3",
                       L"activity logoff Alice 3", L"logon Bob 3", L"logoff Bob 3"}),
              m_calls.Calls());
    EXPECT_TRUE(m_log.Has(4, L"Unable to log user log on event, dwRet=5\r\n"));
    EXPECT_TRUE(m_log.Has(4, L"Unable to log user log off event, dwRet=5\r\n"));
    // A failing activity log does not stop the sign-in or the sign-out.
    EXPECT_EQ((Strings{L"sign-in", L"sign-out", L"sign-in", L"sign-out"}), TakeQueued(*m_session));
    m_module.logManager = nullptr;
}

// ---------------------------------------------------------------------------------------------

TEST_F(SessionTest, PausedConnectionsResumeAfterTheSignInIsQueued) {
    RecordingHeldConnection first(L"first", m_calls);
    RecordingHeldConnection second(L"second", m_calls);
    m_session->RegisterHandler(nullptr);
    m_session->RegisterHandler(&first);
    m_session->RegisterHandler(&second);
    EXPECT_EQ(2u, m_session->PausedHandlerCount());
    EXPECT_EQ(2, first.References());

    Strings queuedAtResume;
    std::wstring userAtResume;
    first.onResume = [&] {
        userAtResume = UserOf(*m_session);
        queuedAtResume = TakeQueued(*m_session);
    };
    m_session->Logon(CSafeStringW(L"ghost"));  // no such user: nothing resumes
    EXPECT_EQ(2u, m_session->PausedHandlerCount());

    m_session->Logon(CSafeStringW(kAlice));

    EXPECT_EQ(kAlice, userAtResume);
    EXPECT_EQ(Strings{L"sign-in"}, queuedAtResume);
    EXPECT_EQ((Strings{L"logon Alice 3", L"first dumpUser", L"first Resume", L"second dumpUser",
                       L"second Resume"}),
              m_calls.Calls());
    EXPECT_EQ(0u, m_session->PausedHandlerCount());
    EXPECT_EQ(1, first.References());
    EXPECT_EQ(1, second.References());
}

TEST_F(SessionTest, IgnoringPausedConnections) {
    for (const int count : {0, 1, 2}) {
        SCOPED_TRACE(count);
        std::vector<std::unique_ptr<RecordingHeldConnection>> handlers;
        for (int i = 0; i < count; ++i) {
            handlers.push_back(std::make_unique<RecordingHeldConnection>(std::to_wstring(i), m_calls));
            m_session->RegisterHandler(handlers.back().get());
        }
        m_calls.Clear();
        m_log.All().clear();

        m_session->ignoreAllPausedHandlers();

        Strings expected;
        for (int i = 0; i < count; ++i) expected.push_back(std::to_wstring(i) + L" Ignore");
        EXPECT_EQ(expected, m_calls.Calls());
        for (const auto& handler : handlers) EXPECT_EQ(1, handler->References());
        EXPECT_EQ(0u, m_session->PausedHandlerCount());
        const std::wstring line = count == 1
                                      ? L"Ignoring 1 paused handler in Session 3\r\n"
                                      : L"Ignoring " + std::to_wstring(count) + L" paused handlers in Session 3\r\n";
        EXPECT_EQ(count == 0 ? 0u : 1u, m_log.Count(2, line));
    }
}

// ---------------------------------------------------------------------------------------------

TEST_F(SessionTest, TempAllowedDomainsAndOriginatingHosts) {
    m_session->AddToTempAllowedDomainList(CSafeStringA("Cdn.Example.COM"), CSafeStringA("News.Example.ORG"));
    EXPECT_TRUE(m_log.Has(1, L"A new temp allowed domain Cdn.Example.COM has been added to session 3"));
    EXPECT_TRUE(m_log.Has(1, L"A new originating host news.example.org has been added to session 3"));

    m_log.All().clear();
    m_session->AddToTempAllowedDomainList(CSafeStringA("cdn.example.com"), CSafeStringA("NEWS.example.org"));
    m_session->AddToTempAllowedDomainList(CSafeStringA(""), CSafeStringA("Second.Host"));
    m_session->AddToTempAllowedDomainList(CSafeStringA("Only.Domain"), CSafeStringA(nullptr));
    EXPECT_EQ(2u, m_log.All().size());  // the two new entries only

    // Leaving and signing in keeps what the session learned.
    SignedIn(kAlice);
    m_session->Logoff();

    const struct {
        const char* text;
        bool domain;
        bool host;
    } lookups[] = {
        {"cdn.example.com", true, false},
        {"Cdn.Example.COM", false, false},  // looked up as given, byte for byte
        {"only.domain", true, false},
        {"news.example.org", false, true},
        {"News.Example.ORG", false, false},
        {"second.host", false, true},
        {"", false, false},
        {"example.com", false, false},
    };
    for (const auto& l : lookups) {
        SCOPED_TRACE(l.text);
        EXPECT_EQ(l.domain, m_session->IsTempAllowedDomain(CSafeStringA(l.text)));
        EXPECT_EQ(l.host, m_session->IsOriginatingHost(CSafeStringA(l.text)));
    }
}

// ---------------------------------------------------------------------------------------------

TEST_F(SessionTest, UpdateUser) {
    const struct {
        const char* name;
        bool initiallyProtected;
        std::function<void(SessionTest&)> change;
        std::optional<std::wstring> windowsUser;  // none: the query fails
        std::wstring expectedUser;
        Strings expectedEvents;
        Strings expectedCalls;
        LONG expectedAgeGroup;  // of the record held afterwards (when signed in)
    } cases[] = {
        {"found: the record is replaced, no event", true,
         [](SessionTest& t) { t.SetUserSetting(kAlice, CUserSettings::kAgeGroup, NuvCom::CVariant(3)); },
         std::nullopt, kAlice, {}, {}, 3},
        {"found, no longer protected", true, [](SessionTest& t) { t.SetProtected(kAlice, false); }, std::nullopt,
         kAlice, {}, {L"activity logoff Alice 3"}, CUserSettings::kDefaultAgeGroup},
        {"found, now protected", false, [](SessionTest& t) { t.SetProtected(kAlice, true); }, std::nullopt, kAlice,
         {}, {L"activity logon Alice 3"}, CUserSettings::kDefaultAgeGroup},
        {"gone, another Windows user", true,
         [](SessionTest& t) { t.m_control->RemoveUser(NuvCom::CBstr(kAlice).Get()); }, L"someone", L"",
         {L"sign-out"}, {L"logoff Alice 3", L"activity logoff Alice 3"}, 0},
        {"gone, the same Windows user", true,
         [](SessionTest& t) { t.m_control->RemoveUser(NuvCom::CBstr(kAlice).Get()); }, kAliceName, kAlice, {}, {},
         CUserSettings::kDefaultAgeGroup},
        {"gone, the query fails", true,
         [](SessionTest& t) { t.m_control->RemoveUser(NuvCom::CBstr(kAlice).Get()); }, std::nullopt, kAlice, {}, {},
         CUserSettings::kDefaultAgeGroup},
    };
    RecordingActivityLog activity(m_calls);
    m_module.logManager = &activity;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_HRESULT_SUCCEEDED(m_control->Reset());
        AddUser(kAlice, kAliceName);
        SetProtected(kAlice, c.initiallyProtected);
        m_wts.userNames.clear();
        if (c.windowsUser) m_wts.userNames[kSession] = *c.windowsUser;
        m_session = std::make_unique<CSession>(kSession, &m_listener, m_module);
        SignedIn(kAlice);
        c.change(*this);

        m_session->updateUser();

        EXPECT_EQ(c.expectedUser, UserOf(*m_session));
        EXPECT_EQ(c.expectedEvents, TakeQueued(*m_session));
        EXPECT_EQ(c.expectedCalls, m_calls.Calls());
        if (!c.expectedUser.empty()) {
            ASSERT_NE(nullptr, m_session->GetSettings());
            EXPECT_EQ(c.expectedAgeGroup, m_session->GetSettings()->m_nAgeGroup);
        } else {
            EXPECT_EQ(nullptr, m_session->GetSettings());
            EXPECT_TRUE(m_log.Has(
                2, L"Logging off Alice from session 3 because UserID alice doesn't exist anymore\r\n"));
        }
    }
    m_module.logManager = nullptr;
}

TEST_F(SessionTest, UpdateUserWithoutUserAsksNothing) {
    m_control->ClearLogs();
    m_session->updateUser();
    EXPECT_EQ(0u, ServiceCallCount(L"IConfigSettings.Get"));
    EXPECT_EQ(Strings{}, TakeQueued(*m_session));
}

// Without a configuration client (deleted at shutdown) nobody can be found.
TEST_F(SessionTest, NoConfigurationClient) {
    SignedIn(kAlice);
    m_module.config.reset();
    m_wts.userNames[kSession] = kAliceName;

    m_session->Logon(CSafeStringW(kBob));
    EXPECT_FALSE(m_session->IsSignedIn());
    EXPECT_TRUE(m_log.Has(2, L"Can't log in user (bob) that doesn't exist\r\n"));
    EXPECT_EQ(Strings{L"sign-out"}, TakeQueued(*m_session));
}

// ---------------------------------------------------------------------------------------------
// Through the manager, with event threads.

using SessionLifeTest = SessionFixture;

TEST_F(SessionLifeTest, InitializeStates) {
    const struct {
        const char* name;
        std::function<void(SessionLifeTest&)> arrange;
        std::wstring expectedUser;
        Strings expectedEvents;  // up to the session's end (the manager's, which signs out)
        DWORD logLevel;
        std::wstring logLine;
    } cases[] = {
        {"signed in at the service", [](SessionLifeTest& t) { t.SignInAtService(kSession, kAlice); }, kAlice,
         {L"sign-in", L"sign-out"}, 1, L"User Alice is already logged in\r\n"},
        {"a problem is current", [](SessionLifeTest& t) { t.m_module.currentProblem = 50; }, L"adult_temp",
         {L"sign-in", L"sign-out"}, 2, L"Signing in temporary adult user because NUV has problem 50\r\n"},
        {"nobody", [](SessionLifeTest&) {}, L"", {L"sign-in-required"}, 1, L"Initializing session 3\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_HRESULT_SUCCEEDED(m_control->SignOutUser(kSession));
        m_module.currentProblem = 0;
        // A new configuration client too: its flags must show what this case gathered.
        m_module.Detach();
        m_module.config = std::make_unique<CNuvConfig>(m_module);
        NewManager();
        m_events.Clear();
        m_log.All().clear();
        c.arrange(*this);

        CSession* const session = Manager().FindOrCreateSession(kSession);

        EXPECT_EQ(c.expectedUser, UserOf(*session));
        EXPECT_TRUE(m_log.Has(c.logLevel, c.logLine));
        // The session's flags were gathered once somebody signed in.
        SessionFilterState state;
        EXPECT_EQ(!c.expectedUser.empty(), m_module.config->GetSessionFilterState(kSession, state));
        EndManager();
        EXPECT_EQ(c.expectedEvents, EventsOf(kSession));
    }
    m_module.currentProblem = 0;
}

TEST_F(SessionLifeTest, SessionZeroIsInertOnVistaAndWindows7) {
    for (const DWORD osClass : {7u, 8u, 10u}) {
        SCOPED_TRACE(osClass);
        m_module.osClass = osClass;
        NewManager();
        m_events.Clear();
        m_log.All().clear();

        CSession* const zero = Manager().FindOrCreateSession(0);
        Manager().FindOrCreateSession(1);
        zero->Logon(CSafeStringW(kAlice));  // signs in; an item with no event thread is dropped
        EndManager();

        const bool inert = osClass != 10;
        EXPECT_EQ(inert, m_log.Has(2, L"Not initializing Session 0 because we're on Vista\r\n"));
        EXPECT_EQ(inert ? 0u : 1u, m_events.Count(L"init 0"));
        EXPECT_EQ(inert ? Strings{} : (Strings{L"sign-in-required", L"sign-in", L"sign-out"}), EventsOf(0));
        EXPECT_EQ(Strings{L"sign-in-required"}, EventsOf(1));
    }
    m_module.osClass = 10;
}

TEST_F(SessionLifeTest, ItemsForAnEndedEventThreadAreFreed) {
    std::atomic<int> alive{0};
    m_module.initialized = false;  // the event thread ends at once
    CSession* const session = Manager().FindOrCreateSession(kSession);
    // Items put while the thread was still ending stay queued; once it has ended, one is freed
    // by the put itself.
    bool freedAtOnce = false;
    for (const ULONGLONG end = ::GetTickCount64() + 5000; !freedAtOnce && ::GetTickCount64() < end;) {
        const int before = alive;
        session->PutEventWork(new CEventWork(kEventUrlVisited, std::make_unique<CountedParameters>(alive)));
        freedAtOnce = alive == before;
        if (!freedAtOnce) ::Sleep(10);
    }
    EXPECT_TRUE(freedAtOnce);
    EXPECT_TRUE(m_log.Has(2, L"Terminating event thread for session 3 because NUV failed to initialize\r\n"));
    EndManager();
    EXPECT_EQ(0, alive);  // those queued before the thread had ended as well
    m_module.initialized = true;
}

TEST_F(SessionLifeTest, DeletionSignsOutBeforeTheThreadEndsWithoutLocksHeld) {
    SignInAtService(kSession, kAlice);
    CSession* const session = Manager().FindOrCreateSession(kSession);
    ASSERT_EQ(kAlice, UserOf(*session));
    RecordingHeldConnection paused(L"paused", m_calls);
    session->RegisterHandler(&paused);

    // While the event thread fires the sign-out, the deleting thread must hold neither lock.
    Tessal::CCriticalSection* const managerLock = &Manager().GetLock();
    Tessal::CCriticalSection* const sessionLock = &session->GetLock();
    std::atomic<bool> locksFree{false};
    m_onProcess = [&](DWORD, CEventWork& work) {
        if (work.EventId() != kEventSignOut) return;
        for (const ULONGLONG end = ::GetTickCount64() + 5000; ::GetTickCount64() < end; ::Sleep(10)) {
            if (managerLock->TryEnter()) {
                const bool sessionFree = sessionLock->TryEnter();
                if (sessionFree) sessionLock->Leave();
                managerLock->Leave();
                if (sessionFree) {
                    locksFree = true;
                    return;
                }
            }
        }
    };
    m_control->ClearLogs();

    Manager().DeleteSession(kSession);

    EXPECT_FALSE(Manager().SessionExists(kSession));
    EXPECT_TRUE(locksFree);
    const Strings events = m_events.Calls();
    EXPECT_EQ((Strings{L"init 3", L"3 sign-in", L"3 sign-out", L"end 3"}), events);
    EXPECT_EQ(1u, ServiceCallCount(L"IConfigSignIn.SignOut"));
    // Dropped: neither resumed nor let through.
    EXPECT_EQ(1, paused.References());
    EXPECT_EQ(0u, m_calls.Count(L"paused Resume") + m_calls.Count(L"paused Ignore"));
    EXPECT_EQ(1u, m_calls.Count(L"firewall logoff Alice"));
    EXPECT_TRUE(m_log.Has(1, L"Terminating session 3\r\n"));
    m_onProcess = nullptr;
}

// ---------------------------------------------------------------------------------------------

class SessionUserSid : public ::testing::Test {
protected:
    FakeWtsApi m_wts;
    NuvTest::ScopedReplacement<IWtsApi*> m_wtsInstalled{SetWtsApi, &m_wts};
};

TEST_F(SessionUserSid, FromTheSessionsToken) {
    // The expected text, from this process's token read here.
    Tessal::UniqueHandle token;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.Put()));
    BYTE buffer[512] = {};
    DWORD size = 0;
    ASSERT_TRUE(::GetTokenInformation(token.Get(), TokenUser, buffer, sizeof(buffer), &size));
    wchar_t* text = nullptr;
    ASSERT_TRUE(::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text));
    const std::wstring expected(text);
    ::LocalFree(text);

    const struct {
        const char* name;
        bool giveToken;
        DWORD access;
        bool found;
    } cases[] = {
        {"a readable token", true, TOKEN_QUERY, true},
        {"no token in the session", false, TOKEN_QUERY, false},
        {"a token that cannot be read", true, TOKEN_DUPLICATE, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        m_wts.giveToken = c.giveToken;
        m_wts.tokenAccess = c.access;
        std::wstring sid = L"untouched";
        EXPECT_EQ(c.found, GetSessionUserSid(kSession, sid));
        EXPECT_EQ(c.found ? expected : L"untouched", sid);
    }
}

}  // namespace
