#include "Shared/ReliableTimeProvider.h"

#include "base/RegKey.h"
#include "logging/LoggingIf.h"

#include "tests/Shared/SntpResponder.h"
#include "tests/support/LogRecorder.h"
#include "tests/support/ScratchRegistryKey.h"
#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// 2024-03-10 12:34:56.5 UTC as an NTP timestamp.
constexpr DWORD kServerSeconds = 3919062896UL;
constexpr DWORD kHalfSecond = 0x80000000UL;
constexpr SYSTEMTIME kServerTime = {2024, 3, 0, 10, 12, 34, 56, 500};

constexpr DWORD kThirtyDaysMs = 2592000000UL;
constexpr LONGLONG kDaily = -864000000000LL;
constexpr LONGLONG kEveryMillisecond = -10000LL;
// Query time-outs: where a lost answer would change the result, and where a retry follows.
constexpr DWORD kAnswered = 5000;
constexpr DWORD kRetried = 50;

// The tick count every provider under test reads.
std::atomic<DWORD> g_tick{0};
DWORD WINAPI TestTickCount() { return g_tick.load(); }

ULONGLONG Units(const SYSTEMTIME& time) {
    FILETIME file = {};
    EXPECT_TRUE(::SystemTimeToFileTime(&time, &file));
    return (static_cast<ULONGLONG>(file.dwHighDateTime) << 32) | file.dwLowDateTime;
}

std::string Text(const SYSTEMTIME& time) {
    char text[40];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d.%03d", time.wYear, time.wMonth, time.wDay,
                  time.wHour, time.wMinute, time.wSecond, time.wMilliseconds);
    return text;
}

// A time server on 127.0.0.1, a time-zone database of the test's own, and the provider's log.
class ReliableTimeProviderTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_tick = 5000;
        responder_.SetTransmitTime(kServerSeconds, kHalfSecond);
        ASSERT_EQ(ERROR_SUCCESS, database_.Create(NuvTest::ScratchRegistryKey::Root(), zones_.Path().c_str()));
        AddZone(L"Utc Test", 0);
        AddZone(L"Plus One", -60);
        AddZone(L"Minus Five Thirty", 330);
        NuvTest::TakeLoggedLines();
    }

    void AddZone(const wchar_t* name, LONG bias) {
        BYTE tzi[44] = {};  // no daylight time
        std::memcpy(tzi, &bias, sizeof(bias));
        Tessal::CRegKey zone;
        ASSERT_EQ(ERROR_SUCCESS, zone.Create(database_, name));
        ASSERT_EQ(ERROR_SUCCESS, zone.SetStringValue(L"Std", name));
        ASSERT_EQ(ERROR_SUCCESS, zone.SetBinaryValue(L"TZI", tzi, sizeof(tzi)));
    }

    // A silent server costs each query its whole time-out; where every query is answered, a long
    // one keeps a busy machine from turning an answer into a failure.
    std::unique_ptr<CReliableTimeProvider> StartProvider(LONGLONG refreshDue, DWORD queryTimeoutMs) {
        ReliableClockOptions options;
        options.port = responder_.Port();
        options.tickCount = TestTickCount;
        options.refreshDue = refreshDue;
        options.queryTimeoutMs = queryTimeoutMs;
        options.timeZoneRoot = NuvTest::ScratchRegistryKey::Root();
        options.timeZoneDatabase = zones_.Path().c_str();
        return std::make_unique<CReliableTimeProvider>(L"127.0.0.1", options);
    }

    struct Answer {
        SYSTEMTIME time;
        DWORD reliable;
    };
    static Answer Ask(CReliableTimeProvider& provider, const wchar_t* zone = L"Utc Test", DWORD waitMs = 0) {
        Answer answer = {{}, 0xDEADBEEF};
        provider.GetCurrentLocalTime(zone, &answer.time, &answer.reliable, waitMs);
        return answer;
    }

    // Lines logged so far at `level` that contain `text`.
    std::size_t Logged(DWORD level, const std::wstring& text) {
        for (NuvTest::LoggedLine& line : NuvTest::TakeLoggedLines()) lines_.push_back(std::move(line));
        std::size_t count = 0;
        for (const NuvTest::LoggedLine& line : lines_) {
            if (line.level == level && line.text.find(text) != std::wstring::npos) ++count;
        }
        return count;
    }
    std::wstring UnableToQuery() const {
        return L"Unable to query time from server 127.0.0.1:" + std::to_wstring(responder_.Port()) +
               L", is it being blocked?";
    }

    // Returns once a whole query has run after the call: the second request starts only when the
    // first has been handled.
    void WaitForAttemptStartedNow() {
        const LONG seen = responder_.Requests();
        ASSERT_TRUE(NuvTest::WaitUntil([&] { return responder_.Requests() >= seen + 2; }));
    }

    NuvTest::SntpResponder responder_;
    NuvTest::ScratchRegistryKey zones_{L"ReliableClockZones"};
    Tessal::CRegKey database_;
    std::vector<NuvTest::LoggedLine> lines_;
};

