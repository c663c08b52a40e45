#pragma once
// What the worker threads call of their owners. The module object and the session implement
// these; the threads know nothing else of them. Destructors are protected: a thread never owns
// what it calls back.

#include <windows.h>

#include <memory>

class CScanBuffer;  // plugin/filter
class CEventWork;

// The initialization thread's body.
class IInitializationCallback {
public:
    virtual HRESULT OnInitialize() = 0;

protected:
    ~IInitializationCallback() = default;
};

// The scan thread's source of work. GetScanWork blocks; a null buffer stops the thread.
// The scan pass and the release of the owner reference are the source's (it knows the buffer and
// the algorithm table); PassUnscanned lets the buffer's connection through when a pass failed,
// so a connection is never left waiting for a scan that will not come.
class IScanWorkSource {
public:
    virtual CScanBuffer* GetScanWork() = 0;
    virtual void ScanWork(CScanBuffer* buffer) = 0;
    virtual void PassUnscanned(CScanBuffer* buffer) noexcept = 0;
    virtual void ReleaseScanWork(CScanBuffer* buffer) noexcept = 0;

protected:
    ~IScanWorkSource() = default;
};

// Windows session changes seen by the misc thread.
class ISessionNotificationCallback {
public:
    virtual void OnSessionLogon(DWORD sessionId) = 0;
    virtual void OnSessionLogoff(DWORD sessionId) = 0;

protected:
    ~ISessionNotificationCallback() = default;
};

// A change under the product's registry key.
class IRegistryChangedCallback {
public:
    virtual void OnRegistryChanged() = 0;

protected:
    ~IRegistryChangedCallback() = default;
};

// Suspend and resume as the misc thread sees them. Each returns the activity-log manager's result
// (0 when done, also when there is no manager); resume also resets the session-alert flags.
class IPowerNotificationCallback {
public:
    virtual DWORD OnSystemSuspend() = 0;
    virtual DWORD OnSystemResume() = 0;

protected:
    ~IPowerNotificationCallback() = default;
};

// The time-zone check of the misc thread: compares the stored time-zone name with the PC's and
// alerts when some user has time limits.
class ITimeZoneCheck {
public:
    virtual void CheckTimeZone() = 0;

protected:
    ~ITimeZoneCheck() = default;
};

// The PC's clock or time zone changed (WM_TIMECHANGE, or a change of the time-zone key, which a
// daylight-saving change makes too): what runs on local time looks again.
class ITimeChangeCallback {
public:
    virtual void OnSystemTimeChanged() = 0;

protected:
    ~ITimeChangeCallback() = default;
};

// A session's event queue as its event thread sees it. GetEventWork blocks; null stops the thread.
class IEventWorkSource {
public:
    virtual CEventWork* GetEventWork() = 0;
    virtual void ReleaseEventWork(CEventWork* work) = 0;

protected:
    ~IEventWorkSource() = default;
};

// Fires event work to the suite's handlers for one session (the event-handler source).
class IEventProcessor {
public:
    virtual ~IEventProcessor() = default;
    virtual bool Initialize(DWORD sessionId) = 0;
    virtual void Process(CEventWork* work) = 0;
    virtual void Uninitialize() = 0;
};

// What an event thread needs of the module.
class IEventThreadHost {
public:
    virtual bool WaitForInitialization() = 0;
    virtual std::unique_ptr<IEventProcessor> CreateEventProcessor() = 0;

protected:
    ~IEventThreadHost() = default;
};

// Queues a sign-in-required event for a session (under that session's lock).
class ISigninRequiredSink {
public:
    virtual void QueueSigninRequired(DWORD sessionId) = 0;

protected:
    ~ISigninRequiredSink() = default;
};
