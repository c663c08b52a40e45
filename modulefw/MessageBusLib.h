#pragma once
// The bus for a process that nobody hands one to: finds and loads "Halvex.dll", asks it for its
// function table, opens a handle and forwards the shim's calls to an adapter over them. Bound
// from construction to destruction; a failure in between throws ModuleException and leaves
// nothing open.

#include "modulefw/MessageBusShim.h"
#include "modulefw/PathHelpers.h"
#include "modulefw/RegistryAPI.h"
#include "modulefw/SharedLibrary.h"
#include "modulefw/ShlObjAPI.h"
#include "suite/interfaces/HalvexBus.h"

#include <memory>
#include <string>
#include <vector>

namespace Korin {

class MessageBusLib : public MessageBusShim {
public:
    // Where the library is searched, path tokens allowed; loadFromRegistry is used when empty.
    static std::vector<std::wstring> searchFolders;

    // The fall-back location: the module-core install folder from the machine settings, else the
    // common program files folder followed by "\Oberix\Plexanmod". Empty pointers get the defaults.
    static SharedLibraryInfo loadFromRegistry(std::shared_ptr<RegistryAPI> registry = nullptr,
                                              std::shared_ptr<ShlObjAPI> shell = nullptr,
                                              std::shared_ptr<PathHelpers::OSInfo> osInfo = nullptr);

    // Empty pointers: the library is found and loaded here, the adapter made over the new handle.
    explicit MessageBusLib(std::shared_ptr<SharedLibrary> library = nullptr,
                           std::shared_ptr<MessageBusShim> adapter = nullptr);
    ~MessageBusLib() override;
    MessageBusLib(const MessageBusLib&) = delete;
    MessageBusLib& operator=(const MessageBusLib&) = delete;

    ModuleStatus publish(const std::shared_ptr<Message>& message, bool variant) override;
    ModuleStatus request(const std::shared_ptr<Message>& message, std::uint64_t replyIndex, void* context,
                         std::uint64_t timeoutMs, bool variant) override;
    void releaseReplyHandler() override;
    std::uint32_t subscribe(const std::wstring& name, void* context) override;
    std::uint32_t subscribeFilter(const std::wstring& pattern, void* context) override;
    void unsubscribe(std::uint32_t subscriptionId) override;

private:
    std::shared_ptr<SharedLibrary> m_library;
    std::shared_ptr<MessageBusShim> m_adapter;
    Halvex::BusHandle m_handle = nullptr;
    const MessageBusFunctions* m_functions = nullptr;
};

}  // namespace Korin
