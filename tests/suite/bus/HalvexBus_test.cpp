// The stand-in bus within one process: two or more handles publish, subscribe, request and reply
// through the library's function table. The last release delivers everything accepted before it
// returns, so a test that releases every handle reads the final set of deliveries without waiting.

#include "tests/support/BusFixture.h"

#include "base/UniqueHandle.h"

#include <gtest/gtest.h>

#include <tlhelp32.h>

#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <thread>

namespace {

using NuvTest::BusHeader;
using NuvTest::MakeBusHeader;
using NuvTest::OpenBus;
using NuvTest::RecordedMessage;
using NuvTest::RecordingSubscriber;

const Halvex::WireHeader& View(const BusHeader& header) {
    return *reinterpret_cast<const Halvex::WireHeader*>(header.data());
}

Halvex::RequesterStamp StampOf(const BusHeader& header) {
    Halvex::RequesterStamp stamp;
    memcpy(&stamp, header.data() + Halvex::kStampOffset, sizeof(stamp));
    return stamp;
}

DWORD SessionOfThisProcess() {
    DWORD session = 0;
    ::ProcessIdToSessionId(::GetCurrentProcessId(), &session);
    return session;
}

size_t ThreadsOfThisProcess() {
    Tessal::UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    size_t count = 0;
    for (BOOL more = ::Thread32First(snapshot.Get(), &entry); more; more = ::Thread32Next(snapshot.Get(), &entry)) {
        if (entry.th32OwnerProcessID == ::GetCurrentProcessId()) ++count;
    }
    return count;
}

struct Event {
    Tessal::UniqueHandle handle{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    void Set() { ::SetEvent(handle.Get()); }
    bool Wait(DWORD ms = 10000) { return ::WaitForSingleObject(handle.Get(), ms) == WAIT_OBJECT_0; }
};

class HalvexBusTest : public ::testing::Test {
protected:
    template <typename Function>
    Function Export(const char* name) {
        return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(bus.Module(), name)));
    }
    void SetUp() override { ASSERT_TRUE(bus.Loaded()); }

    uint32_t Subscribe(OpenBus& handle, RecordingSubscriber& recorder, const wchar_t* name) {
        return handle.Functions().subscribe(handle.Get(), &recorder, &RecordingSubscriber::OnMessage, name);
    }
    uint32_t SubscribePattern(OpenBus& handle, RecordingSubscriber& recorder, const wchar_t* pattern) {
        return handle.Functions().subscribeFilter(handle.Get(), &recorder, &RecordingSubscriber::OnMessage, pattern);
    }
    uint32_t Request(OpenBus& handle, RecordingSubscriber& replies, uint64_t index, const std::wstring& name,
                     const std::wstring& payload, uint64_t timeoutMs = 10000) {
        const BusHeader header = MakeBusHeader(name, L"requester", payload);
        return handle.Functions().request(handle.Get(), index, &replies, &RecordingSubscriber::OnReply, header.data(),
                                          name.c_str(), L"requester", payload.c_str(), timeoutMs);
    }
    // A subscriber on `responder` that answers every request for `name` with "re:" + payload.
    void Answer(OpenBus& responder, RecordingSubscriber& requests, const wchar_t* name) {
        requests.SetAction([&responder](const RecordedMessage& request) {
            responder.Reply(request.header, L"Svc.Reply", L"re:" + request.payload, L"responder");
        });
        ASSERT_NE(Subscribe(responder, requests, name), 0u);
    }

    NuvTest::StandInBus bus;
};

