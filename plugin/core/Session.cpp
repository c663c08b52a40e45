#include "plugin/core/Session.h"

#include "base/OSInfo.h"
#include "base/TextConversion.h"
#include "logging/Logging.h"
#include "plugin/core/EventThread.h"
#include "plugin/services/ModuleServices.h"
#include "plugin/core/NuvConfig.h"
#include "plugin/core/NuvException.h"
#include "plugin/core/SignInEvent.h"
#include "plugin/core/SignInRequiredEvent.h"
#include "plugin/core/SignOutEvent.h"
#include "plugin/services/TimeLimitServices.h"
#include "plugin/core/WtsApi.h"

#include <sddl.h>

#include <cctype>
#include <exception>
#include <vector>

namespace {

int AsInt(DWORD value) noexcept { return static_cast<int>(value); }

struct HeldRelease {
    void operator()(IHeldConnection* handler) const noexcept { handler->Release(); }
};
// The list's reference on one paused connection, released however its call ends.
using HeldReference = std::unique_ptr<IHeldConnection, HeldRelease>;

HeldReference TakeFront(std::deque<IHeldConnection*>& handlers) noexcept {
    HeldReference handler(handlers.front());
    handlers.pop_front();
    return handler;
}

std::string Bytes(const CSafeStringA& text) {
    return text.m_nLength != 0 ? std::string(text.m_pBuffer, text.m_nLength) : std::string();
}

std::string LowerBytes(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

void DeleteEventWork(void* item) noexcept { delete static_cast<CEventWork*>(item); }

}  // namespace

CSession::CSession(DWORD sessionId, ISessionListener* listener, IModuleServices& module)
    : m_sessionId(sessionId), m_eventQueue(DeleteEventWork), m_listener(listener), m_module(module) {}

CSession::~CSession() {
    {
        Tessal::CAutoLock lock(m_lock);
        NUV_LOG(ETWLogging::LOG_NORMAL, L"Terminating session %d\r\n", AsInt(m_sessionId));
        try {
            Logoff();
        } catch (const std::exception& e) {
            NUV_LOG(ETWLogging::LOG_ERROR, L"Signing out of session %d failed: %hs\r\n", AsInt(m_sessionId), e.what());
        }
        // Dropped: a connection of a session that ended gets neither a resume nor an ignore.
        while (!m_pausedHandlers.empty()) TakeFront(m_pausedHandlers);
        m_acceptsWork = false;
        if (m_eventThread) {
            try {
                m_eventQueue.Put(nullptr);
            } catch (const std::bad_alloc&) {
                // The thread's join limit ends it instead.
            }
        }
    }
    // Joined with no lock held: a sign-in-required item still queued looks this session up
    // through the manager and takes its lock.
    m_eventThread.reset();
}

CNuvConfig* CSession::Config() {
    try {
        return m_module.GetConfig();
    } catch (const CNuvException&) {
        return nullptr;  // the exception logged itself
    }
}

bool CSession::EventThreadTakesWork() const noexcept {
    if (!m_acceptsWork) return false;
    // An event thread that ended early (start-up failed) takes nothing more.
    return !m_eventThreadHandle || ::WaitForSingleObject(m_eventThreadHandle.Get(), 0) != WAIT_OBJECT_0;
}

void CSession::initialize() {
    if (m_sessionId == 0 && Tessal::IsSessionZeroIsolated(m_module.GetOsClass())) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"Not initializing Session 0 because we're on Vista\r\n");
        m_acceptsWork = false;  // no event thread will ever take it
        return;
    }
    NUV_LOG(ETWLogging::LOG_NORMAL, L"Initializing session %d\r\n", AsInt(m_sessionId));
    m_eventThread = std::make_unique<CEventThread>(m_sessionId, this, &m_module);
    HANDLE handle = nullptr;
    if (::DuplicateHandle(::GetCurrentProcess(), m_eventThread->GetHandle(), ::GetCurrentProcess(), &handle,
                          SYNCHRONIZE, FALSE, 0)) {
        m_eventThreadHandle.Reset(handle);
    }
    // Started however the steps below end: a thread left suspended would never see its stop item.
    struct StartOnExit {
        CEventThread& thread;
        ~StartOnExit() { thread.Resume(); }
    } start{*m_eventThread};

    CNuvConfig* const config = Config();
    const std::unique_ptr<CUserSettings> signedIn = config ? config->GetSignedInUserSettings(m_sessionId) : nullptr;
    if (signedIn) {
        NUV_LOG(ETWLogging::LOG_NORMAL, L"User %s is already logged in\r\n", signedIn->m_strUserName.GetString());
        LogonFoundUser(signedIn->m_strUserId);
        config->UpdateSessionFlags(m_sessionId);
    } else if (const int problem = m_module.GetCurrentProblem()) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"Signing in temporary adult user because NUV has problem %d\r\n", problem);
        LogonFoundUser(CSafeStringW(CUserSettings::kTemporaryAdult));
        if (config != nullptr) config->UpdateSessionFlags(m_sessionId);
    } else {
        PutEventWork(CSignInRequiredEvent::CreateWork(m_sessionId));
    }
}

