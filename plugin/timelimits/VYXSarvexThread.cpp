#include "plugin/timelimits/VYXSarvexThread.h"

#include "plugin/timelimits/FirewallListeners.h"
#include "plugin/timelimits/IPCheckUpRuleManager.h"
#include "plugin/services/SessionAlertFlags.h"
#include "base/Sync.h"
#include "base/TextConversion.h"

#include "Shared/AffiliateSettings.h"
#include "Shared/NUVAlertManager.h"
#include "logging/Logging.h"
#include "nuvutil/NoCaseLess.h"
#include "nuvutil/com/ComBoundary.h"
#include "nuvutil/com/CoInitializeScope.h"
#include "nuvutil/com/ComObject.h"
#include "plugin/timelimits/StringTokenizer.h"
#include "plugin/timelimits/TimeRestrictionRuleManager.h"
#include "plugin/timelimits/VYXAlertCallback.h"

#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <deque>
#include <initializer_list>
#include <map>
#include <system_error>

namespace {

class CAlertManagerAlerts final : public ITimeRestrictionAlerts {
public:
    void ShowTimeRestrictionApplied(const wchar_t* userId, DWORD sessionId) override {
        m_manager.ShowTimeRestrictionApplied(userId, sessionId);
    }
    void ShowTimeRestrictionUpcoming(DWORD minutes, DWORD sessionId) override {
        m_manager.ShowTimeRestrictionUpcoming(minutes, sessionId);
    }
    void ShowBlockedDueToTimeRestriction(const wchar_t* application, IAlertCallback* callback,
                                         DWORD sessionId) override {
        m_manager.ShowBlockedDueToTimeRestriction(application, callback, sessionId);
    }
    void ShowURLBlockedDueToBlacklist(const wchar_t* path, const wchar_t* host, DWORD sessionId) override {
        m_manager.ShowURLBlockedDueToBlacklist(path, host, sessionId);
    }
    void ShowURLBlockedDueToCategoryBlocked(const wchar_t* path, const wchar_t* host, UINT stringId,
                                           DWORD sessionId) override {
        m_manager.ShowURLBlockedDueToCategoryBlocked(path, host, stringId, sessionId);
    }
    void ShowURLBlockedDueToCategoryNotAllowed(const wchar_t* path, const wchar_t* host, DWORD sessionId) override {
        m_manager.ShowURLBlockedDueToCategoryNotAllowed(path, host, sessionId);
    }

private:
    CNUVAlertManager m_manager;
};

constexpr ULONGLONG kMsPerMinute = 60000;
constexpr LONGLONG kTicksPerMs = 10000;  // FILETIME ticks
constexpr LONGLONG kTicksPerHour = 3600LL * 1000 * kTicksPerMs;

std::atomic<long> g_liveStates{0};

bool ToTicks(const SYSTEMTIME& time, LONGLONG& ticks) {
    FILETIME fileTime = {};
    if (!::SystemTimeToFileTime(&time, &fileTime)) return false;
    ticks = static_cast<LONGLONG>(static_cast<ULONGLONG>(fileTime.dwHighDateTime) << 32 | fileTime.dwLowDateTime);
    return true;
}

bool FromTicks(LONGLONG ticks, SYSTEMTIME& time) {
    FILETIME fileTime;
    fileTime.dwLowDateTime = static_cast<DWORD>(ticks);
    fileTime.dwHighDateTime = static_cast<DWORD>(static_cast<ULONGLONG>(ticks) >> 32);
    return ticks >= 0 && ::FileTimeToSystemTime(&fileTime, &time) != FALSE;
}

bool PcLocalTime(const SYSTEMTIME& utc, SYSTEMTIME& local) {
    return ::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local) != FALSE;
}

}  // namespace

CUserSchedule& CUserSchedule::operator=(const CUserSchedule& other) {
    if (this != &other) {
        std::wstring text;
        if (other.week.ToString(text)) {
            week.SetFromText(text.c_str());
        } else {
            week.AllowAll();
        }
        warningThreshold = other.warningThreshold;
    }
    return *this;
}

// Everything the thread touches. The thread holds a share of it until it ends, so a thread left
// behind by a stop that gave up finds it alive; once given up on, it calls the module no more.
class CVYXSarvexThread::CState final : public CTimeRestrictionListener, public CIPCheckUpListener {
public:
    CState(IFirewallModule& module, CVYXSarvexThreadOptions options);
    ~CState();
    CState(const CState&) = delete;
    CState& operator=(const CState&) = delete;

    void OnUserLogon(const wchar_t* userName, DWORD sessionId);
    void OnUserLogoff(const wchar_t* userName);
    void OnSettingsChanged();
    void OnTimeChanged();
    void OnTrafficBlocked(const wchar_t* application, DWORD processId, const wchar_t* localAddress, WORD localPort,
                          const wchar_t* remoteAddress, WORD remotePort) override;
    void OnConnect(ZrtFire::IConnection* connection) override;