TEST_F(HalvexBusTest, ExportsGiveTheTableOnlyForItsInterfaceVersion) {
    auto create = Export<Halvex::CreateObjectFunction>("CreateObject");
    auto versionNum = Export<Halvex::GetVersionNumFunction>("GetVersionNum");
    auto versionStr = Export<Halvex::GetVersionStrFunction>("GetVersionStr");
    ASSERT_NE(create, nullptr);
    ASSERT_NE(versionNum, nullptr);
    ASSERT_NE(versionStr, nullptr);
    ASSERT_NE(::GetProcAddress(bus.Module(), "ReleaseObject"), nullptr);
    EXPECT_EQ(versionNum(), 2001000u);
    EXPECT_STREQ(versionStr(), "2.1.0");
    for (uint32_t version : {0u, 1u, 2000000u, 2000999u, 2001001u, 3001000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(version);
        EXPECT_EQ(create(version), nullptr);
    }
    const auto* table = static_cast<const Korin::MessageBusFunctions*>(create(2001000));
    ASSERT_NE(table, nullptr);
    const void* const* entries = reinterpret_cast<const void* const*>(table);
    for (size_t i = 0; i < sizeof(*table) / sizeof(void*); ++i) EXPECT_NE(entries[i], nullptr) << "entry " << i;
}

TEST_F(HalvexBusTest, PublishReachesAnotherHandleOnABusThreadWithTheSendersSession) {
    OpenBus publisher(bus);
    OpenBus subscriber(bus);
    RecordingSubscriber recorder;
    ASSERT_NE(Subscribe(subscriber, recorder, L"Core.ParentalControls.State"), 0u);

    // Flags and reserved bytes that only the publisher knows the meaning of travel unchanged.
    BusHeader header = MakeBusHeader(L"Core.ParentalControls.State", L"NUV", L"{\"on\":true}");
    auto& wire = *reinterpret_cast<Halvex::WireHeader*>(header.data());
    wire.flags = 0x28;
    for (size_t i = 40; i < 80; ++i) wire.reserved[i] = static_cast<uint8_t>(i);
    wire.sessionId = 77;  // whatever the publisher claims, the bus knows better
    ASSERT_EQ(publisher.Functions().publish(publisher.Get(), header.data(), L"Core.ParentalControls.State", L"NUV",
                                            L"{\"on\":true}"),
              Halvex::kStatusSuccess);

    ASSERT_TRUE(recorder.WaitForCount(1));
    const RecordedMessage message = recorder.Messages()[0];
    EXPECT_EQ(message.name, L"Core.ParentalControls.State");
    EXPECT_EQ(message.sender, L"NUV");
    EXPECT_EQ(message.payload, L"{\"on\":true}");
    EXPECT_NE(message.threadId, ::GetCurrentThreadId());
    const Halvex::WireHeader& delivered = View(message.header);
    EXPECT_EQ(delivered.version, 2);
    EXPECT_EQ(delivered.flags, 0x28u);
    EXPECT_EQ(delivered.totalSize, 2u * (27 + 3 + 11) + 114);
    EXPECT_EQ(delivered.sessionId, SessionOfThisProcess());
    EXPECT_EQ(memcmp(delivered.reserved + 40, wire.reserved + 40, 40), 0);
}

TEST_F(HalvexBusTest, VersionOneHeaderIsDeliveredWidened) {
    OpenBus handle(bus);
    RecordingSubscriber recorder;
    ASSERT_NE(Subscribe(handle, recorder, L"Old.Style"), 0u);
    // Exactly 100 bytes: the bus must not read past them.
    auto header = std::make_unique<uint8_t[]>(Halvex::kHeaderSizeV1);
    memset(header.get(), 0, Halvex::kHeaderSizeV1);
    const uint16_t version = 1;
    const uint32_t total = 2 * (9 + 1 + 1) + 106;
    const uint64_t index = 42;
    memcpy(header.get() + 2, &total, 4);
    memcpy(header.get() + 10, &version, 2);
    memcpy(header.get() + 92, &index, 8);
    header[50] = 0xAB;
    ASSERT_EQ(handle.Functions().publish(handle.Get(), header.get(), L"Old.Style", L"s", L"p"), Halvex::kStatusSuccess);
    ASSERT_TRUE(recorder.WaitForCount(1));
    const RecordedMessage message = recorder.Messages()[0];
    const Halvex::WireHeader& delivered = View(message.header);
    EXPECT_EQ(delivered.version, 2);
    EXPECT_EQ(delivered.extensionType, 11);
    EXPECT_EQ(delivered.extensionLength, 8);
    EXPECT_EQ(delivered.replyIndex, 42u);
    EXPECT_EQ(message.header[50], 0xAB);
    EXPECT_EQ(delivered.totalSize, 2u * (9 + 1 + 1) + 114);
}

TEST_F(HalvexBusTest, SubscriptionsMatchWholeNamesCaseSensitively) {
    struct Row {
        const wchar_t* subscription;
        bool pattern;
        const wchar_t* name;
        bool delivered;
    };
    const Row rows[] = {
        {L"Core.ParentalControls.State", false, L"Core.ParentalControls.State", true},
        {L"core.parentalcontrols.state", false, L"Core.ParentalControls.State", false},
        {L"Core.ParentalControls", false, L"Core.ParentalControls.State", false},
        {L"Core\\.ParentalControls\\..*", true, L"Core.ParentalControls.State", true},
        {L"ParentalControls", true, L"Core.ParentalControls.State", false},
        {L"Core\\.ParentalControls", true, L"Core.ParentalControls.State", false},
        {L"core\\..*", true, L"Core.ParentalControls.State", false},
        {L"SettingsManager\\.Notify\\.(Set|Delete)\\..+", true, L"SettingsManager.Notify.Set.Foo", true},
        {L"SettingsManager\\.Notify\\.(Set|Delete)\\..+", true, L"SettingsManager.Notify.Set.", false},
        {L".*", true, L"", true},
    };
    auto handle = std::make_unique<OpenBus>(bus);
    std::vector<std::unique_ptr<RecordingSubscriber>> recorders;
    for (size_t i = 0; i < std::size(rows); ++i) {
        recorders.push_back(std::make_unique<RecordingSubscriber>());
        const uint32_t id = rows[i].pattern ? SubscribePattern(*handle, *recorders.back(), rows[i].subscription)
                                            : Subscribe(*handle, *recorders.back(), rows[i].subscription);
        ASSERT_NE(id, 0u) << "row " << i;
    }
    for (const Row& row : rows) ASSERT_EQ(handle->Publish(row.name, L"x"), Halvex::kStatusSuccess);
    ASSERT_EQ(handle->Release(), Halvex::kStatusSuccess);
    for (size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(testing::Message() << "row " << i);
        bool found = false;
        for (const auto& message : recorders[i]->Messages()) found = found || message.name == rows[i].name;
        EXPECT_EQ(found, rows[i].delivered);
    }
}

TEST_F(HalvexBusTest, BadInputIsRefusedAndNothingIsDelivered) {
    OpenBus handle(bus);
    OpenBus released(bus);
    const Halvex::BusHandle stale = released.Get();
    ASSERT_EQ(released.Release(), Halvex::kStatusSuccess);
    RecordingSubscriber everything;
    ASSERT_NE(SubscribePattern(handle, everything, L".*"), 0u);
    RecordingSubscriber replies;

    const BusHeader good = MakeBusHeader(L"N", L"s", L"p");
    BusHeader tooShort = good;
    reinterpret_cast<Halvex::WireHeader*>(tooShort.data())->totalSize = 105;
    const auto& f = handle.Functions();
    struct Row {
        const char* what;
        Halvex::BusHandle handle;
        const void* header;
        const wchar_t* name;
        uint32_t expected;
    };
    const Row rows[] = {
        {"null handle", nullptr, good.data(), L"N", Halvex::kStatusInvalidHandle},
        {"released handle", stale, good.data(), L"N", Halvex::kStatusInvalidHandle},
        {"unknown handle", reinterpret_cast<Halvex::BusHandle>(0x1234), good.data(), L"N",
         Halvex::kStatusInvalidHandle},
        {"null header", handle.Get(), nullptr, L"N", Halvex::kStatusInvalidParameter},
        {"null name", handle.Get(), good.data(), nullptr, Halvex::kStatusInvalidParameter},
        {"header shorter than version 1", handle.Get(), tooShort.data(), L"N", Halvex::kStatusInvalidBufferSize},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(f.publish(row.handle, row.header, row.name, L"s", L"p"), row.expected);
        EXPECT_EQ(f.publishVariant(row.handle, row.header, row.name, L"s", L"p"), row.expected);
        EXPECT_EQ(
            f.request(row.handle, 1, &replies, &RecordingSubscriber::OnReply, row.header, row.name, L"s", L"p", 10),
            row.expected);
    }
    EXPECT_EQ(f.request(handle.Get(), 1, &replies, nullptr, good.data(), L"N", L"s", L"p", 10),
              Halvex::kStatusInvalidParameter);
    // A reply the bus never asked for.
    EXPECT_EQ(handle.Reply(good, L"N", L"p"), Halvex::kStatusNotFound);

    for (const wchar_t* pattern : {L"(", L"[a-", L"a{2,1}", L"*"}) {
        EXPECT_EQ(SubscribePattern(handle, everything, pattern), 0u);
    }
    EXPECT_EQ(f.subscribeFilter(handle.Get(), &everything, &RecordingSubscriber::OnMessage, nullptr), 0u);
    EXPECT_EQ(f.subscribe(handle.Get(), &everything, &RecordingSubscriber::OnMessage, nullptr), 0u);
    EXPECT_EQ(f.subscribe(handle.Get(), &everything, nullptr, L"N"), 0u);
    EXPECT_EQ(f.subscribe(nullptr, &everything, &RecordingSubscriber::OnMessage, L"N"), 0u);
    EXPECT_EQ(f.subscribe(stale, &everything, &RecordingSubscriber::OnMessage, L"N"), 0u);
    EXPECT_EQ(f.release(stale), Halvex::kStatusInvalidHandle);
    EXPECT_EQ(f.release(nullptr), Halvex::kStatusInvalidHandle);
    EXPECT_EQ(f.open(nullptr), Halvex::kStatusInvalidParameter);

    ASSERT_EQ(handle.Release(), Halvex::kStatusSuccess);
    EXPECT_EQ(everything.Count(), 0u);
    EXPECT_EQ(replies.Count(), 0u);
}

TEST_F(HalvexBusTest, OneSubscriptionGetsItsMessagesInPublishOrder) {
    OpenBus publisher(bus);
    auto subscriber = std::make_unique<OpenBus>(bus);
    RecordingSubscriber recorder;
    ASSERT_NE(Subscribe(*subscriber, recorder, L"Seq"), 0u);
    constexpr int kCount = 500;
    for (int i = 0; i < kCount; ++i) ASSERT_EQ(publisher.Publish(L"Seq", std::to_wstring(i)), Halvex::kStatusSuccess);
    ASSERT_TRUE(recorder.WaitForCount(kCount));
    const auto messages = recorder.Messages();
    for (int i = 0; i < kCount; ++i) ASSERT_EQ(messages[i].payload, std::to_wstring(i));
}

TEST_F(HalvexBusTest, RequestIsAnsweredThroughTheReplyProtocol) {
    OpenBus requester(bus);
    OpenBus otherRequester(bus);
    OpenBus responder(bus);
    RecordingSubscriber requests;
    Answer(responder, requests, L"Svc.Request");
    RecordingSubscriber plainReplies;  // subscribers of the reply's name
    ASSERT_NE(Subscribe(responder, plainReplies, L"Svc.Reply"), 0u);
    RecordingSubscriber replies;
    RecordingSubscriber otherReplies;

    // Both clients use index 0: indices belong to the requester.
    ASSERT_EQ(Request(requester, replies, 0, L"Svc.Request", L"one"), Halvex::kStatusSuccess);
    ASSERT_EQ(Request(otherRequester, otherReplies, 0, L"Svc.Request", L"two"), Halvex::kStatusSuccess);
    ASSERT_EQ(Request(requester, replies, 7, L"Svc.Request", L"three"), Halvex::kStatusSuccess);
    ASSERT_TRUE(replies.WaitForCount(2));
    ASSERT_TRUE(otherReplies.WaitForCount(1));

    std::map<uint64_t, std::wstring> answered;
    for (const auto& reply : replies.Messages()) {
        EXPECT_EQ(reply.status, Halvex::kStatusSuccess);
        EXPECT_EQ(reply.context, &replies);
        EXPECT_EQ(reply.name, L"Svc.Reply");
        EXPECT_EQ(reply.sender, L"responder");
        EXPECT_NE(View(reply.header).flags & Halvex::kFlagReply, 0u);
        EXPECT_EQ(View(reply.header).replyIndex, reply.replyIndex);
        answered[reply.replyIndex] = reply.payload;
    }
    EXPECT_EQ(answered, (std::map<uint64_t, std::wstring>{{0, L"re:one"}, {7, L"re:three"}}));
    EXPECT_EQ(otherReplies.Messages()[0].payload, L"re:two");
    EXPECT_EQ(otherReplies.Messages()[0].replyIndex, 0u);

    // What the responder saw: the requester's index, no reply flag, the bus's stamp.
    for (const auto& request : requests.Messages()) {
        EXPECT_EQ(View(request.header).flags & Halvex::kFlagReply, 0u);
        EXPECT_EQ(StampOf(request.header).magic, Halvex::kStampMagic);
        EXPECT_EQ(StampOf(request.header).processId, ::GetCurrentProcessId());
    }

    // A second answer to an answered request finds nothing; the client's non-reply copy (the
    // same header without the reply flag) is a plain message for the reply's subscribers.
    const BusHeader answeredRequest = requests.Messages()[0].header;
    EXPECT_EQ(responder.Reply(answeredRequest, L"Svc.Reply", L"again"), Halvex::kStatusNotFound);
    BusHeader copy = answeredRequest;
    reinterpret_cast<Halvex::WireHeader*>(copy.data())->replyIndex = 0;
    EXPECT_EQ(responder.Functions().publish(responder.Get(), copy.data(), L"Svc.Reply", L"responder", L"copy"),
              Halvex::kStatusSuccess);

    requester.Release();
    otherRequester.Release();
    responder.Release();
    EXPECT_EQ(replies.Count(), 2u);
    EXPECT_EQ(otherReplies.Count(), 1u);
    ASSERT_EQ(plainReplies.Count(), 1u);
    EXPECT_EQ(plainReplies.Messages()[0].payload, L"copy");
}

TEST_F(HalvexBusTest, TimeOutReachesTheRequesterExactlyOnce) {
    OpenBus requester(bus);
    OpenBus responder(bus);
    RecordingSubscriber late;      // records, never answers by itself
    RecordingSubscriber punctual;  // answers at once
    ASSERT_NE(Subscribe(responder, late, L"Svc.Late"), 0u);
    Answer(responder, punctual, L"Svc.Punctual");
    RecordingSubscriber replies;

    // The answered request's deadline comes first: a time-out for it would arrive before the
    // other request's (deadlines are served in order, replies of one client one at a time).
    ASSERT_EQ(Request(requester, replies, 1, L"Svc.Punctual", L"a", 100), Halvex::kStatusSuccess);
    ASSERT_EQ(Request(requester, replies, 2, L"Svc.Late", L"b", 300), Halvex::kStatusSuccess);
    ASSERT_TRUE(replies.WaitForCount(2));
    ASSERT_TRUE(late.WaitForCount(1));
    // Answered after its time-out: too late.
    EXPECT_EQ(responder.Reply(late.Messages()[0].header, L"Svc.Reply", L"late"), Halvex::kStatusNotFound);

    requester.Release();
    responder.Release();
    const auto messages = replies.Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].replyIndex, 1u);
    EXPECT_EQ(messages[0].status, Halvex::kStatusSuccess);
    EXPECT_EQ(messages[1].replyIndex, 2u);
    EXPECT_EQ(messages[1].status, Halvex::kStatusTimeout);
    EXPECT_EQ(messages[1].payload, L"");
    EXPECT_NE(messages[1].threadId, ::GetCurrentThreadId());
}

