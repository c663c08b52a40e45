#pragma once
// The component's view of the message bus: publishing, requests answered through a reply object or
// a completion callback, and subscriptions by exact name or name pattern under an alias.

#include "modulefw/Message.h"
#include "modulefw/ModuleStatus.h"
#include "modulefw/Reply.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace Korin {

class MessageBus {
public:
    // Runs on one of the bus's threads, possibly concurrently with other handlers.
    using MessageHandler = std::function<ModuleStatus(std::shared_ptr<Message>)>;
    // Called once with a reply whose status is already decided; what it returns is not used.
    using CompletionCallback = std::function<void(std::shared_ptr<Reply>)>;

    virtual ~MessageBus();

    virtual ModuleStatus publish(const std::shared_ptr<Message>& message) = 0;
    virtual ModuleStatus publishVariant(const std::shared_ptr<Message>& message) = 0;
    virtual ModuleStatus request(const std::shared_ptr<Message>& message, CompletionCallback callback,
                                 const std::uint64_t& timeoutMs) = 0;
    virtual ModuleStatus request(const std::shared_ptr<Message>& message, std::shared_ptr<Reply>& reply,
                                 const std::uint64_t& timeoutMs) = 0;
    virtual ModuleStatus requestVariant(const std::shared_ptr<Message>& message, CompletionCallback callback,
                                        const std::uint64_t& timeoutMs) = 0;
    virtual ModuleStatus requestVariant(const std::shared_ptr<Message>& message, std::shared_ptr<Reply>& reply,
                                        const std::uint64_t& timeoutMs) = 0;
    virtual ModuleStatus subscribe(const std::wstring& name, const std::wstring& alias, MessageHandler handler) = 0;
    virtual ModuleStatus subscribe(const std::wstring& name, MessageHandler handler) = 0;
    virtual ModuleStatus subscribeInSession(const std::wstring& name, const std::wstring& alias,
                                            MessageHandler handler) = 0;
    virtual ModuleStatus subscribeInSession(const std::wstring& name, MessageHandler handler) = 0;
    virtual ModuleStatus subscribeFilter(const std::wstring& pattern, const std::wstring& alias,
                                         MessageHandler handler) = 0;
    virtual ModuleStatus subscribeFilter(const std::wstring& pattern, MessageHandler handler) = 0;
    virtual ModuleStatus subscribeFilterInSession(const std::wstring& pattern, const std::wstring& alias,
                                                  MessageHandler handler) = 0;
    virtual ModuleStatus subscribeFilterInSession(const std::wstring& pattern, MessageHandler handler) = 0;
    // Removes every subscription made under the alias.
    virtual ModuleStatus unsubscribe(const std::wstring& alias) = 0;
};

}  // namespace Korin
