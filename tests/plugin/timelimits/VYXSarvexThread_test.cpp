// The host-firewall thread against a module double, recorded alerts and the host firewall's
// stand-in (zrtfwctl.dll in <program folder>\hostfirewall, named by the 32-bit registry view of
// the real machine registry). The module's clock and the tick count are the tests'; the
// restriction timer is never armed for real unless a test asks for it.

#include "plugin/timelimits/VYXAlertCallback.h"
#include "plugin/services/SessionAlertFlags.h"
#include "plugin/timelimits/VYXSarvexThread.h"

#include "tests/plugin/timelimits/FirewallStandInFixture.h"
#include "plugin/core/MiscThread.h"
#include "plugin/core/SiteListMatch.h"
#include "plugin/filter/CategoryMasks.h"
#include "Shared/TimeZoneManager.h"
#include "base/RegKey.h"
#include "base/TextConversion.h"
#include "tests/support/LogRecorder.h"
#include "tests/support/ScratchRegistryKey.h"
#include "tests/support/WaitUntil.h"
#include "logging/Logging.h"

#include <gtest/gtest.h>

#include <oleauto.h>

#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::wstring>;
using Thread = CVYXSarvexThread;

constexpr const wchar_t* kSettingsKey = NuvTest::FirewallStandInFixture::kSettingsKey;
const std::wstring kSid1 = L"S-1-5-21-100-200-300-1001";
const std::wstring kSid2 = L"S-1-5-21-100-200-300-1002";
constexpr DWORD kMinute = 60000;
constexpr DWORD kHour = 60 * kMinute;

// Day 0 is Sunday 7 January 2024; the day of week follows from the date, as after a FILETIME round trip.
SYSTEMTIME At(int day, int hour, int minute, int second = 0, int ms = 0) {
    SYSTEMTIME base = {2024, 1, 0, 7, 0, 0, 0, 0};
    FILETIME fileTime;
    ::SystemTimeToFileTime(&base, &fileTime);
    ULARGE_INTEGER value;
    value.LowPart = fileTime.dwLowDateTime;
    value.HighPart = fileTime.dwHighDateTime;
    value.QuadPart += ((((static_cast<ULONGLONG>(day) * 24 + hour) * 60 + minute) * 60 + second) * 1000 + ms) * 10000;
    fileTime.dwLowDateTime = value.LowPart;
    fileTime.dwHighDateTime = value.HighPart;
    SYSTEMTIME time;
    ::FileTimeToSystemTime(&fileTime, &time);
    return time;
}

// A week allowed everywhere but [from, to) of `day` (hours).
std::wstring WeekBlocking(int day, int fromHour, int toHour) {
    std::wstring text(CNuvTimeBlocksWeek::kBlockCount, L'1');
    for (int hour = fromHour; hour < toHour; ++hour) {
        for (int block = 0; block < 12; ++block) text[day * 288 + hour * 12 + block] = L'0';
    }
    return text;
}

TEST(TimeActionTest, ScheduleTable) {
    const std::wstring monday = WeekBlocking(1, 10, 11);
    const std::wstring sundayMorning = WeekBlocking(0, 0, 1);
    const std::wstring allAllowed(CNuvTimeBlocksWeek::kBlockCount, L'1');
    const std::wstring allBlocked(CNuvTimeBlocksWeek::kBlockCount, L'0');
    const DWORD nextWeek = 167 * kHour;  // Monday 11:00 to Monday 10:00
    const struct {
        const char* name;
        const std::wstring& week;
        DWORD threshold;
        SYSTEMTIME time;
        DWORD action;
        DWORD ms;
    } cases[] = {
        {"allowed, woken inside the window", monday, 15, At(1, 9, 0), Thread::kAllow, 45 * kMinute + 5000},
        {"window reached exactly: not yet", monday, 15, At(1, 9, 45), Thread::kAllow, 5000},
        {"inside the window", monday, 15, At(1, 9, 45, 5), Thread::kUpcoming, 14 * kMinute + 55000},
        {"no warnings: woken at the block", monday, 0, At(1, 9, 55), Thread::kAllow, 5 * kMinute},
        {"block under 5 s away counts", monday, 15, At(1, 9, 59, 57), Thread::kBlock, 3000 + kHour},
        {"block start", monday, 15, At(1, 10, 0), Thread::kBlock, kHour},
        {"block 10 s before its end", monday, 15, At(1, 10, 59, 50), Thread::kBlock, 10000},
        {"block end under 5 s away counts", monday, 15, At(1, 10, 59, 56), Thread::kAllow,
         4000 + nextWeek - 15 * kMinute + 5000},
        {"block end, no warnings", monday, 0, At(1, 11, 0), Thread::kAllow, nextWeek},
        {"all allowed", allAllowed, 15, At(3, 12, 0), Thread::kAllow, Thread::kNoChange},
        {"all blocked", allBlocked, 15, At(3, 12, 0), Thread::kBlock, Thread::kNoChange},
        {"Saturday night before Sunday's block", sundayMorning, 15, At(6, 23, 50), Thread::kUpcoming, 10 * kMinute},
        {"Saturday into Sunday's block", sundayMorning, 15, At(6, 23, 59, 58), Thread::kBlock, 2000 + kHour},
        {"Sunday's block ends", sundayMorning, 5, At(0, 0, 59, 59), Thread::kAllow,
         1000 + 167 * kHour - 5 * kMinute + 5000},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        const CNuvTimeBlocksWeek week(row.week.c_str());
        DWORD action = 0;
        DWORD ms = 0;
        Thread::_GetTimeAction(week, row.threshold, row.time, action, ms);
        EXPECT_EQ(row.action, action);
        EXPECT_EQ(row.ms, ms);
    }
}

TEST(WarningSettingTest, ParseTable) {
    const struct {
        const wchar_t* text;
        std::vector<DWORD> warnings;
    } cases[] = {
        {L"15/5", {15, 5}},     {L"15//5/", {15, 5}}, {L"/15", {}},  {L"0/5", {}},         {L"", {}},
        {L"30/15/5", {30, 15, 5}}, {L"5/-1/3", {5}},  {L"abc/5", {}}, {L"10min/2", {10, 2}},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(testing::Message() << "text " << std::string(row.text, row.text + wcslen(row.text)));
        EXPECT_EQ(row.warnings, Thread::ParseWarnings(row.text));
    }
}

