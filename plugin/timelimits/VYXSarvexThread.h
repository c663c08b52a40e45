#pragma once
// The host-firewall thread: keeps the signed-in protected users, enforces their weekly schedules
// (the firewall rule by SID, the module's time-blocked set by user id for the HTTP filter), warns
// before a restriction starts and tells the user about connections the rule blocked. Everything
// runs on the thread itself; the interface methods and the firewall's notices only record work
// and signal it.

#include "alerts.h"

#include "Shared/AffiliateSettings.h"
#include "Shared/NuvTimeBlocksWeek.h"
#include "base/Sync.h"
#include "base/UniqueHandle.h"
#include "nuvutil/NoCaseLess.h"
#include "nuvutil/QvThread.h"
#include "plugin/services/TimeLimitServices.h"
#include "plugin/timelimits/FirewallListeners.h"
#include "plugin/services/FirewallModule.h"

#include <windows.h>
#include <wrl/client.h>

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class CIPCheckUpRuleManager;
class CTimeRestrictionRuleManager;

// The alerts the thread shows; the product shows them through CNUVAlertManager.
class ITimeRestrictionAlerts {
public:
    virtual ~ITimeRestrictionAlerts() = default;
    virtual void ShowTimeRestrictionApplied(const wchar_t* userId, DWORD sessionId) = 0;
    virtual void ShowTimeRestrictionUpcoming(DWORD minutes, DWORD sessionId) = 0;
    virtual void ShowBlockedDueToTimeRestriction(const wchar_t* application, IAlertCallback* callback,
                                                 DWORD sessionId) = 0;
    // The IP check-up's blocks.
    virtual void ShowURLBlockedDueToBlacklist(const wchar_t* path, const wchar_t* host, DWORD sessionId) = 0;
    virtual void ShowURLBlockedDueToCategoryBlocked(const wchar_t* path, const wchar_t* host, UINT stringId,
                                                    DWORD sessionId) = 0;
    virtual void ShowURLBlockedDueToCategoryNotAllowed(const wchar_t* path, const wchar_t* host, DWORD sessionId) = 0;
};

// A user's week with the warning threshold (minutes) in force when the record was made, 0 when
// no warning is wanted. Copied through the week's text (the week itself is not copyable).
class CUserSchedule {
public:
    CUserSchedule() = default;
    CUserSchedule(const CUserSchedule& other) { *this = other; }
    CUserSchedule& operator=(const CUserSchedule& other);

    CNuvTimeBlocksWeek week;
    DWORD warningThreshold = 0;
};

struct CMonitoredUser {
    std::wstring sid;     // empty until known
    std::wstring userId;  // the configuration service's id, the map key
    DWORD sessionId = 0xFFFFFFFF;
    bool removed = false;
    CUserSchedule schedule;
    DWORD lastAction = 1;
    std::wstring categoryMask;
    LONG mode = 0;
    std::vector<std::wstring> blockedSites;
    std::vector<std::wstring> allowedSites;
};

// What tests replace; empty members keep the product's behaviour.
struct CVYXSarvexThreadOptions {
    std::function<DWORD()> tickCount;  // GetTickCount
    // The restriction timer's requested delay (ms) -> the delay armed; INFINITE leaves it unarmed.
    std::function<DWORD(DWORD requestedMs)> timerDelay;
    // Made on the thread; a null result means no alert manager. CNUVAlertManager by default.
    std::function<std::unique_ptr<ITimeRestrictionAlerts>()> createAlerts;
    std::function<BOOL(DWORD processId, DWORD* sessionId)> processIdToSessionId;  // ProcessIdToSessionId
    // On the thread: after each handled wait result (the handle's index), and once with
    // kHandleCount when the loop is about to wait the first time.
    std::function<void(DWORD index)> afterEvent;
    DWORD stopWaitMs = 30000;
};

