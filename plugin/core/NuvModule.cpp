#include "plugin/core/NuvModule.h"

#include "Shared/AffiliateSettings.h"
#include "base/OSInfo.h"
#include "logging/Logging.h"
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

HRESULT HResultOf(const std::system_error& error) {
    const int code = error.code().value();
    return code == 0 ? E_FAIL : HRESULT_FROM_WIN32(static_cast<DWORD>(code));
}

}  // namespace

CNuvModule::CNuvModule() : CNuvModule(Options{}) {}

CNuvModule::CNuvModule(const Options& options)
    : m_options(options),
      m_osClass(options.osClass ? *options.osClass : RunningOsClass()),
      m_osCode(::GetOsCode(m_osClass)),
      m_shutdownEvent(CreateManualResetEvent()),
      m_scanWorkQueue([this](void* item) { ReleaseScanWork(static_cast<CScanBuffer*>(item)); }) {}

// Everything still held goes in the reverse order of the fields. What a killed initialization
// thread may have been using was let go already by the shutdown that killed it.
CNuvModule::~CNuvModule() {
    m_logManager.reset();
    m_reliableClock.reset();
    m_initializationThread.reset();
    delete m_sessionManager.exchange(nullptr);
    m_config.reset();
    m_signinSignalThread.reset();
    m_scanThread.reset();
    m_miscThread.reset();
}

BOOL CNuvModule::DllMain(HINSTANCE instance, DWORD reason, void*) {
    m_instance = instance;
    if (reason == DLL_PROCESS_ATTACH) {
        ETWLogging::ConfigureLogging(nullptr, L"Nuv", nullptr, nullptr, 0);
        NUV_LOG(ETWLogging::LOG_NORMAL, L"NUV Plugin Loaded (Version %s)\r\n", kVersion);
    } else if (reason == DLL_PROCESS_DETACH) {
        NUV_LOG(ETWLogging::LOG_NORMAL, L"NUV Plugin Unloaded\r\n\r\n");
    }
    return TRUE;
}

void CNuvModule::StartInitialization() {
    m_initializationStarted = CreateManualResetEvent();
    {
        Tessal::CAutoLock lock(m_moduleLock);
        m_initializationThread = std::make_unique<CInitializationThread>(this, m_options.threadJoinLimitMs);
    }
    const HANDLE handles[] = {m_shutdownEvent.Get(), m_initializationStarted.Get(), m_initializationThread->GetHandle()};
    ::WaitForMultipleObjects(3, handles, FALSE, INFINITE);
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
        m_installPlatform = ReadInstallPlatform();  // the OS code was derived with the OS class at load

        std::unique_ptr<IHostFirewallThread> firewall(
            m_options.timeLimits ? m_options.timeLimits->CreateFirewallThread() : nullptr);
        m_sessionManager = new CSessionManager(*this, std::move(firewall));
        m_sessionManager.load()->addExistingSessions();

        m_scanThread = std::make_unique<CScanThread>(static_cast<IScanWorkSource*>(this), m_options.threadJoinLimitMs);

        CMiscThread::Options misc;
        misc.shutdownEvent = m_shutdownEvent.Get();
        misc.power = this;
        misc.timeZoneCheck = m_options.timeZoneCheck;
        misc.joinLimitMs = m_options.threadJoinLimitMs;
        misc.timeZoneCheckDelay = m_options.timeZoneCheckDelay;
        m_miscThread = std::make_unique<CMiscThread>(this, this, misc);

        if (CNuvConfig* config = GetConfig()) config->SubscribeToComEvents();

        if (IsUpgradeUsersSignalWanted(m_osClass)) {
            m_signinSignalThread = std::make_unique<CSignalSigninRequiredThread>(m_shutdownEvent.Get(), this,
                                                                                  m_options.threadJoinLimitMs);
        }
        ::CoUninitialize();
        m_initialized = true;

        Tessal::UniqueHandle done(::OpenEventW(EVENT_MODIFY_STATE, FALSE, kInitializationDoneEventName));
        if (done) ::SetEvent(done.Get());
        return S_OK;
    } catch (const CNuvException&) {
        NUV_LOG(ETWLogging::LOG_CRITICAL, L"Exception during initialization\r\n");
        return E_FAIL;
    } catch (const std::system_error& e) {
        NUV_LOG(ETWLogging::LOG_CRITICAL, L"Exception during initialization: %hs\r\n", e.what());
        return HResultOf(e);
    } catch (const std::bad_alloc&) {
        NUV_LOG(ETWLogging::LOG_CRITICAL, L"Exception during initialization: out of memory\r\n");
        return E_OUTOFMEMORY;
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
        m_miscThread.reset();
        m_scanWorkQueue.Put(nullptr);
        m_scanThread.reset();
        ReleaseWhatADeadThreadMayHold();
        return;
    }

    m_miscThread.reset();
    if (m_config) m_config->UnsubscribeFromComEvents();
    m_scanWorkQueue.Put(nullptr);
    if (m_initialized && m_scanThread) {
        if (::WaitForSingleObject(m_scanThread->GetHandle(), m_options.scanThreadExitLimitMs) == WAIT_TIMEOUT) {
            NUV_LOG(ETWLogging::LOG_WARNING, L"ScanThread took too long to exit!\r\n");
            ::TerminateThread(m_scanThread->GetHandle(), 0);
            ::WaitForSingleObject(m_scanThread->GetHandle(), CThread::kTerminationSettleMs);
        }
    }
    m_scanThread.reset();
    if (m_options.filter) m_options.filter->DestroyScanAlgorithms();
    {
        // Reports hold the problem lock while they use the manager: none is using it once this is done.
        CSessionManager* manager = nullptr;
        {
            Tessal::CAutoLock lock(m_problemLock);
            manager = m_sessionManager.exchange(nullptr);
        }
        delete manager;
    }
    DestroyEventTable();
    if (m_options.filter) m_options.filter->StopUrlClassification();
    {
        Tessal::CAutoLock lock(m_configLock);
        m_configCleared = true;
        m_config.reset();
    }
    m_reliableClock.reset();
    m_logManager.reset();
}

