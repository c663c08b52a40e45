// The five events fired through a real handler source to the event-broker stand-in's recording
// handlers: the records the handlers get, the one re-acquire and retry after an RPC failure and
// its log lines, the drops, the problems of the sign-in-required event (with real sessions over
// the configuration stand-in), the event table, and a session's event thread end to end.
#include "plugin/core/AccessDeniedEvent.h"
#include "plugin/core/EventHandlerCache.h"
#include "plugin/core/EventThread.h"
#include "plugin/core/EventWork.h"
#include "plugin/core/NuvException.h"
#include "plugin/core/SignInEvent.h"
#include "plugin/core/SignInRequiredEvent.h"
#include "plugin/core/SignOutEvent.h"
#include "plugin/core/UrlVisitedEvent.h"

#include "suite/eventbroker/EventBrokerRecords.h"
#include "tests/plugin/core/BrokerFixture.h"
#include "tests/plugin/core/TestModuleServices.h"
#include "tests/support/LogRecorder.h"

#include "nuvutil/WorkQueue.h"
#include "nuvutil/com/Bstr.h"
#include "nuvutil/com/CoInitializeScope.h"
#include "tests/plugin/core/ConfigServiceStandIn.h"

#include <gtest/gtest.h>
#include <configservice.h>
#include <eventbroker.h>
#include <wrl/client.h>

#include <array>
#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace {

using EventBrokerStandIn::BrokerCallRecord;
using EventBrokerStandIn::HandlerCallRecord;
using Microsoft::WRL::ComPtr;

constexpr HRESULT kRpcServerUnavailable = static_cast<HRESULT>(0x800706BA);
constexpr DWORD kLevelNormal = 1;
constexpr DWORD kLevelWarning = 2;
constexpr DWORD kLevelError = 4;

struct Line {
    DWORD level;
    std::wstring text;
    bool operator==(const Line& other) const { return level == other.level && text == other.text; }
};

std::ostream& operator<<(std::ostream& out, const Line& line) {
    return out << line.level << " \"" << std::string(line.text.begin(), line.text.end()) << '"';
}

// The lines logged by one function since the last call (other threads log too).
std::vector<Line> LinesOf(const std::wstring& function) {
    std::vector<Line> lines;
    for (const NuvTest::LoggedLine& line : NuvTest::TakeLoggedLines()) {
        if (line.function == function) lines.push_back({line.level, line.text});
    }
    return lines;
}

using NuvTest::BrokerAnswer;
constexpr BrokerAnswer kRecording = {S_OK, 0, EventBrokerHandler_Recording};
constexpr BrokerAnswer kNotRegistered = {REGDB_E_CLASSNOTREG, ERROR_NOT_FOUND, EventBrokerHandler_None};
constexpr BrokerAnswer kBrokerFails = {E_ACCESSDENIED, ERROR_ACCESS_DENIED, EventBrokerHandler_None};

using NuvTest::BrokerFixture;

// The four events without a check of their own, as producers make them.
struct PlainEvent {
    const char* name;
    IID iid;
    const wchar_t* method;
    const wchar_t* function;
    std::function<CEventWork*()> make;
};

const PlainEvent kPlainEvents[] = {
    {"sign-in", __uuidof(ISignInEventHandler), L"OnSignInEvent", L"CSignInEvent::Fire",
     [] { return CSignInEvent::CreateWork(CSafeStringW(L"alice")); }},
    {"sign-out", __uuidof(ISignOutEventHandler), L"OnSignOutEvent", L"CSignOutEvent::Fire",
     [] { return CSignOutEvent::CreateWork(); }},
    {"URL visited", __uuidof(IUrlVisitedEventHandler), L"OnUrlVisitedEvent", L"CUrlVisitedEvent::Fire",
     [] { return CUrlVisitedEvent::CreateWork(77, CSafeStringA("www.example.com/index.html")); }},
    {"access denied", __uuidof(IAccessDeniedEventHandler), L"OnAccessDeniedEvent", L"CAccessDeniedEvent::Fire",
     [] { return CAccessDeniedEvent::CreateWork(77, 3, CSafeStringA("www.example.com/index.html")); }},
};