void CSession::LogonFoundUser(const CSafeStringW& userId) {
    CSession* session = this;
    try {
        // Finds this session: the manager inserted it before initializing it, and its lock is
        // recursive.
        session = m_module.GetSession(m_sessionId);
    } catch (const CNuvException&) {
        // No manager (a session made on its own): sign in here.
    }
    Tessal::CAutoLock lock(session->GetLock());
    session->Logon(userId);
}

void CSession::Logon(const CSafeStringW& userId) {
    Tessal::CAutoLock lock(m_lock);
    if (userId.GetLength() == 0) return;
    if (m_userId.IsEqual(userId)) {
        NUV_LOG(ETWLogging::LOG_NORMAL, L"User \"%s\" is already signed into session %d\r\n", userId.GetString(),
                AsInt(m_sessionId));
        return;
    }
    if (m_module.IsShuttingDown()) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"Rejecting logon of user %s in session %d because NUV is shutting down\r\n",
                userId.GetString(), AsInt(m_sessionId));
        return;
    }
    Logoff();

    CNuvConfig* const config = Config();
    m_settings = config != nullptr ? config->GetUserSettingsById(userId) : nullptr;
    if (!m_settings) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"Can't log in user (%s) that doesn't exist\r\n", userId.GetString());
        return;
    }
    m_userId = userId;
    const wchar_t* const userName = m_settings->m_strUserName.GetString();
    NUV_LOG(ETWLogging::LOG_NORMAL, L"User \"%s\" [id=%s] logged in to Session %d\r\n", userName, m_userId.GetString(),
            AsInt(m_sessionId));
    if (m_listener != nullptr) m_listener->OnUserLoggedOn(userName, m_sessionId);
    IActivityLogManager* const logManager = m_module.GetLogManager();
    if (m_settings->m_bProtected && logManager != nullptr) {
        const DWORD result = logManager->Logon(userName, m_sessionId);
        if (result != 0) {
            NUV_LOG(ETWLogging::LOG_ERROR, L"Unable to log user log on event, dwRet=%d\r\n", AsInt(result));
        }
    }
    PutEventWork(CSignInEvent::CreateWork(userId));
    ResumeHeldHandlers();
}

void CSession::Logoff() {
    Tessal::CAutoLock lock(m_lock);
    if (!IsSignedIn()) return;
    const wchar_t* const userName = m_settings ? m_settings->m_strUserName.GetString() : L"";
    NUV_LOG(ETWLogging::LOG_NORMAL, L"User \"%s\" [id=%s] logged out of Session %d\r\n", userName, m_userId.GetString(),
            AsInt(m_sessionId));
    if (m_listener != nullptr) m_listener->OnUserLoggedOff(userName, m_sessionId);
    IActivityLogManager* const logManager = m_module.GetLogManager();
    if (m_settings && m_settings->m_bProtected && logManager != nullptr) {
        const DWORD result = logManager->Logoff(userName, m_sessionId);
        if (result != 0) {
            NUV_LOG(ETWLogging::LOG_ERROR, L"Unable to log user log off event, dwRet=%d\r\n", AsInt(result));
        }
    }
    m_userId.Empty();
    m_settings.reset();
    PutEventWork(CSignOutEvent::CreateWork());
}