// A local time of 2024 as the week sees it (the day of week from the date).
SYSTEMTIME Local(WORD month, WORD day, WORD hour, WORD minute = 0, WORD second = 0) {
    SYSTEMTIME time = {2024, month, 0, day, hour, minute, second, 0};
    FILETIME fileTime;
    ::SystemTimeToFileTime(&time, &fileTime);
    ::FileTimeToSystemTime(&fileTime, &time);
    return time;
}

// Central European time in a zone database of the registry's layout: +1, and +2 from the last
// Sunday of March 02:00 to the last Sunday of October 03:00 (2024: 31 March, 27 October).
class CentralEurope {
public:
    CentralEurope() {
        Tessal::CRegKey zone;
        const std::wstring path = m_database.Path() + L"\\Central Europe";
        EXPECT_EQ(ERROR_SUCCESS, zone.Create(NuvTest::ScratchRegistryKey::Root(), path.c_str()));
        zone.SetStringValue(L"Std", L"Central Europe Standard Time");
        zone.SetStringValue(L"Dlt", L"Central Europe Daylight Time");
        // Bias, standard bias, daylight bias; standard date; daylight date (wDay 5: the last week).
        struct {
            LONG biases[3];
            SYSTEMTIME standardDate;
            SYSTEMTIME daylightDate;
        } tzi = {{-60, 0, -60}, {0, 10, 0, 5, 3, 0, 0, 0}, {0, 3, 0, 5, 2, 0, 0, 0}};
        static_assert(sizeof(tzi) == 44, "the registry's TZI layout");
        EXPECT_EQ(ERROR_SUCCESS, zone.SetBinaryValue(L"TZI", &tzi, sizeof(tzi)));
        zone.Close();
        m_zones = std::make_unique<CTimeZoneManager>(NuvTest::ScratchRegistryKey::Root(), m_database.Path().c_str());
    }

    Thread::LocalTimeFunction Clock() const {
        return [this](const SYSTEMTIME& utc, SYSTEMTIME& local) {
            return m_zones->ConvertToLocalTime(L"Central Europe", &utc, &local);
        };
    }

private:
    NuvTest::ScratchRegistryKey m_database{L"SarvexZones"};
    std::unique_ptr<CTimeZoneManager> m_zones;
};

// The timer's delay is real time: on the spring-forward night an edge after the jump comes an
// hour sooner than the wall clock says, on the fall-back night an hour later.
TEST(RealDelayTest, DaylightSavingNightsTable) {
    const CentralEurope zone;
    const Thread::LocalTimeFunction clock = zone.Clock();
    const struct {
        const char* name;
        SYSTEMTIME now;
        DWORD wallMs;
        DWORD realMs;
    } cases[] = {
        {"an ordinary day", Local(1, 8, 10), 5 * kHour, 5 * kHour},
        {"nothing to wait for", Local(1, 8, 10), 0, 0},
        {"spring: before the jump", Local(3, 31, 1), 30 * kMinute, 30 * kMinute},
        {"spring: after the jump", Local(3, 31, 1), 3 * kHour, 2 * kHour},
        {"spring: just after it", Local(3, 31, 1, 30), 90 * kMinute + 5000, 30 * kMinute + 5000},
        {"spring: a skipped time is met at the jump", Local(3, 31, 1), 90 * kMinute, kHour},
        {"spring: the skipped hour's start", Local(3, 31, 1), kHour, kHour},
        {"spring: from days before", Local(3, 28, 12), 87 * kHour, 86 * kHour},
        {"spring: the night after", Local(3, 31, 4), 2 * kHour, 2 * kHour},
        {"fall: after the repeated hour", Local(10, 27, 1), 3 * kHour, 4 * kHour},
        {"fall: its first pass", Local(10, 27, 1), 90 * kMinute, 90 * kMinute},
        {"fall: the end of the repeated hour", Local(10, 27, 1), 2 * kHour, 3 * kHour},
        {"fall: inside it, taken as its second pass", Local(10, 27, 2, 30), 30 * kMinute, 30 * kMinute},
        {"fall: from days before", Local(10, 24, 12), 87 * kHour, 88 * kHour},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.realMs, Thread::_RealDelay(clock, row.now, row.wallMs));
    }
    // Without a conversion the wall clock stands.
    EXPECT_EQ(3 * kHour, Thread::_RealDelay({}, Local(3, 31, 1), 3 * kHour));
    const Thread::LocalTimeFunction failing = [](const SYSTEMTIME&, SYSTEMTIME&) { return false; };
    EXPECT_EQ(3 * kHour, Thread::_RealDelay(failing, Local(3, 31, 1), 3 * kHour));
}