// The events fired through the table and one handler source, as an event thread fires them.
class EventsTest : public BrokerFixture {
protected:
    void SetUp() override {
        BrokerFixture::SetUp();
        CreateEventTable(m_module);
        ASSERT_TRUE(m_source.Initialize(kSession));
        NuvTest::TakeLoggedLines();
    }
    void TearDown() override {
        m_source.Uninitialize();
        DestroyEventTable();
        BrokerFixture::TearDown();
    }

    void Process(CEventWork* item) {
        std::unique_ptr<CEventWork> owned(item);
        m_source.Process(owned.get());
    }

    static constexpr DWORD kSession = 6;
    NuvTest::TestModuleServices m_module;
    CEventHandlerSource m_source{m_module};
};

TEST_F(EventsTest, EachEventReachesTheHandlerOfItsInterface) {
    for (const PlainEvent& e : kPlainEvents) {
        SCOPED_TRACE(e.name);
        ASSERT_HRESULT_SUCCEEDED(m_control->Reset());
        Process(e.make());
        const std::vector<HandlerCallRecord> calls = HandlerCalls();
        ASSERT_EQ(1u, calls.size());
        EXPECT_TRUE(::IsEqualIID(e.iid, calls[0].interfaceId));
        EXPECT_EQ(S_OK, calls[0].result);
        EXPECT_TRUE(LinesOf(e.function).empty());
    }
}

TEST_F(EventsTest, TheSignInHandlerLearnsNothingAboutTheUser) {
    Process(CSignInEvent::CreateWork(CSafeStringW(L"alice")));
    const std::vector<HandlerCallRecord> calls = HandlerCalls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(0u, calls[0].sessionId);
    EXPECT_FALSE(calls[0].record.has_value());
}

TEST_F(EventsTest, UrlVisitedRecordSplitsTheUrlAtItsFirstSlash) {
    struct Case {
        const char* url;
        const wchar_t* host;
        const wchar_t* path;
    };
    const Case cases[] = {
        {"www.example.com/a/b?c=d", L"www.example.com", L"/a/b?c=d"},
        {"example.com", L"example.com", L""},
        {"/path/only", L"", L"/path/only"},
        {"/", L"", L"/"},
        {"", L"", L""},
        {"a.example//b/c", L"a.example", L"//b/c"},
    };
    // The process id sits in the low half; a sign-extending copy would fill the high half.
    const std::array<BYTE, 8> processId = {0x98, 0xBA, 0xDC, 0xFE, 0, 0, 0, 0};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        ASSERT_HRESULT_SUCCEEDED(m_control->Reset());
        Process(CUrlVisitedEvent::CreateWork(0xFEDCBA98, CSafeStringA(c.url)));
        const std::vector<HandlerCallRecord> calls = HandlerCalls();
        ASSERT_EQ(1u, calls.size());
        ASSERT_TRUE(calls[0].record.has_value());
        const std::array<BYTE, 24>& record = *calls[0].record;
        EXPECT_EQ(0, std::memcmp(processId.data(), record.data(), processId.size()));
        EXPECT_EQ(c.host, calls[0].text1) << "an empty text is still a text, never a null pointer";
        EXPECT_EQ(c.path, calls[0].text2);
    }
}

TEST_F(EventsTest, AccessDeniedRecordCarriesProcessReasonAndUrl) {
    Process(CAccessDeniedEvent::CreateWork(0xFEDCBA98, 0x80000007, CSafeStringA("blocked.example/x?y=1")));
    const std::vector<HandlerCallRecord> calls = HandlerCalls();
    ASSERT_EQ(1u, calls.size());
    ASSERT_TRUE(calls[0].record.has_value());
    const std::array<BYTE, 16> numbers = {0x98, 0xBA, 0xDC, 0xFE, 0, 0, 0, 0, 0x07, 0, 0, 0x80, 0, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(numbers.data(), calls[0].record->data(), numbers.size()));
    EXPECT_EQ(L"blocked.example/x?y=1", calls[0].text1);
    EXPECT_FALSE(calls[0].text2.has_value());
}

