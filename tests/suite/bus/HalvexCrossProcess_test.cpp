// The stand-in bus between processes: this test program and one or two halvex_bus_peer
// processes on the same bus (the scope the fixture gives this program, which children inherit).

#include "tests/support/BusFixture.h"
#include "tests/support/ChildProcess.h"

#include "base/UniqueHandle.h"
#include "tests/support/TestPaths.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

namespace {

using NuvTest::BusHeader;
using NuvTest::OpenBus;
using NuvTest::RecordedMessage;
using NuvTest::RecordingSubscriber;

constexpr DWORD kStartMs = 30000;

std::wstring UniqueEventName(const wchar_t* what) {
    static std::atomic<int> counter{0};
    return L"Local\\halvex-bus-test-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
           std::to_wstring(++counter) + L"-" + what;
}

class NamedEvent {
public:
    explicit NamedEvent(const wchar_t* what)
        : m_name(UniqueEventName(what)), m_event(::CreateEventW(nullptr, TRUE, FALSE, m_name.c_str())) {}
    const std::wstring& Name() const { return m_name; }
    void Set() { ::SetEvent(m_event.Get()); }
    HANDLE Get() const { return m_event.Get(); }

private:
    std::wstring m_name;
    Tessal::UniqueHandle m_event;
};

// A halvex_bus_peer process; killed by the destructor if still running.
class Peer {
public:
    explicit Peer(const std::wstring& arguments)
        : m_process(NuvTest::StartChild(L"\"" + NuvTest::ExeFolder() + L"\\halvex_bus_peer.exe\" " + arguments)) {}
    ~Peer() { Kill(); }

    bool Started() const { return m_process.IsValid(); }
    // Until it is ready (the event) or has ended, whichever first.
    bool WaitReady(const NamedEvent& ready) const {
        HANDLE both[] = {ready.Get(), m_process.Get()};
        return ::WaitForMultipleObjects(2, both, FALSE, kStartMs) == WAIT_OBJECT_0;
    }
    // The exit code, or -1 when it did not end in time.
    long WaitExit(DWORD ms = kStartMs) const {
        if (::WaitForSingleObject(m_process.Get(), ms) != WAIT_OBJECT_0) return -1;
        DWORD code = 0;
        ::GetExitCodeProcess(m_process.Get(), &code);
        return static_cast<long>(code);
    }
    void Kill() {
        if (!m_process.IsValid()) return;
        if (::WaitForSingleObject(m_process.Get(), 0) == WAIT_TIMEOUT) {
            ::TerminateProcess(m_process.Get(), 9);
            ::WaitForSingleObject(m_process.Get(), kStartMs);
        }
        m_process.Reset();
    }

private:
    Tessal::UniqueHandle m_process;
};

class HalvexCrossProcessTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(bus.Loaded()); }

    uint32_t Subscribe(OpenBus& handle, RecordingSubscriber& recorder, const wchar_t* name, bool pattern = false) {
        const auto& f = handle.Functions();
        return pattern ? f.subscribeFilter(handle.Get(), &recorder, &RecordingSubscriber::OnMessage, name)
                       : f.subscribe(handle.Get(), &recorder, &RecordingSubscriber::OnMessage, name);
    }
    uint32_t Request(OpenBus& handle, RecordingSubscriber& replies, uint64_t index, const std::wstring& name,
                     const std::wstring& payload, uint64_t timeoutMs = 10000) {
        const BusHeader header = NuvTest::MakeBusHeader(name, L"test", payload);
        return handle.Functions().request(handle.Get(), index, &replies, &RecordingSubscriber::OnReply, header.data(),
                                          name.c_str(), L"test", payload.c_str(), timeoutMs);
    }
    // A responder peer, ready to answer; `quit` ends it.
    std::unique_ptr<Peer> StartResponder(NamedEvent& quit) {
        NamedEvent ready(L"ready");
        auto peer = std::make_unique<Peer>(L"respond " + ready.Name() + L" " + quit.Name());
        EXPECT_TRUE(peer->Started());
        EXPECT_TRUE(peer->WaitReady(ready));
        return peer;
    }

    NuvTest::StandInBus bus;
};

TEST_F(HalvexCrossProcessTest, PublishReachesExactAndPatternSubscribersInTheOtherProcess) {
    OpenBus handle(bus);
    RecordingSubscriber published, anyPeerAnswer;
    ASSERT_NE(Subscribe(handle, published, L"Peer.Published"), 0u);
    ASSERT_NE(Subscribe(handle, anyPeerAnswer, L"Peer\\.(Published|Forwarded)", true), 0u);
    NamedEvent quit(L"quit");
    auto peer = StartResponder(quit);

    // The peer's exact subscription republishes the payload, its pattern one the name; order
    // holds both ways.
    constexpr int kCount = 100;
    for (int i = 0; i < kCount; ++i) {
        ASSERT_EQ(handle.Publish(L"Peer.Publish.Request", std::to_wstring(i)), Halvex::kStatusSuccess);
    }
    ASSERT_EQ(handle.Publish(L"Peer.Forward.Anything", L"x"), Halvex::kStatusSuccess);
    ASSERT_EQ(handle.Publish(L"Peer.Forward", L"not a whole-name match"), Halvex::kStatusSuccess);
    ASSERT_TRUE(published.WaitForCount(kCount));
    ASSERT_TRUE(anyPeerAnswer.WaitForCount(kCount + 1));

    const auto messages = published.Messages();
    for (int i = 0; i < kCount; ++i) ASSERT_EQ(messages[i].payload, std::to_wstring(i));
    const RecordedMessage& message = messages[0];
    EXPECT_EQ(message.sender, L"peer");
    DWORD session = 0;
    ::ProcessIdToSessionId(::GetCurrentProcessId(), &session);
    EXPECT_EQ(reinterpret_cast<const Halvex::WireHeader*>(message.header.data())->sessionId, session);
    bool forwarded = false;
    for (const auto& answer : anyPeerAnswer.Messages()) {
        forwarded = forwarded || (answer.name == L"Peer.Forwarded" && answer.payload == L"Peer.Forward.Anything");
    }
    EXPECT_TRUE(forwarded);

    quit.Set();
    EXPECT_EQ(peer->WaitExit(), 0);
    handle.Release();
    EXPECT_EQ(anyPeerAnswer.Count(), kCount + 1u);  // "Peer.Forward" alone was not forwarded
}