TEST_F(HalvexBusTest, UnsubscribeWaitsForTheCallbackInFlight) {
    OpenBus publisher(bus);
    OpenBus subscriber(bus);
    RecordingSubscriber recorder;
    Event entered, proceed, aboutToUnsubscribe;
    std::atomic<bool> callbackDone{false};
    recorder.SetAction([&](const RecordedMessage&) {
        entered.Set();
        proceed.Wait();
        callbackDone = true;
    });
    const uint32_t id = Subscribe(subscriber, recorder, L"Slow");
    ASSERT_NE(id, 0u);
    ASSERT_EQ(publisher.Publish(L"Slow", L"1"), Halvex::kStatusSuccess);
    ASSERT_EQ(publisher.Publish(L"Slow", L"2"), Halvex::kStatusSuccess);  // queued behind: never delivered
    ASSERT_TRUE(entered.Wait());

    std::atomic<bool> doneWhenReturned{false};
    std::thread unsubscriber([&] {
        aboutToUnsubscribe.Set();
        subscriber.Functions().unsubscribe(subscriber.Get(), id);
        doneWhenReturned = callbackDone.load();
    });
    ASSERT_TRUE(aboutToUnsubscribe.Wait());
    ::Sleep(50);  // lets the unsubscribe reach its wait before the callback may end
    proceed.Set();
    unsubscriber.join();
    EXPECT_TRUE(doneWhenReturned);
    EXPECT_EQ(subscriber.Functions().unsubscribe(subscriber.Get(), id), Halvex::kStatusSuccess);  // again: no-op
    ASSERT_EQ(publisher.Publish(L"Slow", L"3"), Halvex::kStatusSuccess);
    publisher.Release();
    subscriber.Release();
    EXPECT_EQ(recorder.Count(), 1u);
}

