#pragma once
// Runs a body whose exceptions must not leave it: module-table entries, bus callbacks, teardown.

#include "logging/Logging.h"
#include "modulefw/ModuleStatus.h"

#include <exception>
#include <utility>

namespace Korin {
namespace internal {

// The callable's status; MODULE_STATUS_UNKNOWN_EXCEPTION when it throws anything.
template <typename Callable>
ModuleStatus guardedCall(Callable&& callable) noexcept {
    try {
        return static_cast<ModuleStatus>(std::forward<Callable>(callable)());
    } catch (const std::exception& e) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Caught exception: %hs", e.what());
    } catch (...) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Caught an exception of unknown type.");
    }
    return MODULE_STATUS_UNKNOWN_EXCEPTION;
}

}  // namespace internal
}  // namespace Korin
