// The module object against the configuration-service and event-broker stand-ins, with recording
// stand-ins for web filtering and the time-limit objects: start-up and shutdown order, bounded
// shutdown with a stuck scan or a stuck start-up, the registry switches, reported problems, the
// decision that a session needs no filtering, and the smaller services other parts call.

#include "plugin/core/NuvModule.h"

#include "nuvutil/com/Bstr.h"
#include "nuvutil/com/CoInitializeScope.h"
#include "nuvutil/com/Variant.h"
#include "plugin/core/MiscThread.h"
#include "plugin/core/ModuleRegistry.h"
#include "plugin/core/NuvConfig.h"
#include "plugin/core/Session.h"
#include "tests/support/MachineKeyGuard.h"
#include "tests/plugin/core/ModuleTestDoubles.h"
#include "tests/plugin/core/SessionTestDoubles.h"
#include "logging/Logging.h"
#include "plugin/core/Thread.h"
#include "tests/support/LogRecorder.h"
#include "tests/support/WaitUntil.h"
#include "tests/plugin/core/ConfigServiceStandIn.h"
#include "plugin/filter/UrlClassification.h"
#include "tests/plugin/filter/reputation/ReputationStandIn.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <configservice.h>
#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>

namespace {

using Microsoft::WRL::ComPtr;
using NuvTest::CallLog;
using NuvTest::LogLines;

constexpr const wchar_t* kProductKey = L"SOFTWARE\\Oberix\\NUV";
constexpr DWORD kScanLimitMs = 300;

std::optional<DWORD> ReadReport() {
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, kProductKey, L"Report", RRF_RT_REG_DWORD, nullptr, &value, &size) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    return value;
}

// Index of the first call equal to `call` at or after `from`; calls.size() when absent.
size_t IndexOf(const std::vector<std::wstring>& calls, const std::wstring& call, size_t from = 0) {
    const auto it = std::find(calls.begin() + std::min(from, calls.size()), calls.end(), call);
    return static_cast<size_t>(it - calls.begin());
}

constexpr DWORD kGenerousJoinLimitMs = 30000;

// The misc thread's hidden window in this process (another program's may exist too).
bool OwnMiscThreadWindowExists() {
    for (HWND window = nullptr; (window = ::FindWindowExW(nullptr, window, CMiscThread::kWindowClassName, nullptr));) {
        DWORD process = 0;
        ::GetWindowThreadProcessId(window, &process);
        if (process == ::GetCurrentProcessId()) return true;
    }
    return false;
}

class ModuleTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_com.Succeeded());
        ASSERT_TRUE(NuvTest::ConnectConfigService(m_service, m_control));
        ASSERT_TRUE(m_guard.CreateKey(kProductKey));
        for (const wchar_t* name : {L"Report", L"Dump", L"LogUrlRequests", L"InstallPlatform"}) {
            m_guard.DeleteValue(kProductKey, name);
        }
        m_guard.DeleteValue(NuvRegistry::kDynaInfoKey, L"UpdRestartReq");
        m_guard.DeleteValue(NuvRegistry::kSubstituteKey, L"domain");
        NuvTest::TakeLoggedLines();
    }
    void TearDown() override {
        m_filter.Release();
        if (m_module && !m_module->IsShuttingDown()) m_module->Deinitialize();
        m_module.reset();
        if (m_control) m_control->Reset();
    }

    // Threads get a long join limit: killing one that merely ran slow on a loaded machine could
    // leave a lock of the process held (the heap's, the loader's) and hang the next test. Only the
    // test of a deliberately stuck start-up asks for a short one.
    CNuvModule& Make(DWORD osClass = 10, DWORD joinLimitMs = kGenerousJoinLimitMs, IFilterServices* filter = nullptr) {
        CNuvModule::Options options;
        options.filter = filter != nullptr ? filter : &m_filter;
        options.timeLimits = &m_timeLimits;
        options.scanThreadExitLimitMs = kScanLimitMs;
        options.threadJoinLimitMs = joinLimitMs;
        options.timeZoneCheckDelay = 0;
        options.osClass = osClass;
        m_module = std::make_unique<CNuvModule>(options);
        return *m_module;
    }
    CNuvModule& Start(DWORD osClass = 10) {
        CNuvModule& module = Make(osClass);
        module.StartInitialization();
        EXPECT_TRUE(module.WaitForInitialization());
        return module;
    }

    void AddUser(const wchar_t* id, bool isProtected, bool safeSearch) {
        ASSERT_HRESULT_SUCCEEDED(m_control->AddUser(NuvCom::CBstr(id).Get(), NuvCom::CBstr(id).Get()));
        SetUser(id, CUserSettings::kProtected, NuvCom::CVariant(isProtected));
        SetUser(id, CUserSettings::kCategoryMask, NuvCom::CVariant(CUserSettings::kNoCategories));
        SetUser(id, CUserSettings::kSafeSearch, NuvCom::CVariant(safeSearch));
    }
    void SetUser(const wchar_t* id, LONG setting, const NuvCom::CVariant& value) {
        ASSERT_HRESULT_SUCCEEDED(m_control->SetUserSetting(NuvCom::CBstr(id).Get(), setting, *value.Get()));
    }
    ULONG ServiceCalls(const wchar_t* call) { return NuvTest::ServiceCallCount(m_control.Get(), call); }

    NuvCom::CCoInitialize m_com;
    ComPtr<IQvConfigCategory> m_service;
    ComPtr<IQvConfigServiceControl> m_control;
    NuvTest::MachineKeyGuard m_guard;
    CallLog m_log;
    NuvTest::RecordingFilter m_filter{m_log};
    NuvTest::RecordingTimeLimits m_timeLimits{m_log};
    std::unique_ptr<CNuvModule> m_module;
    LogLines m_lines;
};

TEST_F(ModuleTest, StartsAndStopsInOrder) {
    ASSERT_TRUE(m_guard.SetDword(kProductKey, L"Report", 41));
    Tessal::UniqueHandle done(::CreateEventW(nullptr, TRUE, FALSE, CNuvModule::kInitializationDoneEventName));

    CNuvModule& module = Start();
    EXPECT_TRUE(module.IsInitialized());
    EXPECT_FALSE(ReadReport()) << "start-up deletes the last report";
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(done.Get(), 0)) << "the other process's event is set";
    const auto started = m_log.Calls();
    const size_t logManager = IndexOf(started, L"CreateLogManager");
    const size_t classification = IndexOf(started, L"StartUrlClassification");
    const size_t scanTable = IndexOf(started, L"CreateScanAlgorithms");
    const size_t firewall = IndexOf(started, L"CreateFirewallThread");
    EXPECT_LT(logManager, classification);
    EXPECT_LT(classification, scanTable);
    EXPECT_LT(scanTable, firewall);
    EXPECT_LT(firewall, started.size());
    ULONG sinks = 0;
    ASSERT_HRESULT_SUCCEEDED(m_control->GetSinkCount(&sinks));
    EXPECT_EQ(1u, sinks) << "the configuration client subscribed to the service's events";
    EXPECT_TRUE(module.WaitForInitialization()) << "answers at once once start-up has ended";

    m_log.Clear();
    module.Deinitialize();
    const auto stopped = m_log.Calls();
    const size_t scanTableGone = IndexOf(stopped, L"DestroyScanAlgorithms");
    const size_t firewallGone = IndexOf(stopped, L"firewall stopped");
    const size_t classificationGone = IndexOf(stopped, L"StopUrlClassification");
    EXPECT_EQ(0u, IndexOf(stopped, L"CancelUrlClassification")) << "queries end before the scan thread is awaited";
    const size_t logManagerGone = IndexOf(stopped, L"activity log stopped");
    EXPECT_LT(scanTableGone, firewallGone);
    EXPECT_LT(firewallGone, classificationGone);
    EXPECT_LT(classificationGone, logManagerGone);
    EXPECT_LT(logManagerGone, stopped.size());
    ASSERT_HRESULT_SUCCEEDED(m_control->GetSinkCount(&sinks));
    EXPECT_EQ(0u, sinks);
    EXPECT_EQ(nullptr, module.GetConfig()) << "no new configuration client after shutdown";
}

