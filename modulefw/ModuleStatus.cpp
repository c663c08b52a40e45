#include "modulefw/ModuleStatus.h"

namespace Korin {

const wchar_t* getModuleStatusString(ModuleStatus code) noexcept {
    // 0x80000001 to 0x80000015 are consecutive; 0x800000FF stands alone.
    static const wchar_t* const failures[] = {
        L"MODULE_STATUS_NOT_SUPPORTED",
        L"MODULE_STATUS_UNSUCCESSFUL",
        L"MODULE_STATUS_BUFFER_TOO_SMALL",
        L"MODULE_STATUS_NOT_IMPLEMENTED",
        L"MODULE_STATUS_INVALID_BUFFER_SIZE",
        L"MODULE_STATUS_DATA_ERROR",
        L"MODULE_STATUS_INVALID_HANDLE",
        L"MODULE_STATUS_INVALID_PARAMETER",
        L"MODULE_STATUS_NO_MEMORY",
        L"MODULE_STATUS_NOT_FOUND",
        L"MODULE_STATUS_ON_DEMAND_ENABLED",
        L"MODULE_STATUS_PROPERTY_NOT_FOUND",
        L"MODULE_STATUS_TIMEOUT",
        L"MODULE_STATUS_NO_SUBSCRIBERS",
        L"MODULE_STATUS_UNKNOWN_EXCEPTION",
        L"MODULE_STATUS_DUPLICATE_MODULE",
        L"MODULE_STATUS_PARTIAL_SUCCESS",
        L"MODULE_STATUS_UWP_APP_NOT_INSTALLED",
        L"MODULE_STATUS_APP_SERVICE_UNAVAILABLE",
        L"MODULE_STATUS_APP_SERVICE_UNAUTHORIZED",
        L"MODULE_STATUS_SESSION_INVALID",
    };
    static_assert(sizeof(failures) / sizeof(failures[0]) ==
                      MODULE_STATUS_SESSION_INVALID - MODULE_STATUS_NOT_SUPPORTED + 1,
                  "one name per consecutive failure code");

    if (code == MODULE_STATUS_SUCCESS) return L"MODULE_STATUS_SUCCESS";
    if (code == MODULE_STATUS_INVALID_STATE) return L"MODULE_STATUS_INVALID_STATE";
    if (code >= MODULE_STATUS_NOT_SUPPORTED && code <= MODULE_STATUS_SESSION_INVALID) {
        return failures[code - MODULE_STATUS_NOT_SUPPORTED];
    }
    return L"MODULE_STATUS_UNKNOWN";
}

}  // namespace Korin
