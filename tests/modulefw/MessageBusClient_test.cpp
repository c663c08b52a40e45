// The bus client and its adapter over a recording function table: what reaches the bus, and
// every answer the bus can give, including the ones the stand-in never gives.

#include "modulefw/MessageBusClient.h"
#include "modulefw/MessageBusLib.h"
#include "modulefw/MessageBusShimImpl.h"
#include "modulefw/ModuleException.h"
#include "tests/modulefw/FakeBusTable.h"
#include "logging/LoggingIf.h"
#include "tests/support/LogRecorder.h"
#include "tests/support/TestPaths.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Korin::Message;
using Korin::MessageBusClient;
using Korin::MessageBusShimImpl;
using Korin::ModuleStatus;
using Korin::Reply;
using Korin::ReplyStatus;
using NuvTest::FakeBusTable;
using MessagePtr = std::shared_ptr<Message>;

constexpr std::uint32_t kBit0 = 1u << 0, kBit3 = 1u << 3, kBit4 = 1u << 4;

class FakeProcessAPI : public Korin::ProcessAPI {
public:
    // Session 0 with `succeed` false: the query fails.
    FakeProcessAPI(DWORD session, bool succeed) : m_session(session), m_succeed(succeed) {}
    DWORD getCurrentProcessId() override { return 4242; }
    BOOL processIdToSessionId(DWORD processId, DWORD* sessionId) override {
        if (!m_succeed || processId != 4242) return FALSE;
        *sessionId = m_session;
        return TRUE;
    }

private:
    DWORD m_session;
    bool m_succeed;
};

std::size_t CountLines(DWORD level, const std::wstring& text) {
    std::size_t count = 0;
    for (const auto& line : NuvTest::TakeLoggedLines()) {
        if (line.level == level && line.text.find(text) != std::wstring::npos) ++count;
    }
    return count;
}

Halvex::WireHeader HeaderWithSession(std::uint32_t sessionId) {
    Halvex::WireHeader header = {};
    header.firstWord = 1;
    header.totalSize = 200;
    header.version = Halvex::kHeaderVersion2;
    header.extensionType = Halvex::kExtensionType;
    header.extensionLength = Halvex::kExtensionLength;
    header.sessionId = sessionId;
    return header;
}

class BusClientTest : public testing::Test {
protected:
    void SetUp() override { NuvTest::TakeLoggedLines(); }

    std::unique_ptr<MessageBusClient> MakeClient(DWORD session = 1, bool sessionKnown = true) {
        return std::make_unique<MessageBusClient>(std::make_shared<MessageBusShimImpl>(fake.Handle(), fake.Table()),
                                                  std::make_shared<FakeProcessAPI>(session, sessionKnown));
    }

    // The bus answering request `n` as it recorded it.
    std::uint32_t Answer(std::size_t n, std::uint32_t status, const wchar_t* payload = L"{\"ok\":1}") {
        const FakeBusTable::Request& r = fake.requests.at(n);
        const Halvex::WireHeader header = HeaderWithSession(1);
        return r.callback(r.context, r.replyIndex, &header, L"Test.Reply", L"responder", payload, status);
    }

    // The bus delivering a message to subscription `n`.
    std::uint32_t Deliver(std::size_t n, const wchar_t* name, const void* header, const wchar_t* sender = L"peer") {
        const FakeBusTable::Subscription& s = fake.subscriptions.at(n);
        return s.callback(s.context, header, name, sender, L"{}");
    }

    FakeBusTable fake;
};

