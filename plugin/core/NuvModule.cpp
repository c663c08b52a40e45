#include "plugin/core/NuvModule.h"

#include "Shared/AffiliateSettings.h"
#include "base/OSInfo.h"
#include "logging/Logging.h"
#include "nuvutil/com/ComBoundary.h"
#include "plugin/core/EventHandlerCache.h"
#include "plugin/core/EventWork.h"
#include "plugin/core/InitializationThread.h"
#include "plugin/core/MiscThread.h"
#include "plugin/core/ModuleRegistry.h"
#include "plugin/core/NuvConfig.h"
#include "plugin/core/NuvException.h"
#include "plugin/core/ScanThread.h"
#include "plugin/core/Session.h"
#include "plugin/core/SessionManager.h"
#include "plugin/core/SignInRequiredEvent.h"
#include "plugin/core/SignalSigninRequiredThread.h"
#include "plugin/core/TimeZoneCheck.h"
#include "plugin/core/SiteListMatch.h"
#include "plugin/core/UserSettings.h"
#include "base/TextConversion.h"

#include <exception>
#include <string>
#include <system_error>

namespace {

Tessal::UniqueHandle CreateManualResetEvent() {
    Tessal::UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event) throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(), "CreateEventW");
    return event;
}

DWORD RunningOsClass() {
    Tessal::internal::OSInfoProxy<Tessal::WinOSVersionAPI> osInfo;
    return Tessal::internal::OSVersionClassOf(osInfo);
}

}  // namespace

CNuvModule::CNuvModule() : CNuvModule(Options{}) {}

CNuvModule::CNuvModule(const Options& options)
    : m_options(options),
      m_osClass(options.osClass ? *options.osClass : kOsClassUnread),
      m_shutdownEvent(CreateManualResetEvent()),
      m_scanWorkQueue([this](void* item) { ReleaseScanWork(static_cast<CScanBuffer*>(item)); }) {}

// Everything still held goes in the reverse order of the fields. What a killed initialization
// thread may have been using was let go already by the shutdown that killed it.
CNuvModule::~CNuvModule() {
    m_logManager.reset();
    m_reliableClock.reset();
    m_initializationThread.reset();
    DeleteRetired(m_sessionManager, L"session manager");
    DeleteRetired(m_config, L"configuration client");
    m_signinSignalThread.reset();
    m_scanThread.reset();
    m_miscThread.reset();
}

BOOL CNuvModule::DllMain(HINSTANCE instance, DWORD reason, void*) {
    m_instance = instance;
    // Only when the logger exists already: making it here would read the registry under the lock.
    if (reason == DLL_PROCESS_DETACH && m_loadLogged.load()) {
        NUV_LOG(ETWLogging::LOG_NORMAL, L"NUV Plugin Unloaded\r\n\r\n");
    }
    return TRUE;
}

void CNuvModule::OnCallIntoDll() noexcept {
    if (!m_loadLogged.exchange(true)) NUV_LOG(ETWLogging::LOG_NORMAL, L"NUV Plugin Loaded (Version %s)\r\n", kVersion);
}

DWORD CNuvModule::GetOsClass() const noexcept {
    DWORD osClass = m_osClass.load();
    if (osClass != kOsClassUnread) return osClass;
    try {
        // Reads kernel32's version resource: a file, the registry, a library mapped as data.
        osClass = m_options.osClassSource != nullptr ? m_options.osClassSource() : RunningOsClass();
    } catch (...) {
        return Tessal::OSClass::kUnknown;  // asked again next time
    }
    m_osClass.store(osClass);
    return osClass;
}

DWORD CNuvModule::GetOsCode() const noexcept { return ::GetOsCode(GetOsClass()); }