void CNuvModule::ReleaseWhatADeadThreadMayHold() noexcept {
    NUV_LOG(ETWLogging::LOG_WARNING, L"Leaving the objects of the killed initialization thread in place\r\n");
    m_configCleared = true;
    (void)m_sessionManager.exchange(nullptr);
    (void)m_config.release();
    (void)m_logManager.release();
}

bool CNuvModule::IsFilteringUnnecessary(DWORD sessionId) {
    if (m_betaSubstitute) return false;
    if (IsSessionSignedIn(sessionId)) {
        SessionFilterState state;
        CNuvConfig* config = m_config.get();
        if (config != nullptr && config->GetSessionFilterState(sessionId, state) && state.blockedListEmpty &&
            !state.timeRestricted && !state.allowedListOnly && state.safeSearchOff && state.noCategoryFiltering) {
            return true;
        }
    }
    return IsSessionZeroExempt(m_osCode, sessionId);
}

IUnknown* CNuvModule::CreateHttpEventHandler(DWORD sessionId, DWORD processId) {
    CSessionManager* manager = m_sessionManager.load();
    if (manager == nullptr) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"Couldn't create HTTP handler because SessionManager was NULL\r\n");
        return nullptr;
    }
    CSession* session = manager->FindOrCreateSession(sessionId);
    if (m_options.filter == nullptr) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"Couldn't create HTTP handler because web filtering is not available\r\n");
        return nullptr;
    }
    return m_options.filter->CreateHttpEventHandler(this, session, sessionId, processId);
}

CNuvConfig* CNuvModule::GetConfig() {
    Tessal::CAutoLock lock(m_configLock);
    if (!m_config && !m_configCleared) {
        m_config = std::make_unique<CNuvConfig>(*this);
    }
    return m_config.get();
}

CSession* CNuvModule::GetSession(DWORD sessionId) {
    CSessionManager* manager = m_sessionManager.load();
    if (manager == nullptr) throw CNuvException(CNuvException::kNotInitialized);
    return manager->FindOrCreateSession(sessionId);
}

CSession* CNuvModule::FindSession(DWORD sessionId) {
    CSessionManager* manager = m_sessionManager.load();
    return manager ? manager->FindSession(sessionId) : nullptr;
}

Tessal::CCriticalSection* CNuvModule::GetSessionLock() {
    CSessionManager* manager = m_sessionManager.load();
    return manager ? &manager->GetLock() : nullptr;
}

bool CNuvModule::SessionExists(DWORD sessionId) {
    CSessionManager* manager = m_sessionManager.load();
    return manager != nullptr && manager->SessionExists(sessionId);
}

bool CNuvModule::IsSessionSignedIn(DWORD sessionId) {
    CSessionManager* manager = m_sessionManager.load();
    return manager != nullptr && manager->IsSessionSignedIn(sessionId);
}

void CNuvModule::UpdateUsers() {
    if (CSessionManager* manager = m_sessionManager.load()) manager->UpdateUsers();
}

void CNuvModule::UpdateAllSessionFilterState(SessionFilterFlags& flags) {
    if (CSessionManager* manager = m_sessionManager.load()) manager->CollectAllSessionFilterState(flags);
}

void CNuvModule::UpdateSessionFilterState(DWORD sessionId, SessionFilterFlags& flags) {
    if (CSessionManager* manager = m_sessionManager.load()) manager->CollectSessionFilterState(sessionId, flags);
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
    }
    m_reliableClockCreated.exchange(1);
}

void CNuvModule::GetReliableLocalTime(SYSTEMTIME* time) {
    CNuvConfig* config = m_config.get();
    if (m_reliableClockCreated.load() != 0 && m_reliableClock && config != nullptr) {
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
    if (CSessionManager* manager = m_sessionManager.load()) manager->FindOrCreateSession(sessionId);
}

void CNuvModule::OnSessionLogoff(DWORD sessionId) {
    CSessionManager* manager = m_sessionManager.load();
    if (manager == nullptr) return;
    if (manager->SessionExists(sessionId)) {
        manager->DeleteSession(sessionId);
        return;
    }
    NUV_LOG(ETWLogging::LOG_NORMAL, L"Session %d doesn't exist in NUV yet\r\n", static_cast<int>(sessionId));
    if (CNuvConfig* config = m_config.get()) config->SignOut(sessionId);
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
    IActivityLogManager* logManager = m_logManager.get();
    if (logManager == nullptr) return 0;
    const DWORD result = logManager->SystemWakeup();
    m_sessionAlertFlags.Reset();
    return result;
}

void CNuvModule::QueueSigninRequired(DWORD sessionId) {
    CSession* session = GetSession(sessionId);
    Tessal::CAutoLock lock(session->GetLock());
    session->PutEventWork(CSignInRequiredEvent::CreateWork(sessionId));
}