TEST_F(BusClientTest, AdapterRefusesMissingHandleOrTable) {
    for (const bool nullHandle : {true, false}) {
        SCOPED_TRACE(nullHandle ? "handle" : "table");
        const char* expected = nullHandle ? "Invalid message bus handle" : "Invalid message bus functions object";
        try {
            MessageBusShimImpl shim(nullHandle ? nullptr : fake.Handle(), nullHandle ? fake.Table() : nullptr);
            ADD_FAILURE() << "constructed";
        } catch (const Korin::ModuleException& e) {
            EXPECT_STREQ(expected, e.what());
        }
        EXPECT_EQ(1u, CountLines(ETWLogging::LOG_ERROR, std::wstring(L"Invalid message bus ") +
                                                            (nullHandle ? L"handle" : L"functions object") +
                                                            L". Throwing ModuleException."));
    }
}

// A loaded library (the loader's probe) whose CreateObject hands out the recording table.
class FakeBusLibrary : public Korin::SharedLibrary {
public:
    FakeBusLibrary() : SharedLibrary(Korin::SharedLibraryInfo{L"modulefw_probe.dll", {NuvTest::ExeFolder()}}) {
        m_functions.createObject = [](std::uint32_t version) -> void* {
            return version == Halvex::kInterfaceVersion ? const_cast<Korin::MessageBusFunctions*>(s_table) : nullptr;
        };
    }
    const Korin::SharedLibraryFunctions* getFunctions() override { return &m_functions; }
    static inline const Korin::MessageBusFunctions* s_table = nullptr;

private:
    Korin::SharedLibraryFunctions m_functions;
};

TEST_F(BusClientTest, LibraryBindingOpensAndReleasesTheBus) {
    FakeBusLibrary::s_table = fake.Table();
    struct Case {
        std::uint32_t openStatus, releaseStatus;
        const wchar_t* line;
    };
    const Case cases[] = {
        {0x80000007, 0,
         L"Failed to get message bus handle. Error code: MODULE_STATUS_INVALID_HANDLE(2147483655). "
         L"Throwing ModuleException."},
        {0, 0, nullptr},
        {0, 0x80000002, L"Failed to release message bus. Error code MODULE_STATUS_UNSUCCESSFUL(2147483650)."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.openStatus);
        fake.openStatus = c.openStatus;
        fake.releaseStatus = c.releaseStatus;
        fake.releases = fake.replyCallbackReleases = 0;
        fake.publishes.clear();
        auto library = std::make_shared<FakeBusLibrary>();
        NuvTest::TakeLoggedLines();
        if (c.openStatus != 0) {
            try {
                Korin::MessageBusLib bus(library);
                ADD_FAILURE() << "bound";
            } catch (const Korin::ModuleException& e) {
                EXPECT_STREQ("Failed to get message bus handle", e.what());
            }
            EXPECT_EQ(1u, CountLines(ETWLogging::LOG_ERROR, c.line));
            EXPECT_EQ(0, fake.releases);
            continue;
        }
        {
            MessageBusClient client(std::make_shared<Korin::MessageBusLib>(library), nullptr);
            EXPECT_EQ(0u, client.publish(Message::create(L"Test.Through", L"NUV", L"{}")));
            ASSERT_EQ(1u, fake.publishes.size());
            EXPECT_EQ(L"Test.Through", fake.publishes[0].name);
            NuvTest::TakeLoggedLines();
        }
        // Client and adapter each released the reply callback; then the handle went.
        EXPECT_EQ(2, fake.replyCallbackReleases);
        EXPECT_EQ(1, fake.releases);
        EXPECT_EQ(c.line ? 1u : 0u, CountLines(ETWLogging::LOG_WARNING, c.line ? c.line : L"Failed to release"));
    }
}

