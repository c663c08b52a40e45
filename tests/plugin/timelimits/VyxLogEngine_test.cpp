// The activity-log engine writing a scratch database: minutes on line split at midnight, sleep
// and wake, log-offs, closing open log-ons, blocked sites, retention, the blocked-site counter,
// the database mutex held by another process, a file held open, stopping with records queued, a
// writer killed in the middle.
#include "plugin/timelimits/VyxLogEngineImpl.h"

#include "AnalyticsControl.h"
#include "base/UniqueHandle.h"
#include "logging/Logging.h"
#include "nuvutil/com/CoInitializeScope.h"
#include "tests/plugin/timelimits/ActivityLogTestSupport.h"
#include "tests/support/LogRecorder.h"
#include "tests/support/MachineKeyGuard.h"
#include "tests/support/ScratchFolder.h"
#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using NuvTest::SetActivityTime;

constexpr wchar_t kSettings[] = L"SOFTWARE\\Oberix\\NUV\\Settings\\default";

class VyxLogEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        VyxLogClock::Set(&NuvTest::ActivityClock);
        SetActivityTime(2024, 1, 5, 10, 0);
        m_guard.CreateKey(kSettings);
        m_guard.DeleteValue(kSettings, L"MaxLoggingRecords");
        NuvTest::TakeLoggedLines();
    }
    void TearDown() override {
        m_engine.reset();
        VyxLogClock::Set(nullptr);
    }

    IVyxLogEngine& Engine() {
        if (!m_engine) {
            IVyxLogEngine* engine = nullptr;
            EXPECT_EQ(0u, CreateVyxLogEngine(m_database.c_str(), &engine));
            m_engine.reset(engine);
        }
        return *m_engine;
    }
    // Everything queued is written once the engine is gone.
    void Flush() { m_engine.reset(); }
    // An engine whose records the test writes itself (Log), without the queue; null when Init fails.
    CVyxLogEngineImpl* DirectEngine(VyxLogEngineSeams seams = {}) {
        auto* const engine = new CVyxLogEngineImpl(m_database, std::move(seams));
        m_engine.reset(engine);
        return engine->Init() ? engine : nullptr;
    }
    // An access attempt of "child" blocked now.
    static ActivityRecord AccessBlocked() {
        ActivityRecord record;
        record.time = VyxLogClock::Now();
        record.type = ActivityRecord::kAccessBlocked;
        record.user = L"child";
        return record;
    }

    NuvTest::MachineKeyGuard m_guard;
    NuvTest::ScratchFolder m_folder{L"VyxLogEngine"};
    // A name of this program only: the mutex is named after the file.
    std::wstring m_database = m_folder / (L"vyxlog-" + std::to_wstring(::GetCurrentProcessId()) + L".dat");
    std::unique_ptr<IVyxLogEngine> m_engine;
};

TEST_F(VyxLogEngineTest, MinutesOnLineAreSplitAtMidnight) {
    SetActivityTime(2024, 1, 5, 23, 30);
    Engine().LogUserLogon(L"child");
    SetActivityTime(2024, 1, 6, 1, 10);
    Engine().LogUserLogoff(L"child");
    Flush();
    EXPECT_EQ(30u, NuvTest::MinutesOn(m_database, L"child", L"20240105"));
    EXPECT_EQ(70u, NuvTest::MinutesOn(m_database, L"child", L"20240106"));
    const VyxLog::LoginTimes times = NuvTest::LoginTimesOf(m_database, L"child");
    EXPECT_EQ(23, times.logon.wHour);
    EXPECT_EQ(1, times.logoff.wHour);
    const auto version = NuvTest::ReadActivityStream(m_database, L"System", L"version.dat");
    EXPECT_EQ((std::vector<std::uint8_t>{0x6A, 0x62, 0x15, 0x00}), version);
}

