#include "plugin/core/MiscThread.h"
#include "plugin/core/NuvException.h"
#include "tests/plugin/core/ThreadTestDoubles.h"
#include "tests/support/WaitUntil.h"

#include "base/UniqueHandle.h"
#include "logging/LoggingIf.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using NuvTest::CallLog;
using NuvTest::LogLines;

namespace {

constexpr const wchar_t kProductKey[] = L"SOFTWARE\\Oberix\\NUV";
constexpr const wchar_t kTimeZoneKey[] = L"System\\CurrentControlSet\\Control\\TimeZoneInformation";
constexpr const wchar_t kProbeValue[] = L"NuvThreadTestProbe";

class Owner : public ISessionNotificationCallback,
              public IRegistryChangedCallback,
              public IPowerNotificationCallback,
              public ITimeZoneCheck {
public:
    void OnSessionLogon(DWORD id) override { m_calls.Add(L"logon " + std::to_wstring(id)); }
    void OnSessionLogoff(DWORD id) override {
        m_calls.Add(L"logoff " + std::to_wstring(id));
        if (m_throwOnLogoff) throw CNuvException(-1001);
    }
    void OnRegistryChanged() override { m_calls.Add(L"registry"); }
    DWORD OnSystemSuspend() override { m_calls.Add(L"suspend"); return m_powerResult; }
    DWORD OnSystemResume() override { m_calls.Add(L"resume"); return m_powerResult; }
    void CheckTimeZone() override {
        m_checkTicks.push_back(::GetTickCount64());  // misc thread only
        m_calls.Add(L"check");
    }

    CallLog m_calls;
    DWORD m_powerResult = 0;
    bool m_throwOnLogoff = false;
    std::vector<ULONGLONG> m_checkTicks;
};

class MiscThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        NuvTest::TakeLoggedLines();
        // Both watched keys exist on a machine; this program's own machine root starts empty.
        for (const wchar_t* path : {kProductKey, kTimeZoneKey}) {
            HKEY key = nullptr;
            ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS,
                                                       nullptr, &key, nullptr));
            ::RegCloseKey(key);
        }
        m_shutdown.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    }
    void TearDown() override {
        if (m_thread) Stop();
    }

    void Start(DWORD timeZoneDelay = 0) {
        ::ResetEvent(m_shutdown.Get());  // a test may start more than one thread
        CMiscThread::Options options;
        options.shutdownEvent = m_shutdown.Get();
        options.power = &m_owner;
        options.timeZoneCheck = &m_owner;
        options.joinLimitMs = 30000;  // never a kill of a thread that merely ran slow
        options.timeZoneCheckDelay = timeZoneDelay;
        options.useConsole = false;
        m_thread = std::make_unique<CMiscThread>(&m_owner, &m_owner, options);
        NuvTest::WaitUntil([&] { return (m_window = ::FindWindowW(CMiscThread::kWindowClassName, nullptr)) != nullptr; });
        if (m_window == nullptr) {
            for (const auto& line : m_log.All()) ADD_FAILURE() << "logged: " << std::string(line.text.begin(), line.text.end());
        }
        ASSERT_NE(nullptr, m_window);
    }

    DWORD Stop() {
        ::SetEvent(m_shutdown.Get());
        HANDLE copy = nullptr;
        ::DuplicateHandle(::GetCurrentProcess(), m_thread->GetHandle(), ::GetCurrentProcess(), &copy, 0, FALSE,
                          DUPLICATE_SAME_ACCESS);
        Tessal::UniqueHandle handle(copy);
        m_thread.reset();
        DWORD code = STILL_ACTIVE;
        ::GetExitCodeThread(handle.Get(), &code);
        return code;
    }

    // Wine never delivers these; the test sends what Windows would.
    void PostSession(DWORD code, DWORD sessionId) {
        ASSERT_TRUE(::PostMessageW(m_window, WM_WTSSESSION_CHANGE, code, sessionId));
    }
    // Posted messages are handled in order: once this marker's line is logged, everything posted
    // before it has been handled.
    void Settle() {
        const std::wstring marker = L"Session Notification [remote control]\r\n";
        const size_t seen = m_log.Count(ETWLogging::LOG_NORMAL, marker);
        PostSession(9, 0x7777);
        ASSERT_TRUE(m_log.WaitFor(ETWLogging::LOG_NORMAL, marker, seen + 1));
    }

    Owner m_owner;
    LogLines m_log;
    Tessal::UniqueHandle m_shutdown;
    std::unique_ptr<CMiscThread> m_thread;
    HWND m_window = nullptr;
};

TEST_F(MiscThreadTest, HiddenWindowLivesWhileTheThreadRunsAndGoesWithShutdown) {
    Start();
    EXPECT_FALSE(::IsWindowVisible(m_window));
    EXPECT_EQ(0u, Stop());
    EXPECT_EQ(nullptr, ::FindWindowW(CMiscThread::kWindowClassName, nullptr));
    EXPECT_TRUE(m_log.Has(ETWLogging::LOG_NORMAL, L"MiscThread exiting\r\n"));
}