// What the thread needs of the module; called from the thread and the test.
class ModuleDouble : public IFirewallModule, public IActivityLogManager {
public:
    void AddTimeBlockedUser(const wchar_t* userId) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_blocked.insert(userId);
    }
    void RemoveTimeBlockedUser(const wchar_t* userId) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_blocked.erase(userId);
    }
    void ClearTimeBlockedUsers() override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_blocked.clear();
        ++m_clears;
    }
    CSessionAlertFlags* GetSessionAlertFlags() override { return &flags; }
    void GetReliableLocalTime(SYSTEMTIME* time) override {
        std::lock_guard<std::mutex> lock(m_lock);
        *time = m_now;
    }
    bool IsReliableClockSetUp() override { return clockSetUp; }
    void InitReliableTimeProvider() override { ++m_clockInits; }
    bool HasUserWithTimeLimits() override { return true; }
    bool GetSessionUserSid(DWORD sessionId, std::wstring& sid) override {
        std::lock_guard<std::mutex> lock(m_lock);
        const auto found = m_sids.find(sessionId);
        if (found == m_sids.end()) return false;
        sid = found->second;
        return true;
    }
    bool ReadUserSettings(DWORD sessionId, MonitoredUserSettings& settings) override {
        std::lock_guard<std::mutex> lock(m_lock);
        const auto found = m_settings.find(sessionId);
        if (found == m_settings.end()) return false;
        settings = found->second;
        return true;
    }
    IActivityLogManager* GetLogManager() override { return this; }
    bool ClassifyHost(const wchar_t* host, const wchar_t*, std::string& mask) override {
        std::lock_guard<std::mutex> lock(m_lock);
        const auto found = m_masks.find(host);
        if (found == m_masks.end()) return false;
        mask = found->second;
        return true;
    }
    // Web filtering's own mask and site-list tests.
    bool IsCategoryInList(const wchar_t* mask, const wchar_t* list, std::wstring* matched) override {
        CSafeStringW found;
        if (!::IsCategoryInList(mask, list, &found)) return false;
        if (matched != nullptr) *matched = found.GetString();
        return true;
    }
    bool MatchSiteEntry(const wchar_t* host, const wchar_t* entry) override {
        return MatchUrlWithSiteEntry(CSafeStringA(Tessal::ToThreadAnsi(host).c_str()),
                                     CSafeStringA(Tessal::ToThreadAnsi(entry).c_str()));
    }

    DWORD Logon(const wchar_t*, DWORD) override { return 0; }
    DWORD Logoff(const wchar_t*, DWORD) override { return 0; }
    DWORD SystemSleep() override { return 0; }
    DWORD SystemWakeup() override { return 0; }
    DWORD WebSiteBlocked(DWORD sessionId, DWORD value, const wchar_t* url, const char* data) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_records.push_back(L"site " + std::to_wstring(sessionId) + L" " + std::to_wstring(value) + L" " + url + L" " +
                            std::wstring(data, data + std::strlen(data)));
        return 0;
    }
    DWORD AccessAttemptBlocked(DWORD sessionId, const wchar_t* text) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_records.push_back(std::to_wstring(sessionId) + L" " + text);
        return 0;
    }

    // The user's web restrictions and the reputation service's answers.
    void SetWebRestrictions(DWORD sessionId, const std::wstring& mask, LONG mode, std::vector<std::wstring> blocked,
                            std::vector<std::wstring> allowed) {
        std::lock_guard<std::mutex> lock(m_lock);
        MonitoredUserSettings& settings = m_settings[sessionId];
        settings.categoryMask = mask;
        settings.categoryMode = mode;
        settings.blockedSites = std::move(blocked);
        settings.allowedSites = std::move(allowed);
    }
    void SetClassification(const std::wstring& host, const std::string& mask) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_masks[host] = mask;
    }
    void SetNow(const SYSTEMTIME& now) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_now = now;
    }
    void SetUser(DWORD sessionId, const std::wstring& sid, const std::wstring& week) {
        std::lock_guard<std::mutex> lock(m_lock);
        if (!sid.empty()) m_sids[sessionId] = sid;
        m_settings[sessionId].week = week;
    }
    std::set<std::wstring> Blocked() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_blocked;
    }
    Lines TakeRecords() {
        std::lock_guard<std::mutex> lock(m_lock);
        return std::move(m_records);
    }
    int Clears() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_clears;
    }
    int ClockInits() const { return m_clockInits; }

    CSessionAlertFlags flags;
    std::atomic<bool> clockSetUp{true};

private:
    std::mutex m_lock;
    SYSTEMTIME m_now = At(3, 12, 0);
    std::set<std::wstring> m_blocked;
    std::map<DWORD, std::wstring> m_sids;
    std::map<DWORD, MonitoredUserSettings> m_settings;
    std::map<std::wstring, std::string> m_masks;
    Lines m_records;
    int m_clears = 0;
    std::atomic<int> m_clockInits{0};
};

// The alerts shown, one line each; keeps the callbacks it was given.
class AlertLog {
public:
    void Add(std::wstring line, IAlertCallback* callback = nullptr) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_lines.push_back(std::move(line));
        if (callback != nullptr) m_callback = callback;
    }
    Lines Take() {
        std::lock_guard<std::mutex> lock(m_lock);
        return std::move(m_lines);
    }
    Microsoft::WRL::ComPtr<IAlertCallback> Callback() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_callback;
    }

private:
    std::mutex m_lock;
    Lines m_lines;
    Microsoft::WRL::ComPtr<IAlertCallback> m_callback;
};

class RecordingAlerts : public ITimeRestrictionAlerts {
public:
    explicit RecordingAlerts(std::shared_ptr<AlertLog> log) : m_log(std::move(log)) {}
    void ShowTimeRestrictionApplied(const wchar_t* userId, DWORD sessionId) override {
        m_log->Add(L"applied " + std::wstring(userId) + L" " + std::to_wstring(sessionId));
    }
    void ShowTimeRestrictionUpcoming(DWORD minutes, DWORD sessionId) override {
        m_log->Add(L"upcoming " + std::to_wstring(minutes) + L" " + std::to_wstring(sessionId));
    }
    void ShowBlockedDueToTimeRestriction(const wchar_t* application, IAlertCallback* callback, DWORD sessionId) override {
        m_log->Add(L"blocked " + std::wstring(application) + L" " + std::to_wstring(static_cast<LONG>(sessionId)),
                   callback);
    }
    void ShowURLBlockedDueToBlacklist(const wchar_t* path, const wchar_t* host, DWORD sessionId) override {
        m_log->Add(L"listed " + std::wstring(path) + L" " + host + L" " + std::to_wstring(sessionId));
    }
    void ShowURLBlockedDueToCategoryBlocked(const wchar_t* path, const wchar_t* host, UINT stringId,
                                            DWORD sessionId) override {
        m_log->Add(L"category " + std::wstring(path) + L" " + host + L" " + std::to_wstring(stringId) + L" " +
                   std::to_wstring(sessionId));
    }
    void ShowURLBlockedDueToCategoryNotAllowed(const wchar_t* path, const wchar_t* host, DWORD sessionId) override {
        m_log->Add(L"not allowed " + std::wstring(path) + L" " + host + L" " + std::to_wstring(sessionId));
    }

private:
    std::shared_ptr<AlertLog> m_log;
};

class SarvexThreadTest : public NuvTest::FirewallStandInFixture {
protected:
    void SetUp() override {
        FirewallStandInFixture::SetUp();
        for (const wchar_t* name : {L"ApplyTimeRestrictionToUDP", L"TimeRestrictionWarnings",
                                    L"TimeRestrictionAlertQuietPeriod", L"IPCheckUpOff"}) {
            m_guard.DeleteValue(kSettingsKey, name);
        }
        NuvTest::TakeLoggedLines();
    }
    void TearDown() override {
        m_thread.reset();
        FirewallStandInFixture::TearDown();
    }