TEST_F(VyxLogEngineTest, PeriodsAndTheirMinutes) {
    const struct {
        const char* name;
        std::vector<std::pair<int, std::vector<WORD>>> steps;  // type, hour minute second
        DWORD minutes;  // on 2024-01-05
    } cases[] = {
        {"twenty seconds count one minute", {{0, {10, 0, 0}}, {1, {10, 0, 20}}}, 1},
        {"the hour asleep is not counted", {{0, {10, 0, 0}}, {2, {11, 0, 0}}, {3, {12, 0, 0}}, {1, {12, 30, 0}}}, 90},
        {"a second log-off changes nothing", {{0, {10, 0, 0}}, {1, {10, 30, 0}}, {1, {11, 30, 0}}}, 30},
        {"a log-off without a log-on adds nothing", {{1, {10, 30, 0}}}, 0},
        {"a clock set back adds nothing", {{0, {10, 0, 0}}, {1, {9, 0, 0}}}, 0},
    };
    for (const auto& c : cases) {
        const std::wstring user = L"u" + std::to_wstring(&c - cases);
        for (const auto& step : c.steps) {
            SetActivityTime(2024, 1, 5, step.second[0], step.second[1], step.second[2]);
            switch (step.first) {
                case 0: Engine().LogUserLogon(user.c_str()); break;
                case 1: Engine().LogUserLogoff(user.c_str()); break;
                case 2: Engine().LogSystemSleep(user.c_str()); break;
                default: Engine().LogSystemWakeup(user.c_str()); break;
            }
        }
        Flush();
        EXPECT_EQ(c.minutes, NuvTest::MinutesOn(m_database, user, L"20240105")) << c.name;
    }
    const VyxLog::LoginTimes times = NuvTest::LoginTimesOf(m_database, L"u1");
    EXPECT_TRUE(VyxLog::IsSet(times.logon) && VyxLog::IsSet(times.sleep) && VyxLog::IsSet(times.wakeup) &&
                VyxLog::IsSet(times.logoff));
    Engine().LogUserLogon(L"u1");
    Flush();
    const VyxLog::LoginTimes again = NuvTest::LoginTimesOf(m_database, L"u1");
    EXPECT_TRUE(VyxLog::IsSet(again.logon));
    EXPECT_FALSE(VyxLog::IsSet(again.sleep) || VyxLog::IsSet(again.wakeup) || VyxLog::IsSet(again.logoff));
}

TEST_F(VyxLogEngineTest, ClosingOpenLogonsComesBeforeWhatWasQueuedAfterIt) {
    SetActivityTime(2024, 1, 5, 9, 0);
    Engine().LogUserLogon(L"alice");
    Engine().LogUserLogon(L"child");
    Flush();
    SetActivityTime(2024, 1, 5, 10, 0);
    Engine().CloseAllUserLogons();
    Engine().LogUserLogon(L"child");  // a new log-on after the closing
    Flush();
    EXPECT_EQ(60u, NuvTest::MinutesOn(m_database, L"alice", L"20240105"));
    EXPECT_EQ(60u, NuvTest::MinutesOn(m_database, L"child", L"20240105"));
    EXPECT_TRUE(VyxLog::IsSet(NuvTest::LoginTimesOf(m_database, L"alice").logoff));
    EXPECT_FALSE(VyxLog::IsSet(NuvTest::LoginTimesOf(m_database, L"child").logoff)) << "the new log-on stays open";
}

TEST_F(VyxLogEngineTest, BlockedSitesGoToTheirDayInOrder) {
    EXPECT_EQ(87u, Engine().LogWebSiteBlocked(L"child", 2, L"a.test", nullptr));
    EXPECT_EQ(87u, Engine().LogWebSiteBlocked(L"child", 2, L"", ""));
    EXPECT_EQ(0u, Engine().LogWebSiteBlocked(L"child", 2, L"a.test", ""));
    EXPECT_EQ(0u, Engine().LogWebSiteBlocked(L"child", 1, L"b.test", "00000000040000000000000000000000"));
    SetActivityTime(2024, 1, 6, 8, 0);
    EXPECT_EQ(0u, Engine().LogWebSiteBlocked(L"child", 0, std::wstring(3000, L'x').c_str(), ""));
    EXPECT_EQ(0u, Engine().LogAccessAttemptBlocked(L"child"));
    Flush();
    const auto first = NuvTest::BlockedSitesOn(m_database, L"child", L"20240105");
    ASSERT_EQ(2u, first.size());
    EXPECT_EQ(L"a.test", first[0].url);
    EXPECT_EQ(2u, first[0].kind);
    EXPECT_EQ("00000000040000000000000000000000", first[1].data);
    const auto second = NuvTest::BlockedSitesOn(m_database, L"child", L"20240106");
    ASSERT_EQ(1u, second.size());
    EXPECT_EQ(2047u, second[0].url.size()) << "cut to what the reader accepts";
    EXPECT_EQ(16u, NuvTest::ReadActivityStream(m_database, L"child\\20240106", L"timerestricted.dat").size());
}