TEST_F(ReliableTimeProviderTest, TakesTheServerTimeAndMovesWithTheTickCountOnly) {
    g_tick = 0xFFFF0000UL;  // the tick count wraps 65.5 s after the answer
    auto provider = StartProvider(kDaily, kAnswered);

    const Answer first = Ask(*provider, L"Utc Test", 10000);
    ASSERT_EQ(1u, first.reliable);
    EXPECT_EQ(Units(kServerTime), Units(first.time)) << Text(first.time);
    EXPECT_EQ(1, responder_.Requests());  // asking while synchronised does not query again
    EXPECT_EQ(48, responder_.LastRequestSize());
    EXPECT_EQ(27, responder_.LastRequestFirstByte());

    // The Windows clock is not ours to set: show that the answer ignores it. It stays put while
    // the PC's clock runs on, and moves exactly as far as the tick count does.
    ::Sleep(20);
    EXPECT_EQ(Units(kServerTime), Units(Ask(*provider).time));

    struct Case {
        DWORD elapsedMs;
        SYSTEMTIME expected;
    };
    const Case cases[] = {
        {250, {2024, 3, 0, 10, 12, 34, 56, 750}},
        {5400250, {2024, 3, 0, 10, 14, 4, 56, 750}},  // across the wrap
        {kThirtyDaysMs, {2024, 4, 0, 9, 12, 34, 56, 500}},  // more than 32 bits of 100 ns
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.elapsedMs);
        g_tick = 0xFFFF0000UL + c.elapsedMs;
        const Answer later = Ask(*provider);
        EXPECT_EQ(1u, later.reliable);
        EXPECT_EQ(Units(c.expected), Units(later.time)) << Text(later.time);
    }
    EXPECT_EQ(1, responder_.Requests());
    EXPECT_EQ(1u, Logged(ETWLogging::LOG_NORMAL, L"Acquired time from server 127.0.0.1: 2024-03-10_12:34:56.500(UTC)"));
}

TEST_F(ReliableTimeProviderTest, WithoutAnAnswerEveryCallGetsTheLocalTimeAndAsksAgain) {
    responder_.SetReply(NuvTest::SntpResponder::Reply::Silent);
    auto provider = StartProvider(kDaily, kRetried);
    ASSERT_TRUE(NuvTest::WaitUntil([&] { return Logged(ETWLogging::LOG_WARNING, UnableToQuery()) == 1; }));

    for (DWORD call = 1; call <= 3; ++call) {
        SCOPED_TRACE(call);
        SYSTEMTIME before = {};
        SYSTEMTIME after = {};
        ::GetLocalTime(&before);
        const Answer answer = Ask(*provider, L"Plus One", call == 3 ? 20 : 0);
        ::GetLocalTime(&after);
        EXPECT_EQ(0u, answer.reliable);
        EXPECT_LE(Units(before), Units(answer.time));
        EXPECT_GE(Units(after), Units(answer.time));
        ASSERT_TRUE(NuvTest::WaitUntil([&] { return Logged(ETWLogging::LOG_WARNING, UnableToQuery()) == call + 1; }));
    }
    EXPECT_EQ(4, responder_.Requests());
    EXPECT_EQ(0u, Logged(ETWLogging::LOG_NORMAL, L"Converted UTC"));
}

