#include "plugin/core/SessionManager.h"

#include "base/OSInfo.h"
#include "logging/Logging.h"
#include "nuvutil/com/CoInitializeScope.h"
#include "nuvutil/com/SafeArray.h"
#include "nuvutil/com/Variant.h"
#include "plugin/services/ModuleServices.h"
#include "plugin/core/NuvConfig.h"
#include "plugin/core/NuvException.h"
#include "plugin/core/QvLightWeightAPIWrapper.h"
#include "plugin/core/WtsApi.h"

#include <nuvconfig.h>
#include <wrl/client.h>

#include <atomic>
#include <vector>

namespace {

constexpr DWORD kSignOutSettleMs = 500;

int AsInt(DWORD value) noexcept { return static_cast<int>(value); }

// Logged the first time in the process's life that sessions are resumed as the temporary adult.
std::atomic<bool> g_resumedAsTemporaryAdult{false};

// A copy of a one-dimensional SAFEARRAY of VARIANTs held by `value`; false for anything else.
bool CopyVariantVector(const VARIANT& value, NuvCom::CSafeArray& copy) noexcept {
    if (value.vt != (VT_ARRAY | VT_VARIANT) || value.parray == nullptr) return false;
    SAFEARRAY* const array = value.parray;
    VARTYPE type = VT_EMPTY;
    if (::SafeArrayGetDim(array) != 1 || ::SafeArrayGetElemsize(array) != sizeof(VARIANT) ||
        FAILED(::SafeArrayGetVartype(array, &type)) || type != VT_VARIANT) {
        return false;
    }
    return SUCCEEDED(::SafeArrayCopy(array, copy.Put())) && copy.Get() != nullptr;
}

// Element `offset` counted from the array's lower bound.
bool ElementAt(const NuvCom::CSafeArray& array, LONGLONG offset, NuvCom::CVariant& element) noexcept {
    LONG lowerBound = 0;
    LONG upperBound = -1;
    if (FAILED(::SafeArrayGetLBound(array.Get(), 1, &lowerBound)) ||
        FAILED(::SafeArrayGetUBound(array.Get(), 1, &upperBound))) {
        return false;
    }
    const LONGLONG index = lowerBound + offset;
    if (index > upperBound) return false;
    return SUCCEEDED(array.GetElement(static_cast<LONG>(index), element.Put()));
}

LONGLONG ElementCount(const NuvCom::CSafeArray& array) noexcept {
    LONG lowerBound = 0;
    LONG upperBound = -1;
    if (FAILED(::SafeArrayGetLBound(array.Get(), 1, &lowerBound)) ||
        FAILED(::SafeArrayGetUBound(array.Get(), 1, &upperBound))) {
        return 0;
    }
    return static_cast<LONGLONG>(upperBound) - lowerBound + 1;
}

// Users of the list (each an array [display name, user id, is administrator]) whose protection
// query answers true. Elements of another form count nothing.
LONG CountProtectedUsers(INuvConfig& nuvConfig, const VARIANT& users) {
    NuvCom::CSafeArray list;
    if (!CopyVariantVector(users, list)) return 0;
    LONG count = 0;
    const LONGLONG elements = ElementCount(list);
    for (LONGLONG i = 0; i < elements; ++i) {
        NuvCom::CVariant element;
        NuvCom::CSafeArray user;
        NuvCom::CVariant userId;
        if (!ElementAt(list, i, element) || !CopyVariantVector(*element.Get(), user) || !ElementAt(user, 1, userId) ||
            userId.Type() != VT_BSTR) {
            continue;
        }
        VARIANT_BOOL isProtected = VARIANT_FALSE;
        if (SUCCEEDED(nuvConfig.IsUserProtected(userId.Get()->bstrVal, &isProtected)) &&
            isProtected != VARIANT_FALSE) {
            ++count;
        }
    }
    return count;
}

SessionFilterState FilterStateOf(const CSession& session) noexcept {
    SessionFilterState state;
    const CUserSettings* const settings = session.GetSettings();
    if (session.IsSignedIn() && settings != nullptr) {
        state.timeRestricted = settings->m_bTimeRestricted;
        state.allowedListOnly = settings->m_bAllowedListOnly;
        state.safeSearchOff = settings->m_bSafeSearch ? 0 : 1;
        state.noCategoryFiltering = settings->m_bNoCategoryFiltering;
        state.blockedListEmpty = settings->m_bBlockedListEmpty;
    }
    return state;
}

}  // namespace

