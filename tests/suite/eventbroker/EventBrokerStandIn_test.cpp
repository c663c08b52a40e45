// The event-broker stand-in driven the way the plug-in drives the suite's broker: created by class
// id through the registry (scripts/test.sh registers it), asked for handlers by application name
// and interface id, the handlers called; steered and read through IEventBrokerControl.
#include "suite/eventbroker/EventBrokerRecords.h"
#include "eventbroker.h"

#include "nuvutil/com/CoInitializeScope.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <wrl/client.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

// The records' layout is the interface with the handlers: 24 bytes, three 8-byte fields.
static_assert(sizeof(UrlVisitedEventData) == 24, "UrlVisitedEventData is 24 bytes");
static_assert(offsetof(UrlVisitedEventData, processId) == 0 && sizeof(UrlVisitedEventData::processId) == 8, "");
static_assert(offsetof(UrlVisitedEventData, host) == 8 && sizeof(UrlVisitedEventData::host) == 8, "");
static_assert(offsetof(UrlVisitedEventData, path) == 16 && sizeof(UrlVisitedEventData::path) == 8, "");
static_assert(sizeof(AccessDeniedEventData) == 24, "AccessDeniedEventData is 24 bytes");
static_assert(offsetof(AccessDeniedEventData, processId) == 0 && sizeof(AccessDeniedEventData::processId) == 8, "");
static_assert(offsetof(AccessDeniedEventData, reason) == 8 && sizeof(AccessDeniedEventData::reason) == 8, "");
static_assert(offsetof(AccessDeniedEventData, url) == 16 && sizeof(AccessDeniedEventData::url) == 8, "");

namespace {

using EventBrokerStandIn::BrokerCallRecord;
using EventBrokerStandIn::HandlerCallRecord;
using Microsoft::WRL::ComPtr;

constexpr HRESULT kRpcServerUnavailable = HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE);  // 0x800706BA

std::wstring GuidText(REFGUID guid) {
    wchar_t text[40] = {};
    ::StringFromGUID2(guid, text, 40);
    return text;
}

template <class Record>
std::array<BYTE, 24> BytesOf(const Record& record) {
    std::array<BYTE, 24> bytes;
    std::memcpy(bytes.data(), &record, bytes.size());
    return bytes;
}

template <class Interface, class Call>
HRESULT CallAs(IUnknown* handler, Call&& call) {
    ComPtr<Interface> typed;
    const HRESULT hr = handler->QueryInterface(IID_PPV_ARGS(&typed));
    if (FAILED(hr)) {
        return hr;
    }
    return call(typed.Get());
}

HRESULT FireSignIn(IUnknown* handler) {
    return CallAs<ISignInEventHandler>(handler, [](ISignInEventHandler* h) { return h->OnSignInEvent(); });
}

class EventBrokerStandInTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_com.Succeeded());
        ASSERT_NO_THROW(m_control = EventBrokerStandIn::CreateControl());
        ASSERT_HRESULT_SUCCEEDED(m_control->Reset());
        ASSERT_HRESULT_SUCCEEDED(::CoCreateInstance(__uuidof(EventBroker), nullptr,
                                                    CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER,
                                                    IID_PPV_ARGS(&m_broker)));
    }

    void TearDown() override {
        if (m_control) {
            m_control->Reset();
        }
    }

    // The request as the plug-in makes it: "NUV", the braced text, a null pointer and 0.
    HRESULT GetHandler(REFIID iid, ComPtr<IUnknown>& handler, DWORD& status) {
        status = 0xDEADBEEF;
        return m_broker->GetHandler(L"NUV", GuidText(iid).c_str(), nullptr, 0, &iid, handler.ReleaseAndGetAddressOf(),
                                    &status);
    }

    std::vector<BrokerCallRecord> BrokerCalls() { return EventBrokerStandIn::ReadBrokerCalls(m_control.Get()); }
    std::vector<HandlerCallRecord> HandlerCalls() { return EventBrokerStandIn::ReadHandlerCalls(m_control.Get()); }

    NuvCom::CCoInitialize m_com{COINIT_MULTITHREADED};
    ComPtr<IEventBrokerControl> m_control;
    ComPtr<IEventBroker> m_broker;
};

