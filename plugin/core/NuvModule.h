#pragma once
// The plug-in's central object: runs start-up on the initialization thread and shutdown in a fixed
// order, owns the configuration client, the session manager, the worker threads, the scan-work
// queue, the activity-log manager, the reliable clock, the set of time-blocked users, the session
// alert flags and the reported-problem state, and answers the proxy host's per-connection
// questions. The DLL holds exactly one, constructed at load.
// Not to be confused with CModule (a loaded library) or NuvCom::CModule (the COM server module).

#include "base/Sync.h"
#include "base/UniqueHandle.h"
#include "nuvutil/NoCaseLess.h"
#include "nuvutil/WorkQueue.h"
#include "plugin/services/FilterServices.h"
#include "plugin/services/ModuleServices.h"
#include "plugin/core/QvLightWeightAPIWrapper.h"
#include "plugin/core/Retirable.h"
#include "plugin/services/ThreadCallbacks.h"
#include "plugin/services/TimeLimitServices.h"
#include "plugin/services/FirewallModule.h"
#include "plugin/services/SessionAlertFlags.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>

class CInitializationThread;
class CMiscThread;
class CScanThread;
class CSignalSigninRequiredThread;
class CSessionManager;
class CNuvConfig;

class CNuvModule : public IModuleServices,
                   public IHandlerModule,
                   public IInitializationCallback,
                   public IScanWorkSource,
                   public IScanWorkSink,
                   public ISessionNotificationCallback,
                   public IRegistryChangedCallback,
                   public IPowerNotificationCallback,
                   public ITimeChangeCallback,
                   public ISigninRequiredSink,
                   public IFirewallModule {
public:
    static constexpr const wchar_t* kVersion = L"20.1.145.0";
    static constexpr const wchar_t* kInitializationDoneEventName = L"Local\\{117497F9-4481-DA00-7A12-89BAF027BCE3}";
    static constexpr const wchar_t* kDefaultTimeServer = L"pool.ntp.org";
    static constexpr DWORD kScanThreadExitLimitMs = 10000;

    struct Options {
        IFilterServices* filter = nullptr;          // null until web filtering is linked in
        ITimeLimitFactory* timeLimits = nullptr;    // null: no log manager, firewall thread or clock
        ITimeZoneCheck* timeZoneCheck = nullptr;    // the misc thread's check; null: none
        DWORD scanThreadExitLimitMs = kScanThreadExitLimitMs;
        DWORD threadJoinLimitMs = 10000;            // the worker threads' own join limits
        std::optional<DWORD> timeZoneCheckDelay;    // seconds; unset: the affiliate setting
        std::optional<DWORD> osClass;               // unset: the running system's, asked at first use
        DWORD (*osClassSource)() = nullptr;         // asks for it then; null: the system's version
    };

    // Throws std::system_error when a lock or event cannot be created.
    explicit CNuvModule(const Options& options);
    CNuvModule();
    ~CNuvModule();
    CNuvModule(const CNuvModule&) = delete;
    CNuvModule& operator=(const CNuvModule&) = delete;

    // Life cycle.
    // Under the loader lock: records the instance and, at unload, logs it when the load was.
    BOOL DllMain(HINSTANCE instance, DWORD reason, void* reserved);
    // Each call into the DLL: the load is logged on the first (the logger reads the registry and
    // opens files, too much for the loader lock).
    void OnCallIntoDll() noexcept;
    // Starts the initialization thread and returns once it has begun (or ended, or shutdown came).
    void StartInitialization();
    HRESULT OnInitialize() override;
    bool WaitForInitialization() override;
    void Deinitialize();

    // Connections.
    bool IsFilteringUnnecessary(DWORD sessionId);
    IUnknown* CreateHttpEventHandler(DWORD sessionId, DWORD processId);

    // Problems.
    int GetCurrentProblem() const noexcept override { return m_currentProblem.load(); }
    bool IsBypassingTraffic() const noexcept override { return m_bypass.load(); }
    void ReportProblem(int problemId, bool affectsPersonalInfo, HRESULT result) override;
    void clearProblemReportFromRegistry();
    void storeProblemReportInRegistry(int problemId, bool bypass);

    // State read by the plug-in's other parts.
    bool IsShuttingDown() const noexcept override { return m_shuttingDown.load(); }
    bool IsInitialized() const noexcept { return m_initialized.load(); }
    bool IsDumpEnabled() const noexcept override { return m_dump.load(); }
    bool IsLogUrlRequestsEnabled() const noexcept override { return m_logUrlRequests.load(); }
    bool GetSessionUserSid(DWORD sessionId, std::wstring& sid) override;
    // IHandlerModule's view of GetSession.
    IFilterSession* GetFilterSession(DWORD sessionId) override;
    bool IsRestartPending() const noexcept { return m_restartPending; }
    bool IsBetaSubstitute() const noexcept { return m_betaSubstitute; }
    DWORD GetOsCode() const noexcept;
    DWORD GetInstallPlatform() const noexcept { return m_installPlatform; }
    HANDLE GetShutdownEvent() const noexcept { return m_shutdownEvent.Get(); }
    HINSTANCE GetInstance() const noexcept { return m_instance; }

    // IModuleServices.
    CNuvConfig* GetConfig() override;
    CSession* GetSession(DWORD sessionId) override;
    CSession* FindSession(DWORD sessionId) override;
    Tessal::CCriticalSection* GetSessionLock() override;
    bool SessionExists(DWORD sessionId) override;
    bool IsSessionSignedIn(DWORD sessionId) override;
    void UpdateUsers() override;
    void UpdateAllSessionFilterState(SessionFilterFlags& flags) override;
    void UpdateSessionFilterState(DWORD sessionId, SessionFilterFlags& flags) override;
    IActivityLogManager* GetLogManager() override { return m_logManager.get(); }
    void ReloadSearchEngines() override;
    // Asked at first use, not at construction (made under the loader lock, see nuv.cpp).
    DWORD GetOsClass() const noexcept override;
    CQvLightWeightAPIWrapper& GetLightWeightAPI() override { return m_lightWeightApi; }
    std::unique_ptr<IEventProcessor> CreateEventProcessor() override;

    // IFirewallModule (and the session manager's and handlers' needs).
    CSessionAlertFlags* GetSessionAlertFlags() noexcept override { return &m_sessionAlertFlags; }
    // Users cut off by a time restriction, by Windows account name (letter case ignored).
    void AddTimeBlockedUser(const wchar_t* userName) override;
    void RemoveTimeBlockedUser(const wchar_t* userName) override;
    void ClearTimeBlockedUsers() override;
    bool IsUserTimeBlocked(const wchar_t* userName) override;
    // The reliable clock: made once, on the host-firewall thread's first request; its first
    // answer makes the thread evaluate the restrictions again.
    void InitReliableTimeProvider() override;
    bool IsReliableClockSetUp() override { return m_reliableClockCreated.load() != 0; }
    void GetReliableLocalTime(SYSTEMTIME* time) override;
    bool HasUserWithTimeLimits() override;
    bool ReadUserSettings(DWORD sessionId, MonitoredUserSettings& settings) override;
    bool ClassifyHost(const wchar_t* host, const wchar_t* processPath, std::string& mask) override;
    bool IsCategoryInList(const wchar_t* mask, const wchar_t* list, std::wstring* matched) override;
    bool MatchSiteEntry(const wchar_t* host, const wchar_t* entry) override;
    // Tells the host-firewall thread that the time may have jumped.
    void NotifyTimeChanged();

    // IScanWorkSink / IScanWorkSource.
    void PutScanWork(CScanBuffer* buffer) override;
    CScanBuffer* GetScanWork() override;
    void ScanWork(CScanBuffer* buffer) override;
    void PassUnscanned(CScanBuffer* buffer) noexcept override;
    void ReleaseScanWork(CScanBuffer* buffer) noexcept override;

    // ISessionNotificationCallback / IRegistryChangedCallback / IPowerNotificationCallback.
    void OnSessionLogon(DWORD sessionId) override;
    void OnSessionLogoff(DWORD sessionId) override;
    void OnRegistryChanged() override;
    DWORD OnSystemSuspend() override;
    DWORD OnSystemResume() override;
    // ITimeChangeCallback: the PC's clock or zone changed; the time limits look again.
    void OnSystemTimeChanged() override { NotifyTimeChanged(); }

    // ISigninRequiredSink (the sign-in signal thread).
    void QueueSigninRequired(DWORD sessionId) override;

private:
    void DeinitializeSteps();
    void ReleaseWhatADeadThreadMayHold() noexcept;
    // Deletes what shutdown took away, unless a use is still running past the limit (then it is
    // let go: deleting it under that use would crash the host).
    template <class T>
    void DeleteRetired(CRetirable<T>& object, const wchar_t* name) noexcept;

    // Reported problems: one report at a time (steps taken as one).
    Tessal::CCriticalSection m_problemLock;
    std::unordered_map<int, bool> m_reportedProblems;
    std::atomic<int> m_currentProblem{0};
    std::atomic<bool> m_bypass{false};

    Options m_options;
    HINSTANCE m_instance = nullptr;
    std::atomic<bool> m_initialized{false};
    std::atomic<bool> m_shuttingDown{false};
    std::atomic<bool> m_dump{false};
    std::atomic<bool> m_logUrlRequests{false};
    DWORD m_installPlatform = 0;
    static constexpr DWORD kOsClassUnread = 0xFFFFFFFF;
    mutable std::atomic<DWORD> m_osClass{kOsClassUnread};
    std::atomic<bool> m_loadLogged{false};
    std::atomic<LONG> m_reliableClockCreated{0};
    bool m_betaSubstitute = false;
    bool m_restartPending = false;

    Tessal::UniqueHandle m_initializationStarted;
    Tessal::CCriticalSection m_moduleLock;  // serialises WaitForInitialization
    Tessal::UniqueHandle m_shutdownEvent;

    std::unique_ptr<CMiscThread> m_miscThread;
    std::unique_ptr<CScanThread> m_scanThread;
    std::unique_ptr<CSignalSigninRequiredThread> m_signinSignalThread;
    CWorkQueue m_scanWorkQueue;

    // The configuration client and the session manager are used by the proxy host's threads while
    // shutdown may delete them: such uses pin them (Retirable.h). Both are owned.
    Tessal::CCriticalSection m_configLock;  // creation of the configuration client only
    CRetirable<CNuvConfig> m_config;
    std::atomic<bool> m_configCleared{false};
    CRetirable<CSessionManager> m_sessionManager;
    std::unique_ptr<CInitializationThread> m_initializationThread;
    std::unique_ptr<IReliableClock> m_reliableClock;
    std::unique_ptr<IActivityLogManager> m_logManager;

    Tessal::CCriticalSection m_timeBlockedLock;
    std::set<std::wstring, NoCaseLess> m_timeBlockedUsers;
    CSessionAlertFlags m_sessionAlertFlags;

    CQvLightWeightAPIWrapper m_lightWeightApi;
};
