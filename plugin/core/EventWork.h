#pragma once
// The event model: a work item (event id + owned parameters) queued on a session and fired on
// that session's event thread by the algorithm of its id, through a handler source that finds the
// suite's handler for each event kind.

#include <windows.h>
#include <unknwn.h>

#include <memory>

class IModuleServices;

// Event ids.
enum : DWORD {
    kEventSignIn = 0,
    kEventSignOut = 1,
    kEventSignInRequired = 2,
    kEventUrlVisited = 5,
    kEventAccessDenied = 6,
};

class IEventParameters {
public:
    virtual ~IEventParameters() = default;
};

// Finds the handler of an event kind. Get answers 0 with a handler (one reference for the
// caller), 1 when no handler is registered, else a failure HRESULT.
class IEventHandlerSource {
public:
    virtual HRESULT Get(const wchar_t* iidText, REFIID iid, IUnknown** handler) = 0;
    virtual HRESULT Get(REFIID iid, IUnknown** handler) = 0;
    // Forgets a handler that failed with an RPC error.
    virtual void Invalidate(IUnknown* handler) = 0;

protected:
    ~IEventHandlerSource() = default;
};

class IEventAlgorithm {
public:
    virtual ~IEventAlgorithm() = default;
    virtual void Fire(IEventParameters* parameters, IEventHandlerSource& handlerSource) = 0;
};

class CEventWork {
public:
    CEventWork(DWORD eventId, std::unique_ptr<IEventParameters> parameters) noexcept
        : m_eventId(eventId), m_parameters(std::move(parameters)) {}
    CEventWork(const CEventWork&) = delete;
    CEventWork& operator=(const CEventWork&) = delete;

    // Fires through the algorithm of the id; throws CNuvException(-1001) without an event table.
    void Process(IEventHandlerSource& handlerSource);

    DWORD EventId() const noexcept { return m_eventId; }
    IEventParameters* Parameters() const noexcept { return m_parameters.get(); }

private:
    DWORD m_eventId;
    std::unique_ptr<IEventParameters> m_parameters;
};

// A session's event queue as producers see it. The queue takes ownership of the item.
class IEventWorkSink {
public:
    virtual void PutEventWork(CEventWork* work) = 0;

protected:
    ~IEventWorkSink() = default;
};

// The table of event algorithms, one per id (3 and 4 have none). Built at start-up, destroyed at
// shutdown after every event thread has ended; read without a lock in between.
void CreateEventTable(IModuleServices& module);
void DestroyEventTable() noexcept;
// Null for an id without an algorithm; throws CNuvException(-1001) when there is no table.
IEventAlgorithm* GetEventAlgorithm(DWORD eventId);
