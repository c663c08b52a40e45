#pragma once
// Base of the worker threads that are started explicitly and stopped on request: the derived
// class supplies the body (Run) and a way to ask it to end (SignalStop, which only signals).
// Every derived destructor calls Stop before anything the body uses goes away.
// Not to be confused with CThread (plugin/core), the base of the plug-in's worker threads.

#include "base/Sync.h"
#include "base/UniqueHandle.h"

#include <windows.h>

#include <memory>
#include <string>

class CQvThread {
public:
    // Whether the thread holds a reference on the module its code is in, given back by its last
    // instruction (FreeLibraryAndExitThread). A thread that StopOrLeave may leave behind needs it:
    // otherwise the module could be unloaded under it.
    enum class ModuleHold { kNone, kWhileRunning };

    explicit CQvThread(ModuleHold hold = ModuleHold::kNone) noexcept : m_moduleHold(hold) {}
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
    // SignalStop, then waits up to `timeoutMs`. True: the thread ended and is released, as by
    // Stop (also without a thread). False: the body still runs and the thread stays held
    // (IsRunning); this object and all the body uses must stay alive until a later Stop has
    // joined it, or until it ends after StopOrLeave.
    bool Stop(DWORD timeoutMs);
    // Stop(timeoutMs) of the object `thread` holds, given with the caller's last share of it. Past
    // the limit the thread is left to end by itself: it takes that share and drops it on itself
    // once its body has returned, so the object and what it owns outlive the body, and nothing
    // waits for the thread any more. False when it was left so (the caller logs it). For objects
    // made with ModuleHold::kWhileRunning.
    static bool StopOrLeave(std::shared_ptr<CQvThread> thread, DWORD timeoutMs);
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
    // On the thread once the body has returned: the last use of this object there.
    void BodyEnded() noexcept;
    void Release() noexcept;

    const ModuleHold m_moduleHold;
    Tessal::UniqueHandle m_thread;
    unsigned m_threadId = 0;
    HMODULE m_module = nullptr;  // the reference of the thread being started
    std::wstring m_name;

    // Between the end of the body and StopOrLeave giving the thread up.
    Tessal::CCriticalSection m_leaveLock;
    bool m_bodyEnded = false;
    std::shared_ptr<CQvThread> m_leftBehind;
};

namespace QvThreadInternal {
// The thread creation call (_beginthreadex by default), replaceable so tests can make it fail.
// Null restores the default; returns the previous replacement.
using BeginThreadFunction = uintptr_t (*)(void* security, unsigned stackSize, unsigned(__stdcall* start)(void*),
                                          void* argument, unsigned flags, unsigned* threadId);
BeginThreadFunction SetBeginThreadFunction(BeginThreadFunction function) noexcept;
}  // namespace QvThreadInternal
