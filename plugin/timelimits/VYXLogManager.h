#pragma once
// The plug-in's entry point for activity records: maps each Windows session to its signed-in
// product user, drops repeats of a block within `GroupBlockedAttempts` seconds, and hands the
// rest to the log engine, made on first use.

#include "plugin/services/TimeLimitServices.h"
#include "nuvutil/UrlText.h"
#include "plugin/timelimits/VyxLogEngine.h"

#include "Shared/CriticalSection.h"

#include <windows.h>

#include <map>
#include <memory>
#include <string>

class CVYXLogManager : public IActivityLogManager {
public:
    // The milliseconds clock of the grouping window (GetTickCount unless tests give another).
    using TickSource = DWORD (*)();

    // `databasePath` empty: "vyxlogdb.dat" in the product's data folder.
    explicit CVYXLogManager(std::wstring databasePath = L"", TickSource ticks = nullptr);
    ~CVYXLogManager() override;
    CVYXLogManager(const CVYXLogManager&) = delete;
    CVYXLogManager& operator=(const CVYXLogManager&) = delete;

    DWORD Logon(const wchar_t* userName, DWORD sessionId) override;
    DWORD Logoff(const wchar_t* userName, DWORD sessionId) override;
    DWORD SystemSleep() override;
    DWORD SystemWakeup() override;
    DWORD WebSiteBlocked(DWORD sessionId, DWORD value, const wchar_t* url, const char* data) override;
    DWORD AccessAttemptBlocked(DWORD sessionId, const wchar_t* text) override;

    DWORD GroupBlockedAttempts() const noexcept { return m_groupSeconds; }

private:
    struct SessionLogEntry {
        std::wstring userName;
        std::map<std::wstring, DWORD> recentWebSites;
        std::map<std::wstring, DWORD> recentAccessAttempts;
    };

    DWORD GetEngine();
    SessionLogEntry* FindSession(DWORD sessionId);
    bool IsNewWebSite(SessionLogEntry& entry, const std::wstring& url);
    bool IsNewAccessAttempt(SessionLogEntry& entry, const wchar_t* text);
    bool IsNew(SessionLogEntry& entry, std::map<std::wstring, DWORD>& recent, const std::wstring& key);
    void PurgeRecentBlocks(SessionLogEntry& entry, DWORD now);

    CriticalSection m_lock;
    std::unique_ptr<IVyxLogEngine> m_engine;
    std::map<DWORD, SessionLogEntry> m_sessions;
    DWORD m_groupSeconds = 30;
    std::wstring m_databasePath;
    TickSource m_ticks;
};