    bool GetUser(const std::wstring& userId, CMonitoredUser& user);
    const std::vector<DWORD>& Warnings() const noexcept { return m_warnings; }
    DWORD QuietPeriodSeconds() const noexcept { return m_quietPeriod; }
    bool IPCheckUpOff() const noexcept { return m_ipCheckUpOff; }
    DWORD StopWaitMs() const noexcept { return m_options.stopWaitMs; }
    HANDLE RunEnded() const noexcept { return m_runEnded.Get(); }

    // The thread's body; nothing escapes it.
    void Run() noexcept;
    bool SignalStop();
    // The owner gave up waiting and is gone, with whatever the module still had.
    void Abandon() noexcept { m_abandoned = true; }

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

    bool _Abandoned() const noexcept { return m_abandoned.load(); }
    void _ReadSettings();
    Tessal::UniqueHandle _CheckedHandle(HANDLE handle, const char* what);
    void _RunBody();
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
    std::atomic<bool> m_abandoned{false};

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

// What the new thread receives: its share of the state and the reference on the DLL it gives
// back as it exits.
struct CVYXSarvexThread::StartBlock {
    std::shared_ptr<CState> state;
    HMODULE module = nullptr;
};

CVYXSarvexThread::CState::CState(IFirewallModule& module, CVYXSarvexThreadOptions options)
    : m_module(module), m_options(std::move(options)) {
    _ReadSettings();
    m_handles[kStop] = _CheckedHandle(::CreateEventW(nullptr, TRUE, FALSE, nullptr), "stop event");
    m_handles[kUsersAdded] = _CheckedHandle(::CreateEventW(nullptr, FALSE, FALSE, nullptr), "users-added event");
    m_handles[kUsersRemoved] = _CheckedHandle(::CreateEventW(nullptr, FALSE, FALSE, nullptr), "users-removed event");
    m_handles[kConfigurationChanged] =
        _CheckedHandle(::CreateEventW(nullptr, FALSE, FALSE, nullptr), "configuration event");
    m_handles[kRestrictionTimer] = _CheckedHandle(::CreateWaitableTimerW(nullptr, FALSE, nullptr), "restriction timer");
    m_handles[kBlockedConnections] =
        _CheckedHandle(::CreateEventW(nullptr, FALSE, FALSE, nullptr), "blocked-connections event");
    m_handles[kIPCheckUp] = _CheckedHandle(::CreateEventW(nullptr, FALSE, FALSE, nullptr), "IP check-up event");
    m_runEnded = _CheckedHandle(::CreateEventW(nullptr, TRUE, FALSE, nullptr), "thread-ended event");
    ++g_liveStates;
}

CVYXSarvexThread::CState::~CState() { --g_liveStates; }

CVYXSarvexThread::CVYXSarvexThread(IFirewallModule& module, CVYXSarvexThreadOptions options)
    : m_state(std::make_shared<CState>(module, std::move(options))) {
    auto start = std::make_unique<StartBlock>();
    start->state = m_state;
    // The thread gives this reference back with its last instruction (FreeLibraryAndExitThread),
    // so the code it runs stays mapped however late it ends.
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&ThreadStart),
                              &start->module)) {
        throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(), "host firewall module");
    }
    DWORD threadId = 0;
    m_thread.Reset(::CreateThread(nullptr, 0, &ThreadStart, start.get(), 0, &threadId));
    if (!m_thread) {
        const DWORD error = ::GetLastError();
        ::FreeLibrary(start->module);
        throw std::system_error(static_cast<int>(error), std::system_category(), "host firewall thread");
    }
    start.release();  // the thread's now
}

CVYXSarvexThread::~CVYXSarvexThread() {
    m_state->SignalStop();
    // A firewall, alert or configuration call that hangs must not hang the host's shutdown with
    // it: the thread then ends by itself, on its own share of the state. Waiting for the thread
    // itself, not only its clean-up, lets it give the DLL back before the host may unload it.
    if (::WaitForSingleObject(m_thread.Get(), m_state->StopWaitMs()) == WAIT_TIMEOUT &&
        ::WaitForSingleObject(m_state->RunEnded(), 0) == WAIT_TIMEOUT) {
        m_state->Abandon();
        NUV_LOG(ETWLogging::LOG_ERROR, L"Host firewall thread did not stop within %u ms, leaving it\r\n",
                m_state->StopWaitMs());
    }
}

DWORD WINAPI CVYXSarvexThread::ThreadStart(void* parameter) noexcept {
    HMODULE module = nullptr;
    {
        std::unique_ptr<StartBlock> start(static_cast<StartBlock*>(parameter));
        module = start->module;
        start->state->Run();
        // The thread's share goes here; the state may go with it, still inside the DLL.
    }
    ::FreeLibraryAndExitThread(module, 0);
    return 0;
}

