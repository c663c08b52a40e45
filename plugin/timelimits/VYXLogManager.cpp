#include "plugin/timelimits/VYXLogManager.h"

#include "nuvutil/UrlText.h"

#include "Shared/AffiliateSettings.h"
#include "Shared/NuvPaths.h"
#include "Shared/VyxLogFormat.h"
#include "base/FileSystem.h"
#include "logging/Logging.h"

#include <shlwapi.h>

CVYXLogManager::CVYXLogManager(std::wstring databasePath, TickSource ticks)
    : m_databasePath(std::move(databasePath)), m_ticks(ticks != nullptr ? ticks : &::GetTickCount) {
    DWORD seconds = 0;
    CAffiliateSettings settings;
    if (settings.ReadDword(L"GroupBlockedAttempts", seconds)) m_groupSeconds = seconds;
}

CVYXLogManager::~CVYXLogManager() {
    Tessal::CAutoLock lock(m_lock);
    if (m_engine) {
        for (const auto& session : m_sessions) m_engine->LogUserLogoff(session.second.userName.c_str());
    }
    m_sessions.clear();
    // The engine writes what was queued (these log-offs too) before its thread ends.
    m_engine.reset();
}

DWORD CVYXLogManager::GetEngine() {
    if (m_engine) return ERROR_SUCCESS;
    std::wstring path = m_databasePath;
    if (path.empty()) {
        wchar_t folder[MAX_PATH] = {};
        if (!GetNuvDataFolder(folder, MAX_PATH)) return ERROR_PATH_NOT_FOUND;
        // The installer makes it; a machine without it would lose every record.
        Tessal::CreateDirectoryPath(folder);
        ::PathAppendW(folder, VyxLog::kDatabaseFileName);
        path = folder;
    }
    IVyxLogEngine* engine = nullptr;
    const DWORD result = CreateVyxLogEngine(path.c_str(), &engine);
    if (result != ERROR_SUCCESS) return result;
    m_engine.reset(engine);
    // The first record written closes what an earlier run left open.
    m_engine->CloseAllUserLogons();
    return ERROR_SUCCESS;
}

DWORD CVYXLogManager::Logon(const wchar_t* userName, DWORD sessionId) {
    Tessal::CAutoLock lock(m_lock);
    const DWORD result = GetEngine();
    if (result != ERROR_SUCCESS) return result;
    SessionLogEntry& entry = m_sessions[sessionId];
    entry.userName = userName != nullptr ? userName : L"";
    entry.recentWebSites.clear();
    entry.recentAccessAttempts.clear();
    return m_engine->LogUserLogon(userName);
}

DWORD CVYXLogManager::Logoff(const wchar_t* userName, DWORD sessionId) {
    Tessal::CAutoLock lock(m_lock);
    const DWORD result = GetEngine();
    if (result != ERROR_SUCCESS) return result;
    const DWORD logged = m_engine->LogUserLogoff(userName);
    m_sessions.erase(sessionId);
    return logged;
}

DWORD CVYXLogManager::SystemSleep() {
    Tessal::CAutoLock lock(m_lock);
    DWORD result = GetEngine();
    if (result != ERROR_SUCCESS) return result;
    for (const auto& session : m_sessions) {
        const DWORD logged = m_engine->LogSystemSleep(session.second.userName.c_str());
        if (logged != ERROR_SUCCESS) result = logged;
    }
    return result;
}

DWORD CVYXLogManager::SystemWakeup() {
    Tessal::CAutoLock lock(m_lock);
    DWORD result = GetEngine();
    if (result != ERROR_SUCCESS) return result;
    for (auto& session : m_sessions) {
        const DWORD logged = m_engine->LogSystemWakeup(session.second.userName.c_str());
        if (logged != ERROR_SUCCESS) result = logged;
        session.second.recentWebSites.clear();
        session.second.recentAccessAttempts.clear();
    }
    return result;
}

CVYXLogManager::SessionLogEntry* CVYXLogManager::FindSession(DWORD sessionId) {
    const auto entry = m_sessions.find(sessionId);
    if (entry != m_sessions.end()) return &entry->second;
    NUV_LOG(ETWLogging::LOG_ERROR, L"Unable to find user name for session ID %d\r\n", static_cast<int>(sessionId));
    return nullptr;
}

DWORD CVYXLogManager::WebSiteBlocked(DWORD sessionId, DWORD value, const wchar_t* url, const char* data) {
    Tessal::CAutoLock lock(m_lock);
    const DWORD result = GetEngine();
    if (result != ERROR_SUCCESS) return result;
    SessionLogEntry* const entry = FindSession(sessionId);
    if (entry == nullptr) return ERROR_INVALID_PARAMETER;
    std::wstring normalized = url != nullptr ? url : L"";
    NormalizeUrl(normalized);
    if (m_groupSeconds != 0 && !IsNewWebSite(*entry, normalized)) return ERROR_SUCCESS;
    return m_engine->LogWebSiteBlocked(entry->userName.c_str(), value, url != nullptr ? normalized.c_str() : nullptr,
                                       data);
}

DWORD CVYXLogManager::AccessAttemptBlocked(DWORD sessionId, const wchar_t* text) {
    Tessal::CAutoLock lock(m_lock);
    const DWORD result = GetEngine();
    if (result != ERROR_SUCCESS) return result;
    SessionLogEntry* const entry = FindSession(sessionId);
    if (entry == nullptr) return ERROR_INVALID_PARAMETER;
    if (m_groupSeconds != 0 && !IsNewAccessAttempt(*entry, text)) return ERROR_SUCCESS;
    return m_engine->LogAccessAttemptBlocked(entry->userName.c_str());
}

void CVYXLogManager::PurgeRecentBlocks(SessionLogEntry& entry, DWORD now) {
    const DWORD window = m_groupSeconds * 1000;
    for (auto* recent : {&entry.recentWebSites, &entry.recentAccessAttempts}) {
        for (auto it = recent->begin(); it != recent->end();) {
            // Unsigned: the tick count's wrap does not matter.
            it = now - it->second > window ? recent->erase(it) : std::next(it);
        }
    }
}

bool CVYXLogManager::IsNew(SessionLogEntry& entry, std::map<std::wstring, DWORD>& recent, const std::wstring& key) {
    const DWORD now = m_ticks();
    PurgeRecentBlocks(entry, now);
    if (recent.count(key) != 0) return false;
    recent.emplace(key, now);
    return true;
}

bool CVYXLogManager::IsNewWebSite(SessionLogEntry& entry, const std::wstring& url) {
    const std::size_t cut = url.find_first_of(L"/\\");
    const std::wstring key = cut == std::wstring::npos || cut == 0 ? url : url.substr(0, cut);
    return IsNew(entry, entry.recentWebSites, key);
}

bool CVYXLogManager::IsNewAccessAttempt(SessionLogEntry& entry, const wchar_t* text) {
    if (text == nullptr) return false;
    return IsNew(entry, entry.recentAccessAttempts, text);
}
