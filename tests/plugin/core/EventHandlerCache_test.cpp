// The handler source and its cache against the event-broker stand-in (registered in the test
// prefix): what reaches the broker, what is cached and for how long, how the broker's answers are
// read, and the problems reported for a broker that is missing or fails.
#include "plugin/core/EventHandlerCache.h"

#include "suite/eventbroker/EventBrokerRecords.h"
#include "tests/plugin/core/BrokerFixture.h"
#include "tests/plugin/core/TestModuleServices.h"
#include "tests/support/LogRecorder.h"

#include "nuvutil/com/CoInitializeScope.h"

#include <gtest/gtest.h>
#include <eventbroker.h>
#include <wrl/client.h>

#include <iterator>
#include <string>
#include <vector>

namespace {

using EventBrokerStandIn::BrokerCallRecord;
using Microsoft::WRL::ComPtr;

constexpr DWORD kSession = 4;

class EventHandlerSourceTest : public NuvTest::BrokerFixture {
protected:
    void SetUp() override {
        BrokerFixture::SetUp();
        NuvTest::TakeLoggedLines();
    }
    void TearDown() override {
        m_source.Uninitialize();
        BrokerFixture::TearDown();
    }

    NuvTest::TestModuleServices m_module;
    CEventHandlerSource m_source{m_module};
};

TEST_F(EventHandlerSourceTest, AsksTheBrokerWithTheBracedUpperCaseInterfaceText) {
    ASSERT_TRUE(m_source.Initialize(kSession));
    ComPtr<IUnknown> handler;
    ASSERT_EQ(S_OK, m_source.Get(__uuidof(IUrlVisitedEventHandler), handler.GetAddressOf()));
    ASSERT_TRUE(handler);

    const std::vector<BrokerCallRecord> calls = BrokerCalls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(L"NUV", calls[0].applicationName);
    EXPECT_EQ(L"{F976049B-8A30-4267-BDCA-69C36AC94E10}", calls[0].interfaceIdText);
    EXPECT_EQ(0u, calls[0].context);
    EXPECT_EQ(0u, calls[0].flags);
    ASSERT_TRUE(calls[0].interfaceId.has_value());
    EXPECT_TRUE(::IsEqualIID(__uuidof(IUrlVisitedEventHandler), *calls[0].interfaceId));
    EXPECT_TRUE(calls[0].statusOutPresent);

    // The handler answers the interface it was asked for.
    ComPtr<IUrlVisitedEventHandler> typed;
    EXPECT_HRESULT_SUCCEEDED(handler.As(&typed));
}

TEST_F(EventHandlerSourceTest, KeepsAHandlerUntilItIsInvalidated) {
    ASSERT_TRUE(m_source.Initialize(kSession));
    const IID& iid = __uuidof(ISignInEventHandler);
    ComPtr<IUnknown> first;
    ASSERT_EQ(S_OK, m_source.Get(iid, first.GetAddressOf()));
    ComPtr<IUnknown> second;
    ASSERT_EQ(S_OK, m_source.Get(iid, second.GetAddressOf()));
    EXPECT_EQ(first.Get(), second.Get());
    ASSERT_EQ(1u, BrokerCalls().size()) << "the second Get must come from the cache";

    // Another interface is a separate entry.
    ComPtr<IUnknown> other;
    ASSERT_EQ(S_OK, m_source.Get(__uuidof(ISignOutEventHandler), other.GetAddressOf()));
    EXPECT_NE(first.Get(), other.Get());
    ASSERT_EQ(2u, BrokerCalls().size());

    m_source.Invalidate(first.Get());
    ComPtr<IUnknown> third;
    ASSERT_EQ(S_OK, m_source.Get(iid, third.GetAddressOf()));
    const std::vector<BrokerCallRecord> calls = BrokerCalls();
    ASSERT_EQ(3u, calls.size()) << "an invalidated handler is asked of the broker again";
    EXPECT_NE(calls[0].handlerSerial, calls[2].handlerSerial);
    EXPECT_NE(first.Get(), third.Get());

    // Invalidating the sign-in handler left the sign-out entry alone.
    ComPtr<IUnknown> otherAgain;
    ASSERT_EQ(S_OK, m_source.Get(__uuidof(ISignOutEventHandler), otherAgain.GetAddressOf()));
    EXPECT_EQ(other.Get(), otherAgain.Get());
    EXPECT_EQ(3u, BrokerCalls().size());
}

TEST_F(EventHandlerSourceTest, UninitializeReleasesEveryCachedHandler) {
    ASSERT_TRUE(m_source.Initialize(kSession));
    {
        ComPtr<IUnknown> a;
        ComPtr<IUnknown> b;
        ASSERT_EQ(S_OK, m_source.Get(__uuidof(ISignInEventHandler), a.GetAddressOf()));
        ASSERT_EQ(S_OK, m_source.Get(__uuidof(IAccessDeniedEventHandler), b.GetAddressOf()));
    }
    EXPECT_EQ(2u, LiveHandlers()) << "the cache holds its own references";
    m_source.Invalidate(nullptr);  // ignored
    EXPECT_EQ(2u, LiveHandlers());
    m_source.Uninitialize();
    EXPECT_EQ(0u, LiveHandlers());

    ComPtr<IUnknown> handler;
    EXPECT_EQ(E_UNEXPECTED, m_source.Get(__uuidof(ISignInEventHandler), handler.GetAddressOf()));
}

TEST_F(EventHandlerSourceTest, ReadsTheBrokersAnswers) {
    struct Case {
        const char* name;
        HRESULT brokerResult;
        DWORD status;
        EventBrokerHandlerKind kind;
        HRESULT expected;
        bool problem21;  // with the masked status
    };
    const Case cases[] = {
        {"class not registered", REGDB_E_CLASSNOTREG, 0, EventBrokerHandler_None, 1, false},
        {"status: no handler", E_FAIL, 0x10002, EventBrokerHandler_None, 1, false},
        {"status: no handler, high bits set", E_FAIL, 0xFFFE0000u | 0x10002, EventBrokerHandler_None, 1, false},
        {"status: not found", E_FAIL, ERROR_NOT_FOUND, EventBrokerHandler_None, 1, false},
        {"status: not found, high bits set", E_FAIL, 0x80000000u | ERROR_NOT_FOUND, EventBrokerHandler_None, 1, false},
        {"success without a handler", S_OK, 0, EventBrokerHandler_None, 1, false},
        {"other failure", E_ACCESSDENIED, 0xABC12345u, EventBrokerHandler_None, E_ACCESSDENIED, true},
        {"failure with status 0", E_FAIL, 0, EventBrokerHandler_None, E_FAIL, true},
    };
    const IID& iid = __uuidof(ISignOutEventHandler);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_HRESULT_SUCCEEDED(m_control->Reset());
        NuvTest::TestModuleServices module;
        // A source of its own per case: the problems land in this case's module.
        CEventHandlerSource source(module);
        ASSERT_TRUE(source.Initialize(kSession));
        Answer(iid, c.brokerResult, c.status, c.kind);

        IUnknown* handler = reinterpret_cast<IUnknown*>(1);
        EXPECT_EQ(c.expected, source.Get(iid, &handler));
        EXPECT_EQ(nullptr, handler);
        const std::vector<NuvTest::ReportedProblem> problems = module.Problems();
        if (c.problem21) {
            ASSERT_EQ(1u, problems.size());
            EXPECT_EQ(21, problems[0].id);
            EXPECT_FALSE(problems[0].affectsPersonalInfo);
            EXPECT_EQ(static_cast<HRESULT>(c.status & 0x1FFFF), problems[0].result);
        } else {
            EXPECT_TRUE(problems.empty());
        }
        // Nothing was cached: the next Get asks the broker again.
        EXPECT_EQ(c.expected, source.Get(iid, &handler));
        EXPECT_EQ(2u, BrokerCalls().size());
        source.Uninitialize();
    }
}