class CVYXSarvexThread : public CTimeRestrictionListener,
                         public CIPCheckUpListener,
                         public CQvThread,
                         public IHostFirewallThread {
public:
    enum Action : DWORD { kAllow = 1, kBlock = 2, kUpcoming = 3 };
    enum Handle : DWORD {
        kStop = 0,
        kUsersAdded,
        kUsersRemoved,
        kConfigurationChanged,
        kRestrictionTimer,
        kBlockedConnections,
        kIPCheckUp,
        kHandleCount
    };
    static constexpr DWORD kNoChange = 0xFFFFFFFF;
    // Less than this to the next change: the state after it counts.
    static constexpr DWORD kLookThroughMs = 5000;

    // Reads the settings, creates the handles (std::system_error when one cannot be made) and
    // starts the thread (std::system_error when it does not start).
    explicit CVYXSarvexThread(IFirewallModule& module, CVYXSarvexThreadOptions options = {});
    ~CVYXSarvexThread() override;

    void OnUserLogon(const wchar_t* userName, DWORD sessionId) override;
    void OnUserLogoff(const wchar_t* userName) override;
    void OnSettingsChanged() override;
    void OnTimeChanged() override;

    void OnTrafficBlocked(const wchar_t* application, DWORD processId, const wchar_t* localAddress, WORD localPort,
                          const wchar_t* remoteAddress, WORD remotePort) override;
    void OnConnect(ZrtFire::IConnection* connection) override;

    // "15/5" style: each token's number until the first that is not positive.
    static std::vector<DWORD> ParseWarnings(const std::wstring& text);
    static void _GetTimeAction(const CNuvTimeBlocksWeek& week, DWORD warningThreshold, const SYSTEMTIME& localTime,
                               DWORD& action, DWORD& msToChange);

    const std::vector<DWORD>& Warnings() const noexcept { return m_warnings; }
    DWORD QuietPeriodSeconds() const noexcept { return m_quietPeriod; }
    bool IPCheckUpOff() const noexcept { return m_ipCheckUpOff; }
    // A copy of the record, false when the user is not known.
    bool GetUser(const std::wstring& userId, CMonitoredUser& user);

protected:
    void Run() override;
    bool SignalStop() override;

private:
    struct BlockedConnection {
        std::wstring application;
        DWORD processId;
    };
    struct PendingAlert {
        DWORD action;
        std::wstring userId;
        DWORD value;  // minutes for an upcoming restriction
        DWORD sessionId;
    };

    void _ReadSettings();
    Tessal::UniqueHandle _CheckedHandle(HANDLE handle, const char* what);
    void _RunLoop();
    void _InitTimeProviderIfNeeded();
    void _UpdateUsers(bool onlyNew);
    void _ApplyTimeRestrictions(bool suppressAlerts);
    void _RemoveUsers();
    void _ProcessBlockedApps();
    void _UpdateIPCheckUpUsers();
    // The verdict on one held connection (true: block), with its alert and record.
    bool _JudgeConnection(ZrtFire::IConnection* connection);
    // Held connections not judged when the thread stops are let through, none left held.
    void _ReleaseHeldConnections();
    void _ProcessIPCheckUp();
    void _ResetTimer(DWORD ms);
    DWORD _Tick() const;
    void _Notify(DWORD index) const;

    IFirewallModule& m_module;
    CVYXSarvexThreadOptions m_options;

    Tessal::CCriticalSection m_userLock;
    std::map<std::wstring, CMonitoredUser, NoCaseLess> m_users;

    Tessal::CCriticalSection m_blockedLock;
    std::map<std::wstring, BlockedConnection> m_blocked;

    Tessal::CCriticalSection m_queueLock;
    std::deque<ZrtFire::IConnection*> m_ipCheckUps;

    CategoryMap m_categories;
    Tessal::UniqueHandle m_handles[kHandleCount];
    Tessal::UniqueHandle m_runEnded;  // manual: the body has cleaned up
    // Keeps OnTimeChanged's "now" and the thread's re-arming from overtaking each other.
    Tessal::CCriticalSection m_timerLock;
    std::atomic<bool> m_timeChanged{false};

    std::vector<DWORD> m_warnings;
    DWORD m_quietPeriod = 180;
    bool m_ipCheckUpOff = false;
    // Session -> tick of the last restriction-applied alert; the thread's own.
    std::map<DWORD, DWORD> m_quietStamps;

    // Made and released on the thread.
    std::unique_ptr<ITimeRestrictionAlerts> m_alerts;
    std::atomic<bool> m_haveAlerts{false};
    std::unique_ptr<CTimeRestrictionRuleManager> m_rules;
    std::unique_ptr<CIPCheckUpRuleManager> m_ipCheckUp;
    Microsoft::WRL::ComPtr<IAlertCallback> m_callback;
};