void CVYXSarvexThread::OnUserLogon(const wchar_t* userName, DWORD sessionId) { m_state->OnUserLogon(userName, sessionId); }
void CVYXSarvexThread::OnUserLogoff(const wchar_t* userName) { m_state->OnUserLogoff(userName); }
void CVYXSarvexThread::OnSettingsChanged() { m_state->OnSettingsChanged(); }
void CVYXSarvexThread::OnTimeChanged() { m_state->OnTimeChanged(); }
void CVYXSarvexThread::OnTrafficBlocked(const wchar_t* application, DWORD processId, const wchar_t* localAddress,
                                        WORD localPort, const wchar_t* remoteAddress, WORD remotePort) {
    m_state->OnTrafficBlocked(application, processId, localAddress, localPort, remoteAddress, remotePort);
}
void CVYXSarvexThread::OnConnect(ZrtFire::IConnection* connection) { m_state->OnConnect(connection); }
const std::vector<DWORD>& CVYXSarvexThread::Warnings() const noexcept { return m_state->Warnings(); }
DWORD CVYXSarvexThread::QuietPeriodSeconds() const noexcept { return m_state->QuietPeriodSeconds(); }
bool CVYXSarvexThread::IPCheckUpOff() const noexcept { return m_state->IPCheckUpOff(); }
bool CVYXSarvexThread::GetUser(const std::wstring& userId, CMonitoredUser& user) { return m_state->GetUser(userId, user); }
long CVYXSarvexThread::LiveStates() noexcept { return g_liveStates.load(); }

DWORD CVYXSarvexThread::_RealDelay(const LocalTimeFunction& toLocalTime, const SYSTEMTIME& localNow, DWORD wallMs) {
    LONGLONG now = 0;
    if (wallMs == 0 || wallMs == INFINITE || !toLocalTime || !ToTicks(localNow, now)) return wallMs;
    const auto shown = [&](LONGLONG utc, LONGLONG& local) {
        SYSTEMTIME utcTime = {}, localTime = {};
        return FromTicks(utc, utcTime) && toLocalTime(utcTime, localTime) && ToTicks(localTime, local);
    };
    // The UTC instant of "now": the bias at a first guess, corrected until the clock shows now.
    LONGLONG utc = now;
    LONGLONG local = 0;
    for (int i = 0; i < 4; ++i) {
        if (!shown(utc, local)) return wallMs;
        if (local == now) break;
        utc += now - local;
    }
    if (local != now) return wallMs;
    // The repeated hour of a fall-back night shows "now" twice: the later instant, so that the
    // delay is the shorter one.
    for (const LONGLONG shift : {2 * kTicksPerHour, kTicksPerHour, kTicksPerHour / 2}) {
        LONGLONG later = 0;
        if (shown(utc + shift, later) && later == now) {
            utc += shift;
            break;
        }
    }
    // The first instant the clock shows the target: the wall distance corrected by the change of
    // bias, which settles in a step or two...
    const LONGLONG target = now + static_cast<LONGLONG>(wallMs) * kTicksPerMs;
    LONGLONG delay = static_cast<LONGLONG>(wallMs) * kTicksPerMs;
    for (int i = 0; i < 4; ++i) {
        if (!shown(utc + delay, local)) return wallMs;
        if (local == target) break;
        delay = std::max<LONGLONG>(0, delay + target - local);
    }
    LONGLONG ms = (delay + kTicksPerMs - 1) / kTicksPerMs;
    if (local != target) {
        // ...unless the clock skips the target: met at the jump, the first millisecond past it.
        LONGLONG before = 0;  // shows less than the target
        LONGLONG after = static_cast<LONGLONG>(wallMs) + 2 * kTicksPerHour / kTicksPerMs;
        if (!shown(utc + after * kTicksPerMs, local) || local < target) return wallMs;
        while (after - before > 1) {
            const LONGLONG middle = before + (after - before) / 2;
            if (!shown(utc + middle * kTicksPerMs, local)) return wallMs;
            (local < target ? before : after) = middle;
        }
        ms = after;
    }
    return static_cast<DWORD>(std::min<LONGLONG>(ms, INFINITE - 1));
}

Tessal::UniqueHandle CVYXSarvexThread::CState::_CheckedHandle(HANDLE handle, const char* what) {
    if (handle == nullptr) {
        throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(), what);
    }
    return Tessal::UniqueHandle(handle);
}

std::vector<DWORD> CVYXSarvexThread::ParseWarnings(const std::wstring& text) {
    std::vector<DWORD> warnings;
    CStringTokenizer tokens(text, L"/");
    for (;;) {
        const std::wstring token = tokens.NextToken();
        const long minutes = std::wcstol(token.c_str(), nullptr, 10);
        if (minutes <= 0) break;
        warnings.push_back(static_cast<DWORD>(minutes));
    }
    return warnings;
}

void CVYXSarvexThread::CState::_ReadSettings() {
    CAffiliateSettings settings;
    std::wstring warnings = L"15/5";
    settings.ReadString(L"TimeRestrictionWarnings", warnings);
    m_warnings = ParseWarnings(warnings);
    DWORD quiet = 180;
    settings.ReadDword(L"TimeRestrictionAlertQuietPeriod", quiet);
    m_quietPeriod = quiet;
    DWORD ipCheckUpOff = 0;
    settings.ReadDword(L"IPCheckUpOff", ipCheckUpOff);
    m_ipCheckUpOff = ipCheckUpOff != 0;
}