// One re-acquire and one retry, only after an RPC failure (the range 0x800706A4 to 0x8007078B).
TEST_F(EventsTest, RetriesOnceAfterAnRpcFailure) {
    const std::wstring first = L"OnSignInEvent failed with 0x800706BA (first attempt)\r\n";
    const std::wstring refired = L"OnSignInEvent reacquire & refire succeeded\r\n";
    struct Case {
        const char* name;
        std::vector<HRESULT> results;       // the handler's answers, in turn (then S_OK)
        std::vector<BrokerAnswer> answers;  // the broker's answers, in turn (then a recording handler)
        size_t handlerCalls;
        size_t brokerCalls;
        std::vector<Line> lines;
    };
    const Case cases[] = {
        {"RPC failure twice", {kRpcServerUnavailable, kRpcServerUnavailable}, {}, 2, 2,
         {{kLevelWarning, first}, {kLevelError, L"OnSignInEvent failed with 0x800706BA (final attempt)\r\n"}}},
        {"RPC failure once", {kRpcServerUnavailable}, {}, 2, 2, {{kLevelWarning, first}, {kLevelNormal, refired}}},
        {"RPC failure, then no handler registered", {kRpcServerUnavailable}, {kRecording, kNotRegistered}, 1, 2,
         {{kLevelWarning, first}, {kLevelNormal, refired}}},
        {"RPC failure, then a handler without the interface", {kRpcServerUnavailable},
         {kRecording, {S_OK, 0, EventBrokerHandler_WithoutInterface}}, 1, 2,
         {{kLevelWarning, first}, {kLevelNormal, refired}}},
        {"RPC failure, then the broker fails", {kRpcServerUnavailable}, {kRecording, kBrokerFails}, 1, 2,
         {{kLevelWarning, first}, {kLevelError, L"Failed to reacquire event handler 0x80070005\r\n"}}},
        {"other failure", {E_FAIL}, {}, 1, 1, {{kLevelError, L"OnSignInEvent failed with 0x80004005\r\n"}}},
        {"just below the RPC range", {static_cast<HRESULT>(0x800706A3)}, {}, 1, 1,
         {{kLevelError, L"OnSignInEvent failed with 0x800706A3\r\n"}}},
        {"first of the RPC range", {static_cast<HRESULT>(0x800706A4)}, {}, 2, 2,
         {{kLevelWarning, L"OnSignInEvent failed with 0x800706A4 (first attempt)\r\n"}, {kLevelNormal, refired}}},
        {"last of the RPC range", {static_cast<HRESULT>(0x8007078B)}, {}, 2, 2,
         {{kLevelWarning, L"OnSignInEvent failed with 0x8007078B (first attempt)\r\n"}, {kLevelNormal, refired}}},
        {"just above the RPC range", {static_cast<HRESULT>(0x8007078C)}, {}, 1, 1,
         {{kLevelError, L"OnSignInEvent failed with 0x8007078C\r\n"}}},
        {"success code", {S_FALSE}, {}, 1, 1, {}},
    };
    const IID& iid = __uuidof(ISignInEventHandler);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // A source of its own per case, so that every case starts with an empty cache.
        m_source.Uninitialize();
        ASSERT_TRUE(m_source.Initialize(kSession));
        ASSERT_HRESULT_SUCCEEDED(m_control->Reset());
        QueueResults(iid, c.results);
        QueueAnswers(iid, c.answers);
        NuvTest::TakeLoggedLines();

        Process(CSignInEvent::CreateWork(CSafeStringW(L"alice")));

        EXPECT_EQ(c.handlerCalls, HandlerCalls().size());
        const std::vector<BrokerCallRecord> requests = BrokerCalls();
        EXPECT_EQ(c.brokerCalls, requests.size());
        if (requests.size() == 2 && requests[0].handlerSerial != 0 && requests[1].handlerSerial != 0) {
            EXPECT_NE(requests[0].handlerSerial, requests[1].handlerSerial) << "the retry gets a new handler";
        }
        EXPECT_EQ(c.lines, LinesOf(L"CSignInEvent::Fire"));
    }
}

