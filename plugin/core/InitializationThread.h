#pragma once
// Runs the module's start-up once.

#include "plugin/core/Thread.h"
#include "plugin/services/ThreadCallbacks.h"

class CInitializationThread : public CThread {
public:
    static constexpr DWORD kFailedExitCode = 0x80040205;

    // Starts at once.
    explicit CInitializationThread(IInitializationCallback* callback, DWORD joinLimitMs = kDefaultJoinLimitMs);
    ~CInitializationThread() override;

    DWORD run() override;

private:
    IInitializationCallback* m_callback;
    DWORD m_joinLimitMs;
};