// What one handler call looks like on both sides: the call made and the record expected.
struct EventCase {
    const char* name;
    IID iid;
    std::function<HRESULT(IUnknown*)> fire;
    HandlerCallRecord expected;
};

TEST_F(EventBrokerStandInTest, DeliversARecordingHandlerForEachEventAndRecordsItsCall) {
    // Texts and records outlive the calls here so that the expected bytes (pointers included) hold.
    static const wchar_t host[] = L"www.example.com";
    static const wchar_t path[] = L"/a/b?c=\u00e9";
    static const wchar_t url[] = L"blocked.example/x";
    static const UrlVisitedEventData visited = {0x00000000FEDCBA98ull, host, path};
    static const AccessDeniedEventData denied = {1234, 7, url};

    HandlerCallRecord signIn;
    HandlerCallRecord signOut;
    HandlerCallRecord signInRequired;
    signInRequired.sessionId = 0xFFFFFFFF;
    HandlerCallRecord urlVisited;
    urlVisited.record = BytesOf(visited);
    urlVisited.text1 = host;
    urlVisited.text2 = path;
    HandlerCallRecord accessDenied;
    accessDenied.record = BytesOf(denied);
    accessDenied.text1 = url;

    const EventCase cases[] = {
        {"sign-in", __uuidof(ISignInEventHandler), FireSignIn, signIn},
        {"sign-out", __uuidof(ISignOutEventHandler),
         [](IUnknown* h) {
             return CallAs<ISignOutEventHandler>(h, [](ISignOutEventHandler* t) { return t->OnSignOutEvent(); });
         },
         signOut},
        {"sign-in required", __uuidof(ISignInRequiredEventHandler),
         [](IUnknown* h) {
             return CallAs<ISignInRequiredEventHandler>(
                 h, [](ISignInRequiredEventHandler* t) { return t->OnSignInRequiredEvent(0xFFFFFFFF); });
         },
         signInRequired},
        {"URL visited", __uuidof(IUrlVisitedEventHandler),
         [](IUnknown* h) {
             return CallAs<IUrlVisitedEventHandler>(
                 h, [](IUrlVisitedEventHandler* t) { return t->OnUrlVisitedEvent(&visited); });
         },
         urlVisited},
        {"access denied", __uuidof(IAccessDeniedEventHandler),
         [](IUnknown* h) {
             return CallAs<IAccessDeniedEventHandler>(
                 h, [](IAccessDeniedEventHandler* t) { return t->OnAccessDeniedEvent(&denied); });
         },
         accessDenied},
    };

    for (const EventCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_HRESULT_SUCCEEDED(m_control->Reset());
        ComPtr<IUnknown> handler;
        DWORD status = 0;
        ASSERT_EQ(S_OK, GetHandler(c.iid, handler, status));
        EXPECT_EQ(0u, status);
        ASSERT_TRUE(handler);
        ASSERT_EQ(S_OK, c.fire(handler.Get()));

        const std::vector<BrokerCallRecord> requests = BrokerCalls();
        ASSERT_EQ(1u, requests.size());
        EXPECT_EQ(L"NUV", requests[0].applicationName);
        EXPECT_EQ(GuidText(c.iid), requests[0].interfaceIdText);
        EXPECT_EQ(0u, requests[0].context);
        EXPECT_EQ(0u, requests[0].flags);
        ASSERT_TRUE(requests[0].interfaceId.has_value());
        EXPECT_TRUE(::IsEqualIID(c.iid, *requests[0].interfaceId));
        EXPECT_EQ(S_OK, requests[0].result);
        EXPECT_NE(0u, requests[0].handlerSerial);

        const std::vector<HandlerCallRecord> calls = HandlerCalls();
        ASSERT_EQ(1u, calls.size());
        EXPECT_TRUE(::IsEqualIID(c.iid, calls[0].interfaceId));
        EXPECT_EQ(requests[0].handlerSerial, calls[0].handlerSerial);
        EXPECT_EQ(c.expected.sessionId, calls[0].sessionId);
        EXPECT_EQ(c.expected.record, calls[0].record);
        EXPECT_EQ(c.expected.text1, calls[0].text1);
        EXPECT_EQ(c.expected.text2, calls[0].text2);
        EXPECT_EQ(S_OK, calls[0].result);
    }
}

