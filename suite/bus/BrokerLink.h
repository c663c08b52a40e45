#pragma once
// A process's place on the bus, from its first open handle to its last: its own inbox, read by a
// thread of its own, and a pipe to the broker, which says who else is on the bus. Messages and
// replies go straight into the other processes' inboxes on the sender's thread, so everything a
// publish accepted is in the receivers' inboxes once it returns (also when the process ends
// right after). Frames that arrive are handed to the receiver in the order each sender wrote them.

#include "suite/bus/PipeFrames.h"
#include "suite/bus/SharedInbox.h"

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace HalvexBus {

class BrokerLink {
public:
    using Receiver = std::function<void(Frame&&)>;

    BrokerLink() = default;
    ~BrokerLink();
    BrokerLink(const BrokerLink&) = delete;
    BrokerLink& operator=(const BrokerLink&) = delete;

    // Creates the inbox and joins the bus of this session and scope, starting the broker (it
    // lies beside this library) when none answers. False: the bus stays within this process.
    bool Start(Receiver receiver);
    // To every other process (toProcess 0) or to one; a process that has ended is skipped.
    void Send(const Frame& frame, uint32_t toProcess);
    void Stop();
    // Whether any other process is on the bus. A process that joins is welcomed only once every
    // process already there has seen it, so a publish after its open returned is not skipped.
    bool OthersPresent() const { return m_othersPresent.load(std::memory_order_acquire); }

private:
    void ControlLoop();
    void UpdatePeers(const std::vector<uint32_t>& processes);

    Receiver m_receiver;
    std::unique_ptr<PipeChannel> m_channel;
    std::unique_ptr<InboxReader> m_inbox;
    Tessal::UniqueHandle m_stop;
    // Held while writing: one process's frames reach each inbox in the order they were sent.
    std::mutex m_peersLock;
    std::map<uint32_t, std::unique_ptr<InboxWriter>> m_peers;
    std::atomic<bool> m_othersPresent{false};
    std::thread m_control;
    std::thread m_reader;
};

}  // namespace HalvexBus
