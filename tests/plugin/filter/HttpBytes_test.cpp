// The request scan's byte searches: 16 bytes at a time with a tail byte by byte, so each is
// checked against a plain loop at every length and alignment around the block edges; and the
// line-end finder that also reports a control byte, by a table of the lines a client may send.
#include "plugin/filter/HttpBytes.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

using namespace HttpBytes;

std::size_t PlainFind(const std::string& text, bool (*wanted)(unsigned char)) {
    for (std::size_t n = 0; n < text.size(); ++n) {
        if (wanted(static_cast<unsigned char>(text[n]))) return n;
    }
    return text.size();
}

// What a line parser makes of the bytes: CR LF or a lone LF ends the line; a control byte other
// than the terminator's is reported.
struct PlainLine {
    bool found = false;
    DWORD consumed = 0, terminator = 0;
    bool hasControl = false;
};

PlainLine PlainLineEnd(const std::string& text) {
    PlainLine line;
    const std::size_t lf = text.find('\n');
    if (lf == std::string::npos) return line;
    line.found = true;
    line.consumed = static_cast<DWORD>(lf + 1);
    line.terminator = lf > 0 && text[lf - 1] == '\r' ? 2 : 1;
    for (std::size_t n = 0; n + line.terminator < line.consumed; ++n) {
        if (IsControl(static_cast<unsigned char>(text[n]))) line.hasControl = true;
    }
    return line;
}

TEST(HttpBytes, BlockSearchesAgreeWithAPlainLoopAtEveryEdge) {
    const std::string alphabet("aZ:/ \t\r\n\x01\x1f\x7f\x80\xff", 13);
    std::mt19937 random(20261211);  // fixed: every run tests the same texts
    for (int round = 0; round < 20000; ++round) {
        std::string text(random() % 70, 'x');
        // Mostly plain bytes, so that the first hit falls anywhere, also past a block or two.
        for (char& c : text) {
            if (random() % 12 == 0) c = alphabet[random() % alphabet.size()];
        }
        const std::size_t skip = random() % 4;  // unaligned starts
        if (skip > text.size()) continue;
        const std::string view = text.substr(skip);
        const char* p = text.data() + skip;
        SCOPED_TRACE(::testing::PrintToString(view));
        ASSERT_EQ(view.find('\n') == std::string::npos ? view.size() : view.find('\n'), FindByte(p, view.size(), '\n'));
        ASSERT_EQ(PlainFind(view, IsControl), FindControl(p, view.size()));
        ASSERT_EQ(PlainFind(view, [](unsigned char c) { return c <= ' ' || c == 0x7F; }),
                  FindSpaceOrControl(p, view.size()));
        const PlainLine expected = PlainLineEnd(view);
        DWORD consumed = 99, terminator = 99;
        bool hasControl = true;
        ASSERT_EQ(expected.found, FindLineEndAndControl(p, view.size(), consumed, terminator, hasControl));
        ASSERT_EQ(expected.consumed, consumed);
        ASSERT_EQ(expected.terminator, terminator);
        if (expected.found) {
            ASSERT_EQ(expected.hasControl, hasControl);
        }
    }
}

TEST(HttpBytes, LineEndsAndControlBytesOfHeaderLines) {
    const struct {
        std::string bytes;
        bool found;
        DWORD consumed, terminator;
        bool hasControl;
    } cases[] = {
        {"Host: a\r\n", true, 9, 2, false},
        {"Host: a\n", true, 8, 1, false},
        {"\r\n", true, 2, 2, false},
        {"\n", true, 1, 1, false},
        {"Host:\ta\r\n", true, 9, 2, false},               // TAB is a blank, not a control byte
        {"Ho\rst: a\r\n", true, 10, 2, true},              // a bare CR inside the line
        {"Host: a\r\r\n", true, 10, 2, true},              // CR before the terminator's CR
        {std::string("Ho\0st\n", 6), true, 6, 1, true},    // NUL
        {"Host: \x7f\n", true, 8, 1, true},                // DEL
        {"Host: \x1b[0m\r\n", true, 12, 2, true},
        {"Host: a\r", false, 0, 0, false},                 // a CR as the last byte ends nothing yet
        {"Host: \x01 a", false, 0, 0, false},
        {"", false, 0, 0, false},
        {"GET / HTTP/1.1 with a line longer than one block\r\nHost: next\r\n", true, 50, 2, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.bytes));
        DWORD consumed = 99, terminator = 99;
        bool hasControl = !c.hasControl;
        EXPECT_EQ(c.found, FindLineEndAndControl(c.bytes.data(), c.bytes.size(), consumed, terminator, hasControl));
        EXPECT_EQ(c.consumed, consumed);
        EXPECT_EQ(c.terminator, terminator);
        EXPECT_EQ(c.hasControl, hasControl);
    }
}

TEST(HttpBytes, HeaderNamesCompareWithoutAsciiCaseOnly) {
    EXPECT_TRUE(EqualsAsciiNoCase("content-LENGTH", "Content-Length"));
    EXPECT_TRUE(EqualsAsciiNoCase("", ""));
    EXPECT_FALSE(EqualsAsciiNoCase("Host", "Hosts"));
    EXPECT_FALSE(EqualsAsciiNoCase("Hos\xc4", "Hos\xe4"));  // Latin-1 case is no ASCII case
    EXPECT_FALSE(EqualsAsciiNoCase("[", "{"));               // 0x5B and 0x7B differ by 0x20 as letters do
    EXPECT_FALSE(EqualsAsciiNoCase(std::string_view("Ho\0t", 4), std::string_view("Ho\0s", 4)));
}

}  // namespace