DWORD CVYXSarvexThread::CState::_Tick() const { return m_options.tickCount ? m_options.tickCount() : ::GetTickCount(); }

void CVYXSarvexThread::CState::_Notify(DWORD index) const {
    if (m_options.afterEvent) m_options.afterEvent(index);
}

bool CVYXSarvexThread::CState::GetUser(const std::wstring& userId, CMonitoredUser& user) {
    Tessal::CAutoLock lock(m_userLock);
    const auto found = m_users.find(userId);
    if (found == m_users.end()) return false;
    user = found->second;
    return true;
}

void CVYXSarvexThread::CState::OnUserLogon(const wchar_t* userName, DWORD sessionId) {
    if (userName == nullptr || *userName == L'\0') return;
    bool signal = false;
    {
        Tessal::CAutoLock lock(m_userLock);
        const auto found = m_users.find(userName);
        if (found == m_users.end()) {
            CMonitoredUser user;
            user.userId = userName;
            user.sessionId = sessionId;
            user.schedule.warningThreshold = m_warnings.empty() ? 0 : m_warnings.front();
            m_users.emplace(user.userId, std::move(user));
            signal = true;
        } else if (found->second.removed) {
            // Back before the removal was processed: keep the record, in its new session.
            found->second.removed = false;
            found->second.sessionId = sessionId;
            signal = true;
        }
    }
    if (signal) ::SetEvent(m_handles[kUsersAdded].Get());
    if (CSessionAlertFlags* flags = m_module.GetSessionAlertFlags()) flags->Remove(sessionId);
}

void CVYXSarvexThread::CState::OnUserLogoff(const wchar_t* userName) {
    if (userName == nullptr) return;
    {
        Tessal::CAutoLock lock(m_userLock);
        const auto found = m_users.find(userName);
        if (found == m_users.end()) return;
        found->second.removed = true;
    }
    ::SetEvent(m_handles[kUsersRemoved].Get());
}

void CVYXSarvexThread::CState::OnSettingsChanged() { ::SetEvent(m_handles[kConfigurationChanged].Get()); }

void CVYXSarvexThread::CState::OnTimeChanged() {
    Tessal::CAutoLock lock(m_timerLock);
    // Seen by a re-arming that would otherwise swallow this signal.
    m_timeChanged = true;
    LARGE_INTEGER now = {};
    if (!::SetWaitableTimer(m_handles[kRestrictionTimer].Get(), &now, 0, nullptr, nullptr, FALSE)) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Unable to set the time restriction timer, error = %d\r\n", ::GetLastError());
    }
}

void CVYXSarvexThread::CState::OnTrafficBlocked(const wchar_t* application, DWORD processId, const wchar_t*, WORD,
                                        const wchar_t*, WORD) {
    if (application == nullptr || *application == L'\0' || !m_haveAlerts) return;
    {
        Tessal::CAutoLock lock(m_blockedLock);
        m_blocked[application] = {application, processId};
    }
    ::SetEvent(m_handles[kBlockedConnections].Get());
}

void CVYXSarvexThread::CState::OnConnect(ZrtFire::IConnection* connection) {
    if (connection == nullptr) return;
    {
        Tessal::CAutoLock lock(m_queueLock);
        m_ipCheckUps.push_back(connection);
    }
    ::SetEvent(m_handles[kIPCheckUp].Get());
}

bool CVYXSarvexThread::CState::SignalStop() { return ::SetEvent(m_handles[kStop].Get()) != FALSE; }

void CVYXSarvexThread::CState::Run() noexcept {
    try {
        _RunBody();
    } catch (...) {
        NuvCom::HResultFromCurrentException(L"CVYXSarvexThread::Run");
    }
}

void CVYXSarvexThread::CState::_RunBody() {
    struct EndedSignal {
        HANDLE event;
        ~EndedSignal() { ::SetEvent(event); }
    } ended{m_runEnded.Get()};

    NuvCom::CCoInitialize com(COINIT_MULTITHREADED);
    if (!com.Succeeded()) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"CoInitializeEx failed on the host firewall thread, hr = 0x%08X\r\n",
                static_cast<unsigned>(com.Result()));
    }
    try {
        CAffiliateSettings().LoadCategorySettings(m_categories);
        m_callback = NuvCom::MakeComObject<CVYXAlertCallback>(m_module);
        try {
            m_alerts = m_options.createAlerts ? m_options.createAlerts() : std::make_unique<CAlertManagerAlerts>();
        } catch (...) {
            NuvCom::HResultFromCurrentException(L"CVYXSarvexThread: alert manager");
        }
        m_haveAlerts = m_alerts != nullptr;
        try {
            m_rules = std::make_unique<CTimeRestrictionRuleManager>();
        } catch (...) {
            NuvCom::HResultFromCurrentException(L"CVYXSarvexThread: rule manager");
        }
        if (m_rules == nullptr) {
            NUV_LOG(ETWLogging::LOG_ERROR, L"Unable to create time restriction rule manager!\r\n");
        } else {
            m_rules->SetListener(this);
            bool ready = true;
            if (m_ipCheckUpOff) {
                NUV_LOG(ETWLogging::LOG_NORMAL, L"IP CheckUp disabled\r\n");
            } else {
                try {
                    m_ipCheckUp = std::make_unique<CIPCheckUpRuleManager>();
                    m_ipCheckUp->SetListener(this);
                } catch (...) {
                    NUV_LOG(ETWLogging::LOG_ERROR, L"Unable to create IP check up rule manager!\r\n");
                    ready = false;
                }
            }
            if (ready) {
                _InitTimeProviderIfNeeded();
                _RunLoop();
            }
        }
    } catch (...) {
        NuvCom::HResultFromCurrentException(L"CVYXSarvexThread::Run");
    }

    // The owner that gave up on this thread took the module's state down with it.
    if (!_Abandoned()) m_module.ClearTimeBlockedUsers();
    _ReleaseHeldConnections();
    m_ipCheckUp.reset();
    m_rules.reset();
    m_haveAlerts = false;
    m_alerts.reset();
    m_callback.Reset();
}

