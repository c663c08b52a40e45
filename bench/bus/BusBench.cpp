// Request and reply through the stand-in bus, in one process and between two processes, beside a
// bare round trip with events between two threads and between two processes, measured in the
// same run; and publish throughput to one subscriber (in the same and in another process). By hand:
//   wine bin/bus_bench.exe [round trips]
// The same program is its own second process (--echo-events, --respond, --count).

#include "tests/support/BusFixture.h"
#include "tests/support/ChildProcess.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using NuvTest::OpenBus;

double Microseconds(Clock::time_point since, int count) {
    return std::chrono::duration<double, std::micro>(Clock::now() - since).count() / count;
}

std::wstring SelfPath() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

// This program in a second process; null when it cannot be started.
HANDLE StartSelf(const std::wstring& arguments) {
    return NuvTest::StartChild(L"\"" + SelfPath() + L"\" " + arguments).Take();
}

std::wstring EventName(const wchar_t* what) {
    return L"Local\\halvex-bench-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + what;
}

// The bare round trip: one event there, one back.
double BareThreads(int count) {
    HANDLE ping = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE pong = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::thread echo([&] {
        for (int i = 0; i < count; ++i) {
            ::WaitForSingleObject(ping, INFINITE);
            ::SetEvent(pong);
        }
    });
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        ::SetEvent(ping);
        ::WaitForSingleObject(pong, INFINITE);
    }
    const double result = Microseconds(start, count);
    echo.join();
    ::CloseHandle(ping);
    ::CloseHandle(pong);
    return result;
}

double BareProcesses(int count) {
    const std::wstring pingName = EventName(L"ping"), pongName = EventName(L"pong");
    HANDLE ping = ::CreateEventW(nullptr, FALSE, FALSE, pingName.c_str());
    HANDLE pong = ::CreateEventW(nullptr, FALSE, FALSE, pongName.c_str());
    HANDLE child = StartSelf(L"--echo-events " + pingName + L" " + pongName + L" " + std::to_wstring(count + 1));
    if (child == nullptr) return -1;
    ::SetEvent(ping);  // the first trip includes the child's start
    ::WaitForSingleObject(pong, 60000);
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        ::SetEvent(ping);
        ::WaitForSingleObject(pong, INFINITE);
    }
    const double result = Microseconds(start, count);
    ::WaitForSingleObject(child, 10000);
    ::CloseHandle(child);
    ::CloseHandle(ping);
    ::CloseHandle(pong);
    return result;
}

int EchoEvents(const wchar_t* pingName, const wchar_t* pongName, int count) {
    HANDLE ping = ::OpenEventW(SYNCHRONIZE, FALSE, pingName);
    HANDLE pong = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, pongName);
    if (ping == nullptr || pong == nullptr) return 2;
    for (int i = 0; i < count; ++i) {
        if (::WaitForSingleObject(ping, 30000) != WAIT_OBJECT_0) return 3;
        ::SetEvent(pong);
    }
    return 0;
}

struct ReplyWaiter {
    HANDLE arrived = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::atomic<uint32_t> lastStatus{0};
    static uint32_t OnReply(void* context, uint64_t, const void*, const wchar_t*, const wchar_t*, const wchar_t*,
                            uint32_t status) {
        auto* self = static_cast<ReplyWaiter*>(context);
        self->lastStatus = status;
        ::SetEvent(self->arrived);
        return 0;
    }
};

double BusRoundTrips(OpenBus& requester, int count, int* failures) {
    ReplyWaiter waiter;
    const std::wstring name = L"Bench.Echo.Request", payload = L"{\"ping\":1}";
    const NuvTest::BusHeader header = NuvTest::MakeBusHeader(name, L"bench", payload);
    const auto& f = requester.Functions();
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        if (f.request(requester.Get(), i, &waiter, &ReplyWaiter::OnReply, header.data(), name.c_str(), L"bench",
                      payload.c_str(), 10000) != 0 ||
            ::WaitForSingleObject(waiter.arrived, 20000) != WAIT_OBJECT_0 || waiter.lastStatus != 0) {
            ++*failures;
        }
    }
    const double result = Microseconds(start, count);
    f.releaseReplyCallback(requester.Get(), &ReplyWaiter::OnReply);
    ::CloseHandle(waiter.arrived);
    return result;
}