TEST_F(BusClientTest, PublishMakesThePlainCopyOfAReplyOnlyOnce) {
    struct Case {
        const char* what;
        std::uint32_t flags;
        std::vector<std::uint32_t> busStatuses;
        ModuleStatus result;
        // (flags, reply index) of each publish the bus sees
        std::vector<std::pair<std::uint32_t, std::uint64_t>> seen;
        std::uint32_t flagsAfter;
    };
    const Case cases[] = {
        {"reply", kBit0, {}, 0, {{kBit0 | kBit4, 42}, {kBit4, 0}}, kBit4},
        {"copy refused", kBit0, {0, 0x80000002}, 0, {{kBit0 | kBit4, 42}, {kBit4, 0}}, kBit4},
        {"reply refused", kBit0, {0x80000007}, 0x80000007, {{kBit0 | kBit4, 42}}, kBit0 | kBit4},
        {"reply without copy", kBit0 | kBit3, {}, 0, {{kBit0 | kBit3, 42}}, kBit0 | kBit3},
        {"copy already made", kBit0 | kBit4, {}, 0, {{kBit0 | kBit4, 42}}, kBit0 | kBit4},
        {"plain message", 0, {}, 0, {{0, 42}}, 0},
    };
    auto client = MakeClient();
    for (const bool variant : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (variant ? " variant" : ""));
            fake.publishes.clear();
            fake.publishStatuses.assign(c.busStatuses.begin(), c.busStatuses.end());
            NuvTest::TakeLoggedLines();
            auto message = Message::create(L"Test.Reply", L"NUV", L"{}");
            message->getHeader()->flags = c.flags;
            message->getHeader()->replyIndex = 42;

            EXPECT_EQ(c.result, variant ? client->publishVariant(message) : client->publish(message));
            ASSERT_EQ(c.seen.size(), fake.publishes.size());
            for (std::size_t i = 0; i < c.seen.size(); ++i) {
                EXPECT_EQ(c.seen[i].first, fake.publishes[i].header.flags);
                EXPECT_EQ(c.seen[i].second, fake.publishes[i].header.replyIndex);
                EXPECT_EQ(variant, fake.publishes[i].variant);
                EXPECT_EQ(L"Test.Reply", fake.publishes[i].name);
            }
            EXPECT_EQ(c.flagsAfter, message->getHeader()->flags);
            const auto lines = NuvTest::TakeLoggedLines();
            const bool copyWarned = std::any_of(lines.begin(), lines.end(), [](const NuvTest::LoggedLine& l) {
                return l.level == ETWLogging::LOG_WARNING &&
                       l.text == L"Failed to publish non-reply copy of the message. Error code 2147483650.";
            });
            EXPECT_EQ(c.busStatuses.size() == 2, copyWarned);
        }
    }
    const std::size_t published = fake.publishes.size();
    EXPECT_EQ(Korin::MODULE_STATUS_INVALID_PARAMETER, client->publish(nullptr));
    EXPECT_EQ(published, fake.publishes.size());
}

TEST_F(BusClientTest, EveryRequestTakesTheNextIndexEvenWhenItFails) {
    auto client = MakeClient();
    fake.requestStatuses = {0, 0x80000007, 0};
    std::atomic<int> callbacks{0};
    std::shared_ptr<Reply> first, second;
    const auto question = Message::create(L"Test.Question", L"NUV", L"{}");
    EXPECT_EQ(0u, client->request(question, first, 3000));
    EXPECT_EQ(0x80000007u, client->request(question, [&](std::shared_ptr<Reply>) { ++callbacks; }, 3000));
    EXPECT_EQ(0u, client->requestVariant(question, second, 7000));
    EXPECT_EQ(Korin::MODULE_STATUS_INVALID_PARAMETER, client->request(nullptr, first, 3000));
    EXPECT_EQ(1u, CountLines(ETWLogging::LOG_ERROR, L"Failed to make request. Error code 2147483655."));

    ASSERT_EQ(3u, fake.requests.size());  // the empty message never reached the bus
    for (std::uint64_t i = 0; i < 3; ++i) {
        EXPECT_EQ(i, fake.requests[i].replyIndex);
        EXPECT_EQ(fake.requests[0].context, fake.requests[i].context);
    }
    EXPECT_EQ(7000u, fake.requests[2].timeoutMs);
    EXPECT_TRUE(fake.requests[2].variant);
    EXPECT_FALSE(fake.requests[0].variant);

    // The failed request left nothing behind to answer; index 3 went to the empty message.
    EXPECT_EQ(Korin::MODULE_STATUS_NOT_FOUND, Answer(1, 0));
    EXPECT_EQ(0u, Answer(0, 0));
    EXPECT_EQ(0u, Answer(2, 0));
    EXPECT_EQ(ReplyStatus::Received, first->wait());
    EXPECT_EQ(ReplyStatus::Received, second->wait());
    fake.requests.clear();
    EXPECT_EQ(0u, client->request(question, first, 3000));
    EXPECT_EQ(4u, fake.requests.at(0).replyIndex);
    EXPECT_EQ(0, callbacks.load());
}