void CNuvModule::StartInitialization() {
    m_initializationStarted = CreateManualResetEvent();
    Tessal::UniqueHandle thread;
    {
        Tessal::CAutoLock lock(m_moduleLock);
        m_initializationThread = std::make_unique<CInitializationThread>(this, m_options.threadJoinLimitMs);
        // A handle of our own: once the lock is let go, a waiter may delete the thread object.
        ::DuplicateHandle(::GetCurrentProcess(), m_initializationThread->GetHandle(), ::GetCurrentProcess(),
                          thread.Put(), SYNCHRONIZE, FALSE, 0);
    }
    // Without that handle the start-up still sets its event first thing.
    const HANDLE handles[] = {m_shutdownEvent.Get(), m_initializationStarted.Get(), thread.Get()};
    ::WaitForMultipleObjects(thread ? 3 : 2, handles, FALSE, INFINITE);
}

HRESULT CNuvModule::OnInitialize() {
    if (m_initializationStarted) ::SetEvent(m_initializationStarted.Get());
    clearProblemReportFromRegistry();
    ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    try {
        if (m_options.timeLimits) m_logManager.reset(m_options.timeLimits->CreateLogManager());
        GetConfig();
        if (m_options.filter) m_options.filter->StartUrlClassification();
        CreateEventTable(*this);
        if (m_options.filter) m_options.filter->CreateScanAlgorithms();

        m_dump = ReadDumpSwitch();
        m_logUrlRequests = ReadLogUrlRequestsSwitch();
        m_betaSubstitute = IsBetaSubstituteDomain();
        m_restartPending = isRestartPendingAfterUpdate();
        m_installPlatform = ReadInstallPlatform();

        std::unique_ptr<IHostFirewallThread> firewall(
            m_options.timeLimits ? m_options.timeLimits->CreateFirewallThread() : nullptr);
        auto manager = std::make_unique<CSessionManager>(*this, std::move(firewall));
        CSessionManager* const added = manager.get();
        m_sessionManager.Set(manager.release());
        added->addExistingSessions();

        m_scanThread = std::make_unique<CScanThread>(static_cast<IScanWorkSource*>(this), m_options.threadJoinLimitMs);

        CMiscThread::Options misc;
        misc.shutdownEvent = m_shutdownEvent.Get();
        misc.power = this;
        misc.timeZoneCheck = m_options.timeZoneCheck;
        misc.timeChange = this;
        misc.joinLimitMs = m_options.threadJoinLimitMs;
        misc.timeZoneCheckDelay = m_options.timeZoneCheckDelay;
        m_miscThread = std::make_unique<CMiscThread>(this, this, misc);

        if (CNuvConfig* config = GetConfig()) config->SubscribeToComEvents();

        if (IsUpgradeUsersSignalWanted(GetOsCode())) {
            m_signinSignalThread = std::make_unique<CSignalSigninRequiredThread>(m_shutdownEvent.Get(), this,
                                                                                  m_options.threadJoinLimitMs);
        }
        ::CoUninitialize();
        m_initialized = true;

        Tessal::UniqueHandle done(::OpenEventW(EVENT_MODIFY_STATE, FALSE, kInitializationDoneEventName));
        if (done) ::SetEvent(done.Get());
        return S_OK;
    } catch (...) {
        // COM stays initialised on this thread, which ends now; what was made stays for shutdown.
        NUV_LOG(ETWLogging::LOG_CRITICAL, L"Exception during initialization\r\n");
        return NuvCom::HResultFromCurrentException(L"CNuvModule::OnInitialize");
    }
}

bool CNuvModule::WaitForInitialization() {
    Tessal::CAutoLock lock(m_moduleLock);
    if (!m_initializationThread) return m_initialized;
    // A start-up that has ended is taken as it ended, also once shutdown has begun: the caller
    // then learns that the plug-in is stopping rather than that it never started.
    const HANDLE handles[] = {m_initializationThread->GetHandle(), m_shutdownEvent.Get()};
    const DWORD result = ::WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    if (result != WAIT_OBJECT_0) return false;
    DWORD exitCode = 0;
    ::GetExitCodeThread(m_initializationThread->GetHandle(), &exitCode);
    m_initializationThread.reset();
    if (static_cast<LONG>(exitCode) < 0) {
        NUV_LOG(ETWLogging::LOG_CRITICAL, L"Failed to initialize NUV! (0x%08X)\r\n", exitCode);
        return false;
    }
    return true;
}

