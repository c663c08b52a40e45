#include "suite/bus/Router.h"

#include <algorithm>
#include <cstring>

namespace HalvexBus {
namespace {

using Halvex::WireHeader;

constexpr size_t kInitialWorkers = 2;
// Enough for nested waits (a handler waiting for a reply that another handler must give) many
// levels deep; past it, work waits for a free worker.
constexpr size_t kMaxWorkers = 64;
// Longer time-outs wait this long: the clock's arithmetic must not overflow.
constexpr uint64_t kMaxTimeoutMs = 1ull << 32;
// A worker that ran out of work watches for more this long before it sleeps: under Wine every
// sleep and wake-up is a round trip to the server, which would cost each hop of a request more
// than the whole bare round trip. One worker at a time, so that a small machine keeps its cores.
constexpr auto kSpin = std::chrono::microseconds(2000);

thread_local bool t_inCallback = false;

uint64_t HandleId(Halvex::BusHandle handle) { return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle)); }

WireHeader* View(std::array<uint8_t, Halvex::kHeaderSizeV2>& bytes) {
    return reinterpret_cast<WireHeader*>(bytes.data());
}

}  // namespace

Router& Router::Instance() {
    // Never destroyed: a process may end with bus threads still running, and a joinable
    // std::thread destroyed at exit would terminate it.
    static Router* router = new Router();
    return *router;
}

Router::Handle* Router::FindHandle(Halvex::BusHandle handle) {
    if (handle == nullptr) return nullptr;
    auto found = m_handles.find(HandleId(handle));
    if (found == m_handles.end() || found->second.releasing) return nullptr;
    return &found->second;
}

uint32_t Router::Open(Halvex::BusHandle* handle) {
    if (handle == nullptr) return Halvex::kStatusInvalidParameter;
    std::lock_guard<std::mutex> lifecycle(m_lifecycle);
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        first = m_handles.empty();
    }
    if (first) StartThreads();
    std::lock_guard<std::mutex> lock(m_lock);
    const uint64_t id = m_nextHandle++;
    m_handles[id].replies = std::make_shared<Lane>();
    *handle = reinterpret_cast<Halvex::BusHandle>(static_cast<uintptr_t>(id));
    return Halvex::kStatusSuccess;
}

uint32_t Router::Release(Halvex::BusHandle handle) {
    std::lock_guard<std::mutex> lifecycle(m_lifecycle);
    std::unique_lock<std::mutex> lock(m_lock);
    if (FindHandle(handle) == nullptr) return Halvex::kStatusInvalidHandle;
    const uint64_t id = HandleId(handle);
    const bool last = m_handles.size() == 1;
    if (last) {
        // Everything accepted so far is delivered first, also what its own callbacks publish.
        const size_t own = t_inCallback ? 1 : 0;
        m_laneIdle.wait(lock, [&] { return m_tasks <= own; });
    }
    m_handles[id].releasing = true;
    DropHandle(lock, id);
    if (last) StopThreads(lock);
    return Halvex::kStatusSuccess;
}

uint32_t Router::Accept(const void* header, const wchar_t* name, const wchar_t* sender, const wchar_t* payload,
                        std::shared_ptr<Delivery>& delivery) {
    if (header == nullptr || name == nullptr || sender == nullptr || payload == nullptr) {
        return Halvex::kStatusInvalidParameter;
    }
    WireHeader given;
    memcpy(&given, header, offsetof(WireHeader, reserved));
    if (given.totalSize < Halvex::kMinimumTotalSize) return Halvex::kStatusInvalidBufferSize;

    delivery = std::make_shared<Delivery>();
    delivery->name = name;
    delivery->sender = sender;
    delivery->payload = payload;
    WireHeader* out = View(delivery->header);
    if (given.version == Halvex::kHeaderVersion2) {
        memcpy(out, header, Halvex::kHeaderSizeV2);
    } else {
        memcpy(out, header, Halvex::kHeaderSizeV1);
        out->version = Halvex::kHeaderVersion2;
        out->extensionType = Halvex::kExtensionType;
        out->extensionLength = Halvex::kExtensionLength;
    }
    out->totalSize = static_cast<uint32_t>(
        2 * (delivery->name.size() + delivery->sender.size() + delivery->payload.size()) + Halvex::kTotalSizeOverhead);
    out->sessionId = m_sessionId;
    return Halvex::kStatusSuccess;
}

