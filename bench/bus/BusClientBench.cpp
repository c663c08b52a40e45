// A request and its reply through MessageBusClient on both sides, beside the same round trip
// through the bare function table, in one process and between two, measured in the same run:
// the client's own cost per request, waited on through Reply::wait and through a completion
// callback. By hand:
//   wine bin/bus_client_bench.exe [round trips]
// The same program is its own second process (--respond-bare, --respond-client).

#include "modulefw/MessageBusClient.h"
#include "modulefw/MessageBusLib.h"
#include "tests/support/BusFixture.h"
#include "tests/support/ChildProcess.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;
using Korin::Message;
using Korin::MessageBusClient;
using MessagePtr = std::shared_ptr<Message>;

constexpr wchar_t kBareName[] = L"Bench.Bare.Request";
constexpr wchar_t kClientName[] = L"Bench.Client.Request";
constexpr wchar_t kPayload[] = L"{\"ping\":1}";

double Microseconds(Clock::time_point since, int count) {
    return std::chrono::duration<double, std::micro>(Clock::now() - since).count() / count;
}

std::wstring EventName(const wchar_t* what) {
    return L"Local\\halvex-client-bench-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + what;
}

// This program in a second process; null when it cannot be started.
HANDLE StartSelf(const std::wstring& arguments) {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return NuvTest::StartChild(L"\"" + std::wstring(path) + L"\" " + arguments).Take();
}

// The bare responder: the request's header back with the reply flag, nothing built.
struct BareResponder {
    const Korin::MessageBusFunctions* functions = nullptr;
    Halvex::BusHandle handle = nullptr;
    static uint32_t OnRequest(void* context, const void* header, const wchar_t*, const wchar_t*, const wchar_t* payload) {
        auto* self = static_cast<BareResponder*>(context);
        NuvTest::BusHeader reply;
        memcpy(reply.data(), header, reply.size());
        reinterpret_cast<Halvex::WireHeader*>(reply.data())->flags |= Halvex::kFlagReply;
        return self->functions->publish(self->handle, reply.data(), L"Bench.Bare.Reply", L"bench", payload);
    }
    void Start(NuvTest::OpenBus& bus) {
        functions = &bus.Functions();
        handle = bus.Get();
        functions->subscribe(handle, this, &OnRequest, kBareName);
    }
};

// The client responder: the reply as a module builds one, without the plain copy.
void AnswerThroughClient(MessageBusClient& client) {
    client.subscribe(kClientName, [&client](MessagePtr request) {
        auto reply = Message::create(L"Bench.Client.Reply", L"bench", request->getPayload());
        Message::setHeader(reply->getHeader(), request->getHeader());
        reply->getHeader()->setFlag(Korin::MessageHeader::ReplyFlag);
        reply->getHeader()->setFlag(3);
        return client.publish(reply);
    });
}

struct ReplyWaiter {
    HANDLE arrived = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::atomic<uint32_t> status{0};
    ~ReplyWaiter() { ::CloseHandle(arrived); }
    static uint32_t OnReply(void* context, uint64_t, const void*, const wchar_t*, const wchar_t*, const wchar_t*,
                            uint32_t status) {
        auto* self = static_cast<ReplyWaiter*>(context);
        self->status = status;
        ::SetEvent(self->arrived);
        return 0;
    }
};

double BareRoundTrips(NuvTest::OpenBus& requester, int count, int* failures) {
    ReplyWaiter waiter;
    const NuvTest::BusHeader header = NuvTest::MakeBusHeader(kBareName, L"bench", kPayload);
    const auto& f = requester.Functions();
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        if (f.request(requester.Get(), i, &waiter, &ReplyWaiter::OnReply, header.data(), kBareName, L"bench", kPayload,
                      10000) != 0 ||
            ::WaitForSingleObject(waiter.arrived, 20000) != WAIT_OBJECT_0 || waiter.status != 0) {
            ++*failures;
        }
    }
    const double result = Microseconds(start, count);
    f.releaseReplyCallback(requester.Get(), &ReplyWaiter::OnReply);
    return result;
}

// A new message each time, as a product request makes one; waited on through its reply.
double ClientRoundTrips(MessageBusClient& requester, int count, int* failures, const wchar_t* name = kClientName) {
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        std::shared_ptr<Korin::Reply> reply;
        if (requester.request(Message::create(name, L"bench", kPayload), reply, 10000) != 0 ||
            reply->wait() != Korin::ReplyStatus::Received) {
            ++*failures;
        }
    }
    return Microseconds(start, count);
}

// The same with a completion callback that wakes this thread through an event.
double ClientCallbackRoundTrips(MessageBusClient& requester, int count, int* failures) {
    HANDLE arrived = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::atomic<int> received{0};
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        if (requester.request(Message::create(kClientName, L"bench", kPayload),
                              [&](std::shared_ptr<Korin::Reply> reply) {
                                  if (reply->getStatus() == Korin::ReplyStatus::Received) ++received;
                                  ::SetEvent(arrived);
                              },
                              10000) != 0 ||
            ::WaitForSingleObject(arrived, 20000) != WAIT_OBJECT_0) {
            ++*failures;
        }
    }
    const double result = Microseconds(start, count);
    *failures += count - received.load();
    ::CloseHandle(arrived);
    return result;
}

