#pragma once
// Base of the worker threads that are started explicitly and stopped on request: the derived
// class supplies the body (Run) and a way to ask it to end (SignalStop, which only signals).
// Every derived destructor calls Stop before anything the body uses goes away.
// Not to be confused with CThread (plugin/core), the base of the plug-in's worker threads.

#include "base/UniqueHandle.h"

#include <windows.h>

#include <string>

class CQvThread {
public:
    CQvThread() = default;
    // Does not stop the thread (the derived class has done that); virtual so that deleting
    // through the base runs the derived destructor and its Stop.
    virtual ~CQvThread();
    CQvThread(const CQvThread&) = delete;
    CQvThread& operator=(const CQvThread&) = delete;

    // A non-null name replaces the stored one. 1247 (ERROR_ALREADY_INITIALIZED) while a thread is
    // held, even one whose body has returned; otherwise 0, or the Win32 error of the failed
    // creation (8 when the system left none).
    DWORD Start(const wchar_t* name = nullptr);
    // SignalStop, then waits without limit for the body and releases the thread. Nothing without
    // a thread.
    void Stop();
    // True while a thread is held, also after its body has returned, until Stop.
    bool IsRunning() const noexcept { return m_thread.IsValid(); }

    DWORD ThreadId() const noexcept { return m_threadId; }
    const std::wstring& Name() const noexcept { return m_name; }

protected:
    virtual void Run() = 0;
    // Asks the body to end and returns at once; callable from any thread.
    virtual bool SignalStop() = 0;

private:
    static unsigned __stdcall ThreadStart(void* object);

    Tessal::UniqueHandle m_thread;
    unsigned m_threadId = 0;
    std::wstring m_name;
};

namespace QvThreadInternal {
// The thread creation call (_beginthreadex by default), replaceable so tests can make it fail.
// Null restores the default; returns the previous replacement.
using BeginThreadFunction = uintptr_t (*)(void* security, unsigned stackSize, unsigned(__stdcall* start)(void*),
                                          void* argument, unsigned flags, unsigned* threadId);
BeginThreadFunction SetBeginThreadFunction(BeginThreadFunction function) noexcept;
}  // namespace QvThreadInternal