void CVYXSarvexThread::CState::_RunLoop() {
    HANDLE handles[kHandleCount];
    for (DWORD i = 0; i < kHandleCount; ++i) handles[i] = m_handles[i].Get();
    _Notify(kHandleCount);
    for (;;) {
        const DWORD result = ::WaitForMultipleObjects(kHandleCount, handles, FALSE, INFINITE);
        if (result >= WAIT_OBJECT_0 + kHandleCount) {
            // Waiting again would fail again at once.
            NUV_LOG(ETWLogging::LOG_ERROR, L"Host firewall thread wait failed, result = %u, error = %d\r\n", result,
                    ::GetLastError());
            return;
        }
        const DWORD index = result - WAIT_OBJECT_0;
        if (_Abandoned()) return;
        switch (index) {
            case kStop:
                return;
            case kUsersAdded:
                _UpdateUsers(true);
                _ApplyTimeRestrictions(true);
                _UpdateIPCheckUpUsers();
                break;
            case kUsersRemoved:
                _RemoveUsers();
                break;
            case kConfigurationChanged:
                _InitTimeProviderIfNeeded();
                _UpdateUsers(false);
                _ApplyTimeRestrictions(false);
                _UpdateIPCheckUpUsers();
                break;
            case kRestrictionTimer:
                _ApplyTimeRestrictions(false);
                break;
            case kBlockedConnections:
                _ProcessBlockedApps();
                break;
            case kIPCheckUp:
                _ProcessIPCheckUp();
                break;
        }
        _Notify(index);
    }
}

void CVYXSarvexThread::CState::_InitTimeProviderIfNeeded() {
    if (_Abandoned()) return;
    if (m_module.IsReliableClockSetUp()) return;
    if (m_module.HasUserWithTimeLimits()) m_module.InitReliableTimeProvider();
}

void CVYXSarvexThread::CState::_UpdateUsers(bool onlyNew) {
    std::vector<CMonitoredUser> users;
    {
        Tessal::CAutoLock lock(m_userLock);
        for (const auto& entry : m_users) {
            if (onlyNew && !entry.second.sid.empty()) continue;
            users.push_back(entry.second);
        }
    }
    // The module's calls reach other processes: not under the lock.
    for (CMonitoredUser& user : users) {
        if (_Abandoned()) return;
        if (user.sid.empty() && !m_module.GetSessionUserSid(user.sessionId, user.sid)) {
            NUV_LOG(ETWLogging::LOG_ERROR, L"Unable to get SID for user session %d\r\n", user.sessionId);
            user.sid.clear();
        }
        MonitoredUserSettings settings;
        if (!m_module.ReadUserSettings(user.sessionId, settings)) continue;
        user.schedule.week.SetFromText(settings.week.c_str());
        user.categoryMask = std::move(settings.categoryMask);
        user.mode = settings.categoryMode;
        user.blockedSites = std::move(settings.blockedSites);
        user.allowedSites = std::move(settings.allowedSites);
    }
    Tessal::CAutoLock lock(m_userLock);
    for (const CMonitoredUser& user : users) {
        const auto found = m_users.find(user.userId);
        if (found == m_users.end()) continue;
        CMonitoredUser& record = found->second;
        record.schedule = user.schedule;
        record.sid = user.sid;
        record.categoryMask = user.categoryMask;
        record.mode = user.mode;
        record.blockedSites = user.blockedSites;
        record.allowedSites = user.allowedSites;
    }
}

