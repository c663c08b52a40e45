#pragma once
// The one router of a process: every bus handle of the process publishes, requests and
// subscribes through it. Callbacks run on the router's worker threads: each subscription and each
// handle's reply stream is a lane whose tasks run one at a time in order, different lanes run in
// parallel, and a worker is added whenever work waits and no worker is idle (a handler may block
// waiting for a reply that another lane must deliver). Workers, the time-out thread and the
// broker link start with the first open handle and are joined with the last, once everything
// accepted has been delivered (so a callback that never returns holds the last release too).

#include "suite/bus/BrokerLink.h"
#include "suite/interfaces/HalvexBus.h"

#include <windows.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace HalvexBus {

// A message as the bus delivers it: one copy shared by every subscription it reaches.
struct Delivery {
    std::array<uint8_t, Halvex::kHeaderSizeV2> header = {};
    std::wstring name;
    std::wstring sender;
    std::wstring payload;
};

class Router {
public:
    static Router& Instance();

    uint32_t Open(Halvex::BusHandle* handle);
    uint32_t Release(Halvex::BusHandle handle);
    uint32_t Publish(Halvex::BusHandle handle, const void* header, const wchar_t* name, const wchar_t* sender,
                     const wchar_t* payload);
    uint32_t Request(Halvex::BusHandle handle, uint64_t replyIndex, void* context, Halvex::ReplyCallback callback,
                     const void* header, const wchar_t* name, const wchar_t* sender, const wchar_t* payload,
                     uint64_t timeoutMs);
    uint32_t Subscribe(Halvex::BusHandle handle, void* context, Halvex::MessageCallback callback,
                       const wchar_t* text, bool pattern);
    uint32_t Unsubscribe(Halvex::BusHandle handle, uint32_t id);
    uint32_t ReleaseReplyCallback(Halvex::BusHandle handle, Halvex::ReplyCallback callback);

private:
    using Clock = std::chrono::steady_clock;

    struct Task {
        std::shared_ptr<const Delivery> message;
        Halvex::ReplyCallback replyCallback = nullptr;  // null: a subscription's delivery
        void* replyContext = nullptr;
        uint64_t replyIndex = 0;
        uint32_t status = 0;
    };

    struct Lane {
        std::deque<Task> tasks;
        bool queued = false;   // in the ready list
        bool closed = false;   // takes no more tasks; a queued one is skipped
        DWORD runningThread = 0;
        Halvex::ReplyCallback runningReply = nullptr;
        // Set for a subscription's lane.
        Halvex::MessageCallback messageCallback = nullptr;
        void* context = nullptr;
    };

    struct Subscription {
        uint32_t id = 0;
        uint64_t handle = 0;
        bool pattern = false;
        std::wstring text;
        std::wregex expression;
        std::shared_ptr<Lane> lane;
    };

    struct Handle {
        bool releasing = false;  // refused to callers from here on
        std::shared_ptr<Lane> replies;
        std::set<uint32_t> subscriptions;
    };

    struct Pending {
        uint64_t handle = 0;
        uint64_t replyIndex = 0;
        void* context = nullptr;
        Halvex::ReplyCallback callback = nullptr;
        Clock::time_point deadline;
    };

    Router() = default;

    // All below with m_lock held unless said otherwise.
    Handle* FindHandle(Halvex::BusHandle handle);
    uint32_t Accept(const void* header, const wchar_t* name, const wchar_t* sender, const wchar_t* payload,
                    std::shared_ptr<Delivery>& delivery);
    void Route(const std::shared_ptr<const Delivery>& message);
    // forwardTo: set to the requester's process when it is another one (sent by the caller).
    uint32_t ResolveReply(const std::shared_ptr<Delivery>& reply, uint32_t& forwardTo);
    void Enqueue(const std::shared_ptr<Lane>& lane, Task task);
    void CloseLane(Lane& lane);
    void WaitUntilIdle(std::unique_lock<std::mutex>& lock, const std::shared_ptr<Lane>& lane,
                       Halvex::ReplyCallback onlyReply);
    void RemoveSubscription(std::unique_lock<std::mutex>& lock, uint32_t id);
    void DropHandle(std::unique_lock<std::mutex>& lock, uint64_t id);
    // Without m_lock.
    void SendToOthers(BrokerLink* link, FrameType type, uint32_t toProcess, const Delivery& message);

    // Threads; called without m_lock.
    void WorkerLoop(uint64_t generation);
    void TimerLoop(uint64_t generation);
    void OnBrokerFrame(Frame&& frame);
    void StartThreads();
    void StopThreads(std::unique_lock<std::mutex>& lock);

    std::mutex m_lifecycle;  // open and release, one at a time
    std::mutex m_lock;
    std::condition_variable m_workAvailable;
    std::condition_variable m_laneIdle;  // a task ended or was dropped
    std::condition_variable m_timerWake;

    uint64_t m_nextHandle = 0x4856;
    uint32_t m_nextSubscription = 1;
    uint64_t m_nextSerial = 1;
    std::map<uint64_t, Handle> m_handles;
    std::map<uint32_t, Subscription> m_subscriptions;
    std::unordered_multimap<std::wstring, uint32_t> m_exact;
    std::vector<uint32_t> m_patterns;
    std::map<uint64_t, Pending> m_pending;  // by request serial
    std::set<std::pair<Clock::time_point, uint64_t>> m_deadlines;

    std::deque<std::shared_ptr<Lane>> m_ready;
    size_t m_tasks = 0;  // queued or running, over all lanes
    size_t m_idleWorkers = 0;      // waiting on m_workAvailable
    size_t m_spinningWorkers = 0;  // watching m_readyCount
    std::atomic<size_t> m_readyCount{0};
    bool m_stopping = false;
    uint64_t m_generation = 0;  // of the threads; a worker of an earlier one ends
    std::vector<std::thread> m_workers;
    std::thread m_timer;

    uint32_t m_processId = 0;
    uint32_t m_sessionId = 0;
    std::shared_ptr<BrokerLink> m_link;  // a sender holds a copy while it writes
    bool m_linked = false;
};

}  // namespace HalvexBus
