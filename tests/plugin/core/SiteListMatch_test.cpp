// Site-list match: one table of URL, entry and verdict (entry normalisation, domain tests that
// respect the entry's case at label boundaries, host and path tests that ignore it, ports, the
// lower-cased host, entries that normalise to nothing), one of the spellings a hostile client
// gets past a list with (escapes, dot segments, IPv4 forms, long hosts), whether a URL can be
// judged at all, the list lookup (against a walk of the one-entry match over random lists, and
// after changes and from many threads), and the line-end finder.

#include "plugin/core/SiteListMatch.h"

#include "base/TextConversion.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

struct MatchCase {
    std::string url;
    const char* entry;
    bool matches;
};

std::ostream& operator<<(std::ostream& out, const MatchCase& c) {
    // Hosts of thousands of characters are shown by their ends.
    const std::string url = c.url.size() <= 80 ? c.url
                                                : c.url.substr(0, 20) + "...(" + std::to_string(c.url.size()) +
                                                      " characters)..." + c.url.substr(c.url.size() - 40);
    return out << "url \"" << url << "\" entry \"" << c.entry << "\"";
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
        // Where the entry occurs last decides, occurrences taken without overlap from the start.
        MatchCase{"example.comcom/", "com", false},
        MatchCase{"x.aaa/", "aa", true},
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
        // A host is taken whole, whatever its length.
        MatchCase{kHost259 + "/", "example.com", true},
        MatchCase{"a" + kHost259 + "/", "example.com", true},
        // Nothing matches an empty URL, an empty entry, or an entry with nothing left once
        // normalised, not even a URL without a host (a request without a Host header: its host is
        // empty).
        MatchCase{"", "example.com", false},
        MatchCase{"example.com/", "", false},
        MatchCase{"/index.html", "www.", false},
        MatchCase{"/index.html", "www./", false},
        MatchCase{"/index.html", "/", false},
        MatchCase{"/index.html", ":", false},
        MatchCase{"/index.html", ".", false},
        MatchCase{"example.com/", "www.", false}));

// The forms a hostile client spells a listed site in, and the servers read as that site: each
// must meet the same entries as the canonical URL, through a single entry and through a list (whose
// entries are prepared once). Entries written in such forms mean their canonical form as well.
class CanonicalForms : public ::testing::TestWithParam<MatchCase> {};

