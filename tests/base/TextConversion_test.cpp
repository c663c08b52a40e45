#include "base/TextConversion.h"

#include <gtest/gtest.h>

#include <windows.h>

namespace {

TEST(TextConversion, RoundTripsThroughUtf8) {
    struct Case {
        const wchar_t* wide;
        const char* utf8;
    } const cases[] = {
        {L"", ""},
        {L"plain", "plain"},
        {L"Gr\u00FC\u00DFe", "Gr\xC3\xBC\xC3\x9F" "e"},
        {L"\U0001F600", "\xF0\x9F\x98\x80"},  // a surrogate pair becomes one 4-byte sequence
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Tessal::ToUtf8(c.wide), c.utf8);
        EXPECT_EQ(Tessal::FromUtf8(c.utf8), c.wide);
    }
    EXPECT_EQ(Tessal::ToUtf8(std::wstring(L"a\0b", 3)), std::string("a\0b", 3));  // embedded NULs kept
}

// The thread's locale picks the code page, not the system's.
TEST(TextConversion, ThreadAnsiFollowsTheThreadLocale) {
    const LCID saved = ::GetThreadLocale();
    ASSERT_TRUE(::SetThreadLocale(MAKELCID(MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT), SORT_DEFAULT)));
    const std::string narrow = Tessal::ToThreadAnsi(L"\u0416a");  // Cyrillic Zhe is 0xC6 in code page 1251
    const std::wstring wide = Tessal::FromThreadAnsi("\xC6" "a");
    ::SetThreadLocale(saved);
    EXPECT_EQ(narrow, "\xC6" "a");
    EXPECT_EQ(wide, L"\u0416a");

    EXPECT_EQ(Tessal::ToThreadAnsi(L""), "");
    EXPECT_EQ(Tessal::ToThreadAnsi(L"plain"), "plain");
}

}  // namespace