void CNuvModule::Deinitialize() {
    m_shuttingDown = true;
    ::SetEvent(m_shutdownEvent.Get());
    try {
        DeinitializeSteps();
    } catch (const CNuvException&) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Exception during deinitialization\r\n");
    }
}

void CNuvModule::DeinitializeSteps() {
    // A start-up still running gets the threads' join limit to end by itself: killing it in the
    // middle of a COM call or a lock would leave that lock held for good. Only then is it
    // terminated. Not under the module lock: WaitForInitialization holds it until the shutdown
    // event, which is set now.
    bool killed = false;
    if (!m_initialized) {
        // A handle of our own: a connection may delete the thread object once it has ended.
        Tessal::UniqueHandle thread;
        {
            Tessal::CAutoLock lock(m_moduleLock);
            if (m_initializationThread) {
                ::DuplicateHandle(::GetCurrentProcess(), m_initializationThread->GetHandle(), ::GetCurrentProcess(),
                                  thread.Put(), 0, FALSE, DUPLICATE_SAME_ACCESS);
            }
        }
        if (thread && ::WaitForSingleObject(thread.Get(), m_options.threadJoinLimitMs) == WAIT_TIMEOUT) {
            ::TerminateThread(thread.Get(), CThread::kTerminatedExitCode);
            ::WaitForSingleObject(thread.Get(), CThread::kTerminationSettleMs);
            killed = true;
            NUV_LOG(ETWLogging::LOG_WARNING, L"Killed the initialization thread\r\n");
        }
    }
    if (killed) {
        // It may have died inside any of these, holding their locks: stop the threads it started,
        // let the rest go without touching them, so shutdown stays bounded.
        if (m_options.filter) m_options.filter->CancelUrlClassification();
        m_miscThread.reset();
        m_scanWorkQueue.Put(nullptr);
        m_scanThread.reset();
        ReleaseWhatADeadThreadMayHold();
        return;
    }

    // A reputation query under way would hold the scan thread up to the HTTP time-out.
    if (m_options.filter) m_options.filter->CancelUrlClassification();
    m_miscThread.reset();
    if (CNuvConfig* config = m_config.Unpinned()) config->UnsubscribeFromComEvents();
    m_scanWorkQueue.Put(nullptr);
    bool scanKilled = false;
    if (m_initialized && m_scanThread) {
        if (::WaitForSingleObject(m_scanThread->GetHandle(), m_options.scanThreadExitLimitMs) == WAIT_TIMEOUT) {
            NUV_LOG(ETWLogging::LOG_WARNING, L"ScanThread took too long to exit!\r\n");
            ::TerminateThread(m_scanThread->GetHandle(), 0);
            ::WaitForSingleObject(m_scanThread->GetHandle(), CThread::kTerminationSettleMs);
            scanKilled = true;
        }
    }
    m_scanThread.reset();
    if (scanKilled) {
        // It may have died inside a scan, holding the locks of what it used: that is let go, not
        // deleted, so shutdown stays bounded.
        NUV_LOG(ETWLogging::LOG_WARNING, L"Leaving the objects of the killed scan thread in place\r\n");
        if (m_options.filter) m_options.filter->AbandonScanAlgorithms();
        (void)m_sessionManager.Retire(0);
    } else {
        if (m_options.filter) m_options.filter->DestroyScanAlgorithms();
        DeleteRetired(m_sessionManager, L"session manager");
    }
    DestroyEventTable();
    if (m_options.filter) {
        if (scanKilled) {
            m_options.filter->AbandonUrlClassification();
        } else {
            m_options.filter->StopUrlClassification();
        }
    }
    {
        Tessal::CAutoLock lock(m_configLock);
        m_configCleared = true;
    }
    DeleteRetired(m_config, L"configuration client");
    m_reliableClock.reset();
    m_logManager.reset();
}