TEST_F(BusClientTest, BusStatusDecidesTheReply) {
    struct Case {
        std::uint32_t busStatus;
        ReplyStatus status;
    };
    const Case cases[] = {
        {0, ReplyStatus::Received},
        {Korin::MODULE_STATUS_TIMEOUT, ReplyStatus::TimedOut},
        {Korin::MODULE_STATUS_DATA_ERROR, ReplyStatus::Invalid},
    };
    auto client = MakeClient();
    const auto question = Message::create(L"Test.Question", L"NUV", L"{}");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.busStatus);
        fake.requests.clear();
        std::shared_ptr<Reply> waited;
        std::shared_ptr<Reply> completed;
        int calls = 0;
        ASSERT_EQ(0u, client->request(question, waited, 60000));
        ASSERT_EQ(0u, client->request(question, [&](std::shared_ptr<Reply> r) {
            ++calls;
            completed = r;
            // Decided before the callback runs: nothing to wait for.
            EXPECT_EQ(c.status, r->getStatus());
        }, 60000));
        EXPECT_EQ(0u, Answer(0, c.busStatus, L"{\"first\":1}"));
        EXPECT_EQ(0u, Answer(1, c.busStatus, L"{\"second\":1}"));
        EXPECT_EQ(c.status, waited->wait());
        ASSERT_EQ(1, calls);
        EXPECT_EQ(c.status, completed->getStatus());
        if (c.status == ReplyStatus::Received) {
            EXPECT_EQ(L"{\"first\":1}", waited->getMessage()->getPayload());
            EXPECT_EQ(L"{\"second\":1}", completed->getMessage()->getPayload());
            EXPECT_EQ(L"responder", completed->getMessage()->getSender());
            EXPECT_EQ(1u, completed->getMessage()->getHeader()->extension.sessionId);
        } else {
            EXPECT_EQ(nullptr, waited->getMessage());
        }
    }
}

TEST_F(BusClientTest, SecondReplyForAnIndexIsNotFound) {
    auto client = MakeClient();
    const auto question = Message::create(L"Test.Question", L"NUV", L"{}");
    std::shared_ptr<Reply> reply;
    for (int i = 0; i < 6; ++i) ASSERT_EQ(0u, client->request(question, reply, 60000));
    ASSERT_EQ(5u, fake.requests.at(5).replyIndex);
    EXPECT_EQ(0u, Answer(5, 0));
    NuvTest::TakeLoggedLines();
    EXPECT_EQ(Korin::MODULE_STATUS_NOT_FOUND, Answer(5, 0));
    EXPECT_EQ(1u, CountLines(ETWLogging::LOG_WARNING, L"Reply index not found. Returning"));
    EXPECT_EQ(ReplyStatus::Received, reply->wait());
}