TEST_F(ModuleTest, ScanWorkGoesThroughTheQueueToTheScanThread) {
    CNuvModule& module = Start();
    auto* buffer = reinterpret_cast<CScanBuffer*>(static_cast<uintptr_t>(0x1000));
    module.PutScanWork(buffer);
    ASSERT_TRUE(m_log.WaitFor(L"ReleaseScanWork"));
    const auto calls = m_log.Calls();
    const size_t queued = IndexOf(calls, L"queued");
    EXPECT_LT(queued, IndexOf(calls, L"taken", queued));
    EXPECT_LT(IndexOf(calls, L"taken"), IndexOf(calls, L"ScanWork"));
    EXPECT_LT(IndexOf(calls, L"ScanWork"), IndexOf(calls, L"ReleaseScanWork"));
    EXPECT_EQ(0u, m_log.Count(L"PassUnscanned"));
}

TEST_F(ModuleTest, ShutdownStaysBoundedWithAStuckScan) {
    m_filter.blockIn = L"ScanWork";
    CNuvModule& module = Start();
    module.PutScanWork(reinterpret_cast<CScanBuffer*>(static_cast<uintptr_t>(0x1000)));
    ASSERT_TRUE(m_log.WaitFor(L"ScanWork"));

    const ULONGLONG begin = ::GetTickCount64();
    module.Deinitialize();
    const ULONGLONG took = ::GetTickCount64() - begin;
    EXPECT_GE(took, kScanLimitMs - 20);
    EXPECT_LT(took, kScanLimitMs + CThread::kTerminationSettleMs + 3000);
    EXPECT_TRUE(m_lines.Has(ETWLogging::LOG_WARNING, L"ScanThread took too long to exit!\r\n"));
    // The dead thread may have held the locks of what it scanned with: let go, not deleted.
    EXPECT_EQ(1u, m_log.Count(L"AbandonScanAlgorithms")) << "shutdown went on after the scan thread";
    EXPECT_EQ(1u, m_log.Count(L"AbandonUrlClassification"));
    EXPECT_EQ(0u, m_log.Count(L"DestroyScanAlgorithms") + m_log.Count(L"StopUrlClassification"));
    EXPECT_TRUE(m_lines.Has(ETWLogging::LOG_WARNING, L"Leaving the objects of the killed scan thread in place\r\n"));
    EXPECT_EQ(nullptr, module.FindSession(0)) << "the session manager is gone for every caller";
}

TEST_F(ModuleTest, ShutdownKillsAStuckStartUp) {
    m_filter.blockIn = L"StartUrlClassification";
    CNuvModule& module = Make(10, 2000);
    module.StartInitialization();  // returns once start-up has begun
    ASSERT_TRUE(m_log.WaitFor(L"StartUrlClassification"));

    std::atomic<int> waited{-1};
    Tessal::UniqueHandle calling(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread proxyThread([&] {
        ::SetEvent(calling.Get());
        waited = module.WaitForInitialization() ? 1 : 0;
    });
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(calling.Get(), 10000));
    EXPECT_FALSE(NuvTest::WaitUntil([&] { return waited.load() != -1; }, 200))
        << "a connection waits while start-up runs";

    const ULONGLONG begin = ::GetTickCount64();
    module.Deinitialize();
    EXPECT_LT(::GetTickCount64() - begin, 5000u);
    proxyThread.join();
    EXPECT_EQ(0, waited.load()) << "the shutdown event releases the waiting connection";
    EXPECT_FALSE(module.IsInitialized());
    EXPECT_TRUE(m_lines.Has(ETWLogging::LOG_WARNING, L"Killed the initialization thread\r\n"));
    EXPECT_FALSE(module.WaitForInitialization());
}