void CNuvModule::ReleaseWhatADeadThreadMayHold() noexcept {
    NUV_LOG(ETWLogging::LOG_WARNING, L"Leaving the objects of the killed initialization thread in place\r\n");
    m_configCleared = true;
    (void)m_sessionManager.Retire(0);
    (void)m_config.Retire(0);
    (void)m_logManager.release();
}

template <class T>
void CNuvModule::DeleteRetired(CRetirable<T>& object, const wchar_t* name) noexcept {
    const auto retired = object.Retire(m_options.threadJoinLimitMs);
    if (retired.idle) {
        delete retired.object;
    } else {
        NUV_LOG(ETWLogging::LOG_WARNING, L"The %s is still in use; leaving it in place\r\n", name);
    }
}

bool CNuvModule::IsFilteringUnnecessary(DWORD sessionId) {
    if (m_betaSubstitute) return false;
    if (IsSessionSignedIn(sessionId)) {
        SessionFilterState state;
        const auto config = m_config.Acquire();
        if (config && config->GetSessionFilterState(sessionId, state) && state.blockedListEmpty &&
            !state.timeRestricted && !state.allowedListOnly && state.safeSearchOff && state.noCategoryFiltering) {
            return true;
        }
    }
    return IsSessionZeroExempt(GetOsCode(), sessionId);
}

IUnknown* CNuvModule::CreateHttpEventHandler(DWORD sessionId, DWORD processId) {
    const auto manager = m_sessionManager.Acquire();
    if (!manager) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"Couldn't create HTTP handler because SessionManager was NULL\r\n");
        return nullptr;
    }
    CSession* session = manager->FindOrCreateSession(sessionId);
    if (m_options.filter == nullptr) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"Couldn't create HTTP handler because web filtering is not available\r\n");
        return nullptr;
    }
    return m_options.filter->CreateHttpEventHandler(*this, this, session, sessionId, processId);
}

bool CNuvModule::GetSessionUserSid(DWORD sessionId, std::wstring& sid) { return ::GetSessionUserSid(sessionId, sid); }

CNuvConfig* CNuvModule::GetConfig() {
    Tessal::CAutoLock lock(m_configLock);
    CNuvConfig* config = m_config.Unpinned();
    if (config == nullptr && !m_configCleared) {
        auto created = std::make_unique<CNuvConfig>(*this);
        config = created.get();
        m_config.Set(created.release());
    }
    return config;
}

CSession* CNuvModule::GetSession(DWORD sessionId) {
    const auto manager = m_sessionManager.Acquire();
    if (!manager) throw CNuvException(CNuvException::kNotInitialized);
    return manager->FindOrCreateSession(sessionId);
}

IFilterSession* CNuvModule::GetFilterSession(DWORD sessionId) { return GetSession(sessionId); }

CSession* CNuvModule::FindSession(DWORD sessionId) {
    const auto manager = m_sessionManager.Acquire();
    return manager ? manager->FindSession(sessionId) : nullptr;
}

Tessal::CCriticalSection* CNuvModule::GetSessionLock() {
    const auto manager = m_sessionManager.Acquire();
    return manager ? &manager->GetLock() : nullptr;
}

bool CNuvModule::SessionExists(DWORD sessionId) {
    const auto manager = m_sessionManager.Acquire();
    return manager && manager->SessionExists(sessionId);
}

bool CNuvModule::IsSessionSignedIn(DWORD sessionId) {
    const auto manager = m_sessionManager.Acquire();
    return manager && manager->IsSessionSignedIn(sessionId);
}