TEST_F(VyxLogEngineTest, UserNamesThatCannotNameAStorageAreRefused) {
    for (const wchar_t* name : {L"PC\\child", L"System", L"a:b", L"abcdefghijklmnopqrstuvwxyz012345", L""}) {
        EXPECT_EQ(87u, Engine().LogUserLogon(name)) << name;
        EXPECT_EQ(87u, Engine().LogWebSiteBlocked(name, 2, L"a.test", "")) << name;
    }
    bool logged = false;
    for (const auto& line : NuvTest::TakeLoggedLines()) logged = logged || line.text.find(L"cannot name a storage") != std::wstring::npos;
    EXPECT_TRUE(logged);
}

TEST_F(VyxLogEngineTest, RetentionKeepsMaxLoggingRecordsDays) {
    // The default, 90 days: January 1st to March 30th of 2024.
    for (int day = 0; day < 90; ++day) {
        const WORD month = day < 31 ? 1 : day < 60 ? 2 : 3;
        const WORD date = static_cast<WORD>(day < 31 ? day + 1 : day < 60 ? day - 30 : day - 59);
        SetActivityTime(2024, month, date, 12, 0);
        Engine().LogAccessAttemptBlocked(L"child");
    }
    Flush();
    ASSERT_EQ(90u, NuvTest::DaysOf(m_database, L"child").size());
    SetActivityTime(2024, 3, 31, 12, 0);
    Engine().LogAccessAttemptBlocked(L"child");  // a new day: the oldest goes first
    Flush();
    std::vector<std::wstring> days = NuvTest::DaysOf(m_database, L"child");
    ASSERT_EQ(90u, days.size());
    EXPECT_EQ(L"20240102", days.front());
    EXPECT_EQ(L"20240331", days.back());
    Engine().LogAccessAttemptBlocked(L"child");  // an existing day: one more goes
    Flush();
    days = NuvTest::DaysOf(m_database, L"child");
    EXPECT_EQ(89u, days.size());
    EXPECT_EQ(L"20240103", days.front());

    // Fewer days kept: the setting, read when the engine starts.
    m_guard.SetDword(kSettings, L"MaxLoggingRecords", 5);
    SetActivityTime(2024, 4, 1, 12, 0);
    for (int n = 0; n < 85; ++n) Engine().LogAccessAttemptBlocked(L"child");  // one removal a record
    Flush();
    EXPECT_EQ(5u, NuvTest::DaysOf(m_database, L"child").size());
    SetActivityTime(2024, 4, 2, 12, 0);
    Engine().LogAccessAttemptBlocked(L"child");
    Flush();
    days = NuvTest::DaysOf(m_database, L"child");
    EXPECT_EQ(5u, days.size());
    EXPECT_EQ(L"20240402", days.back());
    SetActivityTime(2024, 4, 1, 12, 0);

    // A setting below 1 keeps one day, and never the day being written: one removal a record.
    m_guard.SetDword(kSettings, L"MaxLoggingRecords", 0);
    for (int n = 0; n < 4; ++n) Engine().LogAccessAttemptBlocked(L"child");
    Flush();
    EXPECT_EQ(std::vector<std::wstring>{L"20240401"}, NuvTest::DaysOf(m_database, L"child"));
    EXPECT_EQ(89u * 16, NuvTest::ReadActivityStream(m_database, L"child\\20240401", L"timerestricted.dat").size());
}