TEST_F(ModuleTest, SwitchesAreReadAtStartAndAgainWhenTheProductKeyChanges) {
    ASSERT_TRUE(m_guard.SetDword(NuvRegistry::kDynaInfoKey, L"UpdRestartReq", 1));
    ASSERT_TRUE(m_guard.SetDword(kProductKey, L"InstallPlatform", 7));
    CNuvModule& module = Start();
    EXPECT_TRUE(module.IsRestartPending());
    EXPECT_EQ(7u, module.GetInstallPlatform());
    EXPECT_FALSE(module.IsDumpEnabled());
    EXPECT_FALSE(module.IsLogUrlRequestsEnabled());

    // The misc thread arms its watch before it makes its window: a change made once the window
    // exists is seen. One write of each value (writing the data a value already holds is no change
    // to Wine, so a write repeated after a missed one would not help).
    ASSERT_TRUE(NuvTest::WaitUntil(OwnMiscThreadWindowExists, 10000));
    auto writeAndWait = [&](DWORD dump, DWORD logUrls, bool expected) {
        EXPECT_TRUE(m_guard.SetDword(kProductKey, L"Dump", dump));
        EXPECT_TRUE(m_guard.SetDword(kProductKey, L"LogUrlRequests", logUrls));
        return NuvTest::WaitUntil(
            [&] { return module.IsDumpEnabled() == expected && module.IsLogUrlRequestsEnabled() == expected; }, 10000);
    };
    EXPECT_TRUE(writeAndWait(1, 1, true));
    EXPECT_TRUE(writeAndWait(2, 0, false)) << "only 1 switches on";
}

TEST_F(ModuleTest, ReportedProblemsAreRecordedOnceAndWrittenEveryTime) {
    CNuvModule& module = Make();
    const std::wstring line21 = L"Problem 21 was reported (0x80004005)!\r\n";
    for (int i = 0; i < 3; ++i) {
        ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kProductKey, L"Report");
        module.ReportProblem(21, false, E_FAIL);
        EXPECT_EQ(21u, ReadReport().value_or(0)) << "written on every report";
    }
    EXPECT_EQ(1u, m_lines.Count(ETWLogging::LOG_ERROR, line21));
    EXPECT_EQ(21, module.GetCurrentProblem());
    EXPECT_FALSE(module.IsBypassingTraffic());

    module.ReportProblem(41, false, E_FAIL);
    module.ReportProblem(40, true, REGDB_E_CLASSNOTREG);
    EXPECT_EQ(0x80000028u, ReadReport().value_or(0));
    EXPECT_TRUE(module.IsBypassingTraffic());
    EXPECT_TRUE(m_lines.Has(ETWLogging::LOG_ERROR,
                            L"Problem 40 was reported (0x80040154)! -- affects personal info scanning\r\n"));

    module.ReportProblem(0, false, S_OK);
    EXPECT_EQ(0, module.GetCurrentProblem());
    EXPECT_TRUE(module.IsBypassingTraffic()) << "bypass is never cleared";
    EXPECT_EQ(0x80000028u, ReadReport().value_or(0)) << "a report of 0 leaves the value";
}

TEST_F(ModuleTest, ProblemWithoutBypassThenZeroLeavesTheLastReport) {
    CNuvModule& module = Make();
    module.ReportProblem(41, false, E_FAIL);
    module.ReportProblem(0, false, S_OK);
    EXPECT_EQ(0, module.GetCurrentProblem());
    EXPECT_FALSE(module.IsBypassingTraffic());
    EXPECT_EQ(41u, ReadReport().value_or(0));
}

TEST_F(ModuleTest, DecidesWhetherASessionNeedsFiltering) {
    AddUser(L"open", false, false);
    AddUser(L"careful", true, true);
    ASSERT_HRESULT_SUCCEEDED(m_control->SignInUser(5, NuvCom::CBstr(L"open").Get()));
    ASSERT_HRESULT_SUCCEEDED(m_control->SignInUser(6, NuvCom::CBstr(L"careful").Get()));
    CNuvModule& module = Start();
    module.OnSessionLogon(5);
    module.OnSessionLogon(6);
    EXPECT_TRUE(module.IsFilteringUnnecessary(5)) << "an unrestricted user";
    EXPECT_FALSE(module.IsFilteringUnnecessary(6)) << "safe search on";
    EXPECT_FALSE(module.IsFilteringUnnecessary(7)) << "nobody signed in";
    EXPECT_FALSE(module.IsFilteringUnnecessary(0));
}