uint32_t Router::Publish(Halvex::BusHandle handle, const void* header, const wchar_t* name, const wchar_t* sender,
                         const wchar_t* payload) {
    std::shared_ptr<Delivery> message;
    uint32_t forwardTo = 0;
    std::shared_ptr<BrokerLink> link;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        link = m_link;
        if (FindHandle(handle) == nullptr) return Halvex::kStatusInvalidHandle;
        const uint32_t status = Accept(header, name, sender, payload, message);
        if (status != Halvex::kStatusSuccess) return status;
        if ((View(message->header)->flags & Halvex::kFlagReply) != 0) {
            const uint32_t resolved = ResolveReply(message, forwardTo);
            if (resolved != Halvex::kStatusSuccess || forwardTo == 0) return resolved;
        } else {
            Route(message);
        }
    }
    // Outside the lock: other processes' inboxes may make a writer wait.
    SendToOthers(link.get(), forwardTo != 0 ? FrameType::Reply : FrameType::Publish, forwardTo, *message);
    return Halvex::kStatusSuccess;
}

uint32_t Router::Request(Halvex::BusHandle handle, uint64_t replyIndex, void* context, Halvex::ReplyCallback callback,
                         const void* header, const wchar_t* name, const wchar_t* sender, const wchar_t* payload,
                         uint64_t timeoutMs) {
    if (callback == nullptr) return Halvex::kStatusInvalidParameter;
    std::unique_lock<std::mutex> lock(m_lock);
    Handle* owner = FindHandle(handle);
    if (owner == nullptr) return Halvex::kStatusInvalidHandle;
    std::shared_ptr<Delivery> message;
    const uint32_t status = Accept(header, name, sender, payload, message);
    if (status != Halvex::kStatusSuccess) return status;

    const uint64_t serial = m_nextSerial++;
    const Halvex::RequesterStamp stamp = {Halvex::kStampMagic, m_processId, serial};
    memcpy(message->header.data() + Halvex::kStampOffset, &stamp, sizeof(stamp));
    WireHeader* out = View(message->header);
    out->flags &= ~Halvex::kFlagReply;
    out->replyIndex = replyIndex;

    Pending pending;
    pending.handle = HandleId(handle);
    pending.replyIndex = replyIndex;
    pending.context = context;
    pending.callback = callback;
    pending.deadline = Clock::now() + std::chrono::milliseconds(std::min(timeoutMs, kMaxTimeoutMs));
    m_pending[serial] = pending;
    m_deadlines.insert({pending.deadline, serial});
    m_timerWake.notify_one();

    Route(message);
    std::shared_ptr<BrokerLink> link = m_link;
    lock.unlock();
    SendToOthers(link.get(), FrameType::Publish, 0, *message);
    return Halvex::kStatusSuccess;
}

uint32_t Router::ResolveReply(const std::shared_ptr<Delivery>& reply, uint32_t& forwardTo) {
    Halvex::RequesterStamp stamp;
    memcpy(&stamp, reply->header.data() + Halvex::kStampOffset, sizeof(stamp));
    if (stamp.magic != Halvex::kStampMagic) return Halvex::kStatusNotFound;
    if (stamp.processId != m_processId) {
        if (!m_linked) return Halvex::kStatusNotFound;
        forwardTo = stamp.processId;
        return Halvex::kStatusSuccess;
    }
    auto found = m_pending.find(stamp.requestSerial);
    if (found == m_pending.end()) return Halvex::kStatusNotFound;
    const Pending pending = found->second;
    m_pending.erase(found);
    m_deadlines.erase({pending.deadline, stamp.requestSerial});
    auto owner = m_handles.find(pending.handle);
    if (owner == m_handles.end()) return Halvex::kStatusNotFound;
    WireHeader* out = View(reply->header);
    out->flags |= Halvex::kFlagReply;
    out->replyIndex = pending.replyIndex;
    Task task;
    task.message = reply;
    task.replyCallback = pending.callback;
    task.replyContext = pending.context;
    task.replyIndex = pending.replyIndex;
    task.status = Halvex::kStatusSuccess;
    Enqueue(owner->second.replies, std::move(task));
    return Halvex::kStatusSuccess;
}

