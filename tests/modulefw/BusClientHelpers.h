#pragma once
// Shared by the bus client tests and their peer process: answering a delivered request through a
// client, and a handler that keeps what it is handed for a bounded wait.

#include "modulefw/MessageBusClient.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace NuvTest {

// A reply is the request's own header (requester stamp and reply index) with the reply flag set.
// `noCopy` sets bit 3: no plain copy of the reply follows.
inline Korin::ModuleStatus ReplyThrough(Korin::MessageBusClient& client, const Korin::Message& request,
                                        const std::wstring& name, const std::wstring& payload, bool noCopy = false) {
    auto reply = Korin::Message::create(name, L"responder", payload);
    if (!reply) return Korin::MODULE_STATUS_NO_MEMORY;
    Korin::Message::setHeader(reply->getHeader(), request.getHeader());
    reply->getHeader()->setFlag(Korin::MessageHeader::ReplyFlag);
    if (noCopy) reply->getHeader()->setFlag(3);
    return client.publish(reply);
}

class MessageLog {
public:
    // Records the message, then runs `then` (in the bus's thread).
    Korin::MessageBus::MessageHandler Handler(std::function<void(const std::shared_ptr<Korin::Message>&)> then = {}) {
        return [this, then](std::shared_ptr<Korin::Message> message) {
            {
                std::lock_guard<std::mutex> lock(m_lock);
                m_messages.push_back(message);
            }
            m_arrived.notify_all();
            if (then) then(message);
            return Korin::ModuleStatus{0};
        };
    }
    // True once `count` messages are there; false when the time is up first.
    bool WaitFor(std::size_t count, std::uint32_t timeoutMs = 20000) {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_messages.size() >= count; });
    }
    std::vector<std::shared_ptr<Korin::Message>> Messages() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_messages;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_arrived;
    std::vector<std::shared_ptr<Korin::Message>> m_messages;
};

}  // namespace NuvTest