// The writer remembers the days it saw; a file made anew starts from nothing.
TEST_F(VyxLogEngineTest, ADatabaseDeletedUnderTheWriterIsMadeAnew) {
    m_guard.SetDword(kSettings, L"MaxLoggingRecords", 3);
    CVyxLogEngineImpl* const engine = DirectEngine();
    ASSERT_NE(nullptr, engine);
    ActivityRecord record = AccessBlocked();
    for (WORD day = 1; day <= 3; ++day) {
        SetActivityTime(2024, 1, day, 12, 0);
        record.time = VyxLogClock::Now();
        ASSERT_EQ(0u, engine->Log(record));
    }
    ASSERT_TRUE(::DeleteFileW(m_database.c_str()));
    SetActivityTime(2024, 1, 4, 12, 0);
    record.time = VyxLogClock::Now();
    ASSERT_EQ(0u, engine->Log(record));
    EXPECT_EQ(std::vector<std::wstring>{L"20240104"}, NuvTest::DaysOf(m_database, L"child"));
    SetActivityTime(2024, 1, 5, 12, 0);
    record.time = VyxLogClock::Now();
    ASSERT_EQ(0u, engine->Log(record));
    EXPECT_EQ((std::vector<std::wstring>{L"20240104", L"20240105"}), NuvTest::DaysOf(m_database, L"child"))
        << "nothing removed: the new file holds two days";
    for (WORD day = 6; day <= 7; ++day) {
        SetActivityTime(2024, 1, day, 12, 0);
        record.time = VyxLogClock::Now();
        ASSERT_EQ(0u, engine->Log(record));
    }
    EXPECT_EQ((std::vector<std::wstring>{L"20240105", L"20240106", L"20240107"}), NuvTest::DaysOf(m_database, L"child"))
        << "the oldest day of the new file went";
}

TEST_F(VyxLogEngineTest, TheTenthBlockedSiteSendsOneAnalyticsRecord) {
    NuvCom::CCoInitialize com(COINIT_MULTITHREADED);
    Microsoft::WRL::ComPtr<IQvAnalyticsControl> control;
    ASSERT_HRESULT_SUCCEEDED(::CoCreateInstance(__uuidof(QvAnalyticsControl), nullptr, CLSCTX_INPROC_SERVER,
                                                IID_PPV_ARGS(&control)));
    control->Reset();
    m_guard.DeleteValue(L"SOFTWARE\\Oberix\\NUV\\GA", L"BlockedCount");
    for (int n = 0; n < 9; ++n) Engine().LogWebSiteBlocked(L"child", 2, L"a.test", "");
    Flush();
    ULONG records = 99;
    control->GetRecordCount(&records);
    EXPECT_EQ(0u, records);
    Engine().LogWebSiteBlocked(L"child", 2, L"a.test", "");
    Flush();
    control->GetRecordCount(&records);
    ASSERT_EQ(1u, records);
    BSTR record = nullptr;
    control->GetRecord(0, &record);
    EXPECT_NE(nullptr, std::wcsstr(record, L"\"Sites.Blocked\":\"10\""));
    EXPECT_NE(nullptr, std::wcsstr(record, L"\"UniqueIdentifier\":\"NUV_Blocked Sites\""));
    ::SysFreeString(record);
    DWORD count = 99, size = sizeof count;
    ::RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Oberix\\NUV\\GA", L"BlockedCount", RRF_RT_REG_DWORD, nullptr, &count, &size);
    EXPECT_EQ(0u, count);
}

TEST_F(VyxLogEngineTest, AMutexHeldByAnotherProcessDropsTheRecordAfterTheWait) {
    EXPECT_EQ(5000u, VyxLogEngineSeams{}.mutexWaitMs) << "the product waits five seconds";
    const std::wstring ready = L"VyxLogProbeReady-" + std::to_wstring(::GetCurrentProcessId());
    HANDLE probe = NuvTest::StartProbe(L"hold-mutex \"" + VyxLog::MutexName(m_database) + L"\" " + ready + L" 1500", ready);
    ASSERT_NE(nullptr, probe);
    VyxLogEngineSeams seams;
    seams.mutexWaitMs = 300;
    CVyxLogEngineImpl* const engine = DirectEngine(std::move(seams));
    ASSERT_NE(nullptr, engine);
    const ActivityRecord record = AccessBlocked();
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), engine->Log(record));
    EXPECT_GE(::GetTickCount64() - start, 280u) << "it waited before giving up";
    ::WaitForSingleObject(probe, 30000);
    ::CloseHandle(probe);
    EXPECT_EQ(0u, engine->Log(record)) << "released: the next record is written";
}