TEST_F(HalvexBusTest, CallbacksRemoveThemselvesWithoutDeadlock) {
    OpenBus handle(bus);
    OpenBus responder(bus);
    RecordingSubscriber recorder;
    uint32_t id = 0;
    Event unsubscribed;
    recorder.SetAction([&](const RecordedMessage&) {
        handle.Functions().unsubscribe(handle.Get(), id);
        handle.Functions().unsubscribe(handle.Get(), id);
        unsubscribed.Set();
    });
    id = Subscribe(handle, recorder, L"Once");
    ASSERT_NE(id, 0u);
    ASSERT_EQ(handle.Publish(L"Once", L"1"), Halvex::kStatusSuccess);
    ASSERT_EQ(handle.Publish(L"Once", L"2"), Halvex::kStatusSuccess);
    ASSERT_TRUE(unsubscribed.Wait());

    RecordingSubscriber requests;
    Answer(responder, requests, L"Svc.Request");
    RecordingSubscriber replies;
    Event released;
    replies.SetAction([&](const RecordedMessage&) {
        handle.Functions().releaseReplyCallback(handle.Get(), &RecordingSubscriber::OnReply);
        released.Set();
    });
    ASSERT_EQ(Request(handle, replies, 0, L"Svc.Request", L"x"), Halvex::kStatusSuccess);
    ASSERT_TRUE(released.Wait());
    EXPECT_EQ(handle.Functions().releaseReplyCallback(handle.Get(), &RecordingSubscriber::OnReply),
              Halvex::kStatusSuccess);

    handle.Release();
    responder.Release();
    EXPECT_EQ(recorder.Count(), 1u);
    EXPECT_EQ(replies.Count(), 1u);
}