TEST_F(EventBrokerStandInTest, RecordsTheRecordBytesAsTheyArrive) {
    // The process id in the low half, 0 in the high half, then the two text pointers.
    const UrlVisitedEventData visited = {0x000000000000ABCDull, L"", nullptr};
    ComPtr<IUnknown> handler;
    DWORD status = 0;
    ASSERT_EQ(S_OK, GetHandler(__uuidof(IUrlVisitedEventHandler), handler, status));
    ComPtr<IUrlVisitedEventHandler> typed;
    ASSERT_HRESULT_SUCCEEDED(handler.As(&typed));
    ASSERT_EQ(S_OK, typed->OnUrlVisitedEvent(&visited));
    ASSERT_EQ(S_OK, typed->OnUrlVisitedEvent(nullptr));

    const std::vector<HandlerCallRecord> calls = HandlerCalls();
    ASSERT_EQ(2u, calls.size());
    ASSERT_TRUE(calls[0].record.has_value());
    const std::array<BYTE, 24>& bytes = *calls[0].record;
    const std::array<BYTE, 8> processId = {0xCD, 0xAB, 0, 0, 0, 0, 0, 0};
    EXPECT_TRUE(std::equal(processId.begin(), processId.end(), bytes.begin()));
    ULONGLONG hostPointer = 0;
    std::memcpy(&hostPointer, bytes.data() + 8, 8);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(visited.host), hostPointer);
    EXPECT_TRUE(std::all_of(bytes.begin() + 16, bytes.end(), [](BYTE b) { return b == 0; }));
    EXPECT_EQ(std::wstring(), calls[0].text1);  // an empty text is present, a null pointer is not
    EXPECT_FALSE(calls[0].text2.has_value());

    EXPECT_FALSE(calls[1].record.has_value());
    EXPECT_FALSE(calls[1].text1.has_value());
}

// Requests the broker refuses before any steering applies.
struct RequestCase {
    const char* name;
    const wchar_t* applicationName;
    const wchar_t* interfaceIdText;  // nullptr: the braced text of iid
    bool textIsNull;
    IID iid;
    bool iidIsNull;
    HRESULT expectedResult;
    DWORD expectedStatus;
    bool expectHandler;
};

