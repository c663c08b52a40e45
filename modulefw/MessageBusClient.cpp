#include "modulefw/MessageBusClient.h"

#include "logging/Logging.h"
#include "modulefw/GuardedCall.h"
#include "modulefw/MessageBusLib.h"
#include "modulefw/ModuleException.h"

#include <chrono>
#include <new>
#include <utility>

namespace Korin {

namespace {

// Header flags the client owns: bit 3 "no plain copy wanted", bit 4 "this is (or was) a reply
// that has had its copy made".
constexpr unsigned kNoCopyFlag = 3;
constexpr unsigned kCopiedFlag = 4;

// How long a client being destroyed waits for completion callbacks already running on the bus's
// threads; past it, teardown goes on and the bus's own release waits for them.
constexpr auto kCompletionDrain = std::chrono::milliseconds(5000);

// The completions running on this thread, innermost first, so that a client destroyed from its
// own completion callback neither waits for itself nor is touched once that callback returns.
struct CompletionFrame {
    const MessageBusClient* client;
    bool clientDestroyed;
    CompletionFrame* outer;
};
thread_local CompletionFrame* t_completions = nullptr;

}  // namespace

MessageBus::~MessageBus() = default;

MessageBusClient::MessageBusClient(std::shared_ptr<MessageBusShim> shim, std::shared_ptr<ProcessAPI> processAPI)
    : m_shim(std::move(shim)), m_processAPI(std::move(processAPI)) {
    if (!m_processAPI) m_processAPI = std::make_shared<ProcessAPI>();
    m_replyHandler = [this](std::uint64_t index, std::shared_ptr<Message> message, ModuleStatus status) {
        return replyCallback(index, std::move(message), status);
    };
    const DWORD processId = m_processAPI->getCurrentProcessId();
    DWORD sessionId = 0;
    if (m_processAPI->processIdToSessionId(processId, &sessionId)) {
        m_sessionId = sessionId;
        NUV_LOG(ETWLogging::LOG_NORMAL, L"Found session id %ld for process %ld", static_cast<long>(m_sessionId),
                static_cast<long>(processId));
    } else {
        m_sessionId = 0;
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to get the session id for process %ld - defaulting to %ld",
                static_cast<long>(processId), 0L);
    }
}

MessageBusClient::MessageBusClient() : MessageBusClient(std::make_shared<MessageBusLib>(), nullptr) {}

MessageBusClient::~MessageBusClient() {
    internal::guardedCall([this] {
        removeSubscriptions();
        closeReplies();
        if (m_shim) m_shim->releaseReplyHandler();
        return MODULE_STATUS_SUCCESS;
    });
    // The pending replies go with the map: their promises are abandoned, their callbacks dropped.
}

std::unique_ptr<MessageBusClient> MessageBusClient::getInstance() {
    try {
        return std::make_unique<MessageBusClient>();
    } catch (const ModuleException& e) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to create message bus client. Caught ModuleException - what: %hs.",
                e.what());
    } catch (const std::bad_alloc&) {
        NUV_LOG(ETWLogging::LOG_ERROR,
                L"Failed to create message bus client. Caught bad_alloc - Failed to alllocate resources.");
    } catch (const std::exception& e) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Faield to create message bus client. Caught standard exception - what: %hs.",
                e.what());
    } catch (...) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to create message bus client. Caught unexpected exception.");
    }
    return nullptr;
}

ModuleStatus MessageBusClient::publish(const std::shared_ptr<Message>& message) {
    return internalPublish(message, false);
}

ModuleStatus MessageBusClient::publishVariant(const std::shared_ptr<Message>& message) {
    return internalPublish(message, true);
}

ModuleStatus MessageBusClient::request(const std::shared_ptr<Message>& message, CompletionCallback callback,
                                       const std::uint64_t& timeoutMs) {
    return internalRequest(message, nullptr, std::move(callback), timeoutMs, false);
}

ModuleStatus MessageBusClient::request(const std::shared_ptr<Message>& message, std::shared_ptr<Reply>& reply,
                                       const std::uint64_t& timeoutMs) {
    return internalRequest(message, &reply, nullptr, timeoutMs, false);
}

ModuleStatus MessageBusClient::requestVariant(const std::shared_ptr<Message>& message, CompletionCallback callback,
                                              const std::uint64_t& timeoutMs) {
    return internalRequest(message, nullptr, std::move(callback), timeoutMs, true);
}

ModuleStatus MessageBusClient::requestVariant(const std::shared_ptr<Message>& message, std::shared_ptr<Reply>& reply,
                                              const std::uint64_t& timeoutMs) {
    return internalRequest(message, &reply, nullptr, timeoutMs, true);
}