TEST_F(VyxLogEngineTest, AFileHeldOpenDropsTheRecordWithoutCorruptingIt) {
    Engine().LogAccessAttemptBlocked(L"child");
    Flush();
    CStgStorageDB* holder = nullptr;
    BOOL created = FALSE;
    ASSERT_EQ(S_OK, CreateStgStorageDB(&holder, m_database.c_str(), STGM_READ, &created));
    CVyxLogEngineImpl* const engine = DirectEngine();
    ASSERT_NE(nullptr, engine);
    const ActivityRecord record = AccessBlocked();
    EXPECT_EQ(33u, engine->Log(record)) << "the share violation ends the unit of work";
    holder->Release();
    EXPECT_EQ(0u, engine->Log(record));
    EXPECT_EQ(2u * 16, NuvTest::ReadActivityStream(m_database, L"child\\20240105", L"timerestricted.dat").size());
}

TEST_F(VyxLogEngineTest, StoppingWritesWhatWasQueued) {
    for (int n = 0; n < 50; ++n) Engine().LogUserLogon((L"user" + std::to_wstring(n)).c_str());
    SetActivityTime(2024, 1, 5, 11, 0);
    for (int n = 0; n < 50; ++n) Engine().LogUserLogoff((L"user" + std::to_wstring(n)).c_str());
    Flush();
    for (int n = 0; n < 50; n += 7) {
        EXPECT_EQ(60u, NuvTest::MinutesOn(m_database, L"user" + std::to_wstring(n), L"20240105")) << n;
    }
}

TEST_F(VyxLogEngineTest, AWriterKilledMidWriteLeavesADatabaseTheNextStartOpens) {
    const std::wstring ready = L"VyxLogProbeWriting-" + std::to_wstring(::GetCurrentProcessId());
    HANDLE probe = NuvTest::StartProbe(L"write \"" + m_database + L"\" " + ready, ready);
    ASSERT_NE(nullptr, probe);
    ::Sleep(50);
    ::TerminateProcess(probe, 9);
    ::WaitForSingleObject(probe, 10000);
    ::CloseHandle(probe);
    Engine().LogWebSiteBlocked(L"child", 2, L"after.test", "");
    Flush();
    const auto sites = NuvTest::BlockedSitesOn(m_database, L"child", L"20240105");
    ASSERT_FALSE(sites.empty());
    EXPECT_EQ(L"after.test", sites.back().url);
}

// A listing of a user's days that failed leaves the writer not knowing them: the next record
// lists again, and retention goes on.
TEST_F(VyxLogEngineTest, AFailedListingOfTheDaysIsNotKept) {
    m_guard.SetDword(kSettings, L"MaxLoggingRecords", 3);
    ActivityRecord record = AccessBlocked();
    CVyxLogEngineImpl* engine = DirectEngine();
    ASSERT_NE(nullptr, engine);
    for (WORD day = 1; day <= 3; ++day) {
        SetActivityTime(2024, 1, day, 12, 0);
        record.time = VyxLogClock::Now();
        ASSERT_EQ(0u, engine->Log(record));
    }
    int listings = 0;
    VyxLogEngineSeams seams;
    seams.listDays = [&](CStgStorageDB* store, const std::wstring& user, std::vector<std::wstring>* days) {
        return ++listings == 1 ? STG_E_INSUFFICIENTMEMORY : store->EnumElements(user.c_str(), days);
    };
    engine = DirectEngine(std::move(seams));  // a new run: the days are not known yet
    ASSERT_NE(nullptr, engine);
    SetActivityTime(2024, 1, 4, 12, 0);
    record.time = VyxLogClock::Now();
    EXPECT_EQ(0u, engine->Log(record)) << "written without knowing the days";
    EXPECT_EQ(4u, NuvTest::DaysOf(m_database, L"child").size());
    SetActivityTime(2024, 1, 5, 12, 0);
    record.time = VyxLogClock::Now();
    EXPECT_EQ(0u, engine->Log(record));
    EXPECT_EQ(2, listings) << "listed again";
    EXPECT_EQ((std::vector<std::wstring>{L"20240102", L"20240103", L"20240104", L"20240105"}),
              NuvTest::DaysOf(m_database, L"child"))
        << "the oldest day went";
}