// Each event logs with the lines of its own method and calls its handler again with the same arguments.
TEST_F(EventsTest, EveryEventLogsItsOwnLinesAndRetriesWithTheSameArguments) {
    for (const PlainEvent& e : kPlainEvents) {
        SCOPED_TRACE(e.name);
        const std::wstring method = e.method;
        ASSERT_HRESULT_SUCCEEDED(m_control->Reset());
        ASSERT_HRESULT_SUCCEEDED(m_control->SetHandlerResult(e.iid, kRpcServerUnavailable));
        NuvTest::TakeLoggedLines();
        Process(e.make());
        const std::vector<Line> expected = {
            {kLevelWarning, method + L" failed with 0x800706BA (first attempt)\r\n"},
            {kLevelError, method + L" failed with 0x800706BA (final attempt)\r\n"},
        };
        EXPECT_EQ(expected, LinesOf(e.function));
        const std::vector<HandlerCallRecord> calls = HandlerCalls();
        ASSERT_EQ(2u, calls.size());
        EXPECT_EQ(calls[0].text1, calls[1].text1);
        EXPECT_EQ(calls[0].text2, calls[1].text2);
        if (calls[0].record && calls[1].record) {
            EXPECT_EQ(0, std::memcmp(calls[0].record->data(), calls[1].record->data(), 16));
        }

        ASSERT_HRESULT_SUCCEEDED(m_control->Reset());
        ASSERT_HRESULT_SUCCEEDED(m_control->SetHandlerResult(e.iid, E_FAIL));
        Process(e.make());
        EXPECT_EQ(std::vector<Line>({{kLevelError, method + L" failed with 0x80004005\r\n"}}), LinesOf(e.function));
        EXPECT_EQ(1u, HandlerCalls().size());
    }
}

TEST_F(EventsTest, AnEventWithoutAHandlerIsDroppedSilently) {
    const std::pair<const char*, BrokerAnswer> answers[] = {
        {"class not registered", kNotRegistered},
        {"status: no handler", {E_FAIL, 0x10002, EventBrokerHandler_None}},
        {"status: not found", {E_FAIL, ERROR_NOT_FOUND, EventBrokerHandler_None}},
        {"success without a handler", {S_OK, 0, EventBrokerHandler_None}},
        {"a handler without the interface", {S_OK, 0, EventBrokerHandler_WithoutInterface}},
    };
    for (const auto& [name, answer] : answers) {
        SCOPED_TRACE(name);
        m_source.Uninitialize();
        ASSERT_TRUE(m_source.Initialize(kSession));
        ASSERT_HRESULT_SUCCEEDED(m_control->Reset());
        ASSERT_HRESULT_SUCCEEDED(
            m_control->SetBrokerAnswer(__uuidof(IUrlVisitedEventHandler), answer.result, answer.status, answer.handler));
        NuvTest::TakeLoggedLines();
        Process(CUrlVisitedEvent::CreateWork(1, CSafeStringA("example.com/")));
        EXPECT_TRUE(HandlerCalls().empty());
        EXPECT_TRUE(NuvTest::TakeLoggedLines().empty());
        EXPECT_TRUE(m_module.Problems().empty());
    }
}

TEST_F(EventsTest, AFailingBrokerReportsProblem21AndDropsTheEvent) {
    ASSERT_HRESULT_SUCCEEDED(
        m_control->SetBrokerAnswer(__uuidof(IAccessDeniedEventHandler), E_ACCESSDENIED, 0xABC12345u, EventBrokerHandler_None));
    Process(CAccessDeniedEvent::CreateWork(1, 2, CSafeStringA("example.com/")));
    EXPECT_TRUE(HandlerCalls().empty());
    EXPECT_TRUE(LinesOf(L"CAccessDeniedEvent::Fire").empty());
    const std::vector<NuvTest::ReportedProblem> problems = m_module.Problems();
    ASSERT_EQ(1u, problems.size());
    EXPECT_EQ(21, problems[0].id);
    EXPECT_FALSE(problems[0].affectsPersonalInfo);
    EXPECT_EQ(0x12345, problems[0].result) << "the status's low 17 bits";
}