TEST_F(HalvexBusTest, ReleaseReplyCallbackWaitsForTheReplyInFlightAndDropsPendingOnes) {
    OpenBus requester(bus);
    OpenBus responder(bus);
    RecordingSubscriber requests;
    Answer(responder, requests, L"Svc.Request");
    RecordingSubscriber silent;
    ASSERT_NE(Subscribe(responder, silent, L"Svc.Silent"), 0u);
    RecordingSubscriber replies;
    Event entered, proceed, aboutToRelease;
    std::atomic<bool> callbackDone{false};
    replies.SetAction([&](const RecordedMessage&) {
        entered.Set();
        proceed.Wait();
        callbackDone = true;
    });
    ASSERT_EQ(Request(requester, replies, 0, L"Svc.Silent", L"never answered", 200), Halvex::kStatusSuccess);
    ASSERT_EQ(Request(requester, replies, 1, L"Svc.Request", L"x"), Halvex::kStatusSuccess);
    ASSERT_TRUE(entered.Wait());

    std::atomic<bool> doneWhenReturned{false};
    std::thread releaser([&] {
        aboutToRelease.Set();
        requester.Functions().releaseReplyCallback(requester.Get(), &RecordingSubscriber::OnReply);
        doneWhenReturned = callbackDone.load();
    });
    ASSERT_TRUE(aboutToRelease.Wait());
    ::Sleep(50);
    proceed.Set();
    releaser.join();
    EXPECT_TRUE(doneWhenReturned);
    ASSERT_TRUE(silent.WaitForCount(1));
    requester.Release();
    responder.Release();
    EXPECT_EQ(replies.Count(), 1u);  // the other request was dropped, not timed out
}

