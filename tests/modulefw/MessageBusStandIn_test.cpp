// The bus client on the stand-in bus where the product finds it: two clients of this process,
// and a client in a second process (modulefw_bus_peer); then the library binding's own paths.

#include "modulefw/MessageBusClient.h"
#include "modulefw/MessageBusLib.h"
#include "modulefw/ModuleException.h"
#include "tests/modulefw/BusClientHelpers.h"
#include "tests/support/BusFixture.h"
#include "tests/support/ChildProcess.h"
#include "logging/LoggingIf.h"
#include "tests/support/LogRecorder.h"
#include "tests/support/TestPaths.h"

#include "base/UniqueHandle.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>

namespace {

using Korin::Message;
using Korin::MessageBusClient;
using Korin::ModuleStatus;
using Korin::Reply;
using Korin::ReplyStatus;
using NuvTest::MessageLog;
using MessagePtr = std::shared_ptr<Message>;

constexpr std::uint64_t kReplyMs = 20000;
constexpr DWORD kStartMs = 30000;

bool AnyLine(DWORD level, const std::wstring& text) {
    for (const auto& line : NuvTest::TakeLoggedLines()) {
        if (line.level == level && line.text == text) return true;
    }
    return false;
}

class StandInClientTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_bus.Loaded()) << "no stand-in bus beside the program";
        NuvTest::TakeLoggedLines();
    }

    std::unique_ptr<MessageBusClient> Client() {
        auto client = MessageBusClient::getInstance();
        EXPECT_NE(nullptr, client);
        return client;
    }

    NuvTest::StandInBus m_bus;  // registers its folder where getInstance looks
};

TEST_F(StandInClientTest, TwoClientsPublishAndSubscribe) {
    auto listener = Client(), talker = Client();
    ASSERT_TRUE(listener && talker);
    MessageLog exact, pattern, sameNameOtherAlias;
    ASSERT_EQ(0u, listener->subscribe(L"Test.Broadcast", exact.Handler()));
    ASSERT_EQ(0u, listener->subscribe(L"Test.Broadcast", L"second", sameNameOtherAlias.Handler()));
    ASSERT_EQ(0u, listener->subscribeFilter(L"Test\\.Pattern\\..*", pattern.Handler()));

    ASSERT_EQ(0u, talker->publish(Message::create(L"Test.Broadcast", L"talker", L"{\"n\":1}")));
    ASSERT_EQ(0u, talker->publish(Message::create(L"Test.Pattern.One", L"", L"{\"n\":2}")));
    ASSERT_EQ(0u, talker->publishVariant(Message::create(L"Test.Pattern.Two", L"talker", L"{\"n\":3}")));
    ASSERT_TRUE(exact.WaitFor(1));
    ASSERT_TRUE(sameNameOtherAlias.WaitFor(1));
    ASSERT_TRUE(pattern.WaitFor(2));

    const MessagePtr broadcast = exact.Messages()[0];
    EXPECT_EQ(L"{\"n\":1}", broadcast->getPayload());
    EXPECT_EQ(L"talker", broadcast->getSender());
    // Stamped by the bus with the publisher's session, which the filter compares with ours.
    EXPECT_EQ(listener->getSessionId(), broadcast->getHeader()->extension.sessionId);
    const auto patterned = pattern.Messages();
    EXPECT_EQ(Korin::getCurrentModuleFileName(), patterned[0]->getSender());
    EXPECT_EQ(L"Test.Pattern.One", patterned[0]->getName());
    EXPECT_EQ(L"Test.Pattern.Two", patterned[1]->getName());
}