void CNuvModule::UpdateUsers() {
    if (const auto manager = m_sessionManager.Acquire()) manager->UpdateUsers();
}

void CNuvModule::UpdateAllSessionFilterState(SessionFilterFlags& flags) {
    if (const auto manager = m_sessionManager.Acquire()) manager->CollectAllSessionFilterState(flags);
}

void CNuvModule::UpdateSessionFilterState(DWORD sessionId, SessionFilterFlags& flags) {
    if (const auto manager = m_sessionManager.Acquire()) manager->CollectSessionFilterState(sessionId, flags);
}

void CNuvModule::ReloadSearchEngines() {
    if (m_options.filter) m_options.filter->ReloadSearchEngines();
}

std::unique_ptr<IEventProcessor> CNuvModule::CreateEventProcessor() {
    return std::make_unique<CEventHandlerSource>(*this);
}

void CNuvModule::AddTimeBlockedUser(const wchar_t* userName) {
    if (userName == nullptr) return;
    Tessal::CAutoLock lock(m_timeBlockedLock);
    m_timeBlockedUsers.insert(userName);
}

void CNuvModule::RemoveTimeBlockedUser(const wchar_t* userName) {
    if (userName == nullptr) return;
    Tessal::CAutoLock lock(m_timeBlockedLock);
    m_timeBlockedUsers.erase(userName);
}

void CNuvModule::ClearTimeBlockedUsers() {
    Tessal::CAutoLock lock(m_timeBlockedLock);
    m_timeBlockedUsers.clear();
}

bool CNuvModule::IsUserTimeBlocked(const wchar_t* userName) {
    if (userName == nullptr) return false;
    Tessal::CAutoLock lock(m_timeBlockedLock);
    return m_timeBlockedUsers.count(userName) != 0;
}

void CNuvModule::InitReliableTimeProvider() {
    if (m_reliableClockCreated.load() != 0) return;
    std::wstring server;
    CAffiliateSettings settings;
    if (!settings.ReadString(L"NTPServer", server)) server = kDefaultTimeServer;
    if (!server.empty() && m_options.timeLimits) {
        m_reliableClock.reset(m_options.timeLimits->CreateReliableClock(server.c_str()));
        // The time may jump when the server first answers: the restrictions are evaluated again.
        if (m_reliableClock) m_reliableClock->OnFirstSynchronisation([this] { NotifyTimeChanged(); });
    }
    m_reliableClockCreated.exchange(1);
}

void CNuvModule::NotifyTimeChanged() {
    const auto manager = m_sessionManager.Acquire();
    if (manager) manager->OnTimeChanged();
}

bool CNuvModule::ClassifyHost(const wchar_t* host, const wchar_t* processPath, std::string& mask) {
    return m_options.filter != nullptr && m_options.filter->ClassifyUrl(host, processPath, mask);
}

bool CNuvModule::IsCategoryInList(const wchar_t* mask, const wchar_t* list, std::wstring* matched) {
    return m_options.filter != nullptr && m_options.filter->IsCategoryInList(mask, list, matched);
}

bool CNuvModule::MatchSiteEntry(const wchar_t* host, const wchar_t* entry) {
    if (host == nullptr || entry == nullptr) return false;
    // Entries are compared in the thread's ANSI code page, as the site lists are.
    return MatchUrlWithSiteEntry(CSafeStringA(Tessal::ToThreadAnsi(host).c_str()),
                                 CSafeStringA(Tessal::ToThreadAnsi(entry).c_str()));
}

bool CNuvModule::HasUserWithTimeLimits() { return ::HasUserWithTimeLimits(true, L"Time limits"); }