TEST_F(EventBrokerStandInTest, AnswersOnlyWellFormedRequestsOfTheApplication) {
    const IID signIn = __uuidof(ISignInEventHandler);
    const std::wstring lowerCaseText = L"{efe55865-5455-402c-93f1-4973a0eb26d2}";
    const RequestCase cases[] = {
        {"the plug-in's request", L"NUV", nullptr, false, signIn, false, S_OK, 0, true},
        {"lower-case text of the same id", L"NUV", lowerCaseText.c_str(), false, signIn, false, S_OK, 0, true},
        {"another application", L"Nuv", nullptr, false, signIn, false, REGDB_E_CLASSNOTREG, ERROR_NOT_FOUND, false},
        {"no application name", nullptr, nullptr, false, signIn, false, E_INVALIDARG, ERROR_INVALID_PARAMETER, false},
        {"text naming another id", L"NUV", L"{47B95115-84B0-46CA-A4E5-8F8E537510BE}", false, signIn, false,
         E_INVALIDARG, ERROR_INVALID_PARAMETER, false},
        {"text without braces", L"NUV", L"EFE55865-5455-402C-93F1-4973A0EB26D2", false, signIn, false, E_INVALIDARG,
         ERROR_INVALID_PARAMETER, false},
        {"no text", L"NUV", nullptr, true, signIn, false, E_INVALIDARG, ERROR_INVALID_PARAMETER, false},
        {"no interface id", L"NUV", L"{EFE55865-5455-402C-93F1-4973A0EB26D2}", false, signIn, true, E_INVALIDARG,
         ERROR_INVALID_PARAMETER, false},
        {"an interface nobody handles", L"NUV", nullptr, false, __uuidof(IDispatch), false, REGDB_E_CLASSNOTREG,
         ERROR_NOT_FOUND, false},
    };
    for (const RequestCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring text = c.interfaceIdText ? c.interfaceIdText : GuidText(c.iid);
        ComPtr<IUnknown> handler;
        DWORD status = 0xDEADBEEF;
        EXPECT_EQ(c.expectedResult, m_broker->GetHandler(c.applicationName, c.textIsNull ? nullptr : text.c_str(),
                                                         nullptr, 0, c.iidIsNull ? nullptr : &c.iid, &handler,
                                                         &status));
        EXPECT_EQ(c.expectedStatus, status);
        EXPECT_EQ(c.expectHandler, handler != nullptr);
    }
    EXPECT_EQ(std::size(cases), BrokerCalls().size());
}

TEST_F(EventBrokerStandInTest, RecordsWhatTheRequestCarried) {
    const IID iid = __uuidof(ISignOutEventHandler);
    int context = 0;
    ComPtr<IUnknown> handler;
    EXPECT_EQ(E_POINTER, m_broker->GetHandler(L"NUV", GuidText(iid).c_str(), &context, 5, &iid, &handler, nullptr));
    EXPECT_FALSE(handler);

    const std::vector<BrokerCallRecord> requests = BrokerCalls();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(&context), requests[0].context);
    EXPECT_EQ(5u, requests[0].flags);
    EXPECT_TRUE(requests[0].handlerOutPresent);
    EXPECT_FALSE(requests[0].statusOutPresent);
    EXPECT_EQ(E_POINTER, requests[0].result);
    EXPECT_EQ(0u, requests[0].handlerSerial);
}

struct AnswerCase {
    const char* name;
    HRESULT result;
    DWORD status;
    EventBrokerHandlerKind handler;
    bool expectHandler;
    HRESULT expectedQuery;  // the handler's QueryInterface for the asked id
};

TEST_F(EventBrokerStandInTest, GivesTheStandingAnswerSetForAnInterface) {
    const IID iid = __uuidof(ISignInRequiredEventHandler);
    const AnswerCase cases[] = {
        {"class not registered", REGDB_E_CLASSNOTREG, 0, EventBrokerHandler_None, false, S_OK},
        {"not registered by status", E_FAIL, 0x80010002, EventBrokerHandler_None, false, S_OK},
        {"not found by status", HRESULT_FROM_WIN32(ERROR_NOT_FOUND), ERROR_NOT_FOUND, EventBrokerHandler_None, false,
         S_OK},
        {"broker failure", E_ACCESSDENIED, 5, EventBrokerHandler_None, false, S_OK},
        {"success without a handler", S_OK, 0, EventBrokerHandler_None, false, S_OK},
        {"S_FALSE without a handler", S_FALSE, 0, EventBrokerHandler_None, false, S_OK},
        {"a handler lacking the interface", S_OK, 0, EventBrokerHandler_WithoutInterface, true, E_NOINTERFACE},
        {"a failure never carries a handler", E_FAIL, 0, EventBrokerHandler_Recording, false, S_OK},
    };
    for (const AnswerCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_HRESULT_SUCCEEDED(m_control->SetBrokerAnswer(iid, c.result, c.status, c.handler));
        for (int attempt = 0; attempt < 2; ++attempt) {  // standing: the same every time
            ComPtr<IUnknown> handler;
            DWORD status = 0;
            EXPECT_EQ(c.result, GetHandler(iid, handler, status));
            EXPECT_EQ(c.status, status);
            ASSERT_EQ(c.expectHandler, handler != nullptr);
            if (handler) {
                ComPtr<IUnknown> typed;
                EXPECT_EQ(c.expectedQuery, handler->QueryInterface(iid, &typed));
            }
        }
        // Other interfaces keep their default.
        ComPtr<IUnknown> other;
        DWORD status = 0;
        EXPECT_EQ(S_OK, GetHandler(__uuidof(ISignInEventHandler), other, status));
        EXPECT_TRUE(other);
    }
}