    void StartThread() {
        CVYXSarvexThreadOptions options;
        options.tickCount = [this] { return m_tick.load(); };
        options.timerDelay = [this](DWORD ms) {
            std::lock_guard<std::mutex> lock(m_lock);
            m_timerRequests.push_back(ms);
            return m_armNext.exchange(INFINITE);
        };
        options.createAlerts = [log = m_alerts]() { return std::make_unique<RecordingAlerts>(log); };
        options.processIdToSessionId = [](DWORD processId, DWORD* sessionId) -> BOOL {
            if (processId == 0xDEAD) {
                ::SetLastError(ERROR_INVALID_PARAMETER);
                return FALSE;
            }
            *sessionId = processId / 100;  // process 101 runs in session 1
            return TRUE;
        };
        options.afterEvent = [this](DWORD index) {
            if (index == m_holdAt) {
                m_holding = true;
                ::WaitForSingleObject(m_gate.Get(), 5000);
            }
            std::lock_guard<std::mutex> lock(m_lock);
            ++m_handled[index];
        };
        options.toLocalTime = m_toLocalTime;
        options.stopWaitMs = m_stopWaitMs;
        const int started = Handled(Thread::kHandleCount);
        m_thread = std::make_unique<Thread>(m_module, options);
        ASSERT_TRUE(NuvTest::WaitUntil([&] { return Handled(Thread::kHandleCount) > started; })) << "the loop started";
    }

    int Handled(DWORD index) {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_handled[index];
    }
    // Runs `step` and waits until the thread has handled `index` once more.
    template <class Step>
    void Await(DWORD index, Step step) {
        const int before = Handled(index);
        step();
        ASSERT_TRUE(NuvTest::WaitUntil([&] { return Handled(index) > before; })) << "handle " << index;
    }
    void SignIn(const wchar_t* user, DWORD session) {
        Await(Thread::kUsersAdded, [&] { m_thread->OnUserLogon(user, session); });
    }
    void SetTimeTo(const SYSTEMTIME& now) {
        m_module.SetNow(now);
        Await(Thread::kRestrictionTimer, [&] { m_thread->OnTimeChanged(); });
    }
    void Notice(const wchar_t* application, DWORD processId) {
        Await(Thread::kBlockedConnections,
              [&] { m_thread->OnTrafficBlocked(application, processId, L"10.0.0.2", 50000, L"10.0.0.1", 443); });
    }
    std::vector<DWORD> TakeTimerRequests() {
        std::lock_guard<std::mutex> lock(m_lock);
        return std::move(m_timerRequests);
    }
    // The users of the time-restriction rule, or "" without rule.
    std::wstring RuleUsers() {
        for (const std::wstring& line : HostFirewallStandIn::TakeLines(m_control->RulesNow())) {
            if (line.rfind(L"rule {23402C5D", 0) != 0) continue;
            const std::size_t at = line.find(L"users ");
            return at == std::wstring::npos ? L"?" : line.substr(at + 6, line.find(L" |", at) - at - 6);
        }
        return L"";
    }