int Respond(bool throughClient, const wchar_t* readyName, const wchar_t* quitName) {
    NuvTest::StandInBus standIn(false);
    if (!standIn.Loaded()) return 2;
    HANDLE ready = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, readyName);
    HANDLE quit = ::OpenEventW(SYNCHRONIZE, FALSE, quitName);
    if (throughClient) {
        MessageBusClient client;
        AnswerThroughClient(client);
        ::SetEvent(ready);
        ::WaitForSingleObject(quit, 600000);
    } else {
        NuvTest::OpenBus bus(standIn);
        BareResponder responder;
        responder.Start(bus);
        ::SetEvent(ready);
        ::WaitForSingleObject(quit, 600000);
    }
    return 0;
}

// The responders in a second process, each round's figures taken with the same child.
bool RunWithChild(const wchar_t* mode, const std::function<void()>& measure) {
    const std::wstring readyName = EventName(L"ready"), quitName = EventName(L"quit");
    HANDLE ready = ::CreateEventW(nullptr, TRUE, FALSE, readyName.c_str());
    HANDLE quit = ::CreateEventW(nullptr, TRUE, FALSE, quitName.c_str());
    HANDLE child = StartSelf(std::wstring(mode) + L" " + readyName + L" " + quitName);
    const bool started = child != nullptr && ::WaitForSingleObject(ready, 60000) == WAIT_OBJECT_0;
    if (started) measure();
    ::SetEvent(quit);
    if (child != nullptr) {
        ::WaitForSingleObject(child, 30000);
        ::CloseHandle(child);
    }
    ::CloseHandle(ready);
    ::CloseHandle(quit);
    return started;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    NuvTest::StandInBus standIn(false);
    if (!standIn.Loaded()) {
        std::printf("Halvex.dll not found in %ls\n", NuvTest::StandInBus::Folder().c_str());
        return 2;
    }
    // The client binds the library the product's way, from this folder.
    Korin::MessageBusLib::searchFolders = {NuvTest::StandInBus::Folder()};
    if (argc == 4 && std::wstring(argv[1]) == L"--respond-bare") return Respond(false, argv[2], argv[3]);
    if (argc == 4 && std::wstring(argv[1]) == L"--respond-client") return Respond(true, argv[2], argv[3]);
    const int count = argc > 1 ? _wtoi(argv[1]) : 3000;

    int failures = 0;
    constexpr int kRounds = 5;  // best of, taken in turns: a busy machine mostly measures its neighbours
    double bareIn = 1e9, clientIn = 1e9, bareCross = 1e9, clientCross = 1e9, requesterOnly = 1e9;
    double callbackIn = 1e9, callbackCross = 1e9;
    {
        NuvTest::OpenBus bareRequester(standIn), bareResponderBus(standIn);
        BareResponder bareResponder;
        bareResponder.Start(bareResponderBus);
        MessageBusClient requester, responder;
        AnswerThroughClient(responder);
        BareRoundTrips(bareRequester, count / 10 + 1, &failures);  // warm-up
        ClientRoundTrips(requester, count / 10 + 1, &failures);
        for (int round = 0; round < kRounds; ++round) {
            bareIn = std::min(bareIn, BareRoundTrips(bareRequester, count, &failures));
            clientIn = std::min(clientIn, ClientRoundTrips(requester, count, &failures));
            requesterOnly = std::min(requesterOnly, ClientRoundTrips(requester, count, &failures, kBareName));
            callbackIn = std::min(callbackIn, ClientCallbackRoundTrips(requester, count, &failures));
        }
    }
    {
        NuvTest::OpenBus bareRequester(standIn);
        MessageBusClient requester;
        for (int round = 0; round < kRounds; ++round) {
            if (!RunWithChild(L"--respond-bare", [&] {
                    BareRoundTrips(bareRequester, count / 10 + 1, &failures);
                    bareCross = std::min(bareCross, BareRoundTrips(bareRequester, count, &failures));
                }) ||
                !RunWithChild(L"--respond-client", [&] {
                    ClientRoundTrips(requester, count / 10 + 1, &failures);
                    clientCross = std::min(clientCross, ClientRoundTrips(requester, count, &failures));
                    callbackCross = std::min(callbackCross, ClientCallbackRoundTrips(requester, count, &failures));
                })) {
                ++failures;
            }
        }
    }
    std::printf("request and reply: %d each, best of %d rounds (microseconds per round trip)\n", count, kRounds);
    std::printf("  one process    bare table %8.1f   MessageBusClient both sides %8.1f   client cost %7.1f   ratio %.2fx\n",
                bareIn, clientIn, clientIn - bareIn, clientIn / bareIn);
    std::printf("  one process    MessageBusClient requester (Reply::wait), bare table responder %8.1f\n",
                requesterOnly);
    std::printf("  two processes  bare table %8.1f   MessageBusClient both sides %8.1f   client cost %7.1f   ratio %.2fx\n",
                bareCross, clientCross, clientCross - bareCross, clientCross / bareCross);
    std::printf("completion callback in place of Reply::wait, MessageBusClient both sides: one process %.1f (%.2fx),"
                " two processes %.1f (%.2fx)\n",
                callbackIn, callbackIn / bareIn, callbackCross, callbackCross / bareCross);
    if (failures != 0) std::printf("FAILED round trips: %d\n", failures);
    return failures == 0 ? 0 : 1;
}