void Router::Route(const std::shared_ptr<const Delivery>& message) {
    auto range = m_exact.equal_range(message->name);
    for (auto it = range.first; it != range.second; ++it) {
        Task task;
        task.message = message;
        Enqueue(m_subscriptions[it->second].lane, std::move(task));
    }
    for (uint32_t id : m_patterns) {
        Subscription& subscription = m_subscriptions[id];
        if (!std::regex_match(message->name, subscription.expression)) continue;
        Task task;
        task.message = message;
        Enqueue(subscription.lane, std::move(task));
    }
}

void Router::SendToOthers(BrokerLink* link, FrameType type, uint32_t toProcess, const Delivery& message) {
    // Alone on the bus: a publish has nobody to reach (a process that joins later is known
    // before its open returns, see BrokerLink::OthersPresent).
    if (link == nullptr || !link->OthersPresent()) return;
    Frame frame;
    frame.type = type;
    frame.processId = toProcess;
    frame.header = message.header;
    frame.name = message.name;
    frame.sender = message.sender;
    frame.payload = message.payload;
    link->Send(frame, toProcess);
}

uint32_t Router::Subscribe(Halvex::BusHandle handle, void* context, Halvex::MessageCallback callback,
                           const wchar_t* text, bool pattern) {
    if (callback == nullptr || text == nullptr) return 0;
    std::wregex expression;
    if (pattern) {
        try {
            expression.assign(text, std::regex::ECMAScript | std::regex::optimize | std::regex::nosubs);
        } catch (const std::regex_error&) {
            return 0;
        }
    }
    std::lock_guard<std::mutex> lock(m_lock);
    Handle* owner = FindHandle(handle);
    if (owner == nullptr) return 0;
    uint32_t id = m_nextSubscription++;
    if (id == 0) id = m_nextSubscription++;  // after 2^32 subscriptions
    Subscription& subscription = m_subscriptions[id];
    subscription.id = id;
    subscription.handle = HandleId(handle);
    subscription.pattern = pattern;
    subscription.text = text;
    subscription.expression = std::move(expression);
    subscription.lane = std::make_shared<Lane>();
    subscription.lane->messageCallback = callback;
    subscription.lane->context = context;
    if (pattern) {
        m_patterns.push_back(id);
    } else {
        m_exact.emplace(subscription.text, id);
    }
    owner->subscriptions.insert(id);
    return id;
}

uint32_t Router::Unsubscribe(Halvex::BusHandle handle, uint32_t id) {
    std::unique_lock<std::mutex> lock(m_lock);
    Handle* owner = FindHandle(handle);
    if (owner == nullptr) return Halvex::kStatusInvalidHandle;
    if (owner->subscriptions.count(id) == 0) return Halvex::kStatusSuccess;  // already gone
    RemoveSubscription(lock, id);
    return Halvex::kStatusSuccess;
}

void Router::RemoveSubscription(std::unique_lock<std::mutex>& lock, uint32_t id) {
    auto found = m_subscriptions.find(id);
    if (found == m_subscriptions.end()) return;
    Subscription& subscription = found->second;
    if (subscription.pattern) {
        m_patterns.erase(std::remove(m_patterns.begin(), m_patterns.end(), id), m_patterns.end());
    } else {
        auto range = m_exact.equal_range(subscription.text);
        for (auto it = range.first; it != range.second; ++it) {
            if (it->second == id) {
                m_exact.erase(it);
                break;
            }
        }
    }
    auto owner = m_handles.find(subscription.handle);
    if (owner != m_handles.end()) owner->second.subscriptions.erase(id);
    std::shared_ptr<Lane> lane = subscription.lane;
    m_subscriptions.erase(found);
    CloseLane(*lane);
    WaitUntilIdle(lock, lane, nullptr);
}

uint32_t Router::ReleaseReplyCallback(Halvex::BusHandle handle, Halvex::ReplyCallback callback) {
    std::unique_lock<std::mutex> lock(m_lock);
    Handle* owner = FindHandle(handle);
    if (owner == nullptr) return Halvex::kStatusInvalidHandle;
    const uint64_t id = HandleId(handle);
    for (auto it = m_pending.begin(); it != m_pending.end();) {
        if (it->second.handle == id && it->second.callback == callback) {
            m_deadlines.erase({it->second.deadline, it->first});
            it = m_pending.erase(it);
        } else {
            ++it;
        }
    }
    std::shared_ptr<Lane> lane = owner->replies;
    const size_t before = lane->tasks.size();
    lane->tasks.erase(std::remove_if(lane->tasks.begin(), lane->tasks.end(),
                                     [&](const Task& task) { return task.replyCallback == callback; }),
                      lane->tasks.end());
    m_tasks -= before - lane->tasks.size();
    m_laneIdle.notify_all();
    WaitUntilIdle(lock, lane, callback);
    return Halvex::kStatusSuccess;
}