    ModuleDouble m_module;
    std::shared_ptr<AlertLog> m_alerts = std::make_shared<AlertLog>();
    std::atomic<DWORD> m_tick{1000};
    std::atomic<DWORD> m_armNext{INFINITE};
    std::atomic<DWORD> m_holdAt{0xFFFF};
    std::atomic<bool> m_holding{false};
    Tessal::UniqueHandle m_gate{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::mutex m_lock;
    std::map<DWORD, int> m_handled;
    std::vector<DWORD> m_timerRequests;
    std::unique_ptr<Thread> m_thread;
    long m_completed = 0;  // connections answered so far
    Thread::LocalTimeFunction m_toLocalTime;  // empty: the PC's zone
    DWORD m_stopWaitMs = 30000;

    // An entry of the category table the thread loads at its start.
    void SetCategoryName(const std::wstring& mask, const std::wstring& stringId) {
        const std::wstring key = std::wstring(kSettingsKey) + L"\\Categories";
        m_guard.WillCreate(key);
        ASSERT_TRUE(m_guard.SetString(key, mask, stringId));
    }

    // Offers a held connection and waits for the thread's answer: one verdict, one completion.
    void ExpectJudged(const HostFirewallStandIn::OfferedConnection& offered, long verdict) {
        long number = 0;
        ASSERT_EQ(1, m_control->OfferConnection(offered, &number));
        ASSERT_TRUE(m_control->WaitForCompletions(++m_completed, 10000));
        const std::wstring outcome =
            std::to_wstring(number) + L" offered 1 verdict " + std::to_wstring(verdict) + L" complete 1";
        bool found = false;
        for (const std::wstring& line : HostFirewallStandIn::TakeLines(m_control->ConnectionOutcomes())) {
            found |= line == outcome;
        }
        EXPECT_TRUE(found) << std::string(outcome.begin(), outcome.end());
    }
};

using Set = std::set<std::wstring>;
using Delays = std::vector<DWORD>;

TEST_F(SarvexThreadTest, SettingsAndTheirDefaults) {
    StartThread();
    EXPECT_EQ(Delays({15, 5}), m_thread->Warnings());
    EXPECT_EQ(180u, m_thread->QuietPeriodSeconds());
    EXPECT_FALSE(m_thread->IPCheckUpOff());
    m_thread.reset();

    ASSERT_TRUE(m_guard.SetString(kSettingsKey, L"TimeRestrictionWarnings", L"30//10/"));
    ASSERT_TRUE(m_guard.SetDword(kSettingsKey, L"TimeRestrictionAlertQuietPeriod", 0));
    ASSERT_TRUE(m_guard.SetDword(kSettingsKey, L"IPCheckUpOff", 1));
    NuvTest::TakeLoggedLines();
    StartThread();
    EXPECT_EQ(Delays({30, 10}), m_thread->Warnings());
    EXPECT_EQ(0u, m_thread->QuietPeriodSeconds());
    EXPECT_TRUE(m_thread->IPCheckUpOff());
    bool logged = false;
    for (const auto& line : NuvTest::TakeLoggedLines()) logged |= line.text == L"IP CheckUp disabled\r\n";
    EXPECT_TRUE(logged);

    m_module.SetUser(1, kSid1, WeekBlocking(1, 10, 11));
    SignIn(L"child", 1);
    CMonitoredUser user;
    ASSERT_TRUE(m_thread->GetUser(L"CHILD", user)) << "ids compare without case";
    EXPECT_EQ(30u, user.schedule.warningThreshold) << "the first warning";
    EXPECT_EQ(kSid1, user.sid);
    EXPECT_EQ(1u, user.sessionId);
}

TEST_F(SarvexThreadTest, AllowUpcomingBlockAllow) {
    m_module.SetUser(1, kSid1, WeekBlocking(1, 10, 11));
    m_module.SetNow(At(1, 9, 0));
    StartThread();
    SignIn(L"child", 1);
    EXPECT_EQ(L"", RuleUsers());
    EXPECT_EQ(Set{}, m_module.Blocked());
    EXPECT_EQ(Delays({45 * kMinute + 5000}), TakeTimerRequests()) << "woken inside the first warning's window";
    EXPECT_EQ(Lines{}, m_alerts->Take());

    SetTimeTo(At(1, 9, 45, 5));
    EXPECT_EQ(Lines{L"upcoming 15 1"}, m_alerts->Take());
    EXPECT_EQ(Delays({9 * kMinute + 55000}), TakeTimerRequests()) << "woken at the 5-minute warning";
    EXPECT_EQ(L"", RuleUsers());

    SetTimeTo(At(1, 9, 55));
    EXPECT_EQ(Lines{L"upcoming 6 1"}, m_alerts->Take());
    EXPECT_EQ(Delays({5 * kMinute}), TakeTimerRequests()) << "no warning left: woken at the block";

    SetTimeTo(At(1, 10, 0));
    EXPECT_EQ(kSid1, RuleUsers());
    EXPECT_EQ(Set{L"child"}, m_module.Blocked());
    EXPECT_EQ(Lines{L"applied child 1"}, m_alerts->Take());
    EXPECT_EQ(Delays({kHour}), TakeTimerRequests());

    SetTimeTo(At(1, 10, 30));
    EXPECT_EQ(Lines{}, m_alerts->Take()) << "still blocked: nothing new";
    EXPECT_EQ(Delays({30 * kMinute}), TakeTimerRequests());

    SetTimeTo(At(1, 11, 0));
    EXPECT_EQ(L"", RuleUsers());
    EXPECT_EQ(Set{}, m_module.Blocked());
    EXPECT_EQ(Lines{}, m_alerts->Take());
    EXPECT_EQ(Delays({167 * kHour - 15 * kMinute + 5000}), TakeTimerRequests());
}

TEST_F(SarvexThreadTest, TheArmedTimerEvaluatesAgainByItself) {
    m_module.SetUser(1, kSid1, WeekBlocking(1, 10, 11));
    m_module.SetNow(At(1, 9, 45, 5));
    StartThread();
    m_armNext = 1;
    const int before = Handled(Thread::kRestrictionTimer);
    SignIn(L"child", 1);
    ASSERT_TRUE(NuvTest::WaitUntil([&] { return Handled(Thread::kRestrictionTimer) > before; }));
    EXPECT_EQ(Lines({L"upcoming 15 1", L"upcoming 15 1"}), m_alerts->Take()) << "sign-in, then the timer";
}

TEST_F(SarvexThreadTest, SignInDuringABlockShowsNoAppliedAlert) {
    m_module.SetUser(1, kSid1, WeekBlocking(1, 10, 11));
    m_module.SetUser(2, kSid2, WeekBlocking(1, 10, 11));
    m_module.SetNow(At(1, 10, 30));
    StartThread();
    SignIn(L"child", 1);
    EXPECT_EQ(kSid1, RuleUsers());
    EXPECT_EQ(Set{L"child"}, m_module.Blocked());
    EXPECT_EQ(Lines{}, m_alerts->Take());

    // A changed week blocking a signed-in user is told.
    m_module.SetUser(2, kSid2, std::wstring(CNuvTimeBlocksWeek::kBlockCount, L'1'));
    SignIn(L"sibling", 2);
    EXPECT_EQ(kSid1, RuleUsers());
    m_module.SetUser(2, kSid2, WeekBlocking(1, 10, 11));
    Await(Thread::kConfigurationChanged, [&] { m_thread->OnSettingsChanged(); });
    EXPECT_EQ(kSid1 + L" " + kSid2, RuleUsers());
    EXPECT_EQ(Set({L"child", L"sibling"}), m_module.Blocked());
    EXPECT_EQ(Lines{L"applied sibling 2"}, m_alerts->Take());
}

TEST_F(SarvexThreadTest, AUserWithoutSidIsBlockedOnTheWebOnly) {
    m_module.SetUser(3, L"", WeekBlocking(1, 10, 11));
    m_module.SetNow(At(1, 10, 30));
    StartThread();
    SignIn(L"child", 3);
    EXPECT_EQ(L"", RuleUsers());
    EXPECT_EQ(Set{L"child"}, m_module.Blocked());
    bool logged = false;
    for (const auto& line : NuvTest::TakeLoggedLines()) {
        logged |= line.level == ETWLogging::LOG_ERROR && line.text == L"Unable to get SID for user session 3\r\n";
    }
    EXPECT_TRUE(logged);
}

TEST_F(SarvexThreadTest, BlockedConnectionAlertsWaitOutTheQuietPeriod) {
    m_module.SetUser(1, kSid1, WeekBlocking(1, 10, 11));
    m_module.SetNow(At(1, 9, 0));
    StartThread();
    SignIn(L"child", 1);
    m_tick = 5000;
    SetTimeTo(At(1, 10, 0));
    EXPECT_EQ(Lines{L"applied child 1"}, m_alerts->Take());

    m_tick = 5000 + 60 * 1000;
    Notice(L"C:\\apps\\game.exe", 101);
    EXPECT_EQ(Lines{L"1 C:\\apps\\game.exe"}, m_module.TakeRecords());
    EXPECT_EQ(Lines{}, m_alerts->Take()) << "60 s after the applied alert";

    m_tick = 5000 + 200 * 1000;
    Notice(L"C:\\apps\\game.exe", 101);
    EXPECT_EQ(Lines{L"1 C:\\apps\\game.exe"}, m_module.TakeRecords());
    EXPECT_EQ(Lines{L"blocked C:\\apps\\game.exe 1"}, m_alerts->Take()) << "200 s after";

    // An unknown process: the active session is told, nothing is recorded.
    Notice(L"C:\\apps\\chat.exe", 0xDEAD);
    EXPECT_EQ(Lines{}, m_module.TakeRecords());
    EXPECT_EQ(Lines{L"blocked C:\\apps\\chat.exe -1"}, m_alerts->Take());

    // The user silences the session through the alert's answer.
    const Microsoft::WRL::ComPtr<IAlertCallback> callback = m_alerts->Callback();
    ASSERT_NE(nullptr, callback);
    BSTR other = ::SysAllocString(L"00000000-0000-0000-0000-000000000000");
    EXPECT_EQ(E_NOTIMPL, callback->OnAlertResponse(other, 1));
    ::SysFreeString(other);
    EXPECT_EQ(1u, m_module.flags.IsEnabled(1));
    BSTR silence = ::SysAllocString(CVYXAlertCallback::kSilenceAlertsId);
    EXPECT_EQ(S_OK, callback->OnAlertResponse(silence, 1));
    ::SysFreeString(silence);
    EXPECT_EQ(0u, m_module.flags.IsEnabled(1));
    Notice(L"C:\\apps\\game.exe", 101);
    EXPECT_EQ(Lines{L"1 C:\\apps\\game.exe"}, m_module.TakeRecords());
    EXPECT_EQ(Lines{}, m_alerts->Take()) << "silenced";

    // The next restriction wants alerts again.
    SetTimeTo(At(1, 11, 0));
    SetTimeTo(At(8, 10, 0));
    EXPECT_EQ(Lines{L"applied child 1"}, m_alerts->Take());
    EXPECT_EQ(1u, m_module.flags.IsEnabled(1));
}

TEST_F(SarvexThreadTest, SignOutWhileBlockedLiftsTheBlock) {
    m_module.SetUser(1, kSid1, WeekBlocking(1, 10, 11));
    m_module.SetUser(2, kSid2, WeekBlocking(1, 10, 11));
    m_module.SetNow(At(1, 10, 30));
    StartThread();
    SignIn(L"child", 1);
    SignIn(L"sibling", 2);
    EXPECT_EQ(kSid1 + L" " + kSid2, RuleUsers());

    Await(Thread::kUsersRemoved, [&] { m_thread->OnUserLogoff(L"Child"); });
    EXPECT_EQ(kSid2, RuleUsers());
    EXPECT_EQ(Set{L"sibling"}, m_module.Blocked());
    CMonitoredUser user;
    EXPECT_FALSE(m_thread->GetUser(L"child", user));

    Await(Thread::kUsersRemoved, [&] { m_thread->OnUserLogoff(L"sibling"); });
    EXPECT_EQ(L"", RuleUsers()) << "nobody left: rule gone";
    EXPECT_EQ(Set{}, m_module.Blocked());
}

TEST_F(SarvexThreadTest, SignInOfAUserMarkedRemovedKeepsTheRecord) {
    m_module.SetUser(1, kSid1, WeekBlocking(1, 10, 11));
    m_module.SetNow(At(1, 10, 30));
    StartThread();
    SignIn(L"child", 1);

    // Hold the thread so sign-out and sign-in both land before it looks.
    m_holdAt = Thread::kConfigurationChanged;
    m_thread->OnSettingsChanged();
    ASSERT_TRUE(NuvTest::WaitUntil([&] { return m_holding.load(); }));
    m_thread->OnUserLogoff(L"child");
    CMonitoredUser user;
    ASSERT_TRUE(m_thread->GetUser(L"child", user));
    EXPECT_TRUE(user.removed);
    m_thread->OnUserLogon(L"child", 2);
    ASSERT_TRUE(m_thread->GetUser(L"child", user));
    EXPECT_FALSE(user.removed);
    EXPECT_EQ(2u, user.sessionId);

    const int removals = Handled(Thread::kUsersRemoved);
    ::SetEvent(m_gate.Get());
    ASSERT_TRUE(NuvTest::WaitUntil([&] { return Handled(Thread::kUsersRemoved) > removals; }));
    ASSERT_TRUE(m_thread->GetUser(L"child", user));
    EXPECT_EQ(kSid1, RuleUsers());
    EXPECT_EQ(Set{L"child"}, m_module.Blocked());
}

TEST_F(SarvexThreadTest, StoppingCleansUp) {
    m_module.SetUser(1, kSid1, WeekBlocking(1, 10, 11));
    m_module.SetNow(At(1, 10, 30));
    m_module.clockSetUp = false;
    StartThread();
    EXPECT_EQ(1, m_module.ClockInits()) << "a user with time limits wants the reliable clock";
    SignIn(L"child", 1);
    EXPECT_EQ(kSid1, RuleUsers());

    m_thread.reset();
    EXPECT_EQ(1, m_module.Clears());
    EXPECT_EQ(Set{}, m_module.Blocked());
    EXPECT_EQ(L"", RuleUsers());
    EXPECT_EQ(0, m_control->LiveObjects());
}

// A stop that gives up on a thread hung in a firewall call returns; nothing of the thread's is
// torn down under it, and once the call returns the thread cleans up by itself, calls the module
// no more, and its state goes with it.
TEST_F(SarvexThreadTest, AStopThatGivesUpLeavesTheHungThreadItsState) {
    ASSERT_TRUE(NuvTest::WaitUntil([] { return Thread::LiveStates() == 0; })) << "earlier threads ended";
    m_module.SetUser(1, kSid1, WeekBlocking(1, 10, 11));
    m_module.SetUser(2, kSid2, WeekBlocking(1, 10, 11));
    m_module.SetNow(At(1, 10, 30));
    m_stopWaitMs = 200;
    StartThread();
    SignIn(L"child", 1);
    ASSERT_EQ(kSid1, RuleUsers());
    EXPECT_EQ(1, Thread::LiveStates());

    // The rule's update for the next blocked user hangs in the firewall.
    m_control->HoldCall("AddPolicy");
    m_thread->OnUserLogon(L"sibling", 2);
    ASSERT_TRUE(m_control->WaitForHeldCall(10000));
    TakeCalls();
    NuvTest::TakeLoggedLines();
    m_thread.reset();
    EXPECT_TRUE(m_control->WaitForHeldCall(0)) << "the stop returned while the call hangs";
    EXPECT_EQ(1, Thread::LiveStates()) << "the thread's share keeps its state";
    for (const std::wstring& call : TakeCalls()) {
        ADD_FAILURE() << "torn down under the hung thread: " << std::string(call.begin(), call.end());
    }
    bool logged = false;
    for (const auto& line : NuvTest::TakeLoggedLines()) {
        logged |= line.level == ETWLogging::LOG_ERROR &&
                  line.text == L"Host firewall thread did not stop within 200 ms, leaving it\r\n";
    }
    EXPECT_TRUE(logged);

    m_control->ReleaseHeldCall();
    ASSERT_TRUE(NuvTest::WaitUntil([] { return Thread::LiveStates() == 0; }, 10000)) << "the late thread ended";
    int released = 0;
    for (const std::wstring& call : TakeCalls()) released += call == L"product.Released" ? 1 : 0;
    EXPECT_EQ(2, released) << "each rule's point product released once, by the thread";
    EXPECT_EQ(L"", RuleUsers());
    EXPECT_EQ(0, m_module.Clears()) << "the module is not called once its owner gave up";
}

// The firewall refuses the rule's registration as a block starts: the next evaluation, for
// whatever reason it comes, tries again though no user's action changed; no wake-up is added.
TEST_F(SarvexThreadTest, ARefusedRegistrationIsTriedAgainAtTheNextEvaluation) {
    m_module.SetUser(1, kSid1, WeekBlocking(1, 10, 11));
    m_module.SetWebRestrictions(1, L"00000000000000000000000000000000", 0, {}, {});  // no IP check-up
    m_module.SetNow(At(1, 10, 0));
    StartThread();
    m_control->SetResult("factory.Register", E_FAIL);
    SignIn(L"child", 1);
    EXPECT_EQ(L"", RuleUsers()) << "refused";
    EXPECT_EQ(Set{L"child"}, m_module.Blocked()) << "the web is blocked all the same";
    EXPECT_EQ(Delays({kHour}), TakeTimerRequests()) << "woken at the block's end only";

    m_control->ResetResults();
    SetTimeTo(At(1, 10, 20));
    EXPECT_EQ(kSid1, RuleUsers());
    EXPECT_EQ(Delays({40 * kMinute}), TakeTimerRequests());
    TakeCalls();
    SetTimeTo(At(1, 10, 40));
    for (const std::wstring& call : TakeCalls()) {
        EXPECT_EQ(std::wstring::npos, call.find(L"Register")) << "registered: not again";
    }
    EXPECT_EQ(kSid1, RuleUsers());
}

// The spring-forward night: a block at 04:00 seen at 01:00 is two real hours away, not three.
TEST_F(SarvexThreadTest, TheTimerMeetsTheEdgeAcrossTheSpringForwardNight) {
    const CentralEurope zone;
    m_toLocalTime = zone.Clock();
    m_module.SetUser(1, kSid1, WeekBlocking(0, 4, 5));  // Sundays 04:00 to 05:00
    m_module.SetNow(Local(3, 31, 1));
    StartThread();
    SignIn(L"child", 1);
    EXPECT_EQ(Delays({105 * kMinute + 5000}), TakeTimerRequests()) << "inside the warning window at 03:45 CEST";
    SetTimeTo(Local(3, 31, 3, 45, 5));
    EXPECT_EQ(Lines{L"upcoming 15 1"}, m_alerts->Take());
    EXPECT_EQ(Delays({9 * kMinute + 55000}), TakeTimerRequests());
}

}  // namespace

