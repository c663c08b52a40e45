// The reputation statistics: the counters in the registry across restarts, the daily report and
// its back-off, a stop that ends the thread at once, and one that gives up on a hung thread.
#include "plugin/filter/reputation/TyvoHandler.h"

#include "Shared/SealedRegistry.h"
#include "plugin/filter/reputation/ClientId.h"
#include "plugin/filter/reputation/TyvoHandlerPimpl.h"
#include "tests/plugin/filter/reputation/ReputationStandIn.h"
#include "tests/support/LogRecorder.h"
#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

namespace {

using NNUV::CTYVOHandler;
using NNUV::CTyvoStatsOptions;

constexpr wchar_t kStatsKey[] = L"Software\\Oberix\\NUV\\TYVO";
constexpr wchar_t kSettingsKey[] = L"SOFTWARE\\Oberix\\NUV\\Settings\\default";

bool ReadDword(const wchar_t* name, DWORD& value) {
    DWORD size = sizeof value;
    return ::RegGetValueW(HKEY_LOCAL_MACHINE, kStatsKey, name, RRF_RT_REG_DWORD, nullptr, &value, &size) == ERROR_SUCCESS;
}
bool ReadQword(const wchar_t* name, std::int64_t& value) {
    DWORD size = sizeof value;
    return ::RegGetValueW(HKEY_LOCAL_MACHINE, kStatsKey, name, RRF_RT_REG_QWORD, nullptr, &value, &size) == ERROR_SUCCESS;
}
void WriteDword(const wchar_t* name, DWORD value) { SealedRegWriteValue(name, REG_DWORD, &value, sizeof value); }
void WriteQword(const wchar_t* name, std::int64_t value) { SealedRegWriteValue(name, REG_QWORD, &value, sizeof value); }

bool Logged(const std::vector<NuvTest::LoggedLine>& lines, const std::wstring& text) {
    for (const auto& line : lines) {
        if (line.text == text) return true;
    }
    return false;
}

class TyvoStatsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_standIn.Load()) << "no reputation stand-in runs (ctest starts it)";
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kStatsKey);
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kStatsKey);
        UseHost(m_standIn.Host());
        NuvTest::TakeLoggedLines();
    }
    void TearDown() override {
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kStatsKey);
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kStatsKey);
        ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSettingsKey, L"ReputationHost");
        NNUV::ForgetReputationHost();
    }
    static void UseHost(const std::wstring& host) {
        ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, kSettingsKey, L"ReputationHost", REG_SZ, host.c_str(),
                          static_cast<DWORD>((host.size() + 1) * sizeof(wchar_t)));
        NNUV::ForgetReputationHost();
    }

    // A due report goes out at once: no pause in which a stop would still be seen.
    static CTyvoStatsOptions Prompt() {
        CTyvoStatsOptions options;
        options.stopCheckMs = 0;
        return options;
    }

    NuvTest::ReputationStandIn m_standIn;
};