TEST_F(StandInClientTest, RequestsAcrossTwoClientsUseTheirOwnIndices) {
    auto responder = Client(), asker = Client();
    ASSERT_TRUE(responder && asker);
    ASSERT_EQ(0u, responder->subscribe(L"Test.Echo.Request", [&](MessagePtr m) {
        return NuvTest::ReplyThrough(*responder, *m, L"Test.Echo.Reply",
                                     L"echo:" + m->getPayload() + L"@" + std::to_wstring(m->getHeader()->replyIndex));
    }));
    MessageLog copies;
    ASSERT_EQ(0u, asker->subscribe(L"Test.Echo.Reply", copies.Handler()));

    std::shared_ptr<Reply> first, third;
    ASSERT_EQ(0u, asker->request(Message::create(L"Test.Echo.Request", L"asker", L"a"), first, kReplyMs));
    // Refused before the bus, and still uses index 1.
    EXPECT_EQ(Korin::MODULE_STATUS_INVALID_PARAMETER, asker->request(nullptr, first, kReplyMs));
    MessageLog completed;
    std::shared_ptr<Reply> completedReply;
    ASSERT_EQ(0u, asker->requestVariant(Message::create(L"Test.Echo.Request", L"asker", L"c"),
                                        [&](std::shared_ptr<Reply> r) {
                                            completedReply = r;
                                            completed.Handler()(r->getMessage());
                                        },
                                        kReplyMs));
    ASSERT_EQ(ReplyStatus::Received, first->wait());
    EXPECT_EQ(L"echo:a@0", first->getMessage()->getPayload());
    EXPECT_EQ(L"responder", first->getMessage()->getSender());
    ASSERT_TRUE(completed.WaitFor(1));
    EXPECT_EQ(ReplyStatus::Received, completedReply->getStatus());
    EXPECT_EQ(L"echo:c@2", completedReply->getMessage()->getPayload());

    // Subscribers of the reply's name get the plain copy: reply flag clear, index 0, bit 4 set.
    ASSERT_TRUE(copies.WaitFor(2));
    for (const MessagePtr& copy : copies.Messages()) {
        EXPECT_FALSE(copy->getHeader()->isFlagSet(Korin::MessageHeader::ReplyFlag));
        EXPECT_TRUE(copy->getHeader()->isFlagSet(4));
        EXPECT_EQ(0u, copy->getHeader()->replyIndex);
    }

    // No subscriber: the bus reports the time-out, which the reply reads as such.
    std::shared_ptr<Reply> unanswered;
    ASSERT_EQ(0u, asker->request(Message::create(L"Test.Nobody", L"asker", L"{}"), unanswered, 100));
    EXPECT_EQ(ReplyStatus::TimedOut, unanswered->wait());
}

// A responder answering under the request's own name sees its reply's plain copy as one more
// message of that name unless it sets bit 3; the copy carries bit 4 to tell it apart.
TEST_F(StandInClientTest, ReplyUnderTheRequestsNameAndItsCopy) {
    for (const bool noCopy : {true, false}) {
        SCOPED_TRACE(noCopy ? "bit 3 set" : "default");
        auto responder = Client(), asker = Client();
        ASSERT_TRUE(responder && asker);
        MessageLog seen, handled;
        ASSERT_EQ(0u, responder->subscribe(L"Test.Same", seen.Handler([&](const MessagePtr& m) {
            if (m->getPayload() == L"question") {
                NuvTest::ReplyThrough(*responder, *m, L"Test.Same", L"answer", noCopy);
                handled.Handler()(m);
            }
        })));
        std::shared_ptr<Reply> reply;
        ASSERT_EQ(0u, asker->request(Message::create(L"Test.Same", L"asker", L"question"), reply, kReplyMs));
        ASSERT_EQ(ReplyStatus::Received, reply->wait());
        EXPECT_EQ(L"answer", reply->getMessage()->getPayload());
        ASSERT_TRUE(handled.WaitFor(1));
        // One subscription's messages arrive in publish order: the marker comes after any copy.
        ASSERT_EQ(0u, asker->publish(Message::create(L"Test.Same", L"asker", L"marker")));
        const std::size_t expected = noCopy ? 2 : 3;
        ASSERT_TRUE(seen.WaitFor(expected));
        const auto messages = seen.Messages();
        ASSERT_EQ(expected, messages.size());
        EXPECT_EQ(L"question", messages.front()->getPayload());
        EXPECT_EQ(L"marker", messages.back()->getPayload());
        if (!noCopy) {
            EXPECT_EQ(L"answer", messages[1]->getPayload());
            EXPECT_TRUE(messages[1]->getHeader()->isFlagSet(4));
            EXPECT_FALSE(messages[1]->getHeader()->isFlagSet(Korin::MessageHeader::ReplyFlag));
        }
    }
}

