#pragma once
// The firing pattern every event shares: get the handler of the event's interface from the handler
// source, call its one method, and after an RPC failure get the handler again and call once more.
// Each event logs the steps with its own lines (NUV_FIRING_LOG); the sign-in-required event also
// reports problems from them.

#include "logging/Logging.h"
#include "plugin/core/EventWork.h"

#include <windows.h>
#include <unknwn.h>

#include <functional>
#include <string>

enum class FiringStep {
    Calling,             // the handler was queried and its method is about to be called the first time
    FirstAttemptFailed,  // the first call failed with an RPC error (its HRESULT)
    ReacquireFailed,     // getting the handler again failed (Get's result)
    RefireSucceeded,     // the second call succeeded, or there was no handler to call
    RefireFailed,        // the second call failed (its HRESULT)
    Failed,              // the first call failed with anything but an RPC error (its HRESULT)
};

using FiringObserver = std::function<void(FiringStep step, HRESULT result)>;

// HRESULTs of Win32 errors 1700 to 1931 (0x800706A4 to 0x8007078B): the RPC runtime's, which a
// handler living in another process gives when that process went away.
bool IsRpcFailure(HRESULT hr) noexcept;

// Fires to the handler of `iid`; `call` gets the handler's pointer for that interface. Returns 0
// when a handler was got (whatever its calls gave), else the first Get's result (1: no handler
// registered) and nothing was called.
HRESULT FireToHandler(IEventHandlerSource& source, REFIID iid, const std::function<HRESULT(IUnknown*)>& call,
                      const FiringObserver& observe);

template <class Interface, class Call>
HRESULT FireToHandler(IEventHandlerSource& source, Call&& call, const FiringObserver& observe) {
    return FireToHandler(
        source, __uuidof(Interface),
        [&call](IUnknown* handler) { return call(static_cast<Interface*>(handler)); }, observe);
}

// The observer logging the common lines of an event method ("OnSignInEvent" and so on). A macro so
// that the lines name the function that fires.
#define NUV_FIRING_LOG(method)                                                                           \
    [](FiringStep step, HRESULT result) {                                                                \
        const unsigned code = static_cast<unsigned>(result);                                             \
        switch (step) {                                                                                  \
        case FiringStep::FirstAttemptFailed:                                                             \
            NUV_LOG(ETWLogging::LOG_WARNING, method L" failed with 0x%08X (first attempt)\r\n", code);   \
            break;                                                                                       \
        case FiringStep::ReacquireFailed:                                                                \
            NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to reacquire event handler 0x%08X\r\n", code);      \
            break;                                                                                       \
        case FiringStep::RefireSucceeded:                                                                \
            NUV_LOG(ETWLogging::LOG_NORMAL, method L" reacquire & refire succeeded\r\n");                \
            break;                                                                                       \
        case FiringStep::RefireFailed:                                                                   \
            NUV_LOG(ETWLogging::LOG_ERROR, method L" failed with 0x%08X (final attempt)\r\n", code);     \
            break;                                                                                       \
        case FiringStep::Failed:                                                                         \
            NUV_LOG(ETWLogging::LOG_ERROR, method L" failed with 0x%08X\r\n", code);                     \
            break;                                                                                       \
        case FiringStep::Calling:                                                                        \
            break;                                                                                       \
        }                                                                                                \
    }