TEST_F(BusClientTest, ReplyCallbackGuardsItsContext) {
    const Halvex::WireHeader header = HeaderWithSession(1);
    EXPECT_EQ(Korin::MODULE_STATUS_INVALID_PARAMETER,
              MessageBusShimImpl::handleReply(nullptr, 0, &header, L"Test.Reply", L"x", L"{}", 0));
    MessageBusClient::ReplyHandler empty;
    EXPECT_EQ(Korin::MODULE_STATUS_UNKNOWN_EXCEPTION,
              MessageBusShimImpl::handleReply(&empty, 0, &header, L"Test.Reply", L"x", L"{}", 0));
    // A failed request builds no message: the handler gets an empty one with the bus's status.
    MessageBusClient::ReplyHandler record = [](std::uint64_t index, MessagePtr message, ModuleStatus status) {
        EXPECT_EQ(7u, index);
        EXPECT_EQ(nullptr, message);
        EXPECT_EQ(Korin::MODULE_STATUS_TIMEOUT, status);
        return ModuleStatus{0x1234};
    };
    EXPECT_EQ(0x1234u, MessageBusShimImpl::handleReply(&record, 7, nullptr, L"", L"", L"", Korin::MODULE_STATUS_TIMEOUT));
}

TEST_F(BusClientTest, DeliveredMessagesAreBuiltFromWhatTheBusHandsOver) {
    auto client = MakeClient();
    MessagePtr received;
    ASSERT_EQ(0u, client->subscribe(L"Test.Broadcast", [&](MessagePtr m) {
        received = m;
        return ModuleStatus{0};
    }));
    ASSERT_EQ(0u, client->subscribe(L"Test.Throws", [](MessagePtr) -> ModuleStatus { throw std::runtime_error("x"); }));

    const Halvex::WireHeader header = HeaderWithSession(3);
    EXPECT_EQ(0u, Deliver(0, L"Test.Broadcast", &header, L""));
    ASSERT_NE(nullptr, received);
    EXPECT_EQ(Korin::getCurrentModuleFileName(), received->getSender());
    EXPECT_EQ(3u, received->getHeader()->extension.sessionId);
    EXPECT_EQ(200u, received->getHeader()->totalSize);

    EXPECT_EQ(0u, Deliver(0, L"Test.Broadcast", nullptr));
    EXPECT_EQ(0u, received->getHeader()->totalSize);  // the template
    EXPECT_EQ(L"peer", received->getSender());

    EXPECT_EQ(Korin::MODULE_STATUS_UNKNOWN_EXCEPTION, Deliver(1, L"Test.Throws", &header));
}

TEST_F(BusClientTest, AliasesGroupSubscriptionsForRemoval) {
    auto client = MakeClient();
    const auto handler = [](MessagePtr) { return ModuleStatus{0}; };
    ASSERT_EQ(0u, client->subscribe(L"Test.One", L"both", handler));
    ASSERT_EQ(0u, client->subscribeFilter(L"Test\\.Two\\..*", L"both", handler));
    ASSERT_EQ(0u, client->subscribe(L"Test.One", handler));  // same name, its own alias
    ASSERT_EQ(3u, fake.subscriptions.size());
    EXPECT_FALSE(fake.subscriptions[0].pattern);
    EXPECT_TRUE(fake.subscriptions[1].pattern);
    EXPECT_EQ(L"Test\\.Two\\..*", fake.subscriptions[1].name);
    // Each its own context, which stays put while the lists grow.
    EXPECT_NE(fake.subscriptions[0].context, fake.subscriptions[2].context);

    EXPECT_EQ(0u, client->unsubscribe(L"both"));
    EXPECT_EQ((std::vector<std::uint32_t>{fake.subscriptions[0].id, fake.subscriptions[1].id}), fake.unsubscribed);
    fake.unsubscribed.clear();
    EXPECT_EQ(0u, client->unsubscribe(L"both"));
    EXPECT_TRUE(fake.unsubscribed.empty());
    EXPECT_EQ(1u, CountLines(ETWLogging::LOG_WARNING, L"Subscription not found. Alias: both."));

    // The bus refuses: the record goes, the alias stays, empty, and leaves without a bus call.
    fake.subscriptionIds = {0, 0};
    EXPECT_EQ(Korin::MODULE_STATUS_UNSUCCESSFUL, client->subscribe(L"Test.Refused", L"refused", handler));
    EXPECT_EQ(Korin::MODULE_STATUS_UNSUCCESSFUL, client->subscribeFilter(L"Test.*", L"refused", handler));
    auto lines = NuvTest::TakeLoggedLines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(L"Failed to subscribe. Alias: refused Message name: Test.Refused", lines[0].text);
    EXPECT_EQ(L"Failed to subscribeFilter. Alias: refused Message nameRegex: Test.*", lines[1].text);
    EXPECT_EQ(0u, client->unsubscribe(L"refused"));
    EXPECT_TRUE(fake.unsubscribed.empty());
    EXPECT_EQ(0u, CountLines(ETWLogging::LOG_WARNING, L"Subscription not found"));

    // A pattern that does not compile never reaches the bus.
    const std::size_t before = fake.subscriptions.size();
    EXPECT_EQ(Korin::MODULE_STATUS_INVALID_PARAMETER, client->subscribeFilter(L"(", handler));
    EXPECT_EQ(before, fake.subscriptions.size());
    lines = NuvTest::TakeLoggedLines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(0u, lines[0].text.find(L"subscribeFilter failed. Regex error with regex \"(\" [caught: "));

    // What is left goes with the client, and the reply callback is released by client and adapter.
    client.reset();
    EXPECT_EQ((std::vector<std::uint32_t>{fake.subscriptions[2].id}), fake.unsubscribed);
    EXPECT_EQ(2, fake.replyCallbackReleases);
}

