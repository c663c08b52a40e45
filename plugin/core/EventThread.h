#pragma once
// Fires the events of one Windows session to the suite's handlers. Created suspended and started
// by its session; stopped by the null item the session queues.

#include "plugin/core/Thread.h"
#include "plugin/services/ThreadCallbacks.h"

class CEventThread : public CThread {
public:
    static constexpr DWORD kNotInitializedExitCode = 1;

    CEventThread(DWORD sessionId, IEventWorkSource* session, IEventThreadHost* host,
                 DWORD joinLimitMs = kDefaultJoinLimitMs);
    ~CEventThread() override;

    DWORD run() override;

private:
    void mainLoop(IEventProcessor& handlerSource);

    DWORD m_sessionId;
    IEventWorkSource* m_session;
    IEventThreadHost* m_host;
    DWORD m_joinLimitMs;
};