CSessionManager::CSessionManager(IModuleServices& module, std::unique_ptr<IHostFirewallThread> firewallThread)
    : m_module(module), m_firewallThread(std::move(firewallThread)) {}

CSessionManager::~CSessionManager() {
    // First, so that the sign-outs below no longer reach it.
    m_firewallThread.reset();
    // Sessions are deleted outside the lock: each waits for its event thread, whose last items
    // may look a session up through this manager. One that was looked up meanwhile is made anew
    // and deleted in the next round.
    for (;;) {
        std::unordered_map<DWORD, std::unique_ptr<CSession>> sessions;
        {
            Tessal::CAutoLock lock(m_lock);
            sessions.swap(m_sessions);
        }
        if (sessions.empty()) break;
        sessions.clear();
    }
}

CSession* CSessionManager::FindOrCreateSession(DWORD sessionId) {
    Tessal::CAutoLock lock(m_lock);
    const auto found = m_sessions.find(sessionId);
    if (found != m_sessions.end()) return found->second.get();
    auto created = std::make_unique<CSession>(sessionId, this, m_module);
    CSession* const session = created.get();
    m_sessions.emplace(sessionId, std::move(created));
    session->initialize();
    return session;
}

CSession* CSessionManager::FindSession(DWORD sessionId) {
    Tessal::CAutoLock lock(m_lock);
    const auto found = m_sessions.find(sessionId);
    return found != m_sessions.end() ? found->second.get() : nullptr;
}

void CSessionManager::DeleteSession(DWORD sessionId) {
    CNuvConfig* config = nullptr;
    try {
        config = m_module.GetConfig();
    } catch (const CNuvException&) {
        // Logged where it was made; nobody can be signed out at the service then.
    }
    if (config != nullptr) config->SignOut(sessionId);
    ::Sleep(kSignOutSettleMs);

    std::unique_ptr<CSession> session;
    {
        Tessal::CAutoLock lock(m_lock);
        NUV_LOG(ETWLogging::LOG_NORMAL, L"CSessionManager::DeleteSession( %d )", AsInt(sessionId));
        const auto found = m_sessions.find(sessionId);
        if (found != m_sessions.end()) {
            session = std::move(found->second);
            m_sessions.erase(found);
        }
    }
    // Deleted with no lock held: it waits for its event thread.
    session.reset();
}

bool CSessionManager::SessionExists(DWORD sessionId) {
    Tessal::CAutoLock lock(m_lock);
    return m_sessions.count(sessionId) != 0;
}

bool CSessionManager::IsSessionSignedIn(DWORD sessionId) {
    Tessal::CAutoLock lock(m_lock);
    const auto found = m_sessions.find(sessionId);
    if (found == m_sessions.end()) return false;
    CSession& session = *found->second;
    Tessal::CAutoLock sessionLock(session.GetLock());
    return session.IsSignedIn();
}

void CSessionManager::IgnoreAllPausedConnections() {
    Tessal::CAutoLock lock(m_lock);
    for (auto& entry : m_sessions) entry.second->ignoreAllPausedHandlers();
}

void CSessionManager::ResumeAllPausedConnectionsAsAdultTemp() {
    if (m_module.IsShuttingDown()) return;
    const CSafeStringW temporaryAdult(CUserSettings::kTemporaryAdult);
    Tessal::CAutoLock lock(m_lock);
    for (auto& entry : m_sessions) {
        CSession& session = *entry.second;
        Tessal::CAutoLock sessionLock(session.GetLock());
        if (session.IsSignedIn()) continue;
        if (!g_resumedAsTemporaryAdult.exchange(true)) {
            NUV_LOG(ETWLogging::LOG_WARNING, L"Resuming connections as temporary adult user\r\n");
        }
        session.Logon(temporaryAdult);
    }
}

void CSessionManager::UpdateUsers() {
    {
        Tessal::CAutoLock lock(m_lock);
        for (auto& entry : m_sessions) entry.second->updateUser();
    }
    reportToVelmora();
    if (m_firewallThread) m_firewallThread->OnSettingsChanged();
}

void CSessionManager::OnTimeChanged() {
    if (m_firewallThread) m_firewallThread->OnTimeChanged();
}