bool CNuvModule::ReadUserSettings(DWORD sessionId, MonitoredUserSettings& settings) {
    CSession* const session = FindSession(sessionId);
    if (session == nullptr) return false;
    Tessal::CAutoLock locked(session->GetLock());
    const CUserSettings* const user = session->GetSettings();
    if (user == nullptr) return false;
    CSafeStringW week;
    settings.week = user->GetTimeBlocks(week) && week.GetString() != nullptr ? week.GetString() : L"";
    settings.categoryMask = user->m_strCategoryMask.GetString() != nullptr ? user->m_strCategoryMask.GetString() : L"";
    settings.categoryMode = user->m_nCategoryMode;
    settings.blockedSites.clear();
    settings.allowedSites.clear();
    for (const CSafeStringW& site : user->m_blockedSites) settings.blockedSites.emplace_back(site.GetString());
    for (const CSafeStringW& site : user->m_allowedSites) settings.allowedSites.emplace_back(site.GetString());
    return true;
}

void CNuvModule::GetReliableLocalTime(SYSTEMTIME* time) {
    const auto config = m_config.Acquire();
    if (m_reliableClockCreated.load() != 0 && m_reliableClock && config) {
        CSafeStringW zone;
        config->GetStoredTimeZone(zone);
        DWORD reliable = 0;
        m_reliableClock->GetCurrentLocalTime(zone.GetString(), time, &reliable, 0);
        return;
    }
    ::GetLocalTime(time);
}

void CNuvModule::PutScanWork(CScanBuffer* buffer) {
    if (buffer != nullptr && m_options.filter) m_options.filter->OnScanWorkQueued(buffer);
    m_scanWorkQueue.Put(buffer);
}

CScanBuffer* CNuvModule::GetScanWork() {
    auto* buffer = static_cast<CScanBuffer*>(m_scanWorkQueue.Get());
    if (buffer != nullptr && m_options.filter) m_options.filter->OnScanWorkTaken(buffer);
    return buffer;
}

void CNuvModule::ScanWork(CScanBuffer* buffer) {
    if (m_options.filter) m_options.filter->ScanWork(buffer);
}

void CNuvModule::PassUnscanned(CScanBuffer* buffer) noexcept {
    if (m_options.filter) m_options.filter->PassUnscanned(buffer);
}

void CNuvModule::ReleaseScanWork(CScanBuffer* buffer) noexcept {
    if (buffer != nullptr && m_options.filter) m_options.filter->ReleaseScanWork(buffer);
}

void CNuvModule::OnSessionLogon(DWORD sessionId) {
    if (const auto manager = m_sessionManager.Acquire()) manager->FindOrCreateSession(sessionId);
}

void CNuvModule::OnSessionLogoff(DWORD sessionId) {
    const auto manager = m_sessionManager.Acquire();
    if (!manager) return;
    if (manager->SessionExists(sessionId)) {
        manager->DeleteSession(sessionId);
        return;
    }
    NUV_LOG(ETWLogging::LOG_NORMAL, L"Session %d doesn't exist in NUV yet\r\n", static_cast<int>(sessionId));
    if (const auto config = m_config.Acquire()) config->SignOut(sessionId);
}

void CNuvModule::OnRegistryChanged() {
    m_dump = ReadDumpSwitch();
    m_logUrlRequests = ReadLogUrlRequestsSwitch();
}

DWORD CNuvModule::OnSystemSuspend() {
    IActivityLogManager* logManager = m_logManager.get();
    return logManager ? logManager->SystemSleep() : 0;
}

DWORD CNuvModule::OnSystemResume() {
    // The clock moved while the machine slept: the time limits look again, with or without an
    // activity log.
    NotifyTimeChanged();
    m_sessionAlertFlags.Reset();
    IActivityLogManager* logManager = m_logManager.get();
    return logManager != nullptr ? logManager->SystemWakeup() : 0;
}

void CNuvModule::QueueSigninRequired(DWORD sessionId) {
    CSession* session = GetSession(sessionId);
    Tessal::CAutoLock lock(session->GetLock());
    session->PutEventWork(CSignInRequiredEvent::CreateWork(sessionId));
}