// Answers each echo request at once with its own payload: the bus's cost, not a recorder's.
struct EchoResponder {
    const Korin::MessageBusFunctions* functions = nullptr;
    Halvex::BusHandle handle = nullptr;
    static uint32_t OnRequest(void* context, const void* header, const wchar_t*, const wchar_t*,
                              const wchar_t* payload) {
        auto* self = static_cast<EchoResponder*>(context);
        NuvTest::BusHeader reply;
        memcpy(reply.data(), header, reply.size());
        reinterpret_cast<Halvex::WireHeader*>(reply.data())->flags |= Halvex::kFlagReply;
        return self->functions->publish(self->handle, reply.data(), L"Bench.Echo.Reply", L"bench", payload);
    }
};

void AnswerEchoes(OpenBus& responder, EchoResponder& echo) {
    echo.functions = &responder.Functions();
    echo.handle = responder.Get();
    responder.Functions().subscribe(responder.Get(), &echo, &EchoResponder::OnRequest, L"Bench.Echo.Request");
}

int Respond(const wchar_t* readyName, const wchar_t* quitName) {
    NuvTest::StandInBus standIn(false);
    if (!standIn.Loaded()) return 2;
    HANDLE ready = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, readyName);
    HANDLE quit = ::OpenEventW(SYNCHRONIZE, FALSE, quitName);
    OpenBus responder(standIn);
    EchoResponder echo;
    AnswerEchoes(responder, echo);
    ::SetEvent(ready);
    ::WaitForSingleObject(quit, 600000);
    return 0;
}

// Messages per second from one publisher to one subscriber, until the last has been delivered.
double PublishThroughput(const NuvTest::StandInBus& standIn, int count) {
    OpenBus publisher(standIn);
    OpenBus subscriber(standIn);
    static std::atomic<int> received{0};
    static HANDLE done = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    received = 0;
    ::ResetEvent(done);
    static int target = 0;
    target = count;
    auto callback = [](void*, const void*, const wchar_t*, const wchar_t*, const wchar_t*) -> uint32_t {
        if (++received == target) ::SetEvent(done);
        return 0;
    };
    publisher.Functions().subscribe(subscriber.Get(), nullptr, callback, L"Bench.Stream");
    const std::wstring name = L"Bench.Stream", payload = L"{\"user\":\"S-1-5-21-1\",\"state\":1}";
    const NuvTest::BusHeader header = NuvTest::MakeBusHeader(name, L"bench", payload);
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        publisher.Functions().publish(publisher.Get(), header.data(), name.c_str(), L"bench", payload.c_str());
    }
    ::WaitForSingleObject(done, 120000);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return received.load() / seconds;
}

// The subscriber of the two-process throughput: counts to `count`, then sets `done`.
int CountMessages(const wchar_t* readyName, const wchar_t* doneName, int count) {
    NuvTest::StandInBus standIn(false);
    if (!standIn.Loaded()) return 2;
    static HANDLE done = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, doneName);
    static int target = count;
    static std::atomic<int> received{0};
    OpenBus subscriber(standIn);
    auto callback = [](void*, const void*, const wchar_t*, const wchar_t*, const wchar_t*) -> uint32_t {
        if (++received == target) ::SetEvent(done);
        return 0;
    };
    subscriber.Functions().subscribe(subscriber.Get(), nullptr, callback, L"Bench.Stream");
    HANDLE ready = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, readyName);
    ::SetEvent(ready);
    HANDLE doneWait = ::OpenEventW(SYNCHRONIZE, FALSE, doneName);
    ::WaitForSingleObject(doneWait, 600000);
    return 0;
}