namespace {

// The PC's time changes reach the thread the way the module passes the misc thread's notices
// on: a change of the time-zone key (a new zone, or daylight saving starting or ending) and
// WM_TIMECHANGE each make it evaluate again.
class TimeChangeTest : public ::testing::Test,
                       public ISessionNotificationCallback,
                       public IRegistryChangedCallback,
                       public ITimeChangeCallback {
protected:
    static constexpr wchar_t kTimeZoneKey[] = L"System\\CurrentControlSet\\Control\\TimeZoneInformation";

    void SetUp() override {
        ASSERT_TRUE(m_guard.CreateKey(kTimeZoneKey));
        CVYXSarvexThreadOptions options;
        options.timerDelay = [](DWORD) { return INFINITE; };
        options.createAlerts = [] { return std::unique_ptr<ITimeRestrictionAlerts>(); };
        options.afterEvent = [this](DWORD index) {
            if (index == Thread::kRestrictionTimer) ++m_evaluations;
            if (index == Thread::kHandleCount) m_started = true;
        };
        m_thread = std::make_unique<Thread>(m_module, options);
        ASSERT_TRUE(NuvTest::WaitUntil([&] { return m_started.load(); }));
        m_shutdown.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        CMiscThread::Options misc;
        misc.shutdownEvent = m_shutdown.Get();
        misc.timeChange = this;
        misc.timeZoneCheckDelay = 0;
        misc.useConsole = false;
        m_misc = std::make_unique<CMiscThread>(this, this, misc);
        ASSERT_TRUE(NuvTest::WaitUntil(
            [&] { return (m_window = ::FindWindowW(CMiscThread::kWindowClassName, nullptr)) != nullptr; }));
    }
    void TearDown() override {
        if (m_shutdown) ::SetEvent(m_shutdown.Get());
        m_misc.reset();
        m_thread.reset();
    }

    void OnSessionLogon(DWORD) override {}
    void OnSessionLogoff(DWORD) override {}
    void OnRegistryChanged() override {}
    // What the module does: the host-firewall thread hears of it.
    void OnSystemTimeChanged() override { m_thread->OnTimeChanged(); }

    NuvTest::MachineKeyGuard m_guard;
    ModuleDouble m_module;
    std::atomic<int> m_evaluations{0};
    std::atomic<bool> m_started{false};
    std::unique_ptr<Thread> m_thread;
    Tessal::UniqueHandle m_shutdown;
    std::unique_ptr<CMiscThread> m_misc;
    HWND m_window = nullptr;
};

TEST_F(TimeChangeTest, TimeZoneAndClockChangesMakeTheThreadEvaluateAgain) {
    // Written again each round: the watch may be armed after the window appears.
    DWORD probe = 0;
    const int before = m_evaluations;
    EXPECT_TRUE(NuvTest::WaitUntil([&] {
        m_guard.SetDword(kTimeZoneKey, L"ActiveTimeBias", ++probe);
        return m_evaluations > before;
    })) << "a change of the time-zone key";

    const int evaluated = m_evaluations;
    ASSERT_TRUE(::PostMessageW(m_window, WM_TIMECHANGE, 0, 0));
    EXPECT_TRUE(NuvTest::WaitUntil([&] { return m_evaluations > evaluated; })) << "WM_TIMECHANGE";
}

// The IP check-up: every connection the firewall holds for a user with web restrictions gets one
// verdict and one completion, after the allowed list, the blocked list and the categories.
TEST_F(SarvexThreadTest, HeldConnectionsAreJudgedLikeVisitedSites) {
    const std::string adult = "00000000040000000000000000000000";
    m_module.SetUser(1, kSid1, std::wstring(CNuvTimeBlocksWeek::kBlockCount, L'1'));
    m_module.SetWebRestrictions(1, L"00000000040000000000000000000000", 0, {L"bad.test", L"both.test", L"10.9.9.9"},
                                {L"both.test"});
    m_module.SetClassification(L"adult.example", adult);
    m_module.SetClassification(L"news.example", "00000000000000000000000000000001");
    SetCategoryName(L"00000000040000000000000000000000", L"14140");
    StartThread();
    SignIn(L"child", 1);
    ASSERT_TRUE(NuvTest::WaitUntil([&] {
        for (const std::wstring& line : Rules()) {
            if (line.rfind(L"rule {C890594E", 0) == 0 && line.find(kSid1) != std::wstring::npos) return true;
        }
        return false;
    })) << "the IP check-up rule names the user";
    m_alerts->Take();
    m_module.TakeRecords();

    const struct {
        const char* name;
        BYTE lastByte;            // of the remote address 10.9.9.x
        const wchar_t* reverse;   // null: no name
        DWORD processId;
        long verdict;             // 6 block, 1 allow
        const wchar_t* alert;     // null: none
        const wchar_t* record;    // null: none
    } cases[] = {
        {"on both lists: the allowed list first", 1, L"both.test", 101, 1, nullptr, nullptr},
        {"on the blocked list", 2, L"bad.test", 101, 6, L"listed C:\\apps\\app.exe bad.test 1", L"site 1 2 bad.test "},
        {"a blocked category, named by the table", 3, L"adult.example", 101, 6,
         L"category C:\\apps\\app.exe adult.example 14140 1",
         L"site 1 0 adult.example 00000000040000000000000000000000"},
        {"another category", 4, L"news.example", 101, 1, nullptr, nullptr},
        {"not classified", 5, L"unknown.example", 101, 1, nullptr, nullptr},
        {"no name: judged by the address", 9, nullptr, 101, 6, L"listed C:\\apps\\app.exe 10.9.9.9 1",
         L"site 1 2 10.9.9.9 "},
        {"a session nobody monitored", 2, L"bad.test", 801, 1, nullptr, nullptr},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        HostFirewallStandIn::OfferedConnection offered;
        offered.remoteAddress = {{10, 9, 9, row.lastByte}, 4};
        offered.processId = row.processId;
        offered.processPath = L"C:\\apps\\app.exe";
        m_control->SetReverseName(offered.remoteAddress, row.reverse);
        ExpectJudged(offered, row.verdict);
        EXPECT_EQ(row.alert != nullptr ? Lines{row.alert} : Lines{}, m_alerts->Take());
        EXPECT_EQ(row.record != nullptr ? Lines{row.record} : Lines{}, m_module.TakeRecords());
    }
}

}  // namespace

