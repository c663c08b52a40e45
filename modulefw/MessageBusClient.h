#pragma once
// The component's handle on the message bus, over a MessageBusShim: publishing (with the plain
// copy that follows a reply), requests matched to their replies by reply index, subscriptions by
// alias, the session filter, and delivery of messages the host hands over directly.
//
// Locks: the subscription lock guards the subscriptions and is held across the bus's subscribe
// and unsubscribe; the reply lock guards the reply counter and the pending replies and is never
// held across a bus call. The two are never held together. Bus deliveries take neither.

#include "modulefw/MessageBus.h"
#include "modulefw/MessageBusShim.h"
#include "modulefw/ProcessAPI.h"

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <unordered_map>
#include <vector>

namespace Korin {

class MessageBusClient : public MessageBus {
public:
    using ReplyHandler = MessageBusShim::ReplyHandler;

    struct ExactSubscription {
        std::uint32_t id = 0;
        std::wstring name;
        // Its address is the bus's context: it must not move with the list.
        std::shared_ptr<MessageHandler> handler;
    };
    struct FilterSubscription {
        std::uint32_t id = 0;
        std::wstring pattern;
        std::wregex expression;
        std::shared_ptr<MessageHandler> handler;
    };
    struct ReplyEntry {
        std::promise<std::shared_ptr<Message>> promise;
        std::function<void()> completion;  // empty for requests answered through a Reply
    };

    // An empty process API gets the default one. The shim is taken as it is.
    MessageBusClient(std::shared_ptr<MessageBusShim> shim, std::shared_ptr<ProcessAPI> processAPI);
    // Binds the bus library itself; throws what that binding throws (ModuleException, bad_alloc).
    MessageBusClient();
    // Removes the subscriptions, drops the requests still pending (their callbacks are never called,
    // their replies end Invalid) and waits, boundedly, for completion callbacks already running.
    ~MessageBusClient() override;
    MessageBusClient(const MessageBusClient&) = delete;
    MessageBusClient& operator=(const MessageBusClient&) = delete;

    // A client with its own bus binding; empty (and logged) when the bus cannot be bound.
    static std::unique_ptr<MessageBusClient> getInstance();

    ModuleStatus publish(const std::shared_ptr<Message>& message) override;
    ModuleStatus publishVariant(const std::shared_ptr<Message>& message) override;
    ModuleStatus request(const std::shared_ptr<Message>& message, CompletionCallback callback,
                         const std::uint64_t& timeoutMs) override;
    ModuleStatus request(const std::shared_ptr<Message>& message, std::shared_ptr<Reply>& reply,
                         const std::uint64_t& timeoutMs) override;
    ModuleStatus requestVariant(const std::shared_ptr<Message>& message, CompletionCallback callback,
                                const std::uint64_t& timeoutMs) override;
    ModuleStatus requestVariant(const std::shared_ptr<Message>& message, std::shared_ptr<Reply>& reply,
                                const std::uint64_t& timeoutMs) override;

    ModuleStatus subscribe(const std::wstring& name, const std::wstring& alias, MessageHandler handler) override;
    ModuleStatus subscribe(const std::wstring& name, MessageHandler handler) override;
    ModuleStatus subscribeInSession(const std::wstring& name, const std::wstring& alias,
                                    MessageHandler handler) override;
    ModuleStatus subscribeInSession(const std::wstring& name, MessageHandler handler) override;
    ModuleStatus subscribeFilter(const std::wstring& pattern, const std::wstring& alias,
                                 MessageHandler handler) override;
    ModuleStatus subscribeFilter(const std::wstring& pattern, MessageHandler handler) override;
    ModuleStatus subscribeFilterInSession(const std::wstring& pattern, const std::wstring& alias,
                                          MessageHandler handler) override;
    ModuleStatus subscribeFilterInSession(const std::wstring& pattern, MessageHandler handler) override;
    ModuleStatus unsubscribe(const std::wstring& alias) override;

    // Delivers a message to this client's own matching subscriptions, in the caller's thread and
    // under the subscription lock: a handler must not subscribe, unsubscribe or dispatch here.
    // An exception from a handler stops the delivery and leaves this call. Returns 0.
    ModuleStatus dispatchMessage(const std::shared_ptr<Message>& message);

    // The bus's answer for a reply index; 0x8000000A when that index is not pending.
    ModuleStatus replyCallback(std::uint64_t replyIndex, std::shared_ptr<Message> message, ModuleStatus status);

    // This process's Windows session; 0 when it could not be had (then nothing is filtered).
    DWORD getSessionId() const noexcept { return m_sessionId; }

private:
    struct Subscriptions {
        std::vector<ExactSubscription> exact;
        std::vector<FilterSubscription> filters;
    };

    ModuleStatus internalPublish(const std::shared_ptr<Message>& message, bool variant);
    ModuleStatus internalRequest(const std::shared_ptr<Message>& message, std::shared_ptr<Reply>* reply,
                                 CompletionCallback callback, std::uint64_t timeoutMs, bool variant);
    MessageHandler sessionFilter(MessageHandler handler);
    void removeSubscriptions();
    void closeReplies();

    std::shared_ptr<MessageBusShim> m_shim;
    std::shared_ptr<ProcessAPI> m_processAPI;
    std::mutex m_subscriptionLock;
    std::unordered_map<std::wstring, Subscriptions> m_subscriptions;
    std::uint64_t m_replyCounter = 0;
    ReplyHandler m_replyHandler;
    std::mutex m_replyLock;
    std::unordered_map<std::uint64_t, ReplyEntry> m_replies;
    DWORD m_sessionId = 0;
    // Teardown: no completion starts once closing; the running ones are counted.
    bool m_closing = false;
    int m_runningCompletions = 0;
    std::condition_variable m_completionsDone;
};

}  // namespace Korin
