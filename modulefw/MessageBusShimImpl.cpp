#include "modulefw/MessageBusShimImpl.h"

#include "logging/Logging.h"
#include "modulefw/GuardedCall.h"
#include "modulefw/ModuleException.h"

#include <utility>
#include <vector>

namespace Korin {

namespace {

// Handlers removed from inside a delivery on this thread, released once it has returned. A plain
// pointer to the delivery's own list: nothing to destroy at thread exit.
thread_local std::vector<std::shared_ptr<const void>>* t_deliveryKeepAlive = nullptr;

// A null text is outside the bus's contract; an empty one keeps a broken bus from crashing us.
const wchar_t* Text(const wchar_t* text) { return text != nullptr ? text : L""; }

std::shared_ptr<Message> BuildMessage(const void* header, const wchar_t* name, const wchar_t* sender,
                                      const wchar_t* payload) {
    std::shared_ptr<Message> message = Message::create(Text(name), Text(sender), Text(payload));
    if (message) Message::setHeader(message->getHeader(), static_cast<const MessageHeader*>(header));
    return message;
}

}  // namespace

MessageBusShim::~MessageBusShim() = default;

namespace internal {

bool keepAliveWhileDelivering(std::shared_ptr<const void> handler) {
    if (t_deliveryKeepAlive == nullptr) return false;
    t_deliveryKeepAlive->push_back(std::move(handler));
    return true;
}

}  // namespace internal

MessageBusShimImpl::MessageBusShimImpl(Halvex::BusHandle handle, const MessageBusFunctions* functions)
    : m_handle(handle), m_functions(functions) {
    if (m_handle == nullptr) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Invalid message bus handle. Throwing ModuleException.");
        throw ModuleException("Invalid message bus handle");
    }
    if (m_functions == nullptr) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Invalid message bus functions object. Throwing ModuleException.");
        throw ModuleException("Invalid message bus functions object");
    }
}

MessageBusShimImpl::~MessageBusShimImpl() { m_functions->releaseReplyCallback(m_handle, &handleReply); }

ModuleStatus MessageBusShimImpl::publish(const std::shared_ptr<Message>& message, bool variant) {
    if (!message) return MODULE_STATUS_INVALID_PARAMETER;
    const auto entry = variant ? m_functions->publishVariant : m_functions->publish;
    return entry(m_handle, message->getHeader(), message->getName().c_str(), message->getSender().c_str(),
                 message->getPayload().c_str());
}

ModuleStatus MessageBusShimImpl::request(const std::shared_ptr<Message>& message, std::uint64_t replyIndex,
                                         void* context, std::uint64_t timeoutMs, bool variant) {
    if (!message) return MODULE_STATUS_INVALID_PARAMETER;
    const auto entry = variant ? m_functions->requestVariant : m_functions->request;
    return entry(m_handle, replyIndex, context, &handleReply, message->getHeader(), message->getName().c_str(),
                 message->getSender().c_str(), message->getPayload().c_str(), timeoutMs);
}

void MessageBusShimImpl::releaseReplyHandler() { m_functions->releaseReplyCallback(m_handle, &handleReply); }

std::uint32_t MessageBusShimImpl::subscribe(const std::wstring& name, void* context) {
    return m_functions->subscribe(m_handle, context, &handleMessage, name.c_str());
}

std::uint32_t MessageBusShimImpl::subscribeFilter(const std::wstring& pattern, void* context) {
    return m_functions->subscribeFilter(m_handle, context, &handleMessage, pattern.c_str());
}

void MessageBusShimImpl::unsubscribe(std::uint32_t subscriptionId) {
    m_functions->unsubscribe(m_handle, subscriptionId);
}

std::uint32_t MessageBusShimImpl::handleReply(void* context, std::uint64_t replyIndex, const void* header,
                                              const wchar_t* name, const wchar_t* sender, const wchar_t* payload,
                                              std::uint32_t status) {
    return internal::guardedCall([&]() -> ModuleStatus {
        std::shared_ptr<Message> reply;
        if (status == MODULE_STATUS_SUCCESS) reply = BuildMessage(header, name, sender, payload);
        if (context == nullptr) return MODULE_STATUS_INVALID_PARAMETER;
        // An empty handler throws bad_function_call, which the guard reports.
        return (*static_cast<ReplyHandler*>(context))(replyIndex, std::move(reply), status);
    });
}

std::uint32_t MessageBusShimImpl::handleMessage(void* context, const void* header, const wchar_t* name,
                                                const wchar_t* sender, const wchar_t* payload) {
    std::vector<std::shared_ptr<const void>> keepAlive;
    std::vector<std::shared_ptr<const void>>* const outer = t_deliveryKeepAlive;
    t_deliveryKeepAlive = &keepAlive;
    const ModuleStatus status = internal::guardedCall([&]() -> ModuleStatus {
        if (context == nullptr) return MODULE_STATUS_INVALID_PARAMETER;
        return (*static_cast<MessageHandler*>(context))(BuildMessage(header, name, sender, payload));
    });
    t_deliveryKeepAlive = outer;
    // keepAlive goes last, after the handler has returned.
    return status;
}

}  // namespace Korin
