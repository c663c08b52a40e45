#pragma once
// Waits for "Global\SignalSigninRequiredEvent" and queues one sign-in-required event for
// session 0; ends after one signal or the module's shutdown.

#include "plugin/core/Thread.h"
#include "plugin/services/ThreadCallbacks.h"

class CSignalSigninRequiredThread : public CThread {
public:
    static constexpr wchar_t kEventName[] = L"Global\\SignalSigninRequiredEvent";

    // `shutdownEvent` is the module's (manual reset, set once and never reset); it must outlive the thread.
    // Starts at once.
    CSignalSigninRequiredThread(HANDLE shutdownEvent, ISigninRequiredSink* sink,
                                DWORD joinLimitMs = kDefaultJoinLimitMs);
    ~CSignalSigninRequiredThread() override;

    DWORD run() override;

private:
    HANDLE m_shutdownEvent;
    ISigninRequiredSink* m_sink;
    DWORD m_joinLimitMs;
};
