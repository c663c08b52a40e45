// The second process of the cross-process bus tests. Modes:
//   respond <ready> <quit>  answers "Peer.Echo.Request" with "echo:" + payload; republishes the
//                           payload of "Peer.Publish.Request" as "Peer.Published" and the name of
//                           anything matching "Peer\.Forward\..*" as "Peer.Forwarded"; ends at quit
//   ask <ready>             requests "Test.Question" (index 9, "why"); exit 0 for the reply
//                           "answer:why" with index 9, 3 for a time-out, 4 for anything else
//   publish-release <name> <payload>   publishes once and releases at once
//   hold <ready>            subscribes "Test.Broadcast" and "Peer.Echo.Request" with callbacks that
//                           never return and leaves a request to "Test.Question" pending; waits to
//                           be killed
// <ready> and <quit> name events the test created. Exit 2: bad use or no bus.

#include "tests/support/BusFixture.h"

#include <windows.h>

#include <string>

namespace {

using NuvTest::OpenBus;
using NuvTest::RecordedMessage;
using NuvTest::RecordingSubscriber;

constexpr DWORD kLifetimeMs = 120000;

void Signal(const wchar_t* name) {
    HANDLE event = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, name);
    if (event != nullptr) {
        ::SetEvent(event);
        ::CloseHandle(event);
    }
}

uint32_t Request(OpenBus& bus, RecordingSubscriber& replies, uint64_t index, const std::wstring& name,
                 const std::wstring& payload, uint64_t timeoutMs) {
    const NuvTest::BusHeader header = NuvTest::MakeBusHeader(name, L"peer", payload);
    return bus.Functions().request(bus.Get(), index, &replies, &RecordingSubscriber::OnReply, header.data(),
                                   name.c_str(), L"peer", payload.c_str(), timeoutMs);
}

int Respond(const NuvTest::StandInBus& standIn, const wchar_t* ready, const wchar_t* quit) {
    HANDLE quitEvent = ::OpenEventW(SYNCHRONIZE, FALSE, quit);
    if (quitEvent == nullptr) return 2;
    OpenBus bus(standIn);
    RecordingSubscriber echo, republish, forward;
    echo.SetAction([&](const RecordedMessage& m) {
        bus.Reply(m.header, L"Peer.Echo.Reply", L"echo:" + m.payload, L"peer");
    });
    republish.SetAction([&](const RecordedMessage& m) { bus.Publish(L"Peer.Published", m.payload, L"peer"); });
    forward.SetAction([&](const RecordedMessage& m) { bus.Publish(L"Peer.Forwarded", m.name, L"peer"); });
    const auto& f = bus.Functions();
    if (f.subscribe(bus.Get(), &echo, &RecordingSubscriber::OnMessage, L"Peer.Echo.Request") == 0 ||
        f.subscribe(bus.Get(), &republish, &RecordingSubscriber::OnMessage, L"Peer.Publish.Request") == 0 ||
        f.subscribeFilter(bus.Get(), &forward, &RecordingSubscriber::OnMessage, L"Peer\\.Forward\\..*") == 0) {
        return 2;
    }
    Signal(ready);
    ::WaitForSingleObject(quitEvent, kLifetimeMs);
    return bus.Release() == Halvex::kStatusSuccess ? 0 : 4;
}

int Ask(const NuvTest::StandInBus& standIn) {
    OpenBus bus(standIn);
    RecordingSubscriber replies;
    if (Request(bus, replies, 9, L"Test.Question", L"why", 10000) != Halvex::kStatusSuccess) return 4;
    if (!replies.WaitForCount(1, 30000)) return 5;
    const RecordedMessage reply = replies.Messages()[0];
    if (reply.status == Halvex::kStatusTimeout) return 3;
    return reply.status == 0 && reply.replyIndex == 9 && reply.payload == L"answer:why" ? 0 : 4;
}

int PublishAndRelease(const NuvTest::StandInBus& standIn, const wchar_t* name, const wchar_t* payload) {
    OpenBus bus(standIn);
    if (bus.Publish(name, payload, L"peer") != Halvex::kStatusSuccess) return 4;
    return bus.Release() == Halvex::kStatusSuccess ? 0 : 4;
}

int Hold(const NuvTest::StandInBus& standIn, const wchar_t* ready) {
    OpenBus bus(standIn);
    RecordingSubscriber stuck, replies;
    stuck.SetAction([](const RecordedMessage&) { ::Sleep(kLifetimeMs); });
    const auto& f = bus.Functions();
    if (f.subscribe(bus.Get(), &stuck, &RecordingSubscriber::OnMessage, L"Test.Broadcast") == 0 ||
        f.subscribe(bus.Get(), &stuck, &RecordingSubscriber::OnMessage, L"Peer.Echo.Request") == 0 ||
        Request(bus, replies, 1, L"Test.Question", L"from the doomed", 60000) != Halvex::kStatusSuccess) {
        return 2;
    }
    Signal(ready);
    ::Sleep(kLifetimeMs);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    NuvTest::StandInBus standIn(false);  // the test program registered it
    if (!standIn.Loaded() || argc < 2) return 2;
    const std::wstring mode = argv[1];
    if (mode == L"respond" && argc == 4) return Respond(standIn, argv[2], argv[3]);
    if (mode == L"ask") return Ask(standIn);
    if (mode == L"publish-release" && argc == 4) return PublishAndRelease(standIn, argv[2], argv[3]);
    if (mode == L"hold" && argc == 3) return Hold(standIn, argv[2]);
    return 2;
}