TEST_F(EventBrokerStandInTest, AnAnswerForAnyInterfaceYieldsToAnInterfacesOwn) {
    const IID signIn = __uuidof(ISignInEventHandler);
    const IID signOut = __uuidof(ISignOutEventHandler);
    ASSERT_HRESULT_SUCCEEDED(m_control->SetBrokerAnswer(GUID_NULL, E_FAIL, 0x1234, EventBrokerHandler_None));
    ASSERT_HRESULT_SUCCEEDED(m_control->SetBrokerAnswer(signOut, S_OK, 0, EventBrokerHandler_Recording));
    ComPtr<IUnknown> handler;
    DWORD status = 0;
    EXPECT_EQ(E_FAIL, GetHandler(signIn, handler, status));
    EXPECT_EQ(0x1234u, status);
    EXPECT_EQ(S_OK, GetHandler(signOut, handler, status));
    EXPECT_TRUE(handler);
    EXPECT_EQ(E_INVALIDARG, m_control->SetBrokerAnswer(signIn, S_OK, 0, static_cast<EventBrokerHandlerKind>(3)));
}

TEST_F(EventBrokerStandInTest, QueuedAnswersComeFirstInTheOrderQueued) {
    const IID iid = __uuidof(IAccessDeniedEventHandler);
    ASSERT_HRESULT_SUCCEEDED(m_control->QueueBrokerAnswer(iid, S_OK, 0, EventBrokerHandler_Recording));
    ASSERT_HRESULT_SUCCEEDED(m_control->QueueBrokerAnswer(iid, REGDB_E_CLASSNOTREG, 0, EventBrokerHandler_None));
    ASSERT_HRESULT_SUCCEEDED(m_control->QueueBrokerAnswer(GUID_NULL, E_FAIL, 9, EventBrokerHandler_None));
    ASSERT_HRESULT_SUCCEEDED(m_control->SetBrokerAnswer(iid, S_FALSE, 0, EventBrokerHandler_None));

    struct Expected {
        HRESULT result;
        DWORD status;
        bool handler;
    };
    // The interface's own queue, then the queue for any id, then the standing answer.
    const Expected expected[] = {{S_OK, 0, true}, {REGDB_E_CLASSNOTREG, 0, false}, {E_FAIL, 9, false},
                                 {S_FALSE, 0, false}, {S_FALSE, 0, false}};
    for (const Expected& e : expected) {
        ComPtr<IUnknown> handler;
        DWORD status = 0;
        EXPECT_EQ(e.result, GetHandler(iid, handler, status));
        EXPECT_EQ(e.status, status);
        EXPECT_EQ(e.handler, handler != nullptr);
    }
}

TEST_F(EventBrokerStandInTest, HandlerFailsOnceWithAQueuedResult) {
    const IID iid = __uuidof(ISignInEventHandler);
    ASSERT_HRESULT_SUCCEEDED(m_control->QueueHandlerResult(iid, kRpcServerUnavailable));

    // The plug-in's road after an RPC failure: forget the handler, ask the broker again, repeat.
    ComPtr<IUnknown> first;
    DWORD status = 0;
    ASSERT_EQ(S_OK, GetHandler(iid, first, status));
    EXPECT_EQ(kRpcServerUnavailable, FireSignIn(first.Get()));
    first.Reset();
    ComPtr<IUnknown> second;
    ASSERT_EQ(S_OK, GetHandler(iid, second, status));
    EXPECT_EQ(S_OK, FireSignIn(second.Get()));
    EXPECT_EQ(S_OK, FireSignIn(second.Get()));

    const std::vector<HandlerCallRecord> calls = HandlerCalls();
    ASSERT_EQ(3u, calls.size());
    EXPECT_EQ(kRpcServerUnavailable, calls[0].result);
    EXPECT_EQ(S_OK, calls[1].result);
    EXPECT_NE(calls[0].handlerSerial, calls[1].handlerSerial);  // a new handler from the broker
    EXPECT_EQ(calls[1].handlerSerial, calls[2].handlerSerial);
}

