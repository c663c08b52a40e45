#include "Shared/Sntp.h"

#include "tests/Shared/SntpResponder.h"
#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

using Reply = NuvTest::SntpResponder::Reply;

// 2024-03-10 12:34:56 UTC as NTP seconds.
constexpr DWORD kServerSeconds = 3919062896UL;

ULONGLONG Units(const FILETIME& time) {
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

ULONGLONG Units(const SYSTEMTIME& time) {
    FILETIME file = {};
    EXPECT_TRUE(::SystemTimeToFileTime(&time, &file));
    return Units(file);
}

TEST(Sntp, NtpTimestampsBecomeFileTimes) {
    struct Case {
        DWORD seconds;
        DWORD fraction;
        SYSTEMTIME expected;
        ULONGLONG below1ms;  // 100 ns units past the expected millisecond
    };
    const Case cases[] = {
        {0, 0, {1900, 1, 0, 1, 0, 0, 0, 0}, 0},
        {0, 0x80000000UL, {1900, 1, 0, 1, 0, 0, 0, 500}, 0},
        {0, 1, {1900, 1, 0, 1, 0, 0, 0, 0}, 0},                  // less than 100 ns is dropped
        {0, 0xFFFFFFFFUL, {1900, 1, 0, 1, 0, 0, 0, 999}, 9999},  // rounded down, never up to 1 s
        {kServerSeconds, 0x40000000UL, {2024, 3, 0, 10, 12, 34, 56, 250}, 0},
        {0xFFFFFFFFUL, 0, {2036, 2, 0, 7, 6, 28, 15, 0}, 0},     // the last second of era 0
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.seconds << "." << c.fraction);
        EXPECT_EQ(Units(c.expected) + c.below1ms, Units(NtpToFileTime(c.seconds, c.fraction)));
    }
}

TEST(Sntp, OnlyAWholeServerReplyGivesTheTime) {
    NuvTest::SntpResponder responder;
    responder.SetTransmitTime(kServerSeconds, 0x80000000UL);
    const unsigned short port = responder.Port();

    struct Case {
        const char* name;
        const wchar_t* server;
        unsigned short port;
        Reply reply;
        bool answered;
        LONG requests;  // what reached the server
    };
    const Case cases[] = {
        {"good reply", L"127.0.0.1", port, Reply::Good, true, 1},
        {"by host name", L"localhost", port, Reply::Good, true, 1},
        {"short reply", L"127.0.0.1", port, Reply::Short, false, 1},
        {"client mode", L"127.0.0.1", port, Reply::WrongMode, false, 1},
        {"zero timestamp", L"127.0.0.1", port, Reply::ZeroTimestamp, false, 1},
        {"no answer", L"127.0.0.1", port, Reply::Silent, false, 1},
        {"null name", nullptr, port, Reply::Good, false, 0},
        {"empty name", L"", port, Reply::Good, false, 0},
        {"port 0", L"127.0.0.1", 0, Reply::Good, false, 0},
        {"unresolvable name", L"no-such-host.invalid", port, Reply::Good, false, 0},
    };
    const SYSTEMTIME expected = {2024, 3, 0, 10, 12, 34, 56, 500};
    const FILETIME untouched = {0x12345678, 0x9ABCDEF0};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        responder.SetReply(c.reply);
        const LONG before = responder.Requests();
        FILETIME time = untouched;
        // The time-out is the caller's: "no answer" takes 50 ms, not the product's 3 s.
        EXPECT_EQ(c.answered, QueryNtpServer(c.server, &time, c.port, c.reply == Reply::Silent ? 50 : 5000));
        EXPECT_EQ(c.answered ? Units(expected) : Units(untouched), Units(time));
        // The server may count a request it never answered a little after the time-out.
        NuvTest::WaitUntil([&] { return responder.Requests() - before >= c.requests; });
        EXPECT_EQ(c.requests, responder.Requests() - before);
    }
}

}  // namespace