TEST_F(EventHandlerSourceTest, ABrokerThatCannotBeCreatedReportsProblem20) {
    constexpr HRESULT kCreation = CO_E_SERVER_EXEC_FAILURE;
    ASSERT_HRESULT_SUCCEEDED(m_control->SetCreationResult(kCreation));
    EXPECT_FALSE(m_source.Initialize(kSession));

    const std::vector<NuvTest::ReportedProblem> problems = m_module.Problems();
    ASSERT_EQ(1u, problems.size());
    EXPECT_EQ(20, problems[0].id);
    EXPECT_FALSE(problems[0].affectsPersonalInfo);
    EXPECT_EQ(kCreation, problems[0].result);

    size_t logged = 0;
    for (const NuvTest::LoggedLine& line : NuvTest::TakeLoggedLines()) {
        if (line.text == L"Failed to create Event Broker (0x80080005)\r\n") {
            EXPECT_EQ(4u, line.level);
            ++logged;
        }
    }
    EXPECT_EQ(1u, logged);

    // No cache was kept.
    ComPtr<IUnknown> handler;
    EXPECT_EQ(E_UNEXPECTED, m_source.Get(__uuidof(ISignInEventHandler), handler.GetAddressOf()));
    EXPECT_TRUE(BrokerCalls().empty());
}