TEST_F(EventsTest, TheTableHoldsAnAlgorithmForEachEventIdUntilItIsDestroyed) {
    for (DWORD id = 0; id < 8; ++id) {
        SCOPED_TRACE(id);
        const bool hasAlgorithm = id <= 2 || id == 5 || id == 6;
        EXPECT_EQ(hasAlgorithm, GetEventAlgorithm(id) != nullptr);
    }

    // An id without an algorithm is dropped; the next item still fires.
    Process(new CEventWork(3, nullptr));
    Process(CSignOutEvent::CreateWork());
    EXPECT_EQ(1u, HandlerCalls().size());

    DestroyEventTable();
    try {
        GetEventAlgorithm(kEventSignIn);
        ADD_FAILURE() << "no exception";
    } catch (const CNuvException& e) {
        EXPECT_EQ(-1001, e.Code());
    }
    // The handler source keeps the exception from the event thread.
    EXPECT_NO_THROW(Process(CSignOutEvent::CreateWork()));
    EXPECT_EQ(1u, HandlerCalls().size());
}

// ---- The sign-in-required event, against real sessions -------------------------------------------

// A module with a configuration client over the configuration stand-in and a session manager.
// Session event threads get no processor: the items they hold are not fired behind the test's back.
class SignInRequiredTest : public BrokerFixture {
protected:
    void SetUp() override {
        BrokerFixture::SetUp();
        ASSERT_TRUE(NuvTest::ConnectConfigService(m_config, m_configControl));
        ASSERT_HRESULT_SUCCEEDED(m_configControl->AddUser(NuvCom::CBstr(L"alice").Get(), NuvCom::CBstr(L"Alice").Get()));
    }
    void TearDown() override {
        if (m_configControl) m_configControl->Reset();
        BrokerFixture::TearDown();
    }

    static void Attach(NuvTest::TestModuleServices& module) {
        module.config = std::make_unique<CNuvConfig>(module);
        module.manager = std::make_unique<CSessionManager>(module, nullptr);
    }

    // Fires one item for the session through a handler source of the module.
    void Fire(NuvTest::TestModuleServices& module, DWORD sessionId) {
        CEventHandlerSource source(module);
        ASSERT_TRUE(source.Initialize(sessionId));
        CSignInRequiredEvent event(module);
        CSignInRequiredEvent::CParameters parameters(sessionId);
        NuvTest::TakeLoggedLines();
        event.Fire(&parameters, source);
        source.Uninitialize();
    }

    ComPtr<IQvConfigCategory> m_config;
    ComPtr<IQvConfigServiceControl> m_configControl;
};