// Set by the thread's report hook; the test waits on it instead of guessing the thread's pace.
struct ReportSeen {
    std::shared_ptr<Tessal::UniqueHandle> event =
        std::make_shared<Tessal::UniqueHandle>(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    bool Wait() const { return ::WaitForSingleObject(event->Get(), 20000) == WAIT_OBJECT_0; }
};

TEST_F(TyvoStatsTest, AFirstStartWritesTheTimeAndReportsADayLater) {
    const std::int64_t before = NNUV::NNUVInternal::NowMs();
    {
        CTYVOHandler handler;
        std::int64_t written = 0;
        ASSERT_TRUE(ReadQword(L"LastUpdatedTime", written));
        EXPECT_GE(written, before);
        EXPECT_EQ(written, handler.LastReportTimeMs());
        EXPECT_EQ(0, handler.TotalRequests());
        const auto lines = NuvTest::TakeLoggedLines();
        EXPECT_TRUE(Logged(lines, L"Couldn't read from TYVO response time!!!"));
        EXPECT_TRUE(Logged(lines, L"Couldn't read from TYVO Request counter!!!"));
    }
    // The counters are stored when the handler goes.
    DWORD requests = 99;
    EXPECT_TRUE(ReadDword(L"TYVOTotalRequests", requests));
    EXPECT_EQ(0u, requests);
}

TEST_F(TyvoStatsTest, CountersSurviveARestartAndAnOverdueReportGoesOutAndResetsThem) {
    WriteDword(L"TYVOTotalRequests", 4);
    WriteDword(L"TYVOTotalResponseTime", 400);
    const std::int64_t overdue = NNUV::NNUVInternal::NowMs() - 86400000 - 5000;
    WriteQword(L"LastUpdatedTime", overdue);
    CTYVOHandler handler(Prompt());
    // Read at start; the report goes out, then the counters are reset.
    // Whoever sees the new report time finds the reset stored as well: polled without a pause, the
    // stored counters read first.
    DWORD requests = 99, time = 99;
    ASSERT_TRUE(NuvTest::WaitUntil(
        [&] {
            if (handler.LastReportTimeMs() == overdue) return false;
            EXPECT_TRUE(ReadDword(L"TYVOTotalResponseTime", time));
            EXPECT_TRUE(ReadDword(L"TYVOTotalRequests", requests));
            return true;
        },
        20000, 0));
    EXPECT_EQ(0u, time);
    EXPECT_EQ(0u, requests);
    EXPECT_EQ(0, handler.TotalRequests());
    EXPECT_EQ(0, handler.TotalResponseTimeMs());
    std::int64_t written = 0;
    ASSERT_TRUE(ReadQword(L"LastUpdatedTime", written));
    EXPECT_EQ(handler.LastReportTimeMs(), written);
    // The report carried the average of the stored counters: 100 ms, "ZAAAAAA=".
    std::wstring clientId;
    NNUV::NNUVInternal::GetClientId(clientId);
    const web::json::array records = m_standIn.Records(L"stats:" + clientId);
    ASSERT_GE(records.size(), 1u);
    const std::wstring body = records.at(records.size() - 1).at(L"body").as_string();
    EXPECT_NE(std::wstring::npos, body.find(L"\"rpt\":{\"gstat\":\"ZAAAAAA=\"}")) << body;
}

TEST_F(TyvoStatsTest, TheNextReportIsDueADayAfterTheLastOne) {
    const std::int64_t last = NNUV::NNUVInternal::NowMs() - 86400000 + 500;  // due in 0.5 s
    WriteQword(L"LastUpdatedTime", last);
    CTYVOHandler handler(Prompt());
    ASSERT_TRUE(NuvTest::WaitUntil([&] { return handler.LastReportTimeMs() != last; }, 20000));
    EXPECT_GE(handler.LastReportTimeMs(), last + 86400000) << "reported before it was due";
}

// Each successful look-up adds its response time in milliseconds; the counters are stored when
// the client goes and read back by the next one.
TEST_F(TyvoStatsTest, ResponseTimesAddUpAndTheCountersAreStoredAtTheEnd) {
    const auto ask = [](CTYVOHandler& handler, const std::wstring& host) {
        static int counter = 0;
        const std::wstring url = host + L"/stats-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                 std::to_wstring(::GetTickCount64()) + L"-" + std::to_wstring(++counter);
        NNUV::URLRespResult result;
        std::error_code error = NNUV::NoAnswer();
        handler.GetUrlReputation(NNUV::CTyvoRequestSettings(), url.c_str(), result, error, L"");
        return error;
    };
    std::int32_t total = 0;
    {
        CTYVOHandler handler;
        const auto start = std::chrono::steady_clock::now();
        // The stand-in answers delayN.test after N seconds.
        ASSERT_EQ(NNUV::MakeTyvoError(NNUV::kTyvoSuccess), ask(handler, L"delay1.test"));
        ASSERT_EQ(NNUV::MakeTyvoError(NNUV::kTyvoSuccess), ask(handler, L"delay1.test"));
        const auto elapsedMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
        total = handler.TotalResponseTimeMs();
        EXPECT_EQ(2, handler.TotalRequests());
        EXPECT_GE(total, 2000) << "each answer took a second";
        EXPECT_LE(total, elapsedMs);
        ASSERT_NE(NNUV::MakeTyvoError(NNUV::kTyvoSuccess), ask(handler, L"err3.test"));
        EXPECT_EQ(total, handler.TotalResponseTimeMs()) << "a failure adds nothing";
        EXPECT_EQ(2, handler.TotalRequests());
    }
    DWORD requests = 0, time = 0;
    EXPECT_TRUE(ReadDword(L"TYVOTotalRequests", requests));
    EXPECT_TRUE(ReadDword(L"TYVOTotalResponseTime", time));
    EXPECT_EQ(2u, requests);
    EXPECT_EQ(static_cast<DWORD>(total), time);
    CTYVOHandler restarted;
    EXPECT_EQ(2, restarted.TotalRequests());
    EXPECT_EQ(total, restarted.TotalResponseTimeMs());
}

TEST_F(TyvoStatsTest, AStopDuringTheBackOffEndsTheThreadAtOnce) {
    UseHost(L"localhost:1");  // refused: every report fails
    WriteQword(L"LastUpdatedTime", NNUV::NNUVInternal::NowMs() - 86400000 - 5000);
    CTyvoStatsOptions options = Prompt();
    const ReportSeen failed;
    options.afterReport = [event = failed.event](const std::error_code& error) {
        if (!NNUV::IsTyvoSuccess(error)) ::SetEvent(event->Get());
    };
    CTYVOHandler handler(options);
    // The refused report: then the 10 s back-off.
    ASSERT_TRUE(failed.Wait());
    const auto start = std::chrono::steady_clock::now();
    handler.TerminateTYVOStats();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    const auto lines = NuvTest::TakeLoggedLines();
    EXPECT_TRUE(Logged(lines, L"Shut Down triggered.Return from thread"));
    EXPECT_FALSE(Logged(lines, L"Error in sending TYVO stats")) << "stopped inside the back-off";
}

TEST_F(TyvoStatsTest, AStopWhileWaitingForTheNextReportIsSeenAtOnce) {
    CTYVOHandler handler;  // the next report is a day away
    const auto start = std::chrono::steady_clock::now();
    handler.TerminateTYVOStats();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

// A report hook that hangs stands for a hung call: the stop gives up after its limit, the handler
// goes without storing (the thread may hold the lock the counters are read under), and the thread
// keeps the client's state until it ends by itself.
TEST_F(TyvoStatsTest, AStopThatGivesUpLeavesTheThreadItsStateUntilItEnds) {
    WriteQword(L"LastUpdatedTime", NNUV::NNUVInternal::NowMs() - 86400000 - 5000);
    CTyvoStatsOptions options = Prompt();
    options.stopLimitMs = 50;
    const ReportSeen reported;
    Tessal::UniqueHandle letGo(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::weak_ptr<int> state;  // lives as long as the client's state holds the hook
    {
        auto stateAlive = std::make_shared<int>(0);
        state = stateAlive;
        options.afterReport = [event = reported.event, letGo = letGo.Get(), stateAlive](const std::error_code&) {
            ::SetEvent(event->Get());
            ::WaitForSingleObject(letGo, 20000);
        };
    }
    {
        CTYVOHandler handler(std::move(options));
        options.afterReport = nullptr;  // whatever the move left: only the handler holds the hook
        ASSERT_TRUE(reported.Wait());
        handler.TerminateTYVOStats();
        EXPECT_TRUE(Logged(NuvTest::TakeLoggedLines(), L"TYVO Stats thread did not stop within 50 ms, leaving it"));
        ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kStatsKey, L"TYVOTotalRequests");
    }
    EXPECT_TRUE(Logged(NuvTest::TakeLoggedLines(), L"TYVO stats not stored: the stats thread is still running"));
    DWORD requests = 0;
    EXPECT_FALSE(ReadDword(L"TYVOTotalRequests", requests)) << "nothing stored";
    EXPECT_FALSE(state.expired()) << "the thread keeps the client's state";

    ::SetEvent(letGo.Get());
    EXPECT_TRUE(NuvTest::WaitUntil([&] { return state.expired(); }, 20000)) << "freed as the thread ends";
    EXPECT_TRUE(Logged(NuvTest::TakeLoggedLines(), L"Shut Down triggered.Return from thread"));
}

TEST_F(TyvoStatsTest, WithoutTheKeyAtTheEndNothingIsWritten) {
    {
        CTYVOHandler handler;
        handler.TerminateTYVOStats();
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kStatsKey);
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kStatsKey);
        NuvTest::TakeLoggedLines();
    }
    EXPECT_TRUE(Logged(NuvTest::TakeLoggedLines(), L"TYVO Registry not found. Dont write to registry"));
    DWORD requests = 0;
    EXPECT_FALSE(ReadDword(L"TYVOTotalRequests", requests));
}

}  // namespace