void CSessionManager::CollectSessionFilterState(DWORD sessionId, SessionFilterFlags& flags) {
    Tessal::CAutoLock lock(m_lock);
    const auto found = m_sessions.find(sessionId);
    // A session deleted since the caller looked writes nothing: no entry reads as all zeros.
    if (found == m_sessions.end()) return;
    CSession& session = *found->second;
    Tessal::CAutoLock sessionLock(session.GetLock());
    flags.Set(sessionId, FilterStateOf(session));
}

void CSessionManager::CollectAllSessionFilterState(SessionFilterFlags& flags) {
    Tessal::CAutoLock lock(m_lock);
    for (auto& entry : m_sessions) {
        CSession& session = *entry.second;
        Tessal::CAutoLock sessionLock(session.GetLock());
        flags.Set(entry.first, FilterStateOf(session));
    }
}

void CSessionManager::addExistingSessions() {
    const WtsEnumerateResult result = GetWtsApi().EnumerateSessions();
    switch (result.status) {
        case WtsEnumerateStatus::kLibraryNotLoaded:
            return;
        case WtsEnumerateStatus::kExportMissing:
            NUV_LOG(ETWLogging::LOG_WARNING, L"Failed to find WTSEnumerateSessions\r\n");
            return;
        case WtsEnumerateStatus::kCallFailed:
            NUV_LOG(ETWLogging::LOG_WARNING, L"WTSEnumerateSessions failed (error %d)\r\n", AsInt(result.error));
            return;
        case WtsEnumerateStatus::kEnumerated:
            break;
    }
    const bool skipSessionZero = Tessal::IsSessionZeroIsolated(m_module.GetOsClass());
    for (const WtsSessionInfo& session : result.sessions) {
        NUV_LOG(ETWLogging::LOG_NORMAL, L"Existing session %d found, status = %d\r\n", AsInt(session.sessionId),
                static_cast<int>(session.state));
        if (session.state != WTSActive) continue;
        if (session.sessionId == 0 && skipSessionZero) continue;
        FindOrCreateSession(session.sessionId);
    }
}

void CSessionManager::OnUserLoggedOn(const wchar_t* userName, DWORD sessionId) {
    reportToVelmora();
    if (m_firewallThread) m_firewallThread->OnUserLogon(userName, sessionId);
}

void CSessionManager::OnUserLoggedOff(const wchar_t* userName, DWORD /*sessionId*/) {
    if (m_firewallThread) m_firewallThread->OnUserLogoff(userName);
}

void CSessionManager::reportToVelmora() {
    // Called on whichever thread signed a user in; COM must be usable there (a thread already in
    // an apartment keeps it).
    const NuvCom::CCoInitialize com;
    Microsoft::WRL::ComPtr<INuvConfig> nuvConfig;
    HRESULT hr = ::CoCreateInstance(CLSID_NuvConfig, nullptr, CLSCTX_INPROC_SERVER, IID_INuvConfig,
                                    reinterpret_cast<void**>(nuvConfig.GetAddressOf()));
    if (FAILED(hr) || !nuvConfig) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"reportToVelmora: Failed to create INuvConfig object: 0x%08X\r\n",
                static_cast<unsigned>(hr));
        return;
    }
    NuvCom::CVariant users;
    hr = nuvConfig->GetVORLUserList(users.Put());
    if (FAILED(hr)) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"reportToVelmora: GetVORLUserList failed 0x%08X\r\n",
                static_cast<unsigned>(hr));
        return;
    }
    const LONG protectedUsers = CountProtectedUsers(*nuvConfig.Get(), *users.Get());
    NUV_LOG(ETWLogging::LOG_NORMAL, L"Found %d protected users\r\n", static_cast<int>(protectedUsers));

    // The comparison and the report under the wrapper's lock: two threads reporting the same
    // change send it once.
    CQvLightWeightAPIWrapper& lightWeightApi = m_module.GetLightWeightAPI();
    CQvAutoLock lock(lightWeightApi);
    if (protectedUsers == m_lastReportedProtectedUsers) return;
    m_lastReportedProtectedUsers = protectedUsers;
    hr = lightWeightApi.ReportUserProtected(static_cast<ULONG>(protectedUsers));
    NUV_LOG(ETWLogging::LOG_NORMAL, L"Reported %d user protected to Velmora, hr = 0x%08X\r\n",
            static_cast<int>(protectedUsers), static_cast<unsigned>(hr));
}
