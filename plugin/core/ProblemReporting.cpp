// The module's reported-problem state: what a failing suite component switches the plug-in into.
#include "plugin/core/NuvModule.h"

#include "base/RegKey.h"
#include "logging/Logging.h"
#include "plugin/core/ModuleRegistry.h"
#include "plugin/core/SessionManager.h"

namespace {
constexpr DWORD kBypassBit = 0x80000000;
}

// One report at a time, steps taken as one. The problem lock comes before the session manager's
// and the sessions' locks in every thread's order; nobody reports while holding those. The manager
// is pinned while the report uses it, so shutdown waits for the report before deleting it.
void CNuvModule::ReportProblem(int problemId, bool affectsPersonalInfo, HRESULT result) {
    Tessal::CAutoLock lock(m_problemLock);
    if (problemId == 0) {
        m_currentProblem = 0;
        return;
    }
    if (affectsPersonalInfo) m_bypass = true;
    if (m_reportedProblems.find(problemId) == m_reportedProblems.end()) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Problem %d was reported (0x%08X)!%s\r\n", problemId,
                static_cast<unsigned>(result), affectsPersonalInfo ? L" -- affects personal info scanning" : L"");
        m_reportedProblems[problemId] = true;
    }
    storeProblemReportInRegistry(problemId, m_bypass);
    if (const auto manager = m_sessionManager.Acquire()) {
        if (m_bypass) {
            manager->IgnoreAllPausedConnections();
        } else {
            manager->ResumeAllPausedConnectionsAsAdultTemp();
        }
    }
    m_currentProblem = problemId;
}

void CNuvModule::clearProblemReportFromRegistry() {
    Tessal::CRegKey key;
    const LONG result = key.Open(HKEY_LOCAL_MACHINE, NuvRegistry::kProductKey, KEY_ALL_ACCESS);
    if (result != ERROR_SUCCESS) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"Failed to open NUV registry key (Err %d)\r\n", static_cast<int>(result));
        return;
    }
    key.DeleteValue(L"Report");
}

void CNuvModule::storeProblemReportInRegistry(int problemId, bool bypass) {
    Tessal::CRegKey key;
    const LONG result = key.Open(HKEY_LOCAL_MACHINE, NuvRegistry::kProductKey, KEY_ALL_ACCESS);
    if (result != ERROR_SUCCESS) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to open NUV registry key (Err %d)\r\n", static_cast<int>(result));
        return;
    }
    key.SetDWORDValue(L"Report", static_cast<DWORD>(problemId) | (bypass ? kBypassBit : 0));
}