TEST_F(HalvexBusTest, HandlerWaitingForAReplyDoesNotStallTheBus) {
    OpenBus module(bus);
    OpenBus settings(bus);
    RecordingSubscriber settingsRequests;
    Answer(settings, settingsRequests, L"SettingsManager.GetProperties.Request");
    // Several handlers at once, each waiting on a bus thread for a reply another thread delivers.
    constexpr int kHandlers = 6;
    std::vector<std::unique_ptr<RecordingSubscriber>> replies;
    std::vector<std::unique_ptr<Event>> answered;
    for (int i = 0; i < kHandlers; ++i) {
        replies.push_back(std::make_unique<RecordingSubscriber>());
        answered.push_back(std::make_unique<Event>());
    }
    RecordingSubscriber handlers;
    std::atomic<int> next{0};
    handlers.SetAction([&](const RecordedMessage&) {
        const int i = next++;
        Request(module, *replies[i], i, L"SettingsManager.GetProperties.Request", L"q");
        if (replies[i]->WaitForCount(1, 10000)) answered[i]->Set();
    });
    for (int i = 0; i < kHandlers; ++i) {
        const std::wstring name = L"Core.ParentalControls.Get" + std::to_wstring(i);
        ASSERT_NE(Subscribe(module, handlers, name.c_str()), 0u);
        ASSERT_EQ(settings.Publish(name, L"go"), Halvex::kStatusSuccess);
    }
    for (int i = 0; i < kHandlers; ++i) EXPECT_TRUE(answered[i]->Wait()) << i;
}

