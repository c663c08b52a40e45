#pragma once
// Results the plug-in gives in more than one place.

#include <windows.h>

namespace NuvResult {

// The plug-in is shutting down (CO_E_SERVER_STOPPING); also the exit code of a worker thread that
// had to be terminated.
constexpr HRESULT kShuttingDown = CO_E_SERVER_STOPPING;  // 0x80080008

// Start-up failed: the Win32 code of a failed DLL initialization, given to the proxy host as a
// plain number, not an HRESULT.
constexpr HRESULT kInitializationFailed = ERROR_DLL_INIT_FAILED;  // 1114

}  // namespace NuvResult