TEST_F(ModuleTest, SessionZeroIsExemptOnlyOnTheSystemsWithoutUsersThere) {
    struct Case {
        DWORD osClass;
        bool exempt;
    };
    for (const Case& c : {Case{7, true}, Case{8, true}, Case{9, false}, Case{10, false}, Case{11, false}, Case{4, false}}) {
        CNuvModule& module = Make(c.osClass);
        EXPECT_EQ(c.exempt, module.IsFilteringUnnecessary(0)) << c.osClass;
        EXPECT_FALSE(module.IsFilteringUnnecessary(1)) << c.osClass;
        m_module.reset();
    }
}

TEST_F(ModuleTest, BetaSubstituteDomainFiltersEverySession) {
    const std::wstring text = L"BETA.Oberix.com/updates";
    const DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    // A value written by another tool may end in half a character.
    for (const DWORD size : {bytes, bytes + 1, bytes - 1}) {
        SCOPED_TRACE(size);
        ASSERT_TRUE(m_guard.SetValue(NuvRegistry::kSubstituteKey, L"domain", REG_SZ, (text + L'\0').c_str(), size));
        CNuvModule& module = Start(7);
        EXPECT_TRUE(module.IsBetaSubstitute());
        EXPECT_FALSE(module.IsFilteringUnnecessary(0));
        module.Deinitialize();
        m_module.reset();
    }
}

TEST_F(ModuleTest, LogoffOfASessionTheModuleDoesNotHoldSignsItOut) {
    CNuvModule& module = Start();
    module.OnSessionLogoff(9);
    EXPECT_EQ(1u, ServiceCalls(L"IConfigSignIn.SignOut(9)"));
    EXPECT_TRUE(m_lines.Has(ETWLogging::LOG_NORMAL, L"Session 9 doesn't exist in NUV yet\r\n"));
}

TEST_F(ModuleTest, TimeBlockedUsersIgnoreLetterCase) {
    CNuvModule& module = Make();
    module.AddTimeBlockedUser(L"Alice");
    module.AddTimeBlockedUser(nullptr);
    EXPECT_TRUE(module.IsUserTimeBlocked(L"aLICE"));
    EXPECT_FALSE(module.IsUserTimeBlocked(L"bob"));
    EXPECT_FALSE(module.IsUserTimeBlocked(nullptr));
    module.RemoveTimeBlockedUser(L"ALICE");
    EXPECT_FALSE(module.IsUserTimeBlocked(L"Alice"));
    module.AddTimeBlockedUser(L"a");
    module.AddTimeBlockedUser(L"b");
    module.ClearTimeBlockedUsers();
    EXPECT_FALSE(module.IsUserTimeBlocked(L"a"));
}

// True when another thread holds the lock (this one may enter it again, so it never counts).
bool HeldElsewhere(Tessal::CCriticalSection& lock) {
    if (!lock.TryEnter()) return true;
    lock.Leave();
    return false;
}

size_t CallsStartingWith(CallLog& log, const std::wstring& prefix) {
    size_t n = 0;
    for (const auto& call : log.Calls()) n += call.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
}

