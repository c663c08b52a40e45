#pragma once
// A module object for component tests: the state the components read (shutdown, problems, OS
// class) is set by the test, problem reports are recorded and applied as the module applies them,
// and the configuration client and session manager are real objects the test attaches.

#include "base/Sync.h"
#include "plugin/services/ModuleServices.h"
#include "plugin/core/NuvConfig.h"
#include "plugin/core/NuvException.h"
#include "plugin/core/QvLightWeightAPIWrapper.h"
#include "plugin/core/SessionManager.h"
#include "plugin/services/TimeLimitServices.h"

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace NuvTest {

struct ReportedProblem {
    int id;
    bool affectsPersonalInfo;
    HRESULT result;
};

class TestModuleServices : public IModuleServices {
public:
    TestModuleServices() = default;
    ~TestModuleServices() { Detach(); }

    // Deletes the session manager before the configuration client, as shutdown does.
    void Detach() {
        manager.reset();
        config.reset();
    }

    // State the test sets.
    std::atomic<bool> shuttingDown{false};
    std::atomic<bool> initialized{true};
    std::atomic<int> currentProblem{0};
    std::atomic<bool> bypass{false};
    DWORD osClass = 10;
    IActivityLogManager* logManager = nullptr;
    // Makes the event processor of each event thread; unset: event threads process nothing.
    std::function<std::unique_ptr<IEventProcessor>()> makeEventProcessor;
    std::function<void()> reloadSearchEngines;

    std::unique_ptr<CNuvConfig> config;
    std::unique_ptr<CSessionManager> manager;
    CQvLightWeightAPIWrapper lightWeightApi;

    std::vector<ReportedProblem> Problems() {
        Tessal::CAutoLock lock(m_lock);
        return m_problems;
    }

    bool IsShuttingDown() const noexcept override { return shuttingDown; }
    bool WaitForInitialization() override { return initialized && !shuttingDown; }
    std::unique_ptr<IEventProcessor> CreateEventProcessor() override {
        return makeEventProcessor ? makeEventProcessor() : nullptr;
    }

    int GetCurrentProblem() const noexcept override { return currentProblem; }
    bool IsBypassingTraffic() const noexcept override { return bypass; }
    // Records the report and applies it as the module does (id 0 only clears the current problem).
    void ReportProblem(int problemId, bool affectsPersonalInfo, HRESULT result) override {
        {
            Tessal::CAutoLock lock(m_lock);
            m_problems.push_back({problemId, affectsPersonalInfo, result});
        }
        if (problemId == 0) {
            currentProblem = 0;
            return;
        }
        if (affectsPersonalInfo) bypass = true;
        if (manager) {
            if (bypass) {
                manager->IgnoreAllPausedConnections();
            } else {
                manager->ResumeAllPausedConnectionsAsAdultTemp();
            }
        }
        currentProblem = problemId;
    }

    CNuvConfig* GetConfig() override { return config.get(); }

    CSession* GetSession(DWORD sessionId) override {
        if (!manager) throw CNuvException(CNuvException::kNotInitialized);
        return manager->FindOrCreateSession(sessionId);
    }
    CSession* FindSession(DWORD sessionId) override { return manager ? manager->FindSession(sessionId) : nullptr; }
    Tessal::CCriticalSection* GetSessionLock() override { return manager ? &manager->GetLock() : nullptr; }
    bool SessionExists(DWORD sessionId) override { return manager && manager->SessionExists(sessionId); }
    bool IsSessionSignedIn(DWORD sessionId) override { return manager && manager->IsSessionSignedIn(sessionId); }
    void UpdateUsers() override {
        if (manager) manager->UpdateUsers();
    }
    void UpdateAllSessionFilterState(SessionFilterFlags& flags) override {
        if (manager) manager->CollectAllSessionFilterState(flags);
    }
    void UpdateSessionFilterState(DWORD sessionId, SessionFilterFlags& flags) override {
        if (manager) manager->CollectSessionFilterState(sessionId, flags);
    }

    IActivityLogManager* GetLogManager() override { return logManager; }
    void ReloadSearchEngines() override {
        if (reloadSearchEngines) reloadSearchEngines();
    }
    DWORD GetOsClass() const noexcept override { return osClass; }
    CQvLightWeightAPIWrapper& GetLightWeightAPI() override { return lightWeightApi; }

private:
    Tessal::CCriticalSection m_lock;
    std::vector<ReportedProblem> m_problems;
};

}  // namespace NuvTest
