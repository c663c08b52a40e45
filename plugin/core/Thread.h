#pragma once
// Base of the plug-in's worker threads. A derived class creates it suspended and resumes it as the
// last step of its own constructor, so run() never sees a half-built object. No destructor signals
// its thread: the owner sets the stop condition first.
// Not to be confused with CQvThread (nuvutil), the base of explicitly started and stopped threads.

#include "base/UniqueHandle.h"
#include "plugin/core/PluginResults.h"

#include <windows.h>

class CThread {
public:
    // Exit code of a thread terminated after its join limit.
    static constexpr DWORD kTerminatedExitCode = static_cast<DWORD>(NuvResult::kShuttingDown);
    // Exit code of a thread whose body let a C++ exception escape.
    static constexpr DWORD kUnhandledExceptionExitCode = 0x8000FFFF;  // E_UNEXPECTED
    static constexpr DWORD kDefaultJoinLimitMs = 10000;
    static constexpr DWORD kTerminationSettleMs = 1000;

    // Throws std::system_error when the thread cannot be created.
    explicit CThread(DWORD creationFlags);
    virtual DWORD run();
    virtual ~CThread();
    virtual DWORD Resume();

    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    HANDLE GetHandle() const noexcept { return m_handle.Get(); }

protected:
    // Waits up to the limit; on any result but WAIT_OBJECT_0 logs through `logTimeout` (given the
    // wait result) and terminates the thread. Returns the wait result. Nothing here takes a lock
    // after the termination: the thread may have died holding one.
    template <class LogFn>
    DWORD Join(DWORD limitMs, bool timeoutOnly, LogFn logTimeout) noexcept {
        const DWORD result = ::WaitForSingleObject(m_handle.Get(), limitMs);
        const bool failed = timeoutOnly ? result == WAIT_TIMEOUT : result != WAIT_OBJECT_0;
        if (failed) {
            logTimeout(result);
            ::TerminateThread(m_handle.Get(), kTerminatedExitCode);
            // Termination is asynchronous; a short bounded wait lets the exit code settle.
            ::WaitForSingleObject(m_handle.Get(), kTerminationSettleMs);
        }
        return result;
    }

private:
    static DWORD WINAPI StartRoutine(void* parameter) noexcept;
    static DWORD RunBody(void* parameter) noexcept;

    DWORD m_threadId = 0;
    Tessal::UniqueHandle m_handle;
};