void CSession::updateUser() {
    Tessal::CAutoLock lock(m_lock);
    if (!IsSignedIn() || !m_settings) return;

    CNuvConfig* const config = Config();
    std::unique_ptr<CUserSettings> found =
        config != nullptr ? config->GetUserSettingsByUserName(m_settings->m_strUserName) : nullptr;
    if (found) {
        IActivityLogManager* const logManager = m_module.GetLogManager();
        if (found->m_bProtected != m_settings->m_bProtected && logManager != nullptr) {
            const DWORD result = m_settings->m_bProtected
                                     ? logManager->Logoff(m_settings->m_strUserName.GetString(), m_sessionId)
                                     : logManager->Logon(found->m_strUserName.GetString(), m_sessionId);
            if (result != 0) {
                NUV_LOG(ETWLogging::LOG_ERROR, L"Unable to log user log off/on event in updateUser, dwRet=%d\r\n",
                        AsInt(result));
            }
        }
        m_userId = found->m_strUserId;
        m_settings = std::move(found);
        return;
    }

    std::wstring windowsUser;
    if (!GetWtsApi().QuerySessionUserName(m_sessionId, windowsUser)) return;
    const CSafeStringW& userName = m_settings->m_strUserName;
    if (windowsUser.compare(0, windowsUser.size(), userName.GetString(), userName.GetLength()) != 0) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"Logging off %s from session %d because UserID %s doesn't exist anymore\r\n",
                userName.GetString(), AsInt(m_sessionId), m_userId.GetString());
        Logoff();
    }
}

void CSession::RegisterHandler(IHeldConnection* handler) {
    if (handler == nullptr) return;
    Tessal::CAutoLock lock(m_lock);
    m_pausedHandlers.push_back(handler);  // may throw: the reference is taken only once it is held
    handler->AddRef();
}

void CSession::ResumeHeldHandlers() {
    Tessal::CAutoLock lock(m_lock);
    while (!m_pausedHandlers.empty()) {
        const HeldReference handler = TakeFront(m_pausedHandlers);
        handler->dumpUser();
        handler->Resume();
    }
}

void CSession::ignoreAllPausedHandlers() {
    Tessal::CAutoLock lock(m_lock);
    if (m_pausedHandlers.empty()) return;
    const std::size_t count = m_pausedHandlers.size();
    NUV_LOG(ETWLogging::LOG_WARNING, L"Ignoring %d paused handler%s in Session %d\r\n", static_cast<int>(count),
            count == 1 ? L"" : L"s", AsInt(m_sessionId));
    while (!m_pausedHandlers.empty()) TakeFront(m_pausedHandlers)->Ignore();
}

void CSession::AddToTempAllowedDomainList(const CSafeStringA& domain, const CSafeStringA& originatingHost) {
    Tessal::CAutoLock lock(m_lock);
    if (domain.m_nLength != 0) {
        const std::string text = Bytes(domain);
        if (m_tempAllowedDomains.insert(LowerBytes(text)).second) {
            NUV_LOG(ETWLogging::LOG_NORMAL, L"A new temp allowed domain %s has been added to session %d",
                    Tessal::FromThreadAnsi(text).c_str(), AsInt(m_sessionId));
        }
    }
    if (originatingHost.m_nLength != 0) {
        const std::string host = LowerBytes(Bytes(originatingHost));
        if (m_originatingHosts.insert(host).second) {
            NUV_LOG(ETWLogging::LOG_NORMAL, L"A new originating host %s has been added to session %d",
                    Tessal::FromThreadAnsi(host).c_str(), AsInt(m_sessionId));
        }
    }
}

bool CSession::IsTempAllowedDomain(const CSafeStringA& domain) {
    Tessal::CAutoLock lock(m_lock);
    return domain.m_nLength != 0 && m_tempAllowedDomains.count(Bytes(domain)) != 0;
}

bool CSession::IsOriginatingHost(const CSafeStringA& host) {
    Tessal::CAutoLock lock(m_lock);
    return host.m_nLength != 0 && m_originatingHosts.count(Bytes(host)) != 0;
}

CEventWork* CSession::GetEventWork() { return static_cast<CEventWork*>(m_eventQueue.Get()); }

void CSession::ReleaseEventWork(CEventWork* work) { delete work; }

void CSession::PutEventWork(CEventWork* work) {
    if (work == nullptr) return;  // a null item is the event thread's stop signal, never a producer's
    if (!EventThreadTakesWork()) {
        delete work;
        return;
    }
    try {
        m_eventQueue.Put(work);
    } catch (...) {
        delete work;  // the sink owns it from the call on
        throw;
    }
}

bool GetSessionUserSid(DWORD sessionId, std::wstring& sid) {
    Tessal::UniqueHandle token;
    if (!GetWtsApi().QueryUserToken(sessionId, token)) return false;
    DWORD size = 0;
    ::GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &size);
    if (size == 0) return false;
    std::vector<BYTE> buffer(size, 0);
    if (!::GetTokenInformation(token.Get(), TokenUser, buffer.data(), size, &size)) return false;
    wchar_t* text = nullptr;
    if (!::ConvertSidToStringSidW(reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid, &text)) return false;
    const Tessal::UniqueLocalMem owner(text);
    sid.assign(text);
    return true;
}