std::wstring Widened(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

TEST_P(CanonicalForms, MatchLikeTheCanonicalUrl) {
    const MatchCase& c = GetParam();
    if (c.url.size() <= static_cast<std::size_t>(CSafeStringA::kMaxLength)) {
        EXPECT_EQ(MatchUrlWithSiteEntry(CSafeStringA(c.url.c_str()), CSafeStringA(c.entry)), c.matches) << "one entry";
    }
    const CSiteList list{CSafeStringW(Widened(c.entry).c_str())};
    CSafeStringW matched;
    EXPECT_EQ(MatchSiteList(Widened(c.url).c_str(), list, matched), c.matches) << "list";
}

const std::string kHost300 = std::string(284, 'a') + ".blocked.example";  // 300 characters

INSTANTIATE_TEST_SUITE_P(
    Cases, CanonicalForms,
    ::testing::Values(
        // Escaped unreserved characters in the host.
        MatchCase{"%62locked.example/", "blocked.example", true},
        MatchCase{"http://%62LOCKED.%65xample/", "blocked.example", true},
        MatchCase{"mail.%62locked.example/", "blocked.example", true},
        MatchCase{"blocked%2Eexample/", "blocked.example", true},
        MatchCase{"%77ww.blocked.example/x", "blocked.example/x", true},  // an escaped "www." goes too
        MatchCase{"blocked.%65xample%2e/", "blocked.example", true},      // so does an escaped trailing '.'
        // Escaped unreserved characters in the path, and dot segments.
        MatchCase{"blocked.example/%62anned", "blocked.example/banned", true},
        MatchCase{"blocked.example/ban%6Eed", "blocked.example/banned", true},
        MatchCase{"blocked.example/x/../banned", "blocked.example/banned", true},
        MatchCase{"blocked.example/x/../banned/page", "blocked.example/banned/page", true},
        MatchCase{"blocked.example/./banned", "blocked.example/banned", true},
        MatchCase{"blocked.example/a/b/../../banned?q", "blocked.example/banned", true},
        MatchCase{"blocked.example/../banned", "blocked.example/banned", true},  // nothing above the root
        MatchCase{"blocked.example/x/%2e%2E/banned", "blocked.example/banned", true},
        MatchCase{"blocked.example/x/.%2e/%2Fbanned", "blocked.example/%2fbanned", true},
        MatchCase{"blocked.example:8080/x/../banned", "blocked.example:8080/banned", true},
        // "/banned/.." is the root, not "/banned".
        MatchCase{"blocked.example/banned/..", "blocked.example/banned", false},
        // IPv4 literals the address parser reads as a listed 127.0.0.2.
        MatchCase{"2130706434/", "127.0.0.2", true},
        MatchCase{"127.2/", "127.0.0.2", true},
        MatchCase{"127.0.2/", "127.0.0.2", true},
        MatchCase{"0177.0.0.2/", "127.0.0.2", true},
        MatchCase{"0x7f.0.0.2/", "127.0.0.2", true},
        MatchCase{"http://0X7F000002:8080/", "127.0.0.2", true},
        MatchCase{"0x7f.0.0.2/banned", "127.0.0.2/banned", true},
        MatchCase{"%31%32%37.2/", "127.0.0.2", true},
        MatchCase{"127.0.0.2", "0x7f.2", true},  // a bare host, as the IP check-up asks
        MatchCase{"0x7f.2", "127.0.0.2", true},
        MatchCase{"127.0.0.3/", "127.0.0.2", false},
        MatchCase{"08.0.0.2/", "8.0.0.2", false},  // 08 is no octal number: a name, not an address
        MatchCase{"0x7f.0.0.2.example/", "127.0.0.2", false},
        // A host of any length is taken whole.
        MatchCase{kHost300 + "/", "blocked.example", true},
        MatchCase{kHost300 + ":8080/x/../banned", "blocked.example", true},
        MatchCase{std::string(65000, 'a') + ".blocked.example/", "blocked.example", true},
        // Entries written in escaped or non-canonical forms.
        MatchCase{"blocked.example/", "%62locked.example", true},
        MatchCase{"blocked.example/", "blocked%2Eexample", true},
        MatchCase{"blocked.example/banned", "blocked.example/%62anned", true},
        MatchCase{"blocked.example/banned", "blocked.example/x/../banned", true},
        MatchCase{"127.0.0.2/", "2130706434", true},
        MatchCase{"127.0.0.2/", "0x7f.0.0.2", true},
        MatchCase{"127.0.0.2:8080/x", "127.2.:8080/x", true},
        MatchCase{"0x7f.1/", "0177.0.0.1", true},
        // An escape of any other character stays an escape: "%2F" is no '/', and an escaped '/'
        // makes no dot segment. Its hex digits compare without case.
        MatchCase{"blocked.example/a%2Fb", "blocked.example/a/b", false},
        MatchCase{"blocked.example/a/b", "blocked.example/a%2Fb", false},
        MatchCase{"blocked.example/a%2fb", "blocked.example/a%2Fb", true},
        MatchCase{"blocked.example/x%2F..%2Fbanned", "blocked.example/banned", false},
        MatchCase{"blocked.example/x/..%2Fbanned", "blocked.example/banned", false},
        MatchCase{"blocked.example/%25%36%32anned", "blocked.example/banned", false},  // decoded once only
        // An entry does not widen: its path keeps naming that path only.
        MatchCase{"school.example/homework/../games", "school.example/homework", false},
        MatchCase{"school.example/games", "school.example/homework/..", false},
        MatchCase{"school.example/", "school.example/homework/..", true},
        MatchCase{"school.example.%65vil.example/", "school.example", false},
        MatchCase{"school%2Eexample.evil.example/", "school.example", false},
        // Canonical URLs and entries are left as they are.
        MatchCase{"blocked.example/banned", "blocked.example/banned", true},
        MatchCase{"blocked.example/a%2Fb", "blocked.example/a%2Fb", true},
        MatchCase{"127.0.0.2/", "127.0.0.2", true},
        MatchCase{"127.0.0.20/", "127.0.0.2", false},
        MatchCase{"blocked.example/banned.", "blocked.example/banned", false},
        MatchCase{"blocked.example/.banned", "blocked.example/banned", false}));

// Whether the lists can judge a URL at all; the request path refuses those they cannot.
TEST(SiteListMatch, CanJudgeUrl) {
    const std::wstring host300 = Widened(kHost300) + L"/";
    const std::wstring host65000 = std::wstring(65000, L'a') + L".blocked.example/";
    // A text of the narrow strings' full length whose host runs to its end may have been cut
    // inside the host; one whose host ends earlier was cut, if at all, behind it.
    const std::wstring cutInHost = std::wstring(CSafeStringA::kMaxLength, L'a');
    const std::wstring cutInPath = L"blocked.example/" + std::wstring(CSafeStringA::kMaxLength - 16, L'x');
    const struct {
        const wchar_t* url;
        bool judgeable;
    } cases[] = {
        {L"blocked.example/", true},
        {L"http://Blocked.Example.:8080/x/../y?q", true},
        {L"blocked.example:/", true},
        {host300.c_str(), true},
        {host65000.c_str(), true},
        {cutInPath.c_str(), true},
        {cutInHost.c_str(), false},
        {L"%62locked.example/", true},
        {L"2130706434/", true},
        {L"http://[::1]:8080/", true},
        {L"b\u00FCcher.example/", true},  // a byte of the code page beyond ASCII
        {L"/index.html", true},            // no Host header: names no listed site
        // What a server may decode into a name the lists never see.
        {L"blocked.example%00.other.example/", false},
        {L"blocked%2Fexample/", false},
        {L"%C3%BC.example/", false},
        {L"%/", false},
        {L"blocked .example/", false},
        {L"blocked.example\t/", false},
        {L"blocked\"example/", false},
        {L"[blocked.example]/", false},
        {L"[::1/", false},
        // Hosts readers take apart differently.
        {L"http://user@blocked.example/", false},
        {L"blocked.example:80@other.example/", false},
        {L"other.example:80:blocked.example/", false},
        {L"blocked.example:8o/", false},
        {L"", false},
        {nullptr, false},
    };
    for (const auto& c : cases) {
        const std::wstring shown = c.url == nullptr ? L"(null)" : std::wstring(c.url).substr(0, 60);
        EXPECT_EQ(CanJudgeUrl(c.url), c.judgeable) << std::string(shown.begin(), shown.end());
    }
}

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

// The list's index must give the answer of a walk of MatchUrlWithSiteEntry over the entries in
// order. Random lists and URLs are made of the same pieces: names that begin or end one another,
// ports of every kind the splitter passes, IPv4 forms, escapes, dot segments, mixed case, and a few
// names beyond ASCII (tested one by one in the thread's code page).
class SiteListAgainstWalk : public ::testing::Test {
protected:
    const wchar_t* Pick(const std::vector<const wchar_t*>& pieces) { return pieces[m_random() % pieces.size()]; }
    bool OneIn(unsigned n) { return m_random() % n == 0; }

    std::wstring MixCase(std::wstring text) {
        if (OneIn(4)) {
            for (wchar_t& c : text) {
                const bool letter = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
                if (letter && OneIn(2)) c = static_cast<wchar_t>(c ^ 0x20);
            }
        }
        return text;
    }

    std::wstring Host() {
        static const std::vector<const wchar_t*> prefixes = {L"",      L"",   L"",       L"www.",
                                                              L"mail.", L"a.", L"%77ww.", L"x.mail."};
        static const std::vector<const wchar_t*> names = {
            // Names that begin or end one another, at label boundaries and inside labels.
            L"example.com", L"ample.com", L"mail.example.com", L"le.com", L"notexample.com", L"example.co.xy",
            L"co.xy", L"com", L"co", L"exam", L"example", L"ample.co.xy", L".com", L"example.comcom", L"x.aaa", L"aa",
            // Escapes and separators the canonical spelling takes away.
            L"%65xample.com", L"ex%61mple.com", L"example%2Ecom", L"example.com.", L"example.%43om",
            // IPv4 forms, and a name that is none.
            L"127.0.0.2", L"127.2", L"2130706434", L"0x7f.0.0.2", L"0177.0.0.2", L"127.0.0.20", L"0.2", L"08.0.0.2",
            L"[::1]",
            // Beyond ASCII: in the code page (1252 here), and not in it.
            L"b\u00FCcher.example", L"\u0436.example"};
        return std::wstring(Pick(prefixes)) + Pick(names);
    }

    std::wstring Port() {
        static const std::vector<const wchar_t*> ports = {L":80", L":8080", L":8081", L":", L":8o", L".:8080",
                                                           L":80:mail.example.com", L":x.example.com", L":1.com",
                                                           L":1com"};
        return OneIn(3) ? Pick(ports) : L"";
    }

    std::wstring Path() {
        static const std::vector<const wchar_t*> paths = {
            L"/", L"/news", L"/News", L"/news/today", L"/x/../news", L"/./news", L"/news/..", L"/%6Eews", L"/a%2Fb",
            L"/a%2fb", L"/a/b", L"/news?id=1", L"/news;x", L"/../news", L"/x/%2e%2E/news", L"/news.", L"/"};
        return Pick(paths);
    }

    std::wstring Entry() {
        static const std::vector<const wchar_t*> nothing = {L"www.", L"/", L":", L"."};
        if (OneIn(40)) return Pick(nothing);
        return MixCase(Host() + Port() + (OneIn(3) ? Path() : L""));
    }

    std::wstring Url() {
        static const std::vector<const wchar_t*> schemes = {L"", L"", L"http://", L"HTTP://"};
        return MixCase(std::wstring(Pick(schemes)) + Host() + Port() + (OneIn(8) ? L"" : Path()));
    }

    std::mt19937 m_random{20261210};  // fixed: every run tests the same cases
};

// Position of the first entry that matches alone; -1 for none.
int FirstByWalk(const std::wstring& url, const std::vector<std::wstring>& entries) {
    const CSafeStringA narrowUrl(Tessal::ToThreadAnsi(url).c_str());
    for (std::size_t n = 0; n < entries.size(); ++n) {
        if (MatchUrlWithSiteEntry(narrowUrl, CSafeStringA(Tessal::ToThreadAnsi(entries[n]).c_str()))) {
            return static_cast<int>(n);
        }
    }
    return -1;
}

std::string Shown(const std::wstring& text) {
    std::string shown;
    for (const wchar_t c : text) shown += c < 0x80 ? static_cast<char>(c) : '?';
    return shown;
}

TEST_F(SiteListAgainstWalk, ReportsTheFirstEntryTheWalkFinds) {
    int hits = 0, laterHits = 0, shadowed = 0, failures = 0;
    for (int round = 0; round < 250 && failures < 5; ++round) {
        std::vector<std::wstring> entries(1 + m_random() % 40);
        CSiteList list;
        for (std::wstring& entry : entries) {
            entry = Entry();
            list.emplace_back(entry.c_str());
        }
        for (int n = 0; n < 16 && failures < 5; ++n) {
            const std::wstring url = Url();
            const int expected = FirstByWalk(url, entries);
            CSafeStringW matched;
            const bool hit = MatchSiteList(url.c_str(), list, matched);
            const std::wstring reported(matched.GetString(), matched.GetLength());
            const std::wstring walked = expected >= 0 ? entries[static_cast<std::size_t>(expected)] : L"";
            if (hit != (expected >= 0) || reported != walked) {
                ++failures;
                std::string shownList;
                for (const std::wstring& entry : entries) shownList += " " + Shown(entry);
                ADD_FAILURE() << "url " << Shown(url) << ": reported \"" << Shown(reported) << "\", the walk finds "
                              << (expected >= 0 ? "\"" + Shown(walked) + "\"" : "nothing") << "\nlist:" << shownList;
            }
            if (expected < 0) continue;
            ++hits;
            if (expected > 0) ++laterHits;
            const std::vector<std::wstring> rest(entries.begin() + expected + 1, entries.end());
            if (FirstByWalk(url, rest) >= 0) ++shadowed;
        }
    }
    // The pieces must keep making hits, hits behind other entries, and hits where a later entry
    // matches too; else this compares misses only.
    EXPECT_GT(hits, 1200);
    EXPECT_GT(laterHits, 1000);
    EXPECT_GT(shadowed, 500);
}

// The index is built at the first match and must follow every later change of the list.
TEST(SiteListMatch, TheLookupFollowsChangesOfTheList) {
    CSiteList list{CSafeStringW(L"example.com")};
    CSafeStringW matched;
    EXPECT_FALSE(MatchSiteList(L"example.org/", list, matched));
    list.emplace_back(L"example.org");
    EXPECT_TRUE(MatchSiteList(L"example.org/", list, matched));
    EXPECT_STREQ(matched.GetString(), L"example.org");

    // Copies build their own index; a move takes the index along.
    const CSiteList copy = list;
    CSiteList source = list;
    EXPECT_TRUE(MatchSiteList(L"example.org/", source, matched));
    const CSiteList moved(std::move(source));
    list.clear();
    EXPECT_FALSE(MatchSiteList(L"example.com/", list, matched));
    CSiteList assigned;
    assigned = copy;
    EXPECT_TRUE(MatchSiteList(L"example.org/", assigned, matched));
    CSiteList moveAssigned;
    moveAssigned = std::move(assigned);
    for (const CSiteList* each : std::initializer_list<const CSiteList*>{&copy, &moved, &moveAssigned}) {
        matched.Assign(L"");
        EXPECT_TRUE(MatchSiteList(L"www.example.org/", *each, matched));
        EXPECT_STREQ(matched.GetString(), L"example.org");
    }
    list = CSiteList{CSafeStringW(L"other.example")};
    EXPECT_FALSE(MatchSiteList(L"example.org/", list, matched));
    EXPECT_TRUE(MatchSiteList(L"other.example/", list, matched));
}

// Threads that meet a list before its index exists all wait for the one build and read it.
TEST(SiteListMatch, ThreadsMatchingAFreshListAgree) {
    for (int round = 0; round < 6; ++round) {
        CSiteList list;
        for (int n = 0; n < 300; ++n) list.emplace_back((L"site" + std::to_wstring(n) + L".example").c_str());
        std::vector<int> right(6, 0);
        std::vector<std::thread> threads;
        for (std::size_t t = 0; t < right.size(); ++t) {
            threads.emplace_back([&list, &right, t] {
                for (int n = 0; n < 300; n += 7) {
                    const std::wstring site = L"site" + std::to_wstring(n) + L".example";
                    CSafeStringW matched;
                    if (MatchSiteList((L"www." + site + L"/").c_str(), list, matched) && site == matched.GetString()) {
                        ++right[t];
                    }
                }
            });
        }
        for (std::thread& thread : threads) thread.join();
        for (const int count : right) EXPECT_EQ(count, 43) << "round " << round;
    }
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
