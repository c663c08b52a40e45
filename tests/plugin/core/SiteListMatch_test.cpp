// Site-list match: one table of URL, entry and verdict (entry normalisation, domain tests that
// respect the entry's case at label boundaries, host and path tests that ignore it, ports, the
// lower-cased host, entries that normalise to nothing), the list walk, and the line-end finder.

#include "plugin/core/SiteListMatch.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct MatchCase {
    std::string url;
    const char* entry;
    bool matches;
};

std::ostream& operator<<(std::ostream& out, const MatchCase& c) {
    return out << "url \"" << c.url << "\" entry \"" << c.entry << "\"";
}

class SiteEntryMatch : public ::testing::TestWithParam<MatchCase> {};

TEST_P(SiteEntryMatch, Verdict) {
    const MatchCase& c = GetParam();
    EXPECT_EQ(MatchUrlWithSiteEntry(CSafeStringA(c.url.c_str()), CSafeStringA(c.entry)), c.matches);
}

const std::string kHost259 = std::string(247, 'a') + ".example.com";

INSTANTIATE_TEST_SUITE_P(
    Cases, SiteEntryMatch,
    ::testing::Values(
        // A domain covers itself and every host below it, at label boundaries only.
        MatchCase{"www.example.com/", "example.com", true},
        MatchCase{"mail.example.com/a", "example.com", true},
        MatchCase{"example.com/", "example.com", true},
        MatchCase{"notexample.com/", "example.com", false},
        MatchCase{"example.com/", "exam", false},  // at offset 0 of a longer candidate
        MatchCase{"example.com/", "com", true},
        MatchCase{"example.com/", "co", true},  // a '.' before is all it takes
        MatchCase{"www.example.co.xy/", "co", true},
        MatchCase{"www.example.co.xy/", "co.xy", true},
        MatchCase{"www.example.co.xy/", "example.co.xy", true},
        MatchCase{"a.b.example.xy/", "b.example.xy", true},
        MatchCase{"a.b.example.xy/", "example.xy", true},
        // A host below the domain covers that host only.
        MatchCase{"mail.example.com/", "mail.example.com", true},
        MatchCase{"a.mail.example.com/", "mail.example.com", false},
        MatchCase{"www.mail.example.com/", "mail.example.com", true},  // the URL's "www." goes too
        // Normalisation of the entry.
        MatchCase{"example.com/", "www.example.com/", true},
        MatchCase{"example.com/", "WWW.example.com", true},
        MatchCase{"example.com/", "example.com.", true},
        MatchCase{"example.com/", "example.com:", true},
        MatchCase{"example.com/news", "example.com:/news", true},
        MatchCase{"example.com/news", "example.com./news", true},
        MatchCase{"example.com:8080/", "example.com.:8080", true},
        // Ports: ":80" is no port; another port must be the URL's.
        MatchCase{"www.example.com/x", "example.com:80", true},
        MatchCase{"example.com:80/x", "example.com", true},
        MatchCase{"example.com:8080/x", "example.com", true},
        MatchCase{"example.com:8080/", "example.com:8080", true},
        MatchCase{"example.com/", "example.com:8080", false},
        MatchCase{"example.com:8081/", "example.com:8080", false},
        MatchCase{"mail.example.com:8080/", "mail.example.com:8080", true},
        MatchCase{"a.mail.example.com:8080/", "mail.example.com:8080", false},
        // Paths: that exact path, the query cut off, the case ignored.
        MatchCase{"example.com/news?id=1", "example.com/news", true},
        MatchCase{"example.com/news;x", "example.com/news", true},
        MatchCase{"example.com/news/today", "example.com/news", false},
        MatchCase{"www.example.com/News", "example.com/nEWS", true},
        MatchCase{"mail.example.com/news", "example.com/news", false},  // a path entry names its host
        MatchCase{"example.com:8080/news", "example.com:8080/news", true},
        MatchCase{"example.com/news", "example.com:80/news", true},
        MatchCase{"example.com:8080/news", "example.com/news", true},  // no port: any port
        // Domain tests respect the entry's case; host tests do not.
        MatchCase{"www.example.com/x", "Example.com", true},
        MatchCase{"mail.example.com/", "Example.com", false},
        // The URL's host is lower-cased first: its case never lets it escape an entry.
        MatchCase{"mail.EXAMPLE.COM/", "example.com", true},
        MatchCase{"WWW.EXAMPLE.CO.XY/", "co.xy", true},
        MatchCase{"http://Mail.Example.Com:8080/", "example.com:8080", true},
        MatchCase{"MAIL.EXAMPLE.COM/", "Example.com", false},
        // With or without "http://", in any case.
        MatchCase{"example.com/a", "example.com", true},
        MatchCase{"http://example.com/a", "example.com", true},
        MatchCase{"HTTP://www.example.com/a", "example.com", true},
        // A host beyond 259 characters is no host.
        MatchCase{kHost259 + "/", "example.com", true},
        MatchCase{"a" + kHost259 + "/", "example.com", false},
        // Nothing matches an empty URL, an empty entry, or an entry with nothing left once
        // normalised, not even a URL without a host (a request without a Host header; Wine's
        // UrlGetPartA gives it an empty host where Windows may give none).
        MatchCase{"", "example.com", false},
        MatchCase{"example.com/", "", false},
        MatchCase{"/index.html", "www.", false},
        MatchCase{"/index.html", "www./", false},
        MatchCase{"/index.html", "/", false},
        MatchCase{"/index.html", ":", false},
        MatchCase{"/index.html", ".", false},
        MatchCase{"example.com/", "www.", false}));