TEST_F(StandInClientTest, InSessionSubscriptionTakesOwnSessionsMessages) {
    auto listener = Client(), talker = Client();
    ASSERT_TRUE(listener && talker);
    ASSERT_NE(0u, listener->getSessionId());
    MessageLog inSession;
    ASSERT_EQ(0u, listener->subscribeFilterInSession(L"Test\\.Session\\..*", L"mine", inSession.Handler()));
    ASSERT_EQ(0u, talker->publish(Message::create(L"Test.Session.Start", L"talker", L"{}")));
    ASSERT_TRUE(inSession.WaitFor(1));
    EXPECT_EQ(0u, listener->unsubscribe(L"mine"));
}

// The product's second process: its own client made by getInstance on the same bus.
class PeerProcess {
public:
    explicit PeerProcess(const std::wstring& arguments)
        : m_process(NuvTest::StartChild(L"\"" + NuvTest::ExeFolder() + L"\\modulefw_bus_peer.exe\" " + arguments)) {}
    ~PeerProcess() {
        if (m_process.IsValid() && ::WaitForSingleObject(m_process.Get(), kStartMs) == WAIT_TIMEOUT) {
            ::TerminateProcess(m_process.Get(), 9);
            ::WaitForSingleObject(m_process.Get(), kStartMs);
        }
    }
    HANDLE Get() const { return m_process.Get(); }

private:
    Tessal::UniqueHandle m_process;
};

std::wstring EventName(const wchar_t* what) {
    return L"Local\\modulefw-bus-test-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + what;
}

TEST_F(StandInClientTest, ClientsInTwoProcesses) {
    const std::wstring readyName = EventName(L"ready"), quitName = EventName(L"quit");
    Tessal::UniqueHandle ready(::CreateEventW(nullptr, TRUE, FALSE, readyName.c_str()));
    Tessal::UniqueHandle quit(::CreateEventW(nullptr, TRUE, FALSE, quitName.c_str()));
    auto client = Client();
    ASSERT_TRUE(client);
    MessageLog notified, answers;
    ASSERT_EQ(0u, client->subscribe(L"ClientPeer.Notified", notified.Handler()));
    ASSERT_EQ(0u, client->subscribe(L"ClientPeer.Answer", answers.Handler()));
    ASSERT_EQ(0u, client->subscribe(L"ClientTest.Question", [&](MessagePtr m) {
        return NuvTest::ReplyThrough(*client, *m, L"ClientTest.Answer", L"answer:" + m->getPayload());
    }));
    {
        PeerProcess peer(L"respond " + readyName + L" " + quitName);
        ASSERT_NE(nullptr, peer.Get());
        HANDLE both[] = {ready.Get(), peer.Get()};
        ASSERT_EQ(WAIT_OBJECT_0, ::WaitForMultipleObjects(2, both, FALSE, kStartMs)) << "peer did not start";

        std::shared_ptr<Reply> echo;
        ASSERT_EQ(0u, client->request(Message::create(L"ClientPeer.Echo.Request", L"test", L"x"), echo, kReplyMs));
        ASSERT_EQ(ReplyStatus::Received, echo->wait());
        EXPECT_EQ(L"echo:x", echo->getMessage()->getPayload());

        ASSERT_EQ(0u, client->publish(Message::create(L"ClientPeer.Notify.One", L"test", L"{}")));
        ASSERT_TRUE(notified.WaitFor(1));
        EXPECT_EQ(L"ClientPeer.Notify.One", notified.Messages()[0]->getPayload());

        // The peer asks this process and tells what it was answered.
        ASSERT_EQ(0u, client->publish(Message::create(L"ClientPeer.Ask", L"test", L"why")));
        ASSERT_TRUE(answers.WaitFor(1));
        EXPECT_EQ(L"answer:why", answers.Messages()[0]->getPayload());

        ::SetEvent(quit.Get());
        ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(peer.Get(), kStartMs));
        DWORD code = 1;
        ::GetExitCodeProcess(peer.Get(), &code);
        EXPECT_EQ(0u, code);
    }
}

class FakeRegistry : public Korin::RegistryAPI {
public:
    std::wstring askedName, value;
    bool found = false;
    Korin::ModuleStatus readString(const std::wstring& key, const std::wstring& name, std::wstring& out) override {
        askedName = name;
        if (key != L"SOFTWARE\\OBERIX\\PLEXAN" || !found) return Korin::MODULE_STATUS_UNSUCCESSFUL;
        out = value;
        return 0;
    }
};