TEST_F(EventBrokerStandInTest, StandingHandlerResultsApplyToEveryCall) {
    const IID signIn = __uuidof(ISignInEventHandler);
    const IID signOut = __uuidof(ISignOutEventHandler);
    ASSERT_HRESULT_SUCCEEDED(m_control->SetHandlerResult(GUID_NULL, E_FAIL));
    ASSERT_HRESULT_SUCCEEDED(m_control->SetHandlerResult(signIn, kRpcServerUnavailable));
    ComPtr<IUnknown> handler;
    DWORD status = 0;
    ASSERT_EQ(S_OK, GetHandler(signIn, handler, status));
    EXPECT_EQ(kRpcServerUnavailable, FireSignIn(handler.Get()));
    EXPECT_EQ(kRpcServerUnavailable, FireSignIn(handler.Get()));
    ASSERT_EQ(S_OK, GetHandler(signOut, handler, status));
    EXPECT_EQ(E_FAIL, CallAs<ISignOutEventHandler>(handler.Get(), [](ISignOutEventHandler* h) {
                  return h->OnSignOutEvent();
              }));
    EXPECT_EQ(3u, HandlerCalls().size());
}

// A long run (the demo, a soak) must not keep every call: the oldest records go.
TEST_F(EventBrokerStandInTest, KeepsOnlyTheMostRecentCalls) {
    ComPtr<IUnknown> signIn;
    DWORD status = 0;
    ASSERT_EQ(S_OK, GetHandler(__uuidof(ISignInEventHandler), signIn, status));
    for (std::size_t n = 0; n < EventBrokerStandIn::kMaxRecordsPerKind + 10; ++n) {
        ASSERT_EQ(S_OK, FireSignIn(signIn.Get()));
    }
    ComPtr<IUnknown> signOut;
    ASSERT_EQ(S_OK, GetHandler(__uuidof(ISignOutEventHandler), signOut, status));
    ASSERT_EQ(S_OK, CallAs<ISignOutEventHandler>(signOut.Get(), [](ISignOutEventHandler* h) {
                  return h->OnSignOutEvent();
              }));
    const std::vector<HandlerCallRecord> calls = HandlerCalls();
    ASSERT_EQ(EventBrokerStandIn::kMaxRecordsPerKind, calls.size());
    EXPECT_TRUE(::IsEqualIID(__uuidof(ISignInEventHandler), calls.front().interfaceId));
    EXPECT_TRUE(::IsEqualIID(__uuidof(ISignOutEventHandler), calls.back().interfaceId));
}

TEST_F(EventBrokerStandInTest, CreationFailsWithTheSteeredResult) {
    ASSERT_HRESULT_SUCCEEDED(m_control->SetCreationResult(CO_E_SERVER_EXEC_FAILURE));
    ComPtr<IEventBroker> broker;
    EXPECT_EQ(CO_E_SERVER_EXEC_FAILURE,
              ::CoCreateInstance(__uuidof(EventBroker), nullptr, CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER,
                                 IID_PPV_ARGS(&broker)));
    EXPECT_FALSE(broker);

    ASSERT_HRESULT_SUCCEEDED(m_control->Reset());
    EXPECT_EQ(S_OK, ::CoCreateInstance(__uuidof(EventBroker), nullptr, CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER,
                                       IID_PPV_ARGS(&broker)));
}