TEST(SiteListMatch, FirstMatchingEntryIsAppendedToTheCallersText) {
    const CSiteList list{CSafeStringW(L"other.org"), CSafeStringW(L"mail.example.com"), CSafeStringW(L"example.com")};
    CSafeStringW matched(L"entry: ");
    EXPECT_TRUE(MatchSiteList(L"http://mail.example.com/inbox", list, matched));
    EXPECT_STREQ(matched.GetString(), L"entry: mail.example.com");

    matched.Assign(L"");
    EXPECT_TRUE(MatchSiteList(L"news.example.com/", list, matched));
    EXPECT_STREQ(matched.GetString(), L"example.com");

    matched.Assign(L"untouched");
    EXPECT_FALSE(MatchSiteList(L"example.net/", list, matched));
    EXPECT_FALSE(MatchSiteList(L"example.com/", CSiteList{}, matched));
    EXPECT_FALSE(MatchSiteList(nullptr, list, matched));
    EXPECT_STREQ(matched.GetString(), L"untouched");
}

// Lists and URLs are compared in the thread's code page: in the system's (1252 here) two Cyrillic
// names of the same length would both become question marks and match.
TEST(SiteListMatch, NamesAreComparedInTheThreadsCodePage) {
    const LCID saved = ::GetThreadLocale();
    ASSERT_TRUE(::SetThreadLocale(MAKELCID(MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT), SORT_DEFAULT)));
    CSafeStringW matched;
    const bool other = MatchSiteList(L"\u043F\u0440\u0438\u043C\u0435\u0440.com/",
                                     CSiteList{CSafeStringW(L"\u0434\u0440\u0443\u0433\u043E\u0439.com")}, matched);
    const bool same = MatchSiteList(L"\u043F\u0440\u0438\u043C\u0435\u0440.com/",
                                    CSiteList{CSafeStringW(L"\u043F\u0440\u0438\u043C\u0435\u0440.com")}, matched);
    ::SetThreadLocale(saved);
    EXPECT_FALSE(other);
    EXPECT_TRUE(same);
}

TEST(SiteListMatch, AnOverlongQueryDoesNotCarryTheUrlPastTheList) {
    const CSiteList list{CSafeStringW(L"example.com")};
    const std::wstring url = L"example.com/?q=" + std::wstring(70000, L'x');
    CSafeStringW matched;
    EXPECT_TRUE(MatchSiteList(url.c_str(), list, matched));
    EXPECT_STREQ(matched.GetString(), L"example.com");
}

TEST(FindLineEnd, FindsTheFirstLineEndWithinTheRange) {
    const struct {
        const char* bytes;
        std::size_t size;  // the range is bytes[0 .. size - 1]
        bool found;
        DWORD consumed;
        DWORD terminatorLength;
    } cases[] = {
        {"GET / HTTP/1.1\r\nHost: x\r\n", 24, true, 16, 2},
        {"abc\n", 4, true, 4, 1},
        {"\n", 1, true, 1, 1},
        {"\r\n", 2, true, 2, 2},
        {"a\rb\nc", 5, true, 4, 1},  // a CR without LF is no line end
        {"a\r\r\n", 4, true, 4, 2},
        {"abc\r", 4, false, 0, 0},   // CR the last byte
        {"abc\r\n", 4, false, 0, 0},  // the LF lies behind the range
        {"abc", 3, false, 0, 0},
    };
    for (const auto& c : cases) {
        const auto* first = reinterpret_cast<const BYTE*>(c.bytes);
        DWORD consumed = 99, terminatorLength = 99;
        EXPECT_EQ(FindLineEnd(first, first + c.size - 1, consumed, terminatorLength), c.found) << c.bytes;
        EXPECT_EQ(consumed, c.consumed) << c.bytes;
        EXPECT_EQ(terminatorLength, c.terminatorLength) << c.bytes;
    }

    const auto* text = reinterpret_cast<const BYTE*>("ab\n");
    DWORD consumed = 99, terminatorLength = 99;
    EXPECT_FALSE(FindLineEnd(text + 1, text, consumed, terminatorLength));  // first behind last
    EXPECT_EQ(consumed, 0u);
    EXPECT_EQ(terminatorLength, 0u);
}

}  // namespace