namespace {

// Category mode 1: the user's masks are the only categories allowed; a block names the first
// category of the table that the site has (20115 without one), or says "not allowed" for the
// special mask.
TEST_F(SarvexThreadTest, OnlyAllowedCategoriesPassAndBlocksNameTheSitesCategory) {
    const std::wstring kids = L"00000000000000000000000000000010";
    const struct {
        const char* name;
        std::wstring userMask;
        std::string siteMask;
        long verdict;
        const wchar_t* alert;
        const wchar_t* record;
    } cases[] = {
        {"an allowed category", kids, "00000000000000000000000000000010", 1, nullptr, nullptr},
        {"a category of the table", kids, "00000000000000000000000000000100", 6,
         L"category C:\\apps\\app.exe site.example 14200 1", L"site 1 1 site.example 00000000000000000000000000000100"},
        {"a category without a table entry", kids, "00000000000000000000000000000001", 6,
         L"category C:\\apps\\app.exe site.example 20115 1", L"site 1 1 site.example "},
        {"the special mask", L"00000000200000000000000000000000", "00000000000000000000000000000001", 6,
         L"not allowed C:\\apps\\app.exe site.example 1", L"site 1 1 site.example "},
    };
    m_module.SetUser(1, kSid1, std::wstring(CNuvTimeBlocksWeek::kBlockCount, L'1'));
    SetCategoryName(L"00000000000000000000000000000100", L"14200");
    StartThread();
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        m_module.SetWebRestrictions(1, row.userMask, 1, {}, {});
        m_module.SetClassification(L"site.example", row.siteMask);
        if (m_completed == 0) {
            SignIn(L"child", 1);
        } else {
            Await(Thread::kConfigurationChanged, [&] { m_thread->OnSettingsChanged(); });
        }
        m_alerts->Take();
        HostFirewallStandIn::OfferedConnection offered;
        offered.remoteAddress = {{10, 9, 8, 7}, 4};
        offered.processId = 101;
        offered.processPath = L"C:\\apps\\app.exe";
        m_control->SetReverseName(offered.remoteAddress, L"site.example");
        ExpectJudged(offered, row.verdict);
        EXPECT_EQ(row.alert != nullptr ? Lines{row.alert} : Lines{}, m_alerts->Take());
        EXPECT_EQ(row.record != nullptr ? Lines{row.record} : Lines{}, m_module.TakeRecords());
    }
}

