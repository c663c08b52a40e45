#pragma once
// What the plug-in's components (configuration client, sessions, session manager, events) need
// of the module object. CNuvModule implements it; a component gets it at construction, so a test
// can run the component against a module of its own.

#include "plugin/services/ThreadCallbacks.h"

#include "base/Sync.h"

#include <windows.h>

class CNuvConfig;
class CSession;
class IActivityLogManager;
class CQvLightWeightAPIWrapper;
struct SessionFilterFlags;

class IModuleServices : public IEventThreadHost {
public:
    // Set first thing in shutdown and never cleared.
    virtual bool IsShuttingDown() const noexcept = 0;
    // Waits until start-up has ended; false when it failed or shutdown was signalled.
    bool WaitForInitialization() override = 0;

    // Problems (the reported-problem state): the id reported last, 0 when none; whether some
    // report so far said the problem affects personal-info scanning.
    virtual int GetCurrentProblem() const noexcept = 0;
    virtual bool IsBypassingTraffic() const noexcept = 0;
    virtual void ReportProblem(int problemId, bool affectsPersonalInfo, HRESULT result) = 0;

    // The configuration client: created on first use (may throw CNuvException after reporting
    // problem 40); null once shutdown has deleted it.
    virtual CNuvConfig* GetConfig() = 0;

    // Sessions. GetSession finds or creates and throws CNuvException(-1001) without a session
    // manager; FindSession never creates and answers null without a manager or session.
    virtual CSession* GetSession(DWORD sessionId) = 0;
    virtual CSession* FindSession(DWORD sessionId) = 0;
    // The session manager's lock (recursive; taken before any session's lock); null without a manager.
    virtual Tessal::CCriticalSection* GetSessionLock() = 0;
    virtual bool SessionExists(DWORD sessionId) = 0;
    virtual bool IsSessionSignedIn(DWORD sessionId) = 0;
    // Forwards to the session manager; nothing without one.
    virtual void UpdateUsers() = 0;
    virtual void UpdateAllSessionFilterState(SessionFilterFlags& flags) = 0;
    virtual void UpdateSessionFilterState(DWORD sessionId, SessionFilterFlags& flags) = 0;

    // The activity-log manager, null when there is none.
    virtual IActivityLogManager* GetLogManager() = 0;
    // The search scan re-reads its search-engine rules; nothing while there is no scan table.
    virtual void ReloadSearchEngines() = 0;
    // The operating-system class (Tessal OS information) the module computed at load.
    virtual DWORD GetOsClass() const noexcept = 0;
    // The plug-in's one lightweight API wrapper (statistics), owned by the module.
    virtual CQvLightWeightAPIWrapper& GetLightWeightAPI() = 0;

protected:
    ~IModuleServices() = default;
};