void CVYXSarvexThread::_GetTimeAction(const CNuvTimeBlocksWeek& week, DWORD warningThreshold,
                                      const SYSTEMTIME& localTime, DWORD& action, DWORD& msToChange) {
    action = kAllow;
    msToChange = kNoChange;
    DWORD ms = kNoChange;
    bool allowed = week.GetStateAt(localTime, &ms);
    if (ms < kLookThroughMs) {
        // A change this close counts as done: look at the state after it.
        FILETIME fileTime = {};
        SYSTEMTIME advanced = localTime;
        if (::SystemTimeToFileTime(&localTime, &fileTime)) {
            ULARGE_INTEGER value;
            value.LowPart = fileTime.dwLowDateTime;
            value.HighPart = fileTime.dwHighDateTime;
            value.QuadPart += static_cast<ULONGLONG>(ms) * 10000;
            fileTime.dwLowDateTime = value.LowPart;
            fileTime.dwHighDateTime = value.HighPart;
            ::FileTimeToSystemTime(&fileTime, &advanced);
        }
        DWORD next = kNoChange;
        allowed = week.GetStateAt(advanced, &next);
        msToChange = next == kNoChange ? kNoChange : ms + next;
    } else {
        msToChange = ms;
    }

    const ULONGLONG window = warningThreshold * kMsPerMinute;
    if (!allowed) {
        action = kBlock;
    } else if (warningThreshold != 0 && msToChange != kNoChange && msToChange < window) {
        action = kUpcoming;
    } else if (msToChange != kNoChange && warningThreshold != 0) {
        // Wake up just inside the warning window.
        msToChange = static_cast<DWORD>(msToChange - window + kLookThroughMs);
    }
}

void CVYXSarvexThread::CState::_ApplyTimeRestrictions(bool suppressAlerts) {
    if (_Abandoned()) return;
    m_timeChanged = false;
    SYSTEMTIME now = {};
    m_module.GetReliableLocalTime(&now);
    CSessionAlertFlags* flags = m_module.GetSessionAlertFlags();
    const DWORD tick = _Tick();
    DWORD minimum = kNoChange;
    bool changed = false;
    std::vector<PendingAlert> alerts;
    {
        Tessal::CAutoLock lock(m_userLock);
        for (auto& entry : m_users) {
            CMonitoredUser& user = entry.second;
            if (user.removed) continue;  // about to go
            DWORD action = kAllow;
            DWORD ms = kNoChange;
            _GetTimeAction(user.schedule.week, user.schedule.warningThreshold, now, action, ms);
            if (action != user.lastAction || action == kUpcoming) {
                switch (action) {
                    case kAllow:
                        m_rules->RemoveUser(user.sid);
                        m_module.RemoveTimeBlockedUser(user.userId.c_str());
                        if (m_quietPeriod != 0) m_quietStamps.erase(user.sessionId);
                        changed = true;
                        break;
                    case kBlock:
                        if (user.sid.empty()) {
                            NUV_LOG(ETWLogging::LOG_WARNING,
                                    L"No SID for user %s: time restriction applied to web access only\r\n",
                                    user.userId.c_str());
                        } else {
                            m_rules->AddUser(user.sid);
                        }
                        m_module.AddTimeBlockedUser(user.userId.c_str());
                        if (!suppressAlerts) {
                            if (m_alerts) alerts.push_back({kBlock, user.userId, 0, user.sessionId});
                            if (m_quietPeriod != 0) m_quietStamps[user.sessionId] = tick;
                        }
                        if (flags != nullptr) flags->Enable(user.sessionId);
                        changed = true;
                        break;
                    case kUpcoming:
                        if (user.lastAction == kBlock) {
                            m_rules->RemoveUser(user.sid);
                            m_module.RemoveTimeBlockedUser(user.userId.c_str());
                            changed = true;
                        }
                        if (!m_warnings.empty() && m_alerts) {
                            alerts.push_back({kUpcoming, user.userId, ms / 60000 + 1, user.sessionId});
                        }
                        // Wake up again at the next warning threshold still ahead.
                        for (const DWORD threshold : m_warnings) {
                            const ULONGLONG thresholdMs = threshold * kMsPerMinute;
                            if (thresholdMs < ms) {
                                ms -= static_cast<DWORD>(thresholdMs);
                                break;
                            }
                        }
                        if (m_quietPeriod != 0) m_quietStamps.erase(user.sessionId);
                        break;
                }
                user.lastAction = action;
            }
            minimum = std::min(minimum, ms);
        }
    }
    // Alerts can wait on the alert component: never while holding the users.
    for (const PendingAlert& alert : alerts) {
        if (alert.action == kBlock) {
            m_alerts->ShowTimeRestrictionApplied(alert.userId.c_str(), alert.sessionId);
        } else {
            m_alerts->ShowTimeRestrictionUpcoming(alert.value, alert.sessionId);
        }
    }
    // A registration the firewall refused is tried again at each evaluation while users wait to
    // be blocked: their actions need not change again before the block ends.
    if (changed || m_rules->AwaitsRegistration()) m_rules->Apply();
    if (minimum != kNoChange) {
        _ResetTimer(_RealDelay(m_options.toLocalTime ? m_options.toLocalTime : LocalTimeFunction(&PcLocalTime), now,
                               minimum));
    }
}

