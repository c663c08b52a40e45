#include "modulefw/MessageBusLib.h"

#include "logging/Logging.h"
#include "modulefw/GuardedCall.h"
#include "modulefw/MessageBusShimImpl.h"
#include "modulefw/ModuleException.h"
#include "modulefw/performance/PerfTimer.h"

#include <objbase.h>

#include <utility>

namespace Korin {

std::vector<std::wstring> MessageBusLib::searchFolders = {L"$(App.Folder)", L"$(Plexanmod.InstallDir)"};

SharedLibraryInfo MessageBusLib::loadFromRegistry(std::shared_ptr<RegistryAPI> registry,
                                                  std::shared_ptr<ShlObjAPI> shell,
                                                  std::shared_ptr<PathHelpers::OSInfo> osInfo) {
    if (!registry) registry = std::make_shared<RegistryAPI>();
    if (!shell) shell = std::make_shared<ShlObjAPI>();
    if (!osInfo) osInfo = std::make_shared<PathHelpers::OSInfo>();

    std::wstring folder;
    if (osInfo->IsWow64()) {
        if (registry->readString(Halvex::kInstallKey, Halvex::kInstallValue32, folder) != MODULE_STATUS_SUCCESS) {
            NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to retrieve Plexan WoW64 path from registry");
            folder.clear();
        }
    } else if (registry->readString(Halvex::kInstallKey, Halvex::kInstallValue, folder) != MODULE_STATUS_SUCCESS) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to retrieve Plexan path from registry");
        folder.clear();
    }
    if (folder.empty()) {
        PWSTR common = nullptr;
        if (SUCCEEDED(shell->getKnownFolderPath(FOLDERID_ProgramFilesCommon, 0, nullptr, &common)) &&
            common != nullptr) {
            folder = std::wstring(common) + L"\\Oberix\\Plexanmod";
        }
        ::CoTaskMemFree(common);
    }
    NUV_LOG(ETWLogging::LOG_INFORMATION, L"Loading MesageBusLib by force from path: %ls", folder.c_str());
    return SharedLibraryInfo{Halvex::kLibraryName, {folder}};
}

MessageBusLib::MessageBusLib(std::shared_ptr<SharedLibrary> library, std::shared_ptr<MessageBusShim> adapter)
    : m_library(std::move(library)), m_adapter(std::move(adapter)) {
    internal::PerfTimer timer(L"MessageBusLib::MessageBusLib");
    if (!m_library) {
        m_library = std::make_shared<SharedLibrary>(searchFolders.empty()
                                                        ? loadFromRegistry()
                                                        : SharedLibraryInfo{Halvex::kLibraryName, searchFolders});
    }
    m_functions = static_cast<const MessageBusFunctions*>(
        m_library->getFunctions()->createObject(Halvex::kInterfaceVersion));
    if (m_functions == nullptr) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to get message bus functions object. Throwing ModuleException.");
        throw ModuleException("Failed to get message bus functions object");
    }
    const ModuleStatus status = m_functions->open(&m_handle);
    if (status != MODULE_STATUS_SUCCESS) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to get message bus handle. Error code: %ls(%lu). Throwing ModuleException.",
                getModuleStatusString(status), static_cast<unsigned long>(status));
        m_handle = nullptr;
        throw ModuleException("Failed to get message bus handle");
    }
    if (!m_adapter) {
        try {
            m_adapter = std::make_shared<MessageBusShimImpl>(m_handle, m_functions);
        } catch (...) {
            // The destructor does not run for a constructor that throws: close what was opened.
            m_functions->release(m_handle);
            throw;
        }
    }
}

MessageBusLib::~MessageBusLib() {
    m_adapter.reset();
    internal::guardedCall([this] {
        const ModuleStatus status = m_functions->release(m_handle);
        if (status != MODULE_STATUS_SUCCESS) {
            NUV_LOG(ETWLogging::LOG_WARNING, L"Failed to release message bus. Error code %ls(%lu).",
                    getModuleStatusString(status), static_cast<unsigned long>(status));
        }
        return status;
    });
    m_library.reset();
}

ModuleStatus MessageBusLib::publish(const std::shared_ptr<Message>& message, bool variant) {
    return m_adapter->publish(message, variant);
}

ModuleStatus MessageBusLib::request(const std::shared_ptr<Message>& message, std::uint64_t replyIndex, void* context,
                                    std::uint64_t timeoutMs, bool variant) {
    return m_adapter->request(message, replyIndex, context, timeoutMs, variant);
}

void MessageBusLib::releaseReplyHandler() { m_adapter->releaseReplyHandler(); }

std::uint32_t MessageBusLib::subscribe(const std::wstring& name, void* context) {
    return m_adapter->subscribe(name, context);
}

std::uint32_t MessageBusLib::subscribeFilter(const std::wstring& pattern, void* context) {
    return m_adapter->subscribeFilter(pattern, context);
}

void MessageBusLib::unsubscribe(std::uint32_t subscriptionId) { m_adapter->unsubscribe(subscriptionId); }

}  // namespace Korin
