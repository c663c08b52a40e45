#include "modulefw/DllLoader.h"

#include "logging/Logging.h"
#include "modulefw/ModuleStatus.h"

#include <utility>

namespace Korin {

DllLoader::DllLoader(std::shared_ptr<DllAPI> dllApi)
    : m_dllApi(dllApi ? std::move(dllApi) : std::make_shared<DllAPI>()) {}

DllLoader::~DllLoader() = default;

bool DllLoader::loadDLL(const std::wstring& path, HMODULE* handle) {
    if (handle == nullptr) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"Invalid pHandle specified. Exiting.");
        return false;
    }
    // Flags 0 raise the module's reference count, so the caller's later free balances it.
    if (m_dllApi->getModuleHandleEx(0, path.c_str(), handle)) return true;

    ModuleStatus status = MODULE_STATUS_UNKNOWN_EXCEPTION;
    try {
        status = m_dllApi->loadLibrary(path.c_str(), handle) ? MODULE_STATUS_SUCCESS : MODULE_STATUS_UNSUCCESSFUL;
    } catch (...) {
        status = MODULE_STATUS_UNKNOWN_EXCEPTION;
    }
    if (status == MODULE_STATUS_SUCCESS) return true;
    NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to load library. Error code: %ls(%lu).", getModuleStatusString(status),
            static_cast<unsigned long>(status));
    return false;
}

FARPROC DllLoader::getProcAddress(HMODULE handle, const char* name) {
    FARPROC address = nullptr;
    try {
        address = m_dllApi->getProcAddress(handle, name);
    } catch (...) {
        address = nullptr;
    }
    if (address == nullptr) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"getProcAddress was unsuccessful in finding the handle's address");
    }
    return address;
}

bool DllLoader::freeDLL(HMODULE handle) { return m_dllApi->freeLibrary(handle); }

}  // namespace Korin