TEST_F(SignInRequiredTest, FiresForASessionWithoutUserAndReportsWhatFails) {
    const IID& iid = __uuidof(ISignInRequiredEventHandler);
    struct Case {
        const char* name;
        std::vector<HRESULT> results;
        std::vector<BrokerAnswer> answers;
        size_t handlerCalls;
        // Lines and problems, with "N" standing for the session id in the lines.
        std::vector<Line> lines;
        std::vector<std::pair<int, HRESULT>> problems;
    };
    const Line firing = {kLevelNormal, L"Firing SignInRequired Event for Session N\r\n"};
    const Line first = {kLevelWarning, L"OnSignInRequiredEvent failed with 0x800706BA in session N (first attempt)\r\n"};
    const Case cases[] = {
        {"handler succeeds", {}, {}, 1, {firing}, {}},
        {"no handler registered", {}, {kNotRegistered}, 0, {}, {{50, 1}}},
        {"success without a handler", {}, {{S_OK, 0, EventBrokerHandler_None}}, 0, {}, {{50, 1}}},
        {"broker fails", {}, {kBrokerFails}, 0,
         {{kLevelNormal, L"Getting the SignInRequired event handler returned 0x80070005 in session N\r\n"}},
         {{21, ERROR_ACCESS_DENIED}, {51, E_ACCESSDENIED}}},
        {"handler fails", {E_FAIL}, {}, 1,
         {firing, {kLevelError, L"OnSignInRequiredEvent failed with 0x80004005 in session N\r\n"}}, {{52, E_FAIL}}},
        {"RPC failure twice", {kRpcServerUnavailable, kRpcServerUnavailable}, {}, 2,
         {firing, first, {kLevelError, L"OnSignInRequiredEvent failed with 0x800706BA in session N (final attempt)\r\n"}},
         {{52, kRpcServerUnavailable}}},
        {"RPC failure once", {kRpcServerUnavailable}, {}, 2,
         {firing, first, {kLevelNormal, L"OnSignInRequiredEvent reacquire & refire succeeded\r\n"}}, {}},
        {"RPC failure, then the broker fails", {kRpcServerUnavailable}, {kRecording, kBrokerFails}, 1,
         {firing, first, {kLevelError, L"Failed to reacquire event handler 0x80070005\r\n"}},
         {{21, ERROR_ACCESS_DENIED}, {51, E_ACCESSDENIED}}},
    };
    DWORD sessionId = 20;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ++sessionId;
        ASSERT_HRESULT_SUCCEEDED(m_control->Reset());
        NuvTest::TestModuleServices module;
        Attach(module);
        CSession* const session = module.GetSession(sessionId);
        ASSERT_NE(nullptr, session);
        QueueResults(iid, c.results);
        QueueAnswers(iid, c.answers);

        Fire(module, sessionId);

        const std::vector<HandlerCallRecord> calls = HandlerCalls();
        ASSERT_EQ(c.handlerCalls, calls.size());
        for (const HandlerCallRecord& call : calls) EXPECT_EQ(sessionId, call.sessionId);
        std::vector<Line> expected = c.lines;
        for (Line& line : expected) {
            const size_t n = line.text.find(L" N");
            if (n != std::wstring::npos) line.text.replace(n + 1, 1, std::to_wstring(sessionId));
        }
        EXPECT_EQ(expected, LinesOf(L"CSignInRequiredEvent::Fire"));
        std::vector<std::pair<int, HRESULT>> problems;
        for (const NuvTest::ReportedProblem& p : module.Problems()) {
            EXPECT_FALSE(p.affectsPersonalInfo) << p.id;
            problems.emplace_back(p.id, p.result);
        }
        EXPECT_EQ(c.problems, problems);
    }
}

TEST_F(SignInRequiredTest, IsNotFiredWhenAUserSignedInMeanwhile) {
    NuvTest::TestModuleServices module;
    Attach(module);
    CSession* const session = module.GetSession(7);
    ASSERT_NE(nullptr, session);
    {
        Tessal::CAutoLock managerLock(*module.GetSessionLock());
        session->Logon(CSafeStringW(L"alice"));
        ASSERT_TRUE(session->IsSignedIn());
    }

    Fire(module, 7);

    EXPECT_EQ(std::vector<Line>({{kLevelNormal,
                                  L"Not firing SignInRequired event because user alice is already signed in to session 7\r\n"}}),
              LinesOf(L"CSignInRequiredEvent::Fire"));
    EXPECT_TRUE(BrokerCalls().empty());
    EXPECT_TRUE(HandlerCalls().empty());
    EXPECT_TRUE(module.Problems().empty());
}

TEST_F(SignInRequiredTest, IsDroppedWhenTheSessionIsGone) {
    NuvTest::TestModuleServices module;
    Attach(module);
    ASSERT_NE(nullptr, module.GetSession(8));
    module.manager->DeleteSession(8);
    ASSERT_FALSE(module.SessionExists(8));

    Fire(module, 8);

    EXPECT_EQ(std::vector<Line>({{kLevelNormal, L"Not firing SignInRequired event because session 8 no longer exists\r\n"}}),
              LinesOf(L"CSignInRequiredEvent::Fire"));
    EXPECT_FALSE(module.SessionExists(8)) << "a session being deleted is never created again";
    EXPECT_TRUE(BrokerCalls().empty());
    EXPECT_TRUE(module.Problems().empty());
}

// Shutdown took the session manager away before the item was fired: it is dropped like one whose
// session is gone, and nothing is created again.
TEST_F(SignInRequiredTest, IsDroppedWhenTheSessionManagerIsGone) {
    NuvTest::TestModuleServices module;
    Attach(module);
    ASSERT_NE(nullptr, module.GetSession(9));
    module.manager.reset();

    Fire(module, 9);

    EXPECT_EQ(std::vector<Line>({{kLevelNormal, L"Not firing SignInRequired event because session 9 no longer exists\r\n"}}),
              LinesOf(L"CSignInRequiredEvent::Fire"));
    EXPECT_TRUE(BrokerCalls().empty());
    EXPECT_TRUE(HandlerCalls().empty());
    EXPECT_TRUE(module.Problems().empty());
}