void Router::DropHandle(std::unique_lock<std::mutex>& lock, uint64_t id) {
    const std::set<uint32_t> subscriptions = m_handles[id].subscriptions;
    for (uint32_t subscription : subscriptions) RemoveSubscription(lock, subscription);
    for (auto it = m_pending.begin(); it != m_pending.end();) {
        if (it->second.handle == id) {
            m_deadlines.erase({it->second.deadline, it->first});
            it = m_pending.erase(it);
        } else {
            ++it;
        }
    }
    std::shared_ptr<Lane> lane = m_handles[id].replies;
    CloseLane(*lane);
    WaitUntilIdle(lock, lane, nullptr);
    m_handles.erase(id);
}

void Router::Enqueue(const std::shared_ptr<Lane>& lane, Task task) {
    if (lane->closed) return;
    lane->tasks.push_back(std::move(task));
    ++m_tasks;
    if (lane->queued || lane->runningThread != 0) return;  // its worker picks the task up next
    lane->queued = true;
    m_ready.push_back(lane);
    m_readyCount.store(m_ready.size(), std::memory_order_release);
    if (m_ready.size() <= m_spinningWorkers) return;  // a watching worker takes it
    if (m_ready.size() > m_idleWorkers + m_spinningWorkers && m_workers.size() < kMaxWorkers && !m_stopping) {
        const uint64_t generation = m_generation;
        m_workers.emplace_back([this, generation] { WorkerLoop(generation); });
    }
    m_workAvailable.notify_one();
}

void Router::CloseLane(Lane& lane) {
    lane.closed = true;
    m_tasks -= lane.tasks.size();
    lane.tasks.clear();
    m_laneIdle.notify_all();
}

void Router::WaitUntilIdle(std::unique_lock<std::mutex>& lock, const std::shared_ptr<Lane>& lane,
                           Halvex::ReplyCallback onlyReply) {
    // A callback that removes itself does not wait for itself.
    const DWORD self = ::GetCurrentThreadId();
    m_laneIdle.wait(lock, [&] {
        const DWORD running = lane->runningThread;
        if (running == 0 || running == self) return true;
        return onlyReply != nullptr && lane->runningReply != onlyReply;
    });
}

void Router::WorkerLoop(uint64_t generation) {
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        if (m_ready.empty() && m_spinningWorkers == 0 && !m_stopping) {
            ++m_spinningWorkers;
            lock.unlock();
            const auto until = Clock::now() + kSpin;
            while (m_readyCount.load(std::memory_order_acquire) == 0 && Clock::now() < until) ::SwitchToThread();
            // The thread that queued the work holds the lock for a moment more: sleeping on it
            // would cost the round trip the watching saved.
            while (!lock.try_lock()) ::SwitchToThread();
            --m_spinningWorkers;
        }
        ++m_idleWorkers;
        m_workAvailable.wait(lock, [&] { return m_stopping || generation != m_generation || !m_ready.empty(); });
        --m_idleWorkers;
        if (m_stopping || generation != m_generation) return;
        std::shared_ptr<Lane> lane = std::move(m_ready.front());
        m_ready.pop_front();
        m_readyCount.store(m_ready.size(), std::memory_order_release);
        lane->queued = false;
        if (lane->closed || lane->tasks.empty()) continue;
        Task task = std::move(lane->tasks.front());
        lane->tasks.pop_front();
        lane->runningThread = ::GetCurrentThreadId();
        lane->runningReply = task.replyCallback;
        lock.unlock();

        t_inCallback = true;
        const Delivery& message = *task.message;
        try {
            if (task.replyCallback != nullptr) {
                task.replyCallback(task.replyContext, task.replyIndex, message.header.data(), message.name.c_str(),
                                   message.sender.c_str(), message.payload.c_str(), task.status);
            } else {
                lane->messageCallback(lane->context, message.header.data(), message.name.c_str(),
                                      message.sender.c_str(), message.payload.c_str());
            }
        } catch (...) {
            // A callback's failure is its own; the bus goes on delivering.
        }
        t_inCallback = false;
        task.message.reset();

        lock.lock();
        lane->runningThread = 0;
        lane->runningReply = nullptr;
        --m_tasks;
        if (!lane->closed && !lane->tasks.empty()) {
            lane->queued = true;
            m_ready.push_back(lane);
            m_readyCount.store(m_ready.size(), std::memory_order_release);
        }
        m_laneIdle.notify_all();
    }
}