// The rule lists the users with web restrictions, and follows their settings.
TEST_F(SarvexThreadTest, TheCheckUpRuleFollowsTheUsersSettings) {
    const auto ruleNames = [this](const std::wstring& sid) {
        for (const std::wstring& line : Rules()) {
            if (line.rfind(L"rule {C890594E", 0) == 0) return line.find(sid) != std::wstring::npos;
        }
        return false;
    };
    m_module.SetUser(1, kSid1, std::wstring(CNuvTimeBlocksWeek::kBlockCount, L'1'));
    m_module.SetWebRestrictions(1, L"00000000000000000000000000000000", 0, {}, {});
    StartThread();
    SignIn(L"child", 1);
    EXPECT_FALSE(ruleNames(kSid1)) << "nothing restricted on the web: not checked";
    m_module.SetWebRestrictions(1, L"00000000000000000000000000000000", 0, {L"bad.test"}, {});
    Await(Thread::kConfigurationChanged, [&] { m_thread->OnSettingsChanged(); });
    EXPECT_TRUE(ruleNames(kSid1));
    TakeCalls();
    Await(Thread::kConfigurationChanged, [&] { m_thread->OnSettingsChanged(); });
    for (const std::wstring& call : TakeCalls()) {
        EXPECT_EQ(std::wstring::npos, call.find(L"{5C7F8B66")) << "the same users: the check-up rule is left alone";
    }
    m_module.SetWebRestrictions(1, L"00000000000000000000000000000000", 0, {}, {});
    Await(Thread::kConfigurationChanged, [&] { m_thread->OnSettingsChanged(); });
    EXPECT_FALSE(ruleNames(kSid1));
}

}  // namespace