TEST_F(HalvexBusTest, LastReleaseDeliversWhatWasAcceptedAndJoinsTheThreads) {
    const size_t threadsBefore = ThreadsOfThisProcess();
    auto subscriber = std::make_unique<OpenBus>(bus);
    auto publisher = std::make_unique<OpenBus>(bus);
    RecordingSubscriber recorder;
    recorder.SetAction([](const RecordedMessage&) { ::Sleep(1); });
    ASSERT_NE(Subscribe(*subscriber, recorder, L"Burst"), 0u);
    constexpr size_t kCount = 100;
    for (size_t i = 0; i < kCount; ++i) ASSERT_EQ(publisher->Publish(L"Burst", L"x"), Halvex::kStatusSuccess);
    EXPECT_GT(ThreadsOfThisProcess(), threadsBefore);
    publisher.reset();
    subscriber.reset();
    EXPECT_EQ(recorder.Count(), kCount);
    EXPECT_EQ(ThreadsOfThisProcess(), threadsBefore);

    // And they start again with the next first open.
    OpenBus again(bus);
    RecordingSubscriber more;
    ASSERT_NE(Subscribe(again, more, L"Again"), 0u);
    ASSERT_EQ(again.Publish(L"Again", L"x"), Halvex::kStatusSuccess);
    EXPECT_TRUE(more.WaitForCount(1));
}

}  // namespace
