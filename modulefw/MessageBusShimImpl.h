#pragma once
// The bus client's calls turned into calls of the bus library's function table over an open
// handle, and the table's plain callbacks turned back into messages for the client's handlers.
// Owns neither handle nor table: they belong to whoever opened the bus.

#include "modulefw/MessageBusShim.h"
#include "suite/interfaces/HalvexBus.h"

#include <cstdint>

namespace Korin {

class MessageBusShimImpl : public MessageBusShim {
public:
    // Throws ModuleException for a null handle or table.
    MessageBusShimImpl(Halvex::BusHandle handle, const MessageBusFunctions* functions);
    // Releases the reply callback: no reply reaches a client through this handle afterwards.
    ~MessageBusShimImpl() override;
    MessageBusShimImpl(const MessageBusShimImpl&) = delete;
    MessageBusShimImpl& operator=(const MessageBusShimImpl&) = delete;

    ModuleStatus publish(const std::shared_ptr<Message>& message, bool variant) override;
    ModuleStatus request(const std::shared_ptr<Message>& message, std::uint64_t replyIndex, void* context,
                         std::uint64_t timeoutMs, bool variant) override;
    void releaseReplyHandler() override;
    std::uint32_t subscribe(const std::wstring& name, void* context) override;
    std::uint32_t subscribeFilter(const std::wstring& pattern, void* context) override;
    void unsubscribe(std::uint32_t subscriptionId) override;

    // The table's callbacks; no exception leaves them.
    static std::uint32_t handleReply(void* context, std::uint64_t replyIndex, const void* header, const wchar_t* name,
                                     const wchar_t* sender, const wchar_t* payload, std::uint32_t status);
    static std::uint32_t handleMessage(void* context, const void* header, const wchar_t* name, const wchar_t* sender,
                                       const wchar_t* payload);

private:
    Halvex::BusHandle m_handle;
    const MessageBusFunctions* m_functions;
};

}  // namespace Korin
