#pragma once
// The one consumer of the scan-work queue: every scan of HTTP data runs here.

#include "plugin/core/Thread.h"
#include "plugin/services/ThreadCallbacks.h"

class CScanThread : public CThread {
public:
    // Starts at once.
    explicit CScanThread(IScanWorkSource* source, DWORD joinLimitMs = kDefaultJoinLimitMs);
    ~CScanThread() override;

    DWORD run() override;

private:
    void ScanOne(CScanBuffer* buffer) noexcept;

    IScanWorkSource* m_source;
    DWORD m_joinLimitMs;
};
