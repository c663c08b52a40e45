// The activity-log manager over a scratch database: sessions mapped to users, repeated blocks
// grouped per session within GroupBlockedAttempts, URLs normalised, the engine made on first use
// closing what an earlier run left open.
#include "plugin/timelimits/VYXLogManager.h"

#include "tests/plugin/timelimits/ActivityLogTestSupport.h"
#include "tests/support/LogRecorder.h"
#include "tests/support/MachineKeyGuard.h"
#include "tests/support/ScratchFolder.h"
#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

using NuvTest::SetActivityTime;

constexpr wchar_t kSettings[] = L"SOFTWARE\\Oberix\\NUV\\Settings\\default";
DWORD g_ticks = 1000;
DWORD Ticks() { return g_ticks; }

class VYXLogManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        VyxLogClock::Set(&NuvTest::ActivityClock);
        SetActivityTime(2024, 1, 5, 10, 0);
        g_ticks = 1000;
        m_guard.CreateKey(kSettings);
        m_guard.DeleteValue(kSettings, L"GroupBlockedAttempts");
        NuvTest::TakeLoggedLines();
    }
    void TearDown() override {
        m_manager.reset();
        VyxLogClock::Set(nullptr);
    }
    CVYXLogManager& Manager() {
        if (!m_manager) m_manager = std::make_unique<CVYXLogManager>(m_database, &Ticks);
        return *m_manager;
    }
    // Written once the manager (and with it the engine) is gone; sessions still open get log-offs.
    void Flush() { m_manager.reset(); }
    std::vector<std::wstring> Urls(const wchar_t* user) {
        std::vector<std::wstring> urls;
        for (const auto& site : NuvTest::BlockedSitesOn(m_database, user, L"20240105")) urls.push_back(site.url);
        return urls;
    }

    NuvTest::MachineKeyGuard m_guard;
    NuvTest::ScratchFolder m_folder{L"VYXLogManager"};
    std::wstring m_database = m_folder / (L"vyxlog-" + std::to_wstring(::GetCurrentProcessId()) + L".dat");
    std::unique_ptr<CVYXLogManager> m_manager;
};

TEST_F(VYXLogManagerTest, RepeatedBlocksAreGroupedPerSessionWithinTheWindow) {
    EXPECT_EQ(30u, Manager().GroupBlockedAttempts());
    ASSERT_EQ(0u, Manager().Logon(L"child", 1));
    ASSERT_EQ(0u, Manager().Logon(L"alice", 2));
    Manager().WebSiteBlocked(1, 2, L"Site.TEST/page1/", "");
    g_ticks += 10000;
    Manager().WebSiteBlocked(1, 2, L"site.test/page2", "");  // same site within 30 s
    Manager().WebSiteBlocked(2, 2, L"site.test/page2", "");  // another session
    g_ticks += 21000;                                        // 31 s after the first
    Manager().WebSiteBlocked(1, 2, L"site.test/page3", "");
    Flush();
    EXPECT_EQ((std::vector<std::wstring>{L"site.test/page1", L"site.test/page3"}), Urls(L"child"));
    EXPECT_EQ(std::vector<std::wstring>{L"site.test/page2"}, Urls(L"alice"));
}

TEST_F(VYXLogManagerTest, WithoutAWindowEveryBlockIsRecorded) {
    m_guard.SetDword(kSettings, L"GroupBlockedAttempts", 0);
    Manager().Logon(L"child", 1);
    for (int n = 0; n < 3; ++n) Manager().WebSiteBlocked(1, 2, L"site.test/", "");
    Flush();
    EXPECT_EQ(3u, Urls(L"child").size());
}

TEST_F(VYXLogManagerTest, WakingUpForgetsRecentBlocks) {
    Manager().Logon(L"child", 1);
    Manager().WebSiteBlocked(1, 2, L"site.test", "");
    Manager().SystemSleep();
    Manager().SystemWakeup();
    Manager().WebSiteBlocked(1, 2, L"site.test", "");
    EXPECT_EQ(0u, Manager().AccessAttemptBlocked(1, L"game.exe"));
    EXPECT_EQ(0u, Manager().AccessAttemptBlocked(1, L"game.exe"));
    Flush();
    EXPECT_EQ(2u, Urls(L"child").size());
    EXPECT_EQ(16u, NuvTest::ReadActivityStream(m_database, L"child\\20240105", L"timerestricted.dat").size());
}

TEST_F(VYXLogManagerTest, ASessionWithoutLogonRecordsNothing) {
    EXPECT_EQ(87u, Manager().WebSiteBlocked(7, 2, L"site.test", ""));
    EXPECT_EQ(87u, Manager().AccessAttemptBlocked(7, L"game.exe"));
    bool logged = false;
    for (const auto& line : NuvTest::TakeLoggedLines()) logged = logged || line.text == L"Unable to find user name for session ID 7\r\n";
    EXPECT_TRUE(logged);
    Manager().Logon(L"child", 1);
    Manager().Logoff(L"child", 1);
    EXPECT_EQ(87u, Manager().WebSiteBlocked(1, 2, L"site.test", "")) << "the entry goes with the log-off";
}

TEST_F(VYXLogManagerTest, TheFirstOperationClosesWhatAnEarlierRunLeftOpen) {
    SetActivityTime(2024, 1, 5, 9, 0);
    Manager().Logon(L"child", 1);
    // A run that ended without its log-offs written (the process was killed).
    m_manager.release();
    SetActivityTime(2024, 1, 5, 10, 0);
    m_manager = std::make_unique<CVYXLogManager>(m_database, &Ticks);
    ASSERT_TRUE(NuvTest::WaitUntil([&] { return NuvTest::LoginTimesOf(m_database, L"child").logon.wHour == 9; }));
    Manager().Logon(L"child", 1);
    // The closing log-off takes the time at which the writer gets to it: 10:00 until the new
    // log-on is written.
    ASSERT_TRUE(NuvTest::WaitUntil([&] { return NuvTest::LoginTimesOf(m_database, L"child").logon.wHour == 10; }));
    SetActivityTime(2024, 1, 5, 10, 30);
    Manager().Logoff(L"child", 1);
    Flush();
    EXPECT_EQ(90u, NuvTest::MinutesOn(m_database, L"child", L"20240105")) << "60 closed at start, 30 of the new log-on";
}

TEST_F(VYXLogManagerTest, SessionsStillOpenAtShutdownAreLoggedOff) {
    Manager().Logon(L"child", 1);
    SetActivityTime(2024, 1, 5, 10, 45);
    Flush();
    EXPECT_EQ(45u, NuvTest::MinutesOn(m_database, L"child", L"20240105"));
}

}  // namespace