// Each record that reaches the store but cannot be stored answers 29 (ERROR_WRITE_FAULT): here
// the day's storage name is taken by a stream.
TEST_F(VyxLogEngineTest, AFailedStreamWriteAnswersWriteFault) {
    SetActivityTime(2024, 1, 5, 9, 0);
    CVyxLogEngineImpl* const engine = DirectEngine();
    ASSERT_NE(nullptr, engine);
    ActivityRecord logon;
    logon.time = VyxLogClock::Now();
    logon.type = ActivityRecord::kLogon;
    logon.user = L"child";
    ASSERT_EQ(0u, engine->Log(logon));
    ASSERT_TRUE(NuvTest::WriteActivityStream(m_database, L"child", L"20240105", {1, 2, 3}));
    SetActivityTime(2024, 1, 5, 10, 0);
    const struct {
        const char* name;
        int type;
    } cases[] = {
        {"access blocked", ActivityRecord::kAccessBlocked},
        {"web site blocked", ActivityRecord::kWebSiteBlocked},
        {"sleep: the time used", ActivityRecord::kSleep},
        {"log-off: the time used", ActivityRecord::kLogoff},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ActivityRecord record;
        record.time = VyxLogClock::Now();
        record.type = c.type;
        record.user = L"child";
        record.text = L"a.test";
        EXPECT_EQ(29u, engine->Log(record));
    }
}

// 575 (ERROR_APP_INIT_FAILURE) when the engine cannot start: here another kind of object holds
// the database mutex's name.
TEST_F(VyxLogEngineTest, AFailedStartAnswersAppInitFailure) {
    Tessal::UniqueHandle squatter(::CreateEventW(nullptr, TRUE, FALSE, VyxLog::MutexName(m_database).c_str()));
    ASSERT_TRUE(squatter);
    IVyxLogEngine* engine = nullptr;
    EXPECT_EQ(575u, CreateVyxLogEngine(m_database.c_str(), &engine));
    EXPECT_EQ(nullptr, engine);
}

// An exception while a record is written never leaves the writer: that record is dropped and
// logged, the database mutex is let go, and the writer goes on with the next records.
TEST_F(VyxLogEngineTest, AThrowWhileWritingDropsThatRecordOnly) {
    VyxLogEngineSeams seams;
    seams.beforeWrite = [](const ActivityRecord& record) {
        if (record.user == L"boom") throw std::runtime_error("injected");
    };
    auto* const engine = new CVyxLogEngineImpl(m_database, std::move(seams));
    m_engine.reset(engine);
    ASSERT_TRUE(engine->Init());
    NuvTest::TakeLoggedLines();
    engine->LogAccessAttemptBlocked(L"boom");
    engine->LogAccessAttemptBlocked(L"child");
    bool logged = false;
    EXPECT_TRUE(NuvTest::WaitUntil([&] {
        for (const auto& line : NuvTest::TakeLoggedLines()) {
            logged |= line.level == ETWLogging::LOG_ERROR && line.text == L"Activity record dropped: injected\r\n";
        }
        return logged;
    }));
    EXPECT_TRUE(NuvTest::WaitUntil([&] {
        return NuvTest::ReadActivityStream(m_database, L"child\\20240105", L"timerestricted.dat").size() == 16;
    })) << "the writer went on";

    Tessal::UniqueHandle mutex(::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, VyxLog::MutexName(m_database).c_str()));
    ASSERT_TRUE(mutex);
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(mutex.Get(), 5000)) << "let go, not abandoned";
    ::ReleaseMutex(mutex.Get());

    // Queued behind a throw, and while stopping.
    engine->LogAccessAttemptBlocked(L"boom");
    engine->LogAccessAttemptBlocked(L"child");
    Flush();
    EXPECT_EQ(2u * 16, NuvTest::ReadActivityStream(m_database, L"child\\20240105", L"timerestricted.dat").size());
    EXPECT_TRUE(NuvTest::ReadActivityStream(m_database, L"boom\\20240105", L"timerestricted.dat").empty());
}