double PublishThroughputToAnotherProcess(const NuvTest::StandInBus& standIn, int count) {
    const std::wstring readyName = EventName(L"count-ready"), doneName = EventName(L"count-done");
    HANDLE ready = ::CreateEventW(nullptr, TRUE, FALSE, readyName.c_str());
    HANDLE done = ::CreateEventW(nullptr, TRUE, FALSE, doneName.c_str());
    OpenBus publisher(standIn);
    HANDLE child = StartSelf(L"--count " + readyName + L" " + doneName + L" " + std::to_wstring(count));
    double result = -1;
    if (child != nullptr && ::WaitForSingleObject(ready, 60000) == WAIT_OBJECT_0) {
        const std::wstring name = L"Bench.Stream", payload = L"{\"user\":\"S-1-5-21-1\",\"state\":1}";
        const NuvTest::BusHeader header = NuvTest::MakeBusHeader(name, L"bench", payload);
        const auto start = Clock::now();
        for (int i = 0; i < count; ++i) {
            publisher.Functions().publish(publisher.Get(), header.data(), name.c_str(), L"bench", payload.c_str());
        }
        if (::WaitForSingleObject(done, 120000) == WAIT_OBJECT_0) {
            result = count / std::chrono::duration<double>(Clock::now() - start).count();
        }
    }
    ::SetEvent(done);
    if (child != nullptr) {
        ::WaitForSingleObject(child, 30000);
        ::CloseHandle(child);
    }
    ::CloseHandle(ready);
    ::CloseHandle(done);
    return result;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 5 && std::wstring(argv[1]) == L"--echo-events") return EchoEvents(argv[2], argv[3], _wtoi(argv[4]));
    if (argc == 4 && std::wstring(argv[1]) == L"--respond") return Respond(argv[2], argv[3]);
    if (argc == 5 && std::wstring(argv[1]) == L"--count") return CountMessages(argv[2], argv[3], _wtoi(argv[4]));
    const int count = argc > 1 ? _wtoi(argv[1]) : 5000;

    NuvTest::StandInBus standIn(false);
    if (!standIn.Loaded()) {
        std::printf("Halvex.dll not found in %ls\n", NuvTest::StandInBus::Folder().c_str());
        return 2;
    }
    int failures = 0;
    // Each figure is the best of a few rounds, taken in turns: on a busy machine a single round
    // mostly measures the neighbours.
    constexpr int kRounds = 3;
    double bareThreads = 1e9, busInProcess = 1e9, bareProcesses = 1e9, busProcesses = 1e9;
    {
        OpenBus requester(standIn);
        OpenBus responder(standIn);
        EchoResponder echo;
        AnswerEchoes(responder, echo);
        BusRoundTrips(requester, count / 10 + 1, &failures);  // warm-up
        for (int round = 0; round < kRounds; ++round) {
            bareThreads = std::min(bareThreads, BareThreads(count));
            busInProcess = std::min(busInProcess, BusRoundTrips(requester, count, &failures));
        }
    }
    {
        const std::wstring readyName = EventName(L"ready"), quitName = EventName(L"quit");
        HANDLE ready = ::CreateEventW(nullptr, TRUE, FALSE, readyName.c_str());
        HANDLE quit = ::CreateEventW(nullptr, TRUE, FALSE, quitName.c_str());
        OpenBus requester(standIn);
        HANDLE child = StartSelf(L"--respond " + readyName + L" " + quitName);
        if (child != nullptr && ::WaitForSingleObject(ready, 60000) == WAIT_OBJECT_0) {
            BusRoundTrips(requester, count / 10 + 1, &failures);
            for (int round = 0; round < kRounds; ++round) {
                bareProcesses = std::min(bareProcesses, BareProcesses(count));
                busProcesses = std::min(busProcesses, BusRoundTrips(requester, count, &failures));
            }
        } else {
            ++failures;
        }
        ::SetEvent(quit);
        if (child != nullptr) {
            ::WaitForSingleObject(child, 30000);
            ::CloseHandle(child);
        }
    }

    double throughput = 0;
    double crossThroughput = 0;
    for (int round = 0; round < kRounds; ++round) {
        throughput = std::max(throughput, PublishThroughput(standIn, count * 20));
        crossThroughput = std::max(crossThroughput, PublishThroughputToAnotherProcess(standIn, count * 20));
    }

    std::printf("round trips: %d each, best of %d rounds (microseconds per round trip)\n", count, kRounds);
    std::printf("  one process    bare threads+events %8.1f   bus request/reply %8.1f   ratio %.2fx (goal <= 3x)\n",
                bareThreads, busInProcess, busInProcess / bareThreads);
    std::printf("  two processes  bare named events   %8.1f   bus request/reply %8.1f   ratio %.2fx (goal <= 3x)\n",
                bareProcesses, busProcesses, busProcesses / bareProcesses);
    std::printf("publish throughput to one subscriber: one process %.0f messages/s, two processes %.0f messages/s"
                " (%d messages)\n",
                throughput, crossThroughput, count * 20);
    if (failures != 0) std::printf("FAILED round trips: %d\n", failures);
    return failures == 0 ? 0 : 1;
}