void CVYXSarvexThread::CState::_ResetTimer(DWORD ms) {
    Tessal::CAutoLock lock(m_timerLock);
    const HANDLE timer = m_handles[kRestrictionTimer].Get();
    ::CancelWaitableTimer(timer);
    ::WaitForSingleObject(timer, 0);
    DWORD delay = m_options.timerDelay ? m_options.timerDelay(ms) : ms;
    // The time changed after this evaluation read it: evaluate again at once.
    if (m_timeChanged.exchange(false)) delay = 0;
    if (delay == INFINITE) return;
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(delay) * 10000;
    if (!::SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE)) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Unable to set the time restriction timer, error = %d\r\n", ::GetLastError());
    }
}

void CVYXSarvexThread::CState::_ProcessBlockedApps() {
    if (_Abandoned()) return;
    std::map<std::wstring, BlockedConnection> blocked;
    {
        Tessal::CAutoLock lock(m_blockedLock);
        blocked.swap(m_blocked);
    }
    CSessionAlertFlags* flags = m_module.GetSessionAlertFlags();
    for (const auto& entry : blocked) {
        const BlockedConnection& connection = entry.second;
        DWORD sessionId = CNUVAlertManager::kConsoleSession;
        const BOOL known = m_options.processIdToSessionId
                               ? m_options.processIdToSessionId(connection.processId, &sessionId)
                               : ::ProcessIdToSessionId(connection.processId, &sessionId);
        if (!known) {
            NUV_LOG(ETWLogging::LOG_WARNING,
                    L"Unable to get session ID for process %d, error = %d. Show alert to active session instead\r\n",
                    connection.processId, ::GetLastError());
            sessionId = CNUVAlertManager::kConsoleSession;
        } else {
            if (IActivityLogManager* log = m_module.GetLogManager()) {
                const DWORD ret = log->AccessAttemptBlocked(sessionId, connection.application.c_str());
                if (ret != 0) {
                    NUV_LOG(ETWLogging::LOG_ERROR,
                            L"Unable to log internet access attempt blocked event for session ID %d, dwRet=%d\r\n",
                            sessionId, ret);
                }
            }
            if (m_quietPeriod != 0) {
                const auto stamp = m_quietStamps.find(sessionId);
                if (stamp != m_quietStamps.end()) {
                    // The restriction-applied alert has just said it all.
                    if (static_cast<DWORD>(_Tick() - stamp->second) < static_cast<ULONGLONG>(m_quietPeriod) * 1000) {
                        continue;
                    }
                    m_quietStamps.erase(stamp);
                }
            }
        }
        if (!m_alerts) {
            NUV_LOG(ETWLogging::LOG_ERROR,
                    L"Unable to show alerts for blocked applications because alert manager is not initialized.\r\n");
            continue;
        }
        if (flags == nullptr || flags->IsEnabled(sessionId)) {
            m_alerts->ShowBlockedDueToTimeRestriction(connection.application.c_str(), m_callback.Get(), sessionId);
        }
    }
}

namespace {

constexpr wchar_t kNoCategories[] = L"00000000000000000000000000000000";
constexpr wchar_t kOnlyAllowedNotListed[] = L"00000000200000000000000000000000";
constexpr UINT kDefaultCategoryStringId = 20115;

// Users with web restrictions have their other connections checked too.
bool NeedsIPCheckUp(const CMonitoredUser& user) {
    return user.mode != 0 || !user.blockedSites.empty() || user.categoryMask != kNoCategories;
}

std::string Ansi(const std::wstring& text) { return text.empty() ? std::string() : Tessal::ToThreadAnsi(text); }

}  // namespace

void CVYXSarvexThread::CState::_UpdateIPCheckUpUsers() {
    if (!m_ipCheckUp || _Abandoned()) return;
    m_ipCheckUp->ClearUsers();
    {
        Tessal::CAutoLock lock(m_userLock);
        for (const auto& entry : m_users) {
            if (!entry.second.removed && NeedsIPCheckUp(entry.second)) m_ipCheckUp->AddUser(entry.second.sid);
        }
    }
    m_ipCheckUp->Apply();
}

void CVYXSarvexThread::CState::_ProcessIPCheckUp() {
    if (!m_ipCheckUp) return;
    for (;;) {
        // A long queue must not hold back a stop: the rest is let through on the way out.
        if (::WaitForSingleObject(m_handles[kStop].Get(), 0) == WAIT_OBJECT_0) return;
        ZrtFire::IConnection* connection = nullptr;
        {
            Tessal::CAutoLock lock(m_queueLock);
            if (m_ipCheckUps.empty()) return;
            connection = m_ipCheckUps.front();
            m_ipCheckUps.pop_front();
        }
        bool block = false;
        try {
            block = _JudgeConnection(connection);
        } catch (...) {
            NuvCom::HResultFromCurrentException(L"CVYXSarvexThread::_ProcessIPCheckUp");
        }
        m_ipCheckUp->NotifyCompletion(connection, block);
    }
}

void CVYXSarvexThread::CState::_ReleaseHeldConnections() {
    if (!m_ipCheckUp) return;
    std::deque<ZrtFire::IConnection*> held;
    {
        Tessal::CAutoLock lock(m_queueLock);
        held.swap(m_ipCheckUps);
    }
    for (ZrtFire::IConnection* connection : held) m_ipCheckUp->NotifyCompletion(connection, false);
}