void Router::TimerLoop(uint64_t generation) {
    std::unique_lock<std::mutex> lock(m_lock);
    while (!m_stopping && generation == m_generation) {
        if (m_deadlines.empty()) {
            m_timerWake.wait(lock);
            continue;
        }
        const auto first = *m_deadlines.begin();
        if (first.first > Clock::now()) {
            m_timerWake.wait_until(lock, first.first);
            continue;
        }
        m_deadlines.erase(m_deadlines.begin());
        auto found = m_pending.find(first.second);
        if (found == m_pending.end()) continue;
        const Pending pending = found->second;
        m_pending.erase(found);
        auto owner = m_handles.find(pending.handle);
        if (owner == m_handles.end()) continue;

        auto message = std::make_shared<Delivery>();
        WireHeader* out = View(message->header);
        out->firstWord = 1;
        out->totalSize = Halvex::kTotalSizeOverhead;
        out->flags = Halvex::kFlagReply;
        out->version = Halvex::kHeaderVersion2;
        out->replyIndex = pending.replyIndex;
        out->extensionType = Halvex::kExtensionType;
        out->extensionLength = Halvex::kExtensionLength;
        out->sessionId = m_sessionId;
        Task task;
        task.message = std::move(message);
        task.replyCallback = pending.callback;
        task.replyContext = pending.context;
        task.replyIndex = pending.replyIndex;
        task.status = Halvex::kStatusTimeout;
        Enqueue(owner->second.replies, std::move(task));
    }
}

void Router::OnBrokerFrame(Frame&& frame) {
    auto message = std::make_shared<Delivery>();
    message->header = frame.header;
    message->name = std::move(frame.name);
    message->sender = std::move(frame.sender);
    message->payload = std::move(frame.payload);
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_stopping) return;
    if (frame.type == FrameType::Reply) {
        uint32_t forwardTo = 0;
        ResolveReply(message, forwardTo);  // late or unknown: dropped
    } else {
        Route(message);
    }
}

void Router::StartThreads() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stopping = false;
        ++m_generation;
        m_processId = ::GetCurrentProcessId();
        DWORD session = 0;
        m_sessionId = ::ProcessIdToSessionId(m_processId, &session) ? session : 0;
        const uint64_t generation = m_generation;
        for (size_t i = 0; i < kInitialWorkers; ++i) {
            m_workers.emplace_back([this, generation] { WorkerLoop(generation); });
        }
        m_timer = std::thread([this, generation] { TimerLoop(generation); });
    }
    auto link = std::make_shared<BrokerLink>();
    const bool linked = link->Start([this](Frame&& frame) { OnBrokerFrame(std::move(frame)); });
    std::lock_guard<std::mutex> lock(m_lock);
    if (linked) {
        m_link = std::move(link);
        m_linked = true;
    }
}

void Router::StopThreads(std::unique_lock<std::mutex>& lock) {
    // Nothing publishes any more: every handle is gone.
    std::shared_ptr<BrokerLink> link = std::move(m_link);
    m_linked = false;
    lock.unlock();
    if (link) link->Stop();
    link.reset();
    lock.lock();
    m_stopping = true;
    std::vector<std::thread> workers = std::move(m_workers);
    m_workers.clear();
    std::thread timer = std::move(m_timer);
    m_ready.clear();
    m_readyCount.store(0);
    lock.unlock();
    m_workAvailable.notify_all();
    m_timerWake.notify_all();
    const std::thread::id self = std::this_thread::get_id();
    for (std::thread& worker : workers) {
        // Released from inside a callback: this worker ends after it.
        if (worker.get_id() == self) {
            worker.detach();
        } else {
            worker.join();
        }
    }
    if (timer.joinable()) timer.join();
    lock.lock();
}

}  // namespace HalvexBus