TEST_F(ReliableTimeProviderTest, ServerTimeExpiresThirtyDaysAfterTheLastAnswer) {
    g_tick = 1000;
    auto provider = StartProvider(kEveryMillisecond, kRetried);
    ASSERT_EQ(1u, Ask(*provider, L"Utc Test", 10000).reliable);

    responder_.SetReply(NuvTest::SntpResponder::Reply::Silent);
    WaitForAttemptStartedNow();  // no good answer is stored after this
    g_tick = 1000 + kThirtyDaysMs;
    WaitForAttemptStartedNow();
    const Answer kept = Ask(*provider);
    EXPECT_EQ(1u, kept.reliable);
    EXPECT_EQ(Units({2024, 4, 0, 9, 12, 34, 56, 500}), Units(kept.time)) << Text(kept.time);
    EXPECT_EQ(0u, Logged(ETWLogging::LOG_WARNING, L"Invalidate stored server time"));

    g_tick = 1000 + kThirtyDaysMs + 1;
    WaitForAttemptStartedNow();
    EXPECT_EQ(0u, Ask(*provider).reliable);
    EXPECT_EQ(1u, Logged(ETWLogging::LOG_WARNING,
                         L"Invalidate stored server time we are unable to fresh server time for too long"));
    ASSERT_TRUE(NuvTest::WaitUntil([&] { return Logged(ETWLogging::LOG_WARNING, UnableToQuery()) >= 1; }));

    // The next answer is trusted again, from its own tick count.
    responder_.SetReply(NuvTest::SntpResponder::Reply::Good);
    const Answer again = Ask(*provider, L"Utc Test", 10000);
    EXPECT_EQ(1u, again.reliable);
    EXPECT_EQ(Units(kServerTime), Units(again.time)) << Text(again.time);
}

TEST_F(ReliableTimeProviderTest, ConvertsIntoTheNamedZoneOrThePcZone) {
    auto provider = StartProvider(kDaily, kAnswered);
    ASSERT_EQ(1u, Ask(*provider, nullptr, 10000).reliable);

    TIME_ZONE_INFORMATION pc = {};
    ASSERT_NE(TIME_ZONE_ID_INVALID, ::GetTimeZoneInformation(&pc));
    SYSTEMTIME inPcZone = {};
    ASSERT_TRUE(::SystemTimeToTzSpecificLocalTime(&pc, &kServerTime, &inPcZone));

    struct Case {
        const wchar_t* zone;
        SYSTEMTIME expected;
        const wchar_t* logged;
    };
    const Case cases[] = {
        {L"Utc Test", kServerTime, L"Utc Test"},
        {L"Plus One", {2024, 3, 0, 10, 13, 34, 56, 500}, L"Plus One"},
        {L"MINUS five thirty", {2024, 3, 0, 10, 7, 4, 56, 500}, L"MINUS five thirty"},
        {L"Nowhere", inPcZone, L"Nowhere"},
        {nullptr, inPcZone, L"local time"},
        {L"", inPcZone, L"local time"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.logged);
        NuvTest::TakeLoggedLines();
        lines_.clear();
        const Answer answer = Ask(*provider, c.zone);
        EXPECT_EQ(1u, answer.reliable);
        EXPECT_EQ(Units(c.expected), Units(answer.time)) << Text(answer.time);
        wchar_t line[100];
        std::swprintf(line, 100, L"Converted UTC to %ls: %04d-%02d-%02d_%02d:%02d:%02d.%03d\r\n", c.logged,
                      c.expected.wYear, c.expected.wMonth, c.expected.wDay, c.expected.wHour, c.expected.wMinute,
                      c.expected.wSecond, c.expected.wMilliseconds);
        EXPECT_EQ(1u, Logged(ETWLogging::LOG_NORMAL, line));
    }
}

TEST_F(ReliableTimeProviderTest, FirstSynchronisationIsToldOnce) {
    responder_.SetReply(NuvTest::SntpResponder::Reply::Silent);
    auto provider = StartProvider(kEveryMillisecond, kRetried);
    std::atomic<int> calls{0};
    std::atomic<DWORD> callingThread{0};
    provider->SetFirstSynchronisationCallback([&] {
        callingThread = ::GetCurrentThreadId();
        ++calls;
    });
    WaitForAttemptStartedNow();
    EXPECT_EQ(0, calls.load());

    responder_.SetReply(NuvTest::SntpResponder::Reply::Good);
    ASSERT_TRUE(NuvTest::WaitUntil([&] { return calls.load() == 1; }));
    EXPECT_EQ(provider->ThreadId(), callingThread.load());
    WaitForAttemptStartedNow();  // further answers tell nobody
    EXPECT_EQ(1, calls.load());

    // Set once synchronised: runs at once, here.
    int lateCalls = 0;
    DWORD lateThread = 0;
    provider->SetFirstSynchronisationCallback([&] {
        lateThread = ::GetCurrentThreadId();
        ++lateCalls;
    });
    EXPECT_EQ(1, lateCalls);
    EXPECT_EQ(::GetCurrentThreadId(), lateThread);
    WaitForAttemptStartedNow();
    EXPECT_EQ(1, lateCalls);
    EXPECT_EQ(1, calls.load());
}

}  // namespace