// The proxy host calls in from its own threads at any time, also while the plug-in shuts down: a
// call finds what it uses alive until it returns, or finds it gone.
TEST_F(ModuleTest, ShutdownWaitsForHostCallsStillUsingWhatItDeletes) {
    struct Case {
        const char* name;
        std::function<void(CNuvModule&)> hold;     // makes the next call wait inside
        std::function<void(CNuvModule&)> call;     // the host's call
        std::function<bool()> inside;              // the call holds what shutdown deletes, and waits
        const wchar_t* shutdownStep;               // logged by shutdown right before it waits for that
        std::function<void(CNuvModule&)> release;  // lets it go on
    };
    Tessal::UniqueHandle clockGate(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    m_timeLimits.clockGate = clockGate.Get();
    Tessal::CCriticalSection* managerLock = nullptr;
    Tessal::CCriticalSection* sessionLock = nullptr;
    const Case cases[] = {
        {"handler creation",
         [&](CNuvModule&) { m_filter.blockIn = L"CreateHttpEventHandler"; },
         [](CNuvModule& module) {
             if (IUnknown* handler = module.CreateHttpEventHandler(3, 10)) handler->Release();
         },
         [&] { return m_log.Count(L"CreateHttpEventHandler 3 10 session") == 1; },
         L"DestroyScanAlgorithms",
         [&](CNuvModule&) { m_filter.Release(); }},
        {"filtering decision",
         [&](CNuvModule& module) {
             sessionLock = &module.GetSession(3)->GetLock();
             managerLock = module.GetSessionLock();
             sessionLock->Enter();  // the decision takes the manager's lock, then waits for this one
         },
         [](CNuvModule& module) { module.IsFilteringUnnecessary(3); },
         // Nothing else in this test takes the manager's lock.
         [&] { return HeldElsewhere(*managerLock); },
         L"DestroyScanAlgorithms",
         [&](CNuvModule&) { sessionLock->Leave(); }},
        {"reliable time",
         [](CNuvModule& module) { module.InitReliableTimeProvider(); },
         [](CNuvModule& module) {
             SYSTEMTIME time = {};
             module.GetReliableLocalTime(&time);
         },
         [&] { return CallsStartingWith(m_log, L"GetCurrentLocalTime ") == 1; },
         L"StopUrlClassification",
         [&](CNuvModule&) { ::SetEvent(clockGate.Get()); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ::ResetEvent(clockGate.Get());
        m_log.Clear();
        CNuvModule& module = Start();
        c.hold(module);
        std::atomic<bool> returned{false};
        std::thread host([&] {
            c.call(module);
            returned = true;
        });
        const bool inside = NuvTest::WaitUntil(c.inside, 10000);
        EXPECT_TRUE(inside) << "the call is inside";
        if (!inside) c.release(module);  // never a shutdown under a hold the call did not reach
        std::atomic<bool> stopped{false};
        std::thread shutdown([&] {
            module.Deinitialize();
            stopped = true;
        });
        if (inside) {
            EXPECT_TRUE(m_log.WaitFor(c.shutdownStep, 1, 10000));
            EXPECT_FALSE(NuvTest::WaitUntil([&] { return stopped.load(); }, 300)) << "shutdown waits for the call";
            EXPECT_FALSE(returned);
            c.release(module);
        }
        host.join();
        shutdown.join();
        EXPECT_TRUE(returned);
        // Afterwards every such call finds the objects gone.
        EXPECT_EQ(nullptr, module.CreateHttpEventHandler(3, 10));
        EXPECT_FALSE(module.IsSessionSignedIn(3));
        m_filter.blockIn.clear();
        m_module.reset();
    }
}

// A reported problem reaches the connections paused for a sign-in, through the module's own report:
// resumed as the temporary adult, or let through unscanned when the problem forces traffic through.
TEST_F(ModuleTest, ReportedProblemsReachPausedConnections) {
    CNuvModule& module = Start();
    CallLog calls;
    NuvTest::RecordingHeldConnection first(L"first", calls);
    NuvTest::RecordingHeldConnection second(L"second", calls);
    CSession* const session = module.GetSession(4);
    session->RegisterHandler(&first);
    ASSERT_EQ(1u, session->PausedHandlerCount());

    module.ReportProblem(50, false, E_FAIL);
    EXPECT_EQ(1u, calls.Count(L"first Resume"));
    EXPECT_EQ(1, first.References());
    EXPECT_TRUE(module.IsSessionSignedIn(4));
    EXPECT_EQ(L"adult_temp", std::wstring(session->GetUserId().GetString()));

    session->Logoff();
    session->RegisterHandler(&second);
    ASSERT_EQ(1u, session->PausedHandlerCount());
    module.ReportProblem(40, true, E_FAIL);
    EXPECT_EQ(1u, calls.Count(L"second Ignore"));
    EXPECT_EQ(0u, calls.Count(L"second Resume"));
    EXPECT_EQ(1, second.References());
    EXPECT_EQ(0u, session->PausedHandlerCount());
    EXPECT_FALSE(module.IsSessionSignedIn(4));
}

TEST_F(ModuleTest, ReliableClockIsMadeOnceAndAskedInTheStoredZone) {
    NuvCom::CVariant zone(L"Pacific Standard Time");
    ASSERT_HRESULT_SUCCEEDED(m_control->SetProductSetting(CUserSettings::kStoredTimeZone, *zone.Get()));
    CNuvModule& module = Start();
    module.InitReliableTimeProvider();
    module.InitReliableTimeProvider();
    EXPECT_EQ(1u, m_log.Count(std::wstring(L"CreateReliableClock ") + CNuvModule::kDefaultTimeServer));
    EXPECT_EQ(1u, m_log.Count(L"firewall time")) << "its first answer makes the time limits look again";
    SYSTEMTIME time = {};
    module.GetReliableLocalTime(&time);
    EXPECT_EQ(2026, time.wYear);
    EXPECT_EQ(1u, m_log.Count(L"GetCurrentLocalTime 'Pacific Standard Time' 0"));
}

TEST_F(ModuleTest, WithoutAReliableClockTheLocalTimeIsUsed) {
    CNuvModule& module = Make();
    SYSTEMTIME time = {};
    module.GetReliableLocalTime(&time);
    SYSTEMTIME now = {};
    ::GetLocalTime(&now);
    EXPECT_EQ(now.wYear, time.wYear);
    EXPECT_EQ(0u, m_log.Count(L"GetCurrentLocalTime"));
}

TEST_F(ModuleTest, SleepAndWakeUpReachTheActivityLog) {
    CNuvModule& module = Start();
    module.GetSessionAlertFlags()->Set(3, 0);
    EXPECT_EQ(0u, module.OnSystemSuspend());
    EXPECT_EQ(0u, module.OnSystemResume());
    EXPECT_EQ(1u, m_log.Count(L"activity sleep"));
    EXPECT_EQ(1u, m_log.Count(L"activity wakeup"));
    EXPECT_EQ(1u, m_log.Count(L"firewall time")) << "the time limits look again after a sleep";
    EXPECT_EQ(1u, module.GetSessionAlertFlags()->IsEnabled(3)) << "wake-up resets the alert flags";
}

TEST_F(ModuleTest, SessionsNeedAManager) {
    CNuvModule& module = Make();
    EXPECT_THROW(module.GetSession(1), CNuvException);
    EXPECT_EQ(nullptr, module.FindSession(1));
    EXPECT_EQ(nullptr, module.GetSessionLock());
    EXPECT_FALSE(module.SessionExists(1));
    EXPECT_EQ(nullptr, module.CreateHttpEventHandler(1, 2));
    EXPECT_TRUE(m_lines.Has(ETWLogging::LOG_WARNING, L"Couldn't create HTTP handler because SessionManager was NULL\r\n"));
}

TEST_F(ModuleTest, SigninSignalThreadIsNeverStartedWithTheProducedOsCodes) {
    ASSERT_TRUE(m_guard.SetDword(NuvRegistry::kTempKey, L"UpgradeUsers", 1));
    EXPECT_TRUE(IsUpgradeUsersSignalWanted(4));
    for (const DWORD osClass : {0ul, 4ul, 7ul, 8ul, 9ul, 10ul, 11ul}) {
        SCOPED_TRACE(osClass);
        EXPECT_FALSE(IsUpgradeUsersSignalWanted(GetOsCode(osClass)));
        Start(osClass).Deinitialize();
        m_module.reset();
        EXPECT_FALSE(m_lines.Has(ETWLogging::LOG_NORMAL, L"CSignalSigninRequiredThread running\r\n"));
    }
}

// The module is made under the loader lock of the DLL's load; the OS probe (kernel32's version
// resource) waits for the first question and is made once.
TEST_F(ModuleTest, TheOsIsProbedAtFirstUseNotAtConstruction) {
    static std::atomic<int> probes{0};
    probes = 0;
    CNuvModule::Options options;
    options.osClassSource = [] {
        ++probes;
        return DWORD{7};
    };
    m_module = std::make_unique<CNuvModule>(options);
    EXPECT_EQ(0, probes.load());
    EXPECT_TRUE(m_module->IsFilteringUnnecessary(0)) << "session 0 holds only services on this class";
    EXPECT_EQ(7u, m_module->GetOsClass());
    EXPECT_EQ(9u, m_module->GetOsCode());
    EXPECT_EQ(1, probes.load());
}

TEST_F(ModuleTest, OsCodeTable) {
    struct Case {
        DWORD osClass;
        DWORD code;
    };
    for (const Case& c : {Case{7, 9}, Case{8, 11}, Case{9, 13}, Case{10, 15}, Case{11, 17}, Case{4, 3}, Case{0, 3}}) {
        EXPECT_EQ(c.code, GetOsCode(c.osClass)) << c.osClass;
    }
    EXPECT_TRUE(IsSessionZeroExempt(7, 0));
    EXPECT_TRUE(IsSessionZeroExempt(10, 0));
    EXPECT_FALSE(IsSessionZeroExempt(13, 0));
    EXPECT_FALSE(IsSessionZeroExempt(9, 1));
}

// The product's URL classification on the scan thread, asking a service that answers after 20 s:
// shutdown cancels the query instead of waiting for it or killing the scan thread.
class ClassifyingFilter : public NuvTest::RecordingFilter {
public:
    using RecordingFilter::RecordingFilter;
    void StartUrlClassification() override {
        RecordingFilter::StartUrlClassification();
        ::StartUrlClassification();
    }
    void CancelUrlClassification() noexcept override {
        RecordingFilter::CancelUrlClassification();
        ::CancelUrlClassification();
    }
    void StopUrlClassification() noexcept override {
        RecordingFilter::StopUrlClassification();
        ::StopUrlClassification();
    }
    void AbandonUrlClassification() noexcept override {
        RecordingFilter::AbandonUrlClassification();
        ::AbandonUrlClassification();
    }
    void ScanWork(CScanBuffer*) override {
        char result[40] = {};
        DWORD size = sizeof result;
        classified = GetUrlClassification(url.c_str(), result, &size, L"");
    }
    std::wstring url;
    std::atomic<int> classified{-1};
};

TEST_F(ModuleTest, ShutdownCancelsAReputationQueryOfTheScanThread) {
    NuvTest::ReputationStandIn standIn;
    ASSERT_TRUE(standIn.Load()) << "no reputation stand-in runs (ctest starts it)";
    const wchar_t kSettings[] = L"SOFTWARE\\Oberix\\NUV\\Settings\\default";
    const std::wstring host = standIn.Host();
    ASSERT_TRUE(m_guard.CreateKey(kSettings));
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, kSettings, L"ReputationHost", REG_SZ, host.c_str(),
                      static_cast<DWORD>((host.size() + 1) * sizeof(wchar_t)));
    NNUV::ForgetReputationHost();
    ClassifyingFilter filter{m_log};
    filter.url = L"delay20.test/shutdown-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                 std::to_wstring(::GetTickCount64());
    CNuvModule& module = Make(10, kGenerousJoinLimitMs, &filter);
    module.StartInitialization();
    ASSERT_TRUE(module.WaitForInitialization());
    module.PutScanWork(reinterpret_cast<CScanBuffer*>(static_cast<uintptr_t>(0x1000)));
    ASSERT_TRUE(NuvTest::WaitUntil([&] { return standIn.Records(filter.url).size() == 1; }, 10000));
    NuvTest::TakeLoggedLines();
    const ULONGLONG start = ::GetTickCount64();
    module.Deinitialize();
    EXPECT_LT(::GetTickCount64() - start, 3000u);
    EXPECT_EQ(0, filter.classified.load()) << "the query ended without an answer";
    for (const auto& line : NuvTest::TakeLoggedLines()) EXPECT_NE(L"ScanThread took too long to exit!\r\n", line.text);
    ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSettings, L"ReputationHost");
    NNUV::ForgetReputationHost();
}

}  // namespace
