#pragma once
// Owns every session by Windows session id: creates on first use, deletes at the session's
// log-off, walks them for module-wide actions, and passes user log-on/log-off to the host-firewall
// thread and the protected-user statistic.

#include "base/Sync.h"
#include "plugin/core/Session.h"
#include "plugin/core/SessionFilterFlags.h"
#include "plugin/services/TimeLimitServices.h"

#include <windows.h>

#include <memory>
#include <unordered_map>

class IModuleServices;

class CSessionManager final : public ISessionListener {
public:
    // Takes the host-firewall thread (null when there is none: its notifications are dropped).
    CSessionManager(IModuleServices& module, std::unique_ptr<IHostFirewallThread> firewallThread);
    ~CSessionManager();
    CSessionManager(const CSessionManager&) = delete;
    CSessionManager& operator=(const CSessionManager&) = delete;

    CSession* FindOrCreateSession(DWORD sessionId);
    // Never creates: null for an id the manager does not hold.
    CSession* FindSession(DWORD sessionId);
    void DeleteSession(DWORD sessionId);
    bool SessionExists(DWORD sessionId);
    bool IsSessionSignedIn(DWORD sessionId);
    void IgnoreAllPausedConnections();
    void ResumeAllPausedConnectionsAsAdultTemp();
    void UpdateUsers();
    // Passed on to the host-firewall thread.
    void OnTimeChanged();
    void CollectSessionFilterState(DWORD sessionId, SessionFilterFlags& flags);
    void CollectAllSessionFilterState(SessionFilterFlags& flags);
    void addExistingSessions();

    Tessal::CCriticalSection& GetLock() noexcept { return m_lock; }

    // ISessionListener
    void OnUserLoggedOn(const wchar_t* userName, DWORD sessionId) override;
    void OnUserLoggedOff(const wchar_t* userName, DWORD sessionId) override;

    void reportToVelmora();

private:
    IModuleServices& m_module;
    std::unordered_map<DWORD, std::unique_ptr<CSession>> m_sessions;
    Tessal::CCriticalSection m_lock;
    LONG m_lastReportedProtectedUsers = -1;  // under the lightweight API wrapper's lock
    std::unique_ptr<IHostFirewallThread> m_firewallThread;
};