// login.dat: log-on at byte 0, sleep at 16, wake-up at 32, log-off at 48, each a SYSTEMTIME of
// eight 16-bit little-endian fields (year, month, day of week, day, hour, minute, second, ms).
TEST_F(VyxLogEngineTest, TheWriterPutsEachLoginTimeAtItsOffset) {
    SetActivityTime(2024, 1, 5, 9, 0);
    Engine().LogUserLogon(L"child");
    SetActivityTime(2024, 1, 5, 10, 0);
    Engine().LogSystemSleep(L"child");
    SetActivityTime(2024, 1, 5, 11, 0);
    Engine().LogSystemWakeup(L"child");
    SetActivityTime(2024, 1, 5, 11, 30);
    Engine().LogUserLogoff(L"child");
    Flush();
    const std::vector<std::uint8_t> expected = {
        0xE8, 0x07, 0x01, 0x00, 0x00, 0x00, 0x05, 0x00, 0x09, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // log-on 09:00
        0xE8, 0x07, 0x01, 0x00, 0x00, 0x00, 0x05, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // sleep 10:00
        0xE8, 0x07, 0x01, 0x00, 0x00, 0x00, 0x05, 0x00, 0x0B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // wake-up 11:00
        0xE8, 0x07, 0x01, 0x00, 0x00, 0x00, 0x05, 0x00, 0x0B, 0x00, 0x1E, 0x00, 0x00, 0x00, 0x00, 0x00,  // log-off 11:30
    };
    EXPECT_EQ(expected, NuvTest::ReadActivityStream(m_database, L"child", L"login.dat"));
}

TEST_F(VyxLogEngineTest, AHandMadeLoginRecordIsReadFieldByField) {
    // Log-on 08:00, sleep 09:00, wake-up 10:00, no log-off yet.
    std::vector<std::uint8_t> record = {
        0xE8, 0x07, 0x01, 0x00, 0x00, 0x00, 0x05, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0xE8, 0x07, 0x01, 0x00, 0x00, 0x00, 0x05, 0x00, 0x09, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0xE8, 0x07, 0x01, 0x00, 0x00, 0x00, 0x05, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    };
    record.resize(64);
    const VyxLog::LoginTimes times = VyxLog::ParseLoginTimes(record.data(), record.size());
    EXPECT_EQ(8, times.logon.wHour);
    EXPECT_EQ(9, times.sleep.wHour);
    EXPECT_EQ(10, times.wakeup.wHour);
    EXPECT_FALSE(VyxLog::IsSet(times.logoff));

    // The engine reads it the same way: the log-off counts from the wake-up, and only the log-off
    // field changes.
    ASSERT_TRUE(NuvTest::WriteActivityStream(m_database, L"child", L"login.dat", record));
    SetActivityTime(2024, 1, 5, 10, 30);
    Engine().LogUserLogoff(L"child");
    Flush();
    EXPECT_EQ(30u, NuvTest::MinutesOn(m_database, L"child", L"20240105"));
    const std::vector<std::uint8_t> stored = NuvTest::ReadActivityStream(m_database, L"child", L"login.dat");
    ASSERT_EQ(64u, stored.size());
    EXPECT_TRUE(std::equal(record.begin(), record.begin() + 48, stored.begin()));
    EXPECT_EQ((std::vector<std::uint8_t>{0xE8, 0x07, 0x01, 0x00, 0x00, 0x00, 0x05, 0x00, 0x0A, 0x00, 0x1E, 0x00, 0x00,
                                         0x00, 0x00, 0x00}),
              std::vector<std::uint8_t>(stored.begin() + 48, stored.end()));
}

}  // namespace
