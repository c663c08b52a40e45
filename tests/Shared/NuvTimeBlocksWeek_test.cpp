#include "Shared/NuvTimeBlocksWeek.h"

#include "tests/support/FailingNothrowNew.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <new>
#include <string>

namespace {

constexpr std::size_t kBlocks = CNuvTimeBlocksWeek::kBlockCount;
constexpr DWORD kNoChange = CNuvTimeBlocksWeek::kNoChange;

enum Day : WORD { Sunday = 0, Monday = 1, Tuesday = 2, Wednesday = 3, Saturday = 6 };

SYSTEMTIME At(WORD dayOfWeek, WORD hour, WORD minute, WORD second = 0, WORD milliseconds = 0) {
    SYSTEMTIME t = {};
    t.wYear = 2026;
    t.wMonth = 12;
    t.wDay = 6 + dayOfWeek;  // 6 December 2026 is a Sunday
    t.wDayOfWeek = dayOfWeek;
    t.wHour = hour;
    t.wMinute = minute;
    t.wSecond = second;
    t.wMilliseconds = milliseconds;
    return t;
}

std::size_t Block(WORD dayOfWeek, WORD hour, WORD minute) { return dayOfWeek * 288u + (hour * 60u + minute) / 5u; }

// All blocks in `fill`, those in [from, to) in the other state.
std::wstring WeekText(wchar_t fill, std::size_t from = 0, std::size_t to = 0) {
    std::wstring text(kBlocks, fill);
    for (std::size_t i = from; i < to; ++i) text[i] = fill == L'1' ? L'0' : L'1';
    return text;
}

std::wstring Text(const CNuvTimeBlocksWeek& week) {
    std::wstring text = L"untouched";
    EXPECT_TRUE(week.ToString(text));
    return text;
}

TEST(NuvTimeBlocksWeek, StateAndExactTimeToTheNextChange) {
    const struct {
        const char* name;
        std::wstring week;
        SYSTEMTIME moment;
        bool allowed;
        DWORD milliseconds;
    } cases[] = {
        {"all allowed", WeekText(L'1'), At(Wednesday, 13, 37, 12, 345), true, kNoChange},
        {"all blocked", WeekText(L'0'), At(Saturday, 23, 59, 59, 999), false, kNoChange},
        {"wraps from Saturday to Sunday", WeekText(L'1', kBlocks - 1, kBlocks), At(Saturday, 23, 57, 30, 250), false,
         ((5 - 2) * 60 - 30) * 1000 - 250},
        {"Monday until 09:00", WeekText(L'0', 0, Block(Monday, 9, 0)), At(Monday, 8, 3), true, ((60 - 3) * 60) * 1000},
        {"one millisecond before the change", WeekText(L'1', Block(Monday, 8, 5), Block(Monday, 8, 10)),
         At(Monday, 8, 4, 59, 999), true, 1},
        {"at the very start of a block", WeekText(L'1', Block(Monday, 8, 5), Block(Monday, 8, 10)), At(Monday, 8, 0),
         true, 5 * 60 * 1000},
        {"change at the block before: almost a week", WeekText(L'1', 0, 1), At(Sunday, 0, 5), true,
         2015u * 5 * 60 * 1000},
        {"last block, change at the first", WeekText(L'1', 0, 1), At(Saturday, 23, 55), true, 5 * 60 * 1000},
        {"first block, change at the last", WeekText(L'1', kBlocks - 1, kBlocks), At(Sunday, 0, 0), true,
         2015u * 5 * 60 * 1000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const CNuvTimeBlocksWeek week(c.week.c_str());
        DWORD milliseconds = 0;
        EXPECT_EQ(c.allowed, week.GetStateAt(c.moment, &milliseconds));
        EXPECT_EQ(c.milliseconds, milliseconds);
        EXPECT_EQ(c.allowed, week.GetStateAt(c.moment));
    }
}

TEST(NuvTimeBlocksWeek, MomentOutsideTheWeekIsAllowedWithNoChange) {
    const CNuvTimeBlocksWeek blocked(WeekText(L'0').c_str());
    const SYSTEMTIME moments[] = {At(7, 0, 0), At(Saturday, 24, 0), At(Saturday, 23, 60), At(Sunday, 0, 0, 60),
                                  At(Sunday, 0, 0, 0, 1000), At(0xFFFF, 0xFFFF, 0xFFFF)};
    for (const SYSTEMTIME& moment : moments) {
        DWORD milliseconds = 0;
        EXPECT_TRUE(blocked.GetStateAt(moment, &milliseconds)) << moment.wDayOfWeek << ' ' << moment.wHour;
        EXPECT_EQ(kNoChange, milliseconds);
        EXPECT_TRUE(blocked.GetStateAt(moment));
    }
}

TEST(NuvTimeBlocksWeek, ParseStopsAtTheFirstCharacterThatIsNotABlock) {
    std::wstring shortText = WeekText(L'0').substr(0, kBlocks - 1);
    std::wstring blankAt10 = WeekText(L'0');
    blankAt10[10] = L' ';
    std::wstring two = WeekText(L'0');
    two[500] = L'2';
    const struct {
        const char* name;
        std::wstring text;
        bool result;
        std::wstring expected;
    } cases[] = {
        {"2015 characters", shortText, false, WeekText(L'0', kBlocks - 1, kBlocks)},
        {"blank at position 10", blankAt10, false, WeekText(L'1', 0, 10)},
        {"digit 2 at 500", two, false, WeekText(L'1', 0, 500)},
        {"empty", L"", false, WeekText(L'1')},
        {"2016 characters", WeekText(L'1', 100, 200), true, WeekText(L'1', 100, 200)},
        {"characters after the 2016th ignored", WeekText(L'0') + L"1x", true, WeekText(L'0')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CNuvTimeBlocksWeek week(WeekText(L'0', 0, 3).c_str());  // parsing starts from all allowed
        EXPECT_EQ(c.result, week.Parse(c.text.c_str()));
        EXPECT_EQ(c.expected, Text(week));

        const CNuvTimeBlocksWeek built(c.text.c_str());  // still usable
        EXPECT_EQ(c.expected, Text(built));
    }
}

TEST(NuvTimeBlocksWeek, ShortTextLeavesTheLastBlockAllowed) {
    const CNuvTimeBlocksWeek week(WeekText(L'0').substr(0, kBlocks - 1).c_str());
    DWORD milliseconds = 0;
    EXPECT_FALSE(week.GetStateAt(At(Saturday, 23, 50), &milliseconds));
    EXPECT_EQ(5u * 60 * 1000, milliseconds);
    EXPECT_TRUE(week.GetStateAt(At(Saturday, 23, 55), &milliseconds));
    EXPECT_EQ(5u * 60 * 1000, milliseconds);  // wraps to Sunday 00:00
}

TEST(NuvTimeBlocksWeek, NullTextChangesNothing) {
    CNuvTimeBlocksWeek week(WeekText(L'0').c_str());
    EXPECT_FALSE(week.Parse(nullptr));
    EXPECT_EQ(WeekText(L'0'), Text(week));
}

TEST(NuvTimeBlocksWeek, SetFromTextAndTheTextRoundTrip) {
    CNuvTimeBlocksWeek week(WeekText(L'0').c_str());
    EXPECT_TRUE(week.SetFromText(L""));
    EXPECT_EQ(WeekText(L'1'), Text(week));

    week.Parse(WeekText(L'0').c_str());
    EXPECT_TRUE(week.SetFromText(nullptr));
    EXPECT_TRUE(week.IsUnrestricted());

    const std::wstring mixed = WeekText(L'1', Block(Monday, 21, 0), Block(Tuesday, 7, 0));
    EXPECT_TRUE(week.SetFromText(mixed.c_str()));
    CNuvTimeBlocksWeek copy;
    std::wstring text;
    ASSERT_TRUE(week.ToString(text));
    EXPECT_TRUE(copy.SetFromText(text.c_str()));
    EXPECT_EQ(mixed, Text(copy));
}

TEST(NuvTimeBlocksWeek, FreshWeekIsUnrestricted) {
    CNuvTimeBlocksWeek week;
    EXPECT_EQ(WeekText(L'1'), Text(week));
    EXPECT_TRUE(week.IsUnrestricted());
    EXPECT_TRUE(CNuvTimeBlocksWeek(WeekText(L'1').c_str()).IsUnrestricted());
    EXPECT_FALSE(CNuvTimeBlocksWeek(WeekText(L'1', 2015, 2016).c_str()).IsUnrestricted());
    EXPECT_FALSE(CNuvTimeBlocksWeek(WeekText(L'1', 0, 1).c_str()).IsUnrestricted());

    week.Parse(WeekText(L'0').c_str());
    EXPECT_FALSE(week.IsUnrestricted());
    week.AllowAll();
    EXPECT_TRUE(week.IsUnrestricted());
    EXPECT_EQ(WeekText(L'1'), Text(week));
}

TEST(NuvTimeBlocksWeek, WithoutBlocksEveryAnswerIsUnrestricted) {
    // A week whose blocks cannot be allocated must still answer.
    const std::wstring blocked = WeekText(L'0');
    std::unique_ptr<CNuvTimeBlocksWeek> allocated;
    {
        NuvTest::FailNothrowArrayAllocations failing;
        allocated = std::make_unique<CNuvTimeBlocksWeek>(blocked.c_str());
    }
    CNuvTimeBlocksWeek& week = *allocated;

    std::wstring text = L"untouched";
    EXPECT_FALSE(week.ToString(text));
    EXPECT_EQ(L"untouched", text);
    EXPECT_TRUE(week.IsUnrestricted());
    EXPECT_FALSE(week.Parse(WeekText(L'0').c_str()));
    week.AllowAll();
    DWORD milliseconds = 0;
    EXPECT_TRUE(week.GetStateAt(At(Monday, 12, 0), &milliseconds));
    EXPECT_EQ(kNoChange, milliseconds);
}

}  // namespace