TEST_F(MiscThreadTest, SessionChangesReachTheSessionCallback) {
    struct Case {
        DWORD code;
        const wchar_t* name;
        std::vector<std::wstring> calls;
    } cases[] = {
        {1, L"connect", {}},          {2, L"disconnect", {}}, {3, L"remote connect", {}},
        {4, L"remote disconnect", {}}, {5, L"logon", {L"logon 3"}}, {6, L"logoff", {L"logoff 3"}},
        {7, L"lock", {}},              {8, L"unlock", {}},     {42, L"unknown", {}},
    };
    Start();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        const size_t before = m_owner.m_calls.Calls().size();
        PostSession(c.code, 3);
        Settle();
        const auto all = m_owner.m_calls.Calls();
        EXPECT_EQ(c.calls, std::vector<std::wstring>(all.begin() + before, all.end()));
        EXPECT_TRUE(m_log.Has(ETWLogging::LOG_NORMAL, std::wstring(L"Session Notification [") + c.name + L"]\r\n"));
    }
}

TEST_F(MiscThreadTest, ExceptionOfASessionCallbackStaysInTheWindowProcedure) {
    m_owner.m_throwOnLogoff = true;
    Start();
    PostSession(6, 2);
    PostSession(5, 2);
    EXPECT_TRUE(m_owner.m_calls.WaitFor(L"logon 2"));
    EXPECT_EQ(1u, m_owner.m_calls.Count(L"logoff 2"));
}

TEST_F(MiscThreadTest, SuspendAndResumeReachThePowerCallback) {
    struct Case {
        WPARAM event;
        DWORD result;
        const wchar_t* call;  // null: ignored
    } cases[] = {
        {PBT_APMSUSPEND, 0, L"suspend"},
        {PBT_APMRESUMEAUTOMATIC, 0, L"resume"},
        {PBT_APMSUSPEND, 5, L"suspend"},
        {PBT_APMPOWERSTATUSCHANGE, 0, nullptr},
        {PBT_APMRESUMESUSPEND, 0, nullptr},
    };
    Start();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.event);
        m_owner.m_powerResult = c.result;
        const size_t before = m_owner.m_calls.Calls().size();
        NuvTest::TakeLoggedLines();
        LogLines log;
        ASSERT_TRUE(::PostMessageW(m_window, WM_POWERBROADCAST, c.event, 0));
        PostSession(9, 0x7777);
        ASSERT_TRUE(log.WaitFor(ETWLogging::LOG_NORMAL, L"Session Notification [remote control]\r\n", 1));
        const auto all = m_owner.m_calls.Calls();
        const std::vector<std::wstring> expected = c.call ? std::vector<std::wstring>{c.call} : std::vector<std::wstring>{};
        EXPECT_EQ(expected, std::vector<std::wstring>(all.begin() + before, all.end()));
        EXPECT_EQ(c.result != 0, log.Has(ETWLogging::LOG_ERROR, L"Unable to log system sleep/wakeup event, dwRet=5\r\n"));
    }
}

TEST_F(MiscThreadTest, RegistryChangesAreSeenAgainAndAgain) {
    struct Case {
        const wchar_t* key;
        const wchar_t* call;
    } cases[] = {
        {kProductKey, L"registry"},
        {kTimeZoneKey, L"check"},
    };
    Start();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.call);
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, c.key, 0, KEY_SET_VALUE, &key));
        // Twice: the notification is re-armed after each change. One write each, made once the
        // window exists (the watches are armed before it): a watch armed late misses it. The
        // values differ, since Wine does not notify a value set to the data it holds.
        for (DWORD times = 1; times <= 2; ++times) {
            ASSERT_EQ(ERROR_SUCCESS, ::RegSetValueExW(key, kProbeValue, 0, REG_DWORD,
                                                      reinterpret_cast<const BYTE*>(&times), sizeof(times)));
            EXPECT_TRUE(m_owner.m_calls.WaitFor(c.call, times, 10000)) << times;
        }
        ::RegDeleteValueW(key, kProbeValue);
        ::RegCloseKey(key);
    }
}

// The check runs a delay after a log-on; a later log-on restarts the delay, and only the last
// log-off cancels it.
TEST_F(MiscThreadTest, TimeZoneTimerFollowsLogOnsAndLogOffs) {
    struct Step {
        DWORD code;
        DWORD session;
        DWORD sleepAfterMs;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
        bool checks;
        ULONGLONG notBeforeMs;  // from the first step
    } cases[] = {
        {"one log-on", {{5, 1, 0}}, true, 900},
        {"second log-on restarts", {{5, 1, 700}, {5, 2, 0}}, true, 1500},
        {"one of two logs off", {{5, 1, 0}, {5, 2, 0}, {6, 1, 0}}, true, 900},
        {"both log off", {{5, 1, 0}, {5, 2, 0}, {6, 1, 0}, {6, 2, 0}}, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        m_owner.m_checkTicks.clear();
        Start(1);
        ASSERT_EQ(1u, m_thread->TimeZoneCheckDelay());
        const ULONGLONG start = ::GetTickCount64();
        for (const auto& step : c.steps) {
            PostSession(step.code, step.session);
            if (step.sleepAfterMs) ::Sleep(step.sleepAfterMs);
        }
        const bool checked = m_owner.m_calls.WaitFor(L"check", 1, 3000);
        EXPECT_EQ(c.checks, checked);
        Stop();
        if (checked) {
            ASSERT_EQ(1u, m_owner.m_checkTicks.size());
            EXPECT_GE(m_owner.m_checkTicks[0] - start, c.notBeforeMs);
        }
        m_owner.m_calls.Clear();
    }
}

}  // namespace