TEST_F(EventHandlerSourceTest, RefusesBadArguments) {
    ComPtr<IUnknown> handler;
    EXPECT_EQ(E_UNEXPECTED, m_source.Get(__uuidof(ISignInEventHandler), handler.GetAddressOf())) << "before Initialize";
    ASSERT_TRUE(m_source.Initialize(kSession));
    EXPECT_EQ(E_POINTER, m_source.Get(__uuidof(ISignInEventHandler), nullptr));
    EXPECT_EQ(E_POINTER, m_source.Get(L"{EFE55865-5455-402C-93F1-4973A0EB26D2}", __uuidof(ISignInEventHandler), nullptr));
    EXPECT_EQ(E_INVALIDARG, m_source.Get(L"", __uuidof(ISignInEventHandler), handler.GetAddressOf()));
    EXPECT_EQ(E_INVALIDARG, m_source.Get(nullptr, __uuidof(ISignInEventHandler), handler.GetAddressOf()));
    EXPECT_TRUE(BrokerCalls().empty());
}

// Every field of an interface id takes part in the cache's key: ids that differ in one field only
// are separate entries.
TEST(EventHandlerCacheOrder, KeepsInterfacesThatDifferInOneFieldApart) {
    NuvCom::CCoInitialize com(COINIT_MULTITHREADED);
    ASSERT_TRUE(com.Succeeded());
    ComPtr<IEventBrokerControl> control = EventBrokerStandIn::CreateControl();
    ASSERT_HRESULT_SUCCEEDED(control->Reset());
    NuvTest::TestModuleServices module;
    CEventHandlerCache cache(L"NUV", module);
    ASSERT_EQ(S_OK, cache.Initialize());

    // Handlers delivered for ids the stand-in does not know: bare objects.
    ASSERT_HRESULT_SUCCEEDED(control->SetBrokerAnswer(GUID_NULL, S_OK, 0, EventBrokerHandler_WithoutInterface));
    const IID ids[] = {
        {0x00000001, 0x0000, 0x0000, {0, 0, 0, 0, 0, 0, 0, 0}},
        {0x00000100, 0x0000, 0x0000, {0, 0, 0, 0, 0, 0, 0, 0}},
        {0x00000001, 0x0001, 0x0000, {0, 0, 0, 0, 0, 0, 0, 0}},
        {0x00000001, 0x0000, 0x0100, {0, 0, 0, 0, 0, 0, 0, 0}},
        {0x00000001, 0x0000, 0x0000, {0, 0, 0, 0, 0, 0, 0, 1}},
        {0x00000001, 0x0000, 0x0000, {0x80, 0, 0, 0, 0, 0, 0, 0}},
    };
    std::vector<ComPtr<IUnknown>> handlers;
    for (const IID& iid : ids) {
        wchar_t text[40] = {};
        ASSERT_GT(::StringFromGUID2(iid, text, 40), 0);
        ComPtr<IUnknown> handler;
        // The bare object answers IUnknown only, so the cached entry is read back through IUnknown.
        ASSERT_EQ(S_OK, cache.GetHandler(text, iid, handler.GetAddressOf()));
        handlers.push_back(handler);
    }
    ULONG calls = 0;
    ASSERT_HRESULT_SUCCEEDED(control->GetBrokerCallCount(&calls));
    EXPECT_EQ(std::size(ids), calls);

    for (size_t i = 0; i < std::size(ids); ++i) {
        SCOPED_TRACE(i);
        wchar_t text[40] = {};
        ASSERT_GT(::StringFromGUID2(ids[i], text, 40), 0);
        ComPtr<IUnknown> again;
        // A cached bare object fails the interface's query: proof it came from the cache.
        EXPECT_EQ(E_NOINTERFACE, cache.GetHandler(text, ids[i], again.GetAddressOf()));
    }
    ASSERT_HRESULT_SUCCEEDED(control->GetBrokerCallCount(&calls));
    EXPECT_EQ(std::size(ids), calls);
    EXPECT_EQ(S_OK, cache.Uninitialize());
    EXPECT_EQ(1, cache.Uninitialize()) << "no broker any more";
    control->Reset();
}

}  // namespace