ModuleStatus MessageBusClient::internalPublish(const std::shared_ptr<Message>& message, bool variant) {
    if (!message) return MODULE_STATUS_INVALID_PARAMETER;
    MessageHeader* const header = message->getHeader();
    // The bus hands a reply to the requester only; subscribers of its name get a plain copy.
    const bool copyFollows = header->isFlagSet(MessageHeader::ReplyFlag) && !header->isFlagSet(kNoCopyFlag) &&
                             !header->isFlagSet(kCopiedFlag);
    if (copyFollows) header->setFlag(kCopiedFlag);
    const ModuleStatus status = m_shim->publish(message, variant);
    if (status != MODULE_STATUS_SUCCESS) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to publish message. Error code %lu.", static_cast<unsigned long>(status));
        return status;
    }
    if (!copyFollows) return MODULE_STATUS_SUCCESS;
    header->clearFlag(MessageHeader::ReplyFlag);
    header->clearReplyIndex();
    const ModuleStatus copyStatus = m_shim->publish(message, variant);
    if (copyStatus != MODULE_STATUS_SUCCESS) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"Failed to publish non-reply copy of the message. Error code %lu.",
                static_cast<unsigned long>(copyStatus));
    }
    return MODULE_STATUS_SUCCESS;
}

ModuleStatus MessageBusClient::internalRequest(const std::shared_ptr<Message>& message,
                                               std::shared_ptr<Reply>* reply, CompletionCallback callback,
                                               std::uint64_t timeoutMs, bool variant) {
    std::uint64_t index = 0;
    std::shared_future<std::shared_ptr<Message>> future;
    {
        std::lock_guard<std::mutex> lock(m_replyLock);
        index = m_replyCounter++;
        ReplyEntry entry;
        future = entry.promise.get_future().share();
        if (reply == nullptr) {
            entry.completion = [future, callback = std::move(callback)] {
                auto decided = std::make_shared<ReplyImpl>(future, 0);
                decided->wait();
                if (callback) callback(decided);
            };
        }
        if (!m_replies.emplace(index, std::move(entry)).second) {
            NUV_LOG(ETWLogging::LOG_ERROR, L"Unable to create reply promise. Returning.");
            return MODULE_STATUS_UNSUCCESSFUL;
        }
    }
    // Without the lock: the bus may answer on its own thread before this call returns.
    const ModuleStatus status = m_shim->request(message, index, &m_replyHandler, timeoutMs, variant);
    if (status != MODULE_STATUS_SUCCESS) {
        std::lock_guard<std::mutex> lock(m_replyLock);
        m_replies.erase(index);
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to make request. Error code %lu.", static_cast<unsigned long>(status));
        return status;
    }
    if (reply != nullptr) *reply = std::make_shared<ReplyImpl>(future, timeoutMs);
    return MODULE_STATUS_SUCCESS;
}

ModuleStatus MessageBusClient::replyCallback(std::uint64_t replyIndex, std::shared_ptr<Message> message,
                                             ModuleStatus status) {
    ReplyEntry entry;
    {
        std::lock_guard<std::mutex> lock(m_replyLock);
        const auto found = m_replies.find(replyIndex);
        if (found == m_replies.end()) {
            NUV_LOG(ETWLogging::LOG_WARNING, L"Reply index not found. Returning");
            return MODULE_STATUS_NOT_FOUND;
        }
        if (m_closing) return MODULE_STATUS_INVALID_STATE;  // dropped with the client
        entry = std::move(found->second);
        m_replies.erase(found);
        if (entry.completion) ++m_runningCompletions;
    }
    if (status == MODULE_STATUS_SUCCESS) {
        entry.promise.set_value(std::move(message));
    } else {
        entry.promise.set_exception(ReplyImpl::makeReplyError(status));
    }
    if (!entry.completion) return MODULE_STATUS_SUCCESS;

    CompletionFrame frame{this, false, t_completions};
    t_completions = &frame;
    internal::guardedCall([&] {
        entry.completion();
        return MODULE_STATUS_SUCCESS;
    });
    t_completions = frame.outer;
    if (frame.clientDestroyed) return MODULE_STATUS_SUCCESS;
    {
        std::lock_guard<std::mutex> lock(m_replyLock);
        --m_runningCompletions;
    }
    m_completionsDone.notify_all();
    return MODULE_STATUS_SUCCESS;
}

void MessageBusClient::closeReplies() {
    int ownFrames = 0;
    for (CompletionFrame* frame = t_completions; frame != nullptr; frame = frame->outer) {
        if (frame->client == this) {
            frame->clientDestroyed = true;
            ++ownFrames;
        }
    }
    std::unique_lock<std::mutex> lock(m_replyLock);
    m_closing = true;
    if (!m_completionsDone.wait_for(lock, kCompletionDrain, [&] { return m_runningCompletions <= ownFrames; })) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"Completion callbacks still running at teardown: %d.",
                m_runningCompletions - ownFrames);
    }
}

ModuleStatus MessageBusClient::subscribe(const std::wstring& name, const std::wstring& alias,
                                         MessageHandler handler) {
    std::lock_guard<std::mutex> lock(m_subscriptionLock);
    std::vector<ExactSubscription>& list = m_subscriptions[alias].exact;
    list.push_back(ExactSubscription{0, name, std::make_shared<MessageHandler>(std::move(handler))});
    const std::uint32_t id = m_shim->subscribe(name, list.back().handler.get());
    if (id == 0) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to subscribe. Alias: %ls Message name: %ls", alias.c_str(),
                name.c_str());
        list.pop_back();
        return MODULE_STATUS_UNSUCCESSFUL;
    }
    list.back().id = id;
    return MODULE_STATUS_SUCCESS;
}

