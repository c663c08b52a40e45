#include "base/Format.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Format, WideFormatTakesWideStringForPercentS) {
    EXPECT_EQ(Tessal::Format(L"%s=%d", L"wide", 42), L"wide=42");
    EXPECT_EQ(Tessal::Format(L"[%hs|%ls]", "narrow", L"wide"), L"[narrow|wide]");
    EXPECT_EQ(Tessal::Format(L"0x%08X", 0xBEEFu), L"0x0000BEEF");
}

TEST(Format, NarrowFormatTakesNarrowStringForPercentS) {
    EXPECT_EQ(Tessal::Format("%s/%ls", "narrow", L"wide"), "narrow/wide");
}

TEST(Format, FormatToReportsTruncationAndAlwaysTerminates) {
    wchar_t buffer[6];
    EXPECT_EQ(Tessal::FormatTo(buffer, 6, L"%s", L"abcde"), 5);
    EXPECT_STREQ(buffer, L"abcde");
    EXPECT_EQ(Tessal::FormatTo(buffer, 6, L"%s", L"abcdef"), -1);
    EXPECT_STREQ(buffer, L"abcde");

    char narrow[4];
    EXPECT_EQ(Tessal::FormatTo(narrow, 4, "%d", 12345), -1);
    EXPECT_STREQ(narrow, "123");
}

TEST(Format, LongTextIsMeasuredBeforeFormatting) {
    const std::wstring long_text(5000, L'x');
    EXPECT_EQ(Tessal::Format(L"<%s>", long_text.c_str()), L"<" + long_text + L">");
}

}  // namespace