TEST_F(HalvexCrossProcessTest, RequestsAreAnsweredAcrossProcessesBothWays) {
    OpenBus handle(bus);
    RecordingSubscriber questions;
    questions.SetAction([&](const RecordedMessage& m) {
        handle.Reply(m.header, L"Test.Answer", L"answer:" + m.payload);
    });
    ASSERT_NE(Subscribe(handle, questions, L"Test.Question"), 0u);
    NamedEvent quit(L"quit");
    auto responder = StartResponder(quit);

    RecordingSubscriber replies;
    ASSERT_EQ(Request(handle, replies, 3, L"Peer.Echo.Request", L"ping"), Halvex::kStatusSuccess);
    ASSERT_EQ(Request(handle, replies, 4, L"Nobody.Answers", L"?", 200), Halvex::kStatusSuccess);
    ASSERT_TRUE(replies.WaitForCount(2));

    Peer asker(L"ask");
    ASSERT_TRUE(asker.Started());
    EXPECT_EQ(asker.WaitExit(), 0);

    quit.Set();
    EXPECT_EQ(responder->WaitExit(), 0);
    handle.Release();
    const auto messages = replies.Messages();
    ASSERT_EQ(messages.size(), 2u);
    for (const auto& reply : messages) {
        if (reply.replyIndex == 3) {
            EXPECT_EQ(reply.status, Halvex::kStatusSuccess);
            EXPECT_EQ(reply.payload, L"echo:ping");
            EXPECT_EQ(reply.name, L"Peer.Echo.Reply");
        } else {
            EXPECT_EQ(reply.replyIndex, 4u);
            EXPECT_EQ(reply.status, Halvex::kStatusTimeout);
        }
    }
}

TEST_F(HalvexCrossProcessTest, MessagePublishedJustBeforeTheLastReleaseStillArrives) {
    OpenBus handle(bus);
    RecordingSubscriber farewell;
    ASSERT_NE(Subscribe(handle, farewell, L"Peer.Farewell"), 0u);
    Peer peer(L"publish-release Peer.Farewell bye");
    ASSERT_TRUE(peer.Started());
    EXPECT_EQ(peer.WaitExit(), 0);
    ASSERT_TRUE(farewell.WaitForCount(1));
    EXPECT_EQ(farewell.Messages()[0].payload, L"bye");
}

TEST_F(HalvexCrossProcessTest, KilledProcessDoesNotStallTheOthers) {
    OpenBus handle(bus);
    RecordingSubscriber questions;
    ASSERT_NE(Subscribe(handle, questions, L"Test.Question"), 0u);
    NamedEvent quit(L"quit");
    auto responder = StartResponder(quit);
    NamedEvent held(L"held");
    Peer doomed(L"hold " + held.Name());
    ASSERT_TRUE(doomed.Started());
    ASSERT_TRUE(doomed.WaitReady(held));
    ASSERT_TRUE(questions.WaitForCount(1));  // its request, pending in the doomed process

    ASSERT_EQ(handle.Publish(L"Test.Broadcast", L"stuck"), Halvex::kStatusSuccess);  // its callback never returns
    doomed.Kill();
    // Its request is answered into the void; traffic after it flows, also more than its inbox
    // holds (written before the bus has noticed the end, or dropped after).
    EXPECT_EQ(handle.Reply(questions.Messages()[0].header, L"Test.Answer", L"too late"), Halvex::kStatusSuccess);
    const std::wstring bulk(8192, L'x');
    for (int i = 0; i < 400; ++i) ASSERT_EQ(handle.Publish(L"Test.Broadcast", bulk), Halvex::kStatusSuccess);
    RecordingSubscriber replies;
    ASSERT_EQ(Request(handle, replies, 1, L"Peer.Echo.Request", L"still there?"), Halvex::kStatusSuccess);
    ASSERT_TRUE(replies.WaitForCount(1));
    EXPECT_EQ(replies.Messages()[0].status, Halvex::kStatusSuccess);
    EXPECT_EQ(replies.Messages()[0].payload, L"echo:still there?");

    quit.Set();
    EXPECT_EQ(responder->WaitExit(), 0);
}

}  // namespace
