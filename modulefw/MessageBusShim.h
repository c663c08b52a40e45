#pragma once
// The narrow edge between the bus client and the bus library's function table. A context handed
// to the bus is the address of a handler the client owns; it must stay valid until the matching
// unsubscribe or releaseReplyHandler has returned.

#include "modulefw/Message.h"
#include "modulefw/ModuleStatus.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace Korin {

class MessageBusShim {
public:
    // The context of every request: (reply index, reply message or empty, bus status).
    using ReplyHandler = std::function<ModuleStatus(std::uint64_t, std::shared_ptr<Message>, ModuleStatus)>;
    // The context of a subscription.
    using MessageHandler = std::function<ModuleStatus(std::shared_ptr<Message>)>;

    virtual ~MessageBusShim();

    virtual ModuleStatus publish(const std::shared_ptr<Message>& message, bool variant) = 0;
    // `context` is a ReplyHandler.
    virtual ModuleStatus request(const std::shared_ptr<Message>& message, std::uint64_t replyIndex, void* context,
                                 std::uint64_t timeoutMs, bool variant) = 0;
    virtual void releaseReplyHandler() = 0;
    // `context` is a MessageHandler. The subscription id; 0 when the bus refused.
    virtual std::uint32_t subscribe(const std::wstring& name, void* context) = 0;
    virtual std::uint32_t subscribeFilter(const std::wstring& pattern, void* context) = 0;
    virtual void unsubscribe(std::uint32_t subscriptionId) = 0;
};

namespace internal {

// Called while removing a subscription: when this thread is inside a bus delivery (a handler
// unsubscribing itself or destroying its client), keeps `handler` alive until that delivery has
// returned, since the bus does not wait for a callback that removes itself. Returns false, and
// keeps nothing, on any other thread.
bool keepAliveWhileDelivering(std::shared_ptr<const void> handler);

}  // namespace internal

}  // namespace Korin