class FakeShell : public Korin::ShlObjAPI {
public:
    bool succeed = true;
    HRESULT getKnownFolderPath(REFKNOWNFOLDERID id, DWORD, HANDLE, PWSTR* path) override {
        *path = nullptr;
        if (!succeed || id != FOLDERID_ProgramFilesCommon) return E_FAIL;
        const wchar_t folder[] = L"C:\\Common Files";
        *path = static_cast<PWSTR>(::CoTaskMemAlloc(sizeof(folder)));
        memcpy(*path, folder, sizeof(folder));
        return S_OK;
    }
};

class FakeOSInfo : public Korin::PathHelpers::OSInfo {
public:
    explicit FakeOSInfo(bool wow64) : m_wow64(wow64) {}
    bool IsWow64() override { return m_wow64; }

private:
    bool m_wow64;
};

TEST(BusLibraryBinding, FallBackLocation) {
    struct Case {
        const char* what;
        bool wow64, registryHas, shellFinds;
        const wchar_t* valueName;
        const wchar_t* folder;
        const wchar_t* errorLine;
    };
    const Case cases[] = {
        {"install dir", false, true, true, L"Install Dir", L"D:\\Plexan", nullptr},
        {"WOW64 install dir", true, true, true, L"Install Dir32", L"D:\\Plexan", nullptr},
        {"no value", false, false, true, L"Install Dir", L"C:\\Common Files\\Oberix\\Plexanmod",
         L"Failed to retrieve Plexan path from registry"},
        {"no WOW64 value", true, false, true, L"Install Dir32", L"C:\\Common Files\\Oberix\\Plexanmod",
         L"Failed to retrieve Plexan WoW64 path from registry"},
        {"nothing", false, false, false, L"Install Dir", L"", L"Failed to retrieve Plexan path from registry"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        NuvTest::TakeLoggedLines();
        auto registry = std::make_shared<FakeRegistry>();
        registry->found = c.registryHas;
        registry->value = L"D:\\Plexan";
        auto shell = std::make_shared<FakeShell>();
        shell->succeed = c.shellFinds;
        const Korin::SharedLibraryInfo info =
            Korin::MessageBusLib::loadFromRegistry(registry, shell, std::make_shared<FakeOSInfo>(c.wow64));
        EXPECT_EQ(c.valueName, registry->askedName);
        EXPECT_EQ(L"Halvex.dll", info.name);
        EXPECT_EQ(std::vector<std::wstring>{c.folder}, info.searchPaths);
        const auto lines = NuvTest::TakeLoggedLines();
        ASSERT_EQ(c.errorLine ? 2u : 1u, lines.size());
        if (c.errorLine) {
            EXPECT_EQ(ETWLogging::LOG_ERROR, lines[0].level);
            EXPECT_EQ(c.errorLine, lines[0].text);
        }
        EXPECT_EQ(ETWLogging::LOG_INFORMATION, lines.back().level);
        EXPECT_EQ(std::wstring(L"Loading MesageBusLib by force from path: ") + c.folder, lines.back().text);
    }
}

TEST(BusLibraryBinding, LibraryWithoutTheBusTableIsRefused) {
    // The loader's probe answers CreateObject for another interface version only.
    auto library = std::make_shared<Korin::SharedLibrary>(
        Korin::SharedLibraryInfo{L"modulefw_probe.dll", {NuvTest::ExeFolder()}});
    NuvTest::TakeLoggedLines();
    try {
        Korin::MessageBusLib bus(library);
        ADD_FAILURE() << "bound";
    } catch (const Korin::ModuleException& e) {
        EXPECT_STREQ("Failed to get message bus functions object", e.what());
    }
    EXPECT_TRUE(AnyLine(ETWLogging::LOG_ERROR, L"Failed to get message bus functions object. Throwing ModuleException."));
}

TEST(BusLibraryBinding, NoClientWithoutTheLibrary) {
    // Nothing registered and nothing beside the program: the default search finds no library.
    ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, Halvex::kInstallKey, Halvex::kInstallValue);
    NuvTest::TakeLoggedLines();
    EXPECT_EQ(nullptr, MessageBusClient::getInstance());
    EXPECT_TRUE(AnyLine(ETWLogging::LOG_ERROR,
                        L"Failed to create message bus client. Caught ModuleException - what: Failed to load library."));
}

}  // namespace
