#pragma once
// The result codes of the module framework: 0 is success, every failure has the top bit set.
// Log a code as its name and decimal value: L"%ls(%lu)", getModuleStatusString(s), s.

#include <cstdint>

namespace Korin {

using ModuleStatus = std::uint32_t;

constexpr ModuleStatus MODULE_STATUS_SUCCESS = 0x00000000;
constexpr ModuleStatus MODULE_STATUS_NOT_SUPPORTED = 0x80000001;
constexpr ModuleStatus MODULE_STATUS_UNSUCCESSFUL = 0x80000002;
constexpr ModuleStatus MODULE_STATUS_BUFFER_TOO_SMALL = 0x80000003;
constexpr ModuleStatus MODULE_STATUS_NOT_IMPLEMENTED = 0x80000004;
constexpr ModuleStatus MODULE_STATUS_INVALID_BUFFER_SIZE = 0x80000005;
constexpr ModuleStatus MODULE_STATUS_DATA_ERROR = 0x80000006;
constexpr ModuleStatus MODULE_STATUS_INVALID_HANDLE = 0x80000007;
constexpr ModuleStatus MODULE_STATUS_INVALID_PARAMETER = 0x80000008;
constexpr ModuleStatus MODULE_STATUS_NO_MEMORY = 0x80000009;
constexpr ModuleStatus MODULE_STATUS_NOT_FOUND = 0x8000000A;
constexpr ModuleStatus MODULE_STATUS_ON_DEMAND_ENABLED = 0x8000000B;
constexpr ModuleStatus MODULE_STATUS_PROPERTY_NOT_FOUND = 0x8000000C;
constexpr ModuleStatus MODULE_STATUS_TIMEOUT = 0x8000000D;
constexpr ModuleStatus MODULE_STATUS_NO_SUBSCRIBERS = 0x8000000E;
constexpr ModuleStatus MODULE_STATUS_UNKNOWN_EXCEPTION = 0x8000000F;
constexpr ModuleStatus MODULE_STATUS_DUPLICATE_MODULE = 0x80000010;
constexpr ModuleStatus MODULE_STATUS_PARTIAL_SUCCESS = 0x80000011;
constexpr ModuleStatus MODULE_STATUS_UWP_APP_NOT_INSTALLED = 0x80000012;
constexpr ModuleStatus MODULE_STATUS_APP_SERVICE_UNAVAILABLE = 0x80000013;
constexpr ModuleStatus MODULE_STATUS_APP_SERVICE_UNAUTHORIZED = 0x80000014;
constexpr ModuleStatus MODULE_STATUS_SESSION_INVALID = 0x80000015;
constexpr ModuleStatus MODULE_STATUS_INVALID_STATE = 0x800000FF;

// The code's constant name; "MODULE_STATUS_UNKNOWN" for a value not listed above. Never null.
const wchar_t* getModuleStatusString(ModuleStatus code) noexcept;

}  // namespace Korin