bool CVYXSarvexThread::CState::_JudgeConnection(ZrtFire::IConnection* connection) {
    ZrtFire::IConnectionInfo* const info = connection->Info();
    if (info == nullptr) return false;
    DWORD sessionId = 0;
    const DWORD processId = info->ProcessId();
    const BOOL found = m_options.processIdToSessionId ? m_options.processIdToSessionId(processId, &sessionId)
                                                      : ::ProcessIdToSessionId(processId, &sessionId);
    if (!found) return false;
    CMonitoredUser user;
    bool monitored = false;
    {
        Tessal::CAutoLock lock(m_userLock);
        for (const auto& entry : m_users) {
            if (entry.second.sessionId != sessionId) continue;
            user = entry.second;
            monitored = true;
            break;
        }
    }
    if (!monitored || !NeedsIPCheckUp(user)) return false;

    std::wstring host, addressText;
    if (const ZrtFire::Address* address = info->RemoteAddress()) m_ipCheckUp->ReverseDNSLookUp(*address, host, addressText);
    std::wstring path;
    if (ZrtFire::IProcess* process = connection->Process()) {
        DWORD length = 0;
        const wchar_t* text = process->Path(&length);
        if (text != nullptr) path.assign(text, length);
    }
    NUV_LOG(ETWLogging::LOG_NORMAL, L"Domain name: %s and Process path %s", host.c_str(), path.c_str());

    for (const std::wstring& entry : user.allowedSites) {
        if (m_module.MatchSiteEntry(host.c_str(), entry.c_str())) return false;
    }
    LONG value = -1;
    std::wstring data;
    for (const std::wstring& entry : user.blockedSites) {
        if (!m_module.MatchSiteEntry(host.c_str(), entry.c_str())) continue;
        if (m_alerts) m_alerts->ShowURLBlockedDueToBlacklist(path.c_str(), host.c_str(), sessionId);
        value = 2;
        break;
    }
    if (value < 0) {
        std::string siteMask;
        if (!m_module.ClassifyHost(host.c_str(), path.c_str(), siteMask)) return false;
        const std::wstring mask(siteMask.begin(), siteMask.end());
        std::wstring matched;
        const bool listed = m_module.IsCategoryInList(mask.c_str(), user.categoryMask.c_str(), &matched);
        if (user.mode == 0 && listed) {
            const auto named = m_categories.find(matched);
            const UINT stringId = named != m_categories.end() ? static_cast<UINT>(named->second) : 0;
            if (m_alerts) m_alerts->ShowURLBlockedDueToCategoryBlocked(path.c_str(), host.c_str(), stringId, sessionId);
            value = 0;
            data = matched;
        } else if (user.mode == 1 && !listed) {
            UINT stringId = kDefaultCategoryStringId;
            for (const auto& category : m_categories) {
                if (!m_module.IsCategoryInList(mask.c_str(), category.first.c_str(), nullptr)) continue;
                data = category.first;
                if (category.second != 0) stringId = static_cast<UINT>(category.second);
                break;
            }
            if (m_alerts) {
                if (user.categoryMask == kOnlyAllowedNotListed) {
                    m_alerts->ShowURLBlockedDueToCategoryNotAllowed(path.c_str(), host.c_str(), sessionId);
                } else {
                    m_alerts->ShowURLBlockedDueToCategoryBlocked(path.c_str(), host.c_str(), stringId, sessionId);
                }
            }
            value = 1;
        } else {
            return false;
        }
    }
    if (IActivityLogManager* const log = m_module.GetLogManager()) {
        const DWORD result = log->WebSiteBlocked(sessionId, static_cast<DWORD>(value), host.c_str(), Ansi(data).c_str());
        if (result != 0) {
            NUV_LOG(ETWLogging::LOG_ERROR, L"Unable to log web site blocked event for session ID %d, dwRet=%d\r\n",
                    static_cast<int>(sessionId), static_cast<int>(result));
        }
    }
    return true;
}

void CVYXSarvexThread::CState::_RemoveUsers() {
    if (_Abandoned()) return;
    bool changed = false;
    bool ipChanged = false;
    {
        Tessal::CAutoLock lock(m_userLock);
        for (auto entry = m_users.begin(); entry != m_users.end();) {
            CMonitoredUser& user = entry->second;
            if (!user.removed) {
                ++entry;
                continue;
            }
            if (user.lastAction == kBlock) {
                m_rules->RemoveUser(user.sid);
                m_module.RemoveTimeBlockedUser(user.userId.c_str());
                changed = true;
            }
            if (m_ipCheckUp) {
                m_ipCheckUp->RemoveUser(user.sid);
                ipChanged = true;
            }
            if (m_quietPeriod != 0) m_quietStamps.erase(user.sessionId);
            entry = m_users.erase(entry);
        }
    }
    if (changed) m_rules->Apply();
    if (ipChanged) m_ipCheckUp->Apply();
}