TEST_F(BusClientTest, DispatchReachesMatchingSubscriptionsOfThisClient) {
    auto client = MakeClient();
    std::vector<std::wstring> reached;
    const auto record = [&](const wchar_t* who) {
        return [&reached, who](MessagePtr) {
            reached.push_back(who);
            return ModuleStatus{0x80000002};  // ignored
        };
    };
    ASSERT_EQ(0u, client->subscribe(L"Core.ParentalControls.State", record(L"exact")));
    ASSERT_EQ(0u, client->subscribe(L"core.parentalcontrols.state", record(L"lower case")));
    ASSERT_EQ(0u, client->subscribeFilter(L"Core\\.ParentalControls\\..*", record(L"prefix")));
    ASSERT_EQ(0u, client->subscribeFilter(L"ParentalControls", record(L"middle word")));

    EXPECT_EQ(0u, client->dispatchMessage(Message::create(L"Core.ParentalControls.State", L"host", L"{}")));
    std::sort(reached.begin(), reached.end());
    EXPECT_EQ((std::vector<std::wstring>{L"exact", L"prefix"}), reached);

    // A handler that throws stops the delivery of that message and leaves the call.
    auto second = MakeClient();
    int after = 0;
    ASSERT_EQ(0u, second->subscribe(L"Test.Direct", L"one", [](MessagePtr) -> ModuleStatus { throw 1; }));
    ASSERT_EQ(0u, second->subscribe(L"Test.Direct", L"one", [&](MessagePtr) {
        ++after;
        return ModuleStatus{0};
    }));
    EXPECT_THROW(second->dispatchMessage(Message::create(L"Test.Direct", L"host", L"{}")), int);
    EXPECT_EQ(0, after);
    EXPECT_EQ(0u, second->unsubscribe(L"one"));  // the lock was released on the way out
}