ModuleStatus MessageBusClient::subscribe(const std::wstring& name, MessageHandler handler) {
    return subscribe(name, name, std::move(handler));
}

ModuleStatus MessageBusClient::subscribeInSession(const std::wstring& name, const std::wstring& alias,
                                                  MessageHandler handler) {
    return subscribe(name, alias, sessionFilter(std::move(handler)));
}

ModuleStatus MessageBusClient::subscribeInSession(const std::wstring& name, MessageHandler handler) {
    return subscribeInSession(name, name, std::move(handler));
}

ModuleStatus MessageBusClient::subscribeFilter(const std::wstring& pattern, const std::wstring& alias,
                                               MessageHandler handler) {
    std::wregex expression;
    try {
        expression.assign(pattern, std::regex::ECMAScript | std::regex::nosubs | std::regex::optimize);
    } catch (const std::regex_error& e) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"subscribeFilter failed. Regex error with regex \"%ls\" [caught: %hs]",
                pattern.c_str(), e.what());
        return MODULE_STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> lock(m_subscriptionLock);
    std::vector<FilterSubscription>& list = m_subscriptions[alias].filters;
    list.push_back(FilterSubscription{0, pattern, std::move(expression),
                                      std::make_shared<MessageHandler>(std::move(handler))});
    const std::uint32_t id = m_shim->subscribeFilter(pattern, list.back().handler.get());
    if (id == 0) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to subscribeFilter. Alias: %ls Message nameRegex: %ls",
                alias.c_str(), pattern.c_str());
        list.pop_back();
        return MODULE_STATUS_UNSUCCESSFUL;
    }
    list.back().id = id;
    return MODULE_STATUS_SUCCESS;
}

ModuleStatus MessageBusClient::subscribeFilter(const std::wstring& pattern, MessageHandler handler) {
    return subscribeFilter(pattern, pattern, std::move(handler));
}

ModuleStatus MessageBusClient::subscribeFilterInSession(const std::wstring& pattern, const std::wstring& alias,
                                                        MessageHandler handler) {
    return subscribeFilter(pattern, alias, sessionFilter(std::move(handler)));
}

ModuleStatus MessageBusClient::subscribeFilterInSession(const std::wstring& pattern, MessageHandler handler) {
    return subscribeFilterInSession(pattern, pattern, std::move(handler));
}

MessageBus::MessageHandler MessageBusClient::sessionFilter(MessageHandler handler) {
    if (m_sessionId == 0) return handler;
    return [this, handler = std::move(handler)](std::shared_ptr<Message> message) -> ModuleStatus {
        const MessageHeaderExtension* const extension =
            message ? message->getHeader()->getExtension(MessageHeader::CurrentVersion) : nullptr;
        if (extension != nullptr && extension->sessionId != 0 && extension->sessionId != m_sessionId) {
            return MODULE_STATUS_SUCCESS;  // another session's
        }
        return handler(std::move(message));
    };
}

ModuleStatus MessageBusClient::unsubscribe(const std::wstring& alias) {
    std::lock_guard<std::mutex> lock(m_subscriptionLock);
    const auto found = m_subscriptions.find(alias);
    if (found == m_subscriptions.end()) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"Subscription not found. Alias: %ls.", alias.c_str());
        return MODULE_STATUS_SUCCESS;
    }
    for (const ExactSubscription& s : found->second.exact) {
        m_shim->unsubscribe(s.id);
        internal::keepAliveWhileDelivering(s.handler);
    }
    for (const FilterSubscription& s : found->second.filters) {
        m_shim->unsubscribe(s.id);
        internal::keepAliveWhileDelivering(s.handler);
    }
    m_subscriptions.erase(found);
    return MODULE_STATUS_SUCCESS;
}

void MessageBusClient::removeSubscriptions() {
    std::lock_guard<std::mutex> lock(m_subscriptionLock);
    for (const auto& alias : m_subscriptions) {
        for (const ExactSubscription& s : alias.second.exact) {
            m_shim->unsubscribe(s.id);
            internal::keepAliveWhileDelivering(s.handler);
        }
        for (const FilterSubscription& s : alias.second.filters) {
            m_shim->unsubscribe(s.id);
            internal::keepAliveWhileDelivering(s.handler);
        }
    }
    m_subscriptions.clear();
}

ModuleStatus MessageBusClient::dispatchMessage(const std::shared_ptr<Message>& message) {
    if (!message) return MODULE_STATUS_SUCCESS;
    std::lock_guard<std::mutex> lock(m_subscriptionLock);
    const std::wstring& name = message->getName();
    for (const auto& alias : m_subscriptions) {
        for (const ExactSubscription& s : alias.second.exact) {
            if (s.name == name) (*s.handler)(message);
        }
        for (const FilterSubscription& s : alias.second.filters) {
            if (std::regex_match(name, s.expression)) (*s.handler)(message);
        }
    }
    return MODULE_STATUS_SUCCESS;
}

}  // namespace Korin
