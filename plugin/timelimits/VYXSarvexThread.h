#pragma once
// The host-firewall thread: keeps the signed-in protected users, enforces their weekly schedules
// (the firewall rule by SID, the module's time-blocked set by user id for the HTTP filter), warns
// before a restriction starts and tells the user about connections the rule blocked. Everything
// runs on the thread itself; the interface methods and the firewall's notices only record work
// and signal it. The thread co-owns its state with this object and holds the DLL its code lives
// in: a stop that gives up on a thread hung in a firewall, alert or configuration call leaves it
// to end by itself, touching nothing that went with its owner.

#include "alerts.h"

#include "Shared/NuvTimeBlocksWeek.h"
#include "base/UniqueHandle.h"
#include "plugin/services/TimeLimitServices.h"
#include "plugin/services/FirewallModule.h"
#include "suite/interfaces/ZrtFire.h"

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

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
    // The restriction timer's requested delay (ms, real time) -> the delay armed; INFINITE leaves
    // it unarmed.
    std::function<DWORD(DWORD requestedMs)> timerDelay;
    // UTC -> local time in the zone of the module's clock, to measure the timer's delays in real
    // time across a daylight-saving change. The PC's zone by default: the time-zone check keeps
    // the stored zone the PC's.
    std::function<bool(const SYSTEMTIME& utc, SYSTEMTIME& local)> toLocalTime;
    // Made on the thread; a null result means no alert manager. CNUVAlertManager by default.
    std::function<std::unique_ptr<ITimeRestrictionAlerts>()> createAlerts;
    std::function<BOOL(DWORD processId, DWORD* sessionId)> processIdToSessionId;  // ProcessIdToSessionId
    // On the thread: after each handled wait result (the handle's index), and once with
    // kHandleCount when the loop is about to wait the first time.
    std::function<void(DWORD index)> afterEvent;
    DWORD stopWaitMs = 30000;
};

class CVYXSarvexThread : public IHostFirewallThread {
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

    using LocalTimeFunction = std::function<bool(const SYSTEMTIME& utc, SYSTEMTIME& local)>;

    // Reads the settings, creates the handles (std::system_error when one cannot be made) and
    // starts the thread (std::system_error when it does not start).
    explicit CVYXSarvexThread(IFirewallModule& module, CVYXSarvexThreadOptions options = {});
    // Stops the thread, waiting up to stopWaitMs for it to clean up. Past that it is left running
    // (logged): it no longer calls the module, releases the firewall and what else it holds once
    // its hung call returns, and frees its state and the DLL as it ends.
    ~CVYXSarvexThread() override;
    CVYXSarvexThread(const CVYXSarvexThread&) = delete;
    CVYXSarvexThread& operator=(const CVYXSarvexThread&) = delete;

    void OnUserLogon(const wchar_t* userName, DWORD sessionId) override;
    void OnUserLogoff(const wchar_t* userName) override;
    void OnSettingsChanged() override;
    void OnTimeChanged() override;

    // The firewall's notices as the rule managers pass them on to the thread's state.
    void OnTrafficBlocked(const wchar_t* application, DWORD processId, const wchar_t* localAddress, WORD localPort,
                          const wchar_t* remoteAddress, WORD remotePort);
    void OnConnect(ZrtFire::IConnection* connection);

    // "15/5" style: each token's number until the first that is not positive.
    static std::vector<DWORD> ParseWarnings(const std::wstring& text);
    // The action at `localTime` and the wall-clock time (ms) to the next change, kNoChange for none.
    static void _GetTimeAction(const CNuvTimeBlocksWeek& week, DWORD warningThreshold, const SYSTEMTIME& localTime,
                               DWORD& action, DWORD& msToChange);
    // The real time (ms) until the local clock, at `localNow`, shows `wallMs` more: an hour less
    // across a spring-forward night, an hour more across a fall-back one; a local time the clock
    // skips is met when it skips it. In the repeated hour "now" is taken as its second pass, so a
    // delay errs early, never late. The wall-clock distance when a conversion fails.
    static DWORD _RealDelay(const LocalTimeFunction& toLocalTime, const SYSTEMTIME& localNow, DWORD wallMs);

    const std::vector<DWORD>& Warnings() const noexcept;
    DWORD QuietPeriodSeconds() const noexcept;
    bool IPCheckUpOff() const noexcept;
    // A copy of the record, false when the user is not known.
    bool GetUser(const std::wstring& userId, CMonitoredUser& user);

    // The threads' state blocks alive in this process: a block lives as long as its object or its
    // thread, whichever ends last.
    static long LiveStates() noexcept;

private:
    class CState;
    struct StartBlock;
    static DWORD WINAPI ThreadStart(void* start) noexcept;

    std::shared_ptr<CState> m_state;
    Tessal::UniqueHandle m_thread;
};