TEST_F(BusClientTest, SessionFilterDropsOtherSessions) {
    struct Case {
        DWORD clientSession;
        bool sessionKnown;
        std::uint32_t messageSession;
        bool delivered;
    };
    const Case cases[] = {
        {1, true, 2, false}, {1, true, 1, true}, {1, true, 0, true},
        {0, false, 2, true},  // no session known: nothing filtered
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "client " << c.clientSession << " message " << c.messageSession);
        fake.subscriptions.clear();
        NuvTest::TakeLoggedLines();
        auto client = MakeClient(c.clientSession, c.sessionKnown);
        EXPECT_EQ(c.sessionKnown ? 0u : 1u,
                  CountLines(ETWLogging::LOG_ERROR, L"Failed to get the session id for process 4242 - defaulting to 0"));
        int exact = 0, pattern = 0;
        ASSERT_EQ(0u, client->subscribeInSession(L"Test.Session", [&](MessagePtr) {
            ++exact;
            return ModuleStatus{0x1234};
        }));
        ASSERT_EQ(0u, client->subscribeFilterInSession(L"Test\\..*", [&](MessagePtr) {
            ++pattern;
            return ModuleStatus{0x1234};
        }));
        const Halvex::WireHeader header = HeaderWithSession(c.messageSession);
        EXPECT_EQ(c.delivered ? 0x1234u : 0u, Deliver(0, L"Test.Session", &header));
        EXPECT_EQ(c.delivered ? 0x1234u : 0u, Deliver(1, L"Test.Session", &header));
        EXPECT_EQ(c.delivered ? 1 : 0, exact);
        EXPECT_EQ(c.delivered ? 1 : 0, pattern);
    }
}

TEST_F(BusClientTest, DestroyedClientCallsNoCompletionAndAbandonsItsReplies) {
    auto client = MakeClient();
    const auto question = Message::create(L"Test.Question", L"NUV", L"{}");
    std::shared_ptr<Reply> reply;
    int calls = 0;
    ASSERT_EQ(0u, client->request(question, reply, 60000));
    ASSERT_EQ(0u, client->request(question, [&](std::shared_ptr<Reply>) { ++calls; }, 60000));
    client.reset();
    EXPECT_EQ(ReplyStatus::Invalid, reply->wait());
    EXPECT_EQ(0, calls);
    EXPECT_EQ(2, fake.replyCallbackReleases);
}

TEST_F(BusClientTest, DestructionWaitsForARunningCompletion) {
    auto client = MakeClient();
    HANDLE entered = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE proceed = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> completionDone{false}, doneBeforeDestroyed{false};
    // A completion that holds the bus's thread until told.
    ASSERT_EQ(0u, client->request(Message::create(L"Test.Question", L"NUV", L"{}"),
                                  [&](std::shared_ptr<Reply>) {
                                      ::SetEvent(entered);
                                      ::WaitForSingleObject(proceed, 30000);
                                      completionDone = true;
                                  },
                                  60000));
    std::thread bus([&] { Answer(0, 0); });
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(entered, 30000));
    std::thread destroyer([&] {
        client.reset();
        doneBeforeDestroyed = completionDone.load();
    });
    ::Sleep(50);  // let the destructor reach its wait; the check below holds either way
    ::SetEvent(proceed);
    destroyer.join();
    bus.join();
    EXPECT_TRUE(doneBeforeDestroyed);
    ::CloseHandle(entered);
    ::CloseHandle(proceed);
}

TEST_F(BusClientTest, ClientMayGoFromItsOwnCompletionOrHandler) {
    auto client = MakeClient();
    bool called = false;
    ASSERT_EQ(0u, client->request(Message::create(L"Test.Question", L"NUV", L"{}"),
                                  [&](std::shared_ptr<Reply>) {
                                      called = true;
                                      client.reset();
                                  },
                                  60000));
    EXPECT_EQ(0u, Answer(0, 0));
    EXPECT_TRUE(called);
    EXPECT_EQ(nullptr, client);

    // A handler removing its own subscription keeps running to its end.
    client = MakeClient();
    std::wstring seen;
    ASSERT_EQ(0u, client->subscribe(L"Test.Once", [&, text = std::wstring(L"still here")](MessagePtr) {
        client->unsubscribe(L"Test.Once");
        seen = text;
        return ModuleStatus{0};
    }));
    const Halvex::WireHeader header = HeaderWithSession(1);
    EXPECT_EQ(0u, Deliver(fake.subscriptions.size() - 1, L"Test.Once", &header));
    EXPECT_EQ(L"still here", seen);
}

}  // namespace