TEST_F(EventBrokerStandInTest, EveryInstanceSharesOneState) {
    ComPtr<IEventBrokerControl> otherControl;
    ASSERT_NO_THROW(otherControl = EventBrokerStandIn::CreateControl());
    ComPtr<IEventBroker> otherBroker;
    ASSERT_HRESULT_SUCCEEDED(::CoCreateInstance(__uuidof(EventBroker), nullptr, CLSCTX_INPROC_SERVER,
                                                IID_PPV_ARGS(&otherBroker)));

    const IID iid = __uuidof(ISignOutEventHandler);
    ASSERT_HRESULT_SUCCEEDED(otherControl->SetBrokerAnswer(iid, REGDB_E_CLASSNOTREG, 0, EventBrokerHandler_None));
    ComPtr<IUnknown> handler;
    DWORD status = 0;
    EXPECT_EQ(REGDB_E_CLASSNOTREG, GetHandler(iid, handler, status));
    EXPECT_EQ(REGDB_E_CLASSNOTREG,
              otherBroker->GetHandler(L"NUV", GuidText(iid).c_str(), nullptr, 0, &iid, &handler, &status));
    EXPECT_EQ(2u, EventBrokerStandIn::ReadBrokerCalls(otherControl.Get()).size());
}

TEST_F(EventBrokerStandInTest, HandlersAreLiveUntilTheirLastRelease) {
    ULONG before = 0;
    ASSERT_HRESULT_SUCCEEDED(m_control->GetLiveHandlerCount(&before));
    ComPtr<IUnknown> recording;
    ComPtr<IUnknown> bare;
    DWORD status = 0;
    ASSERT_EQ(S_OK, GetHandler(__uuidof(IUrlVisitedEventHandler), recording, status));
    ASSERT_HRESULT_SUCCEEDED(m_control->QueueBrokerAnswer(GUID_NULL, S_OK, 0, EventBrokerHandler_WithoutInterface));
    ASSERT_EQ(S_OK, GetHandler(__uuidof(IUrlVisitedEventHandler), bare, status));
    ULONG live = 0;
    ASSERT_HRESULT_SUCCEEDED(m_control->GetLiveHandlerCount(&live));
    EXPECT_EQ(before + 2, live);

    ASSERT_HRESULT_SUCCEEDED(m_control->Reset());  // records go, handlers stay
    ASSERT_HRESULT_SUCCEEDED(m_control->GetLiveHandlerCount(&live));
    EXPECT_EQ(before + 2, live);

    recording.Reset();
    bare.Reset();
    ASSERT_HRESULT_SUCCEEDED(m_control->GetLiveHandlerCount(&live));
    EXPECT_EQ(before, live);
}

TEST_F(EventBrokerStandInTest, RecordsCallsFromConcurrentThreads) {
    constexpr int kThreads = 4;
    constexpr int kCallsPerThread = 50;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t] {
            NuvCom::CCoInitialize com(COINIT_MULTITHREADED);
            ComPtr<IUnknown> handler;
            DWORD status = 0;
            if (GetHandler(__uuidof(ISignInRequiredEventHandler), handler, status) != S_OK) {
                return;
            }
            ComPtr<ISignInRequiredEventHandler> typed;
            handler.As(&typed);
            for (int i = 0; i < kCallsPerThread; ++i) {
                typed->OnSignInRequiredEvent(static_cast<DWORD>(t));
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    const std::vector<HandlerCallRecord> calls = HandlerCalls();
    ASSERT_EQ(static_cast<std::size_t>(kThreads * kCallsPerThread), calls.size());
    std::vector<int> perSession(kThreads, 0);
    for (const HandlerCallRecord& call : calls) {
        ASSERT_LT(call.sessionId, static_cast<DWORD>(kThreads));
        ++perSession[call.sessionId];
    }
    EXPECT_EQ(std::vector<int>(kThreads, kCallsPerThread), perSession);
}

}  // namespace