// ---- A session's event thread ---------------------------------------------------------------------

// A session's event queue as the event thread sees it.
class TestEventQueue : public IEventWorkSource {
public:
    void Put(CEventWork* work) { m_queue.Put(work); }
    CEventWork* GetEventWork() override { return static_cast<CEventWork*>(m_queue.Get()); }
    void ReleaseEventWork(CEventWork* work) override {
        delete work;
        ++m_released;
    }
    int Released() const { return m_released; }

private:
    CWorkQueue m_queue{[](void* item) { delete static_cast<CEventWork*>(item); }};
    std::atomic<int> m_released{0};
};

class EventThreadTest : public BrokerFixture {
protected:
    void SetUp() override {
        BrokerFixture::SetUp();
        m_module.makeEventProcessor = [this] { return std::make_unique<CEventHandlerSource>(m_module); };
        CreateEventTable(m_module);
    }
    void TearDown() override {
        DestroyEventTable();
        BrokerFixture::TearDown();
    }

    NuvTest::TestModuleServices m_module;
};

TEST_F(EventThreadTest, FiresTheQueuedItemsInOrderAndReleasesEach) {
    TestEventQueue queue;
    {
        CEventThread thread(3, &queue, &m_module, 5000);
        queue.Put(CSignInEvent::CreateWork(CSafeStringW(L"alice")));
        queue.Put(CUrlVisitedEvent::CreateWork(10, CSafeStringA("a.example/1")));
        queue.Put(new CEventWork(4, nullptr));                  // no algorithm: dropped
        queue.Put(CSignInRequiredEvent::CreateWork(3));          // no such session: dropped
        queue.Put(CAccessDeniedEvent::CreateWork(11, 2, CSafeStringA("b.example/2")));
        queue.Put(CSignOutEvent::CreateWork());
        queue.Put(nullptr);
        thread.Resume();
    }  // joins: the thread ends at the null item

    const std::vector<HandlerCallRecord> calls = HandlerCalls();
    ASSERT_EQ(4u, calls.size());
    EXPECT_TRUE(::IsEqualIID(__uuidof(ISignInEventHandler), calls[0].interfaceId));
    EXPECT_TRUE(::IsEqualIID(__uuidof(IUrlVisitedEventHandler), calls[1].interfaceId));
    EXPECT_EQ(L"a.example", calls[1].text1);
    EXPECT_TRUE(::IsEqualIID(__uuidof(IAccessDeniedEventHandler), calls[2].interfaceId));
    EXPECT_EQ(L"b.example/2", calls[2].text1);
    EXPECT_TRUE(::IsEqualIID(__uuidof(ISignOutEventHandler), calls[3].interfaceId));
    EXPECT_EQ(6, queue.Released());
    EXPECT_EQ(0u, LiveHandlers()) << "the thread's cache was uninitialized";
    EXPECT_TRUE(m_module.Problems().empty());
}

TEST_F(EventThreadTest, WithoutABrokerTheThreadEndsWithoutFiring) {
    ASSERT_HRESULT_SUCCEEDED(m_control->SetCreationResult(REGDB_E_CLASSNOTREG));
    TestEventQueue queue;
    {
        CEventThread thread(5, &queue, &m_module, 5000);
        queue.Put(CSignOutEvent::CreateWork());
        thread.Resume();
    }  // the thread ends without waiting for a null item
    ASSERT_HRESULT_SUCCEEDED(m_control->SetCreationResult(S_OK));
    EXPECT_TRUE(HandlerCalls().empty());
    EXPECT_EQ(0, queue.Released());
    const std::vector<NuvTest::ReportedProblem> problems = m_module.Problems();
    ASSERT_EQ(1u, problems.size());
    EXPECT_EQ(20, problems[0].id);
    EXPECT_EQ(REGDB_E_CLASSNOTREG, problems[0].result);
}

}  // namespace
