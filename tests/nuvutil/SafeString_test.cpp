// Safe strings: replacement (with and without a replacement that contains what it replaces), the
// 16-bit limits of the narrow string, bounds of the position and count operations, and the wide
// string's comparison, length and two-stage formatting.
#include "nuvutil/SafeString.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>

namespace {

std::string Text(const CSafeStringA& s) { return s.m_pBuffer != nullptr ? std::string(s.m_pBuffer, s.m_nLength) : ""; }
std::wstring Text(const CSafeStringW& s) { return std::wstring(s.GetString(), s.GetLength()); }
std::wstring Widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// ---- Replace, narrow and wide ----

struct ReplaceCase {
    const char* text;
    const char* what;
    const char* with;
    const char* expected;
};

class ReplaceTest : public ::testing::TestWithParam<ReplaceCase> {};

TEST_P(ReplaceTest, Narrow) {
    const ReplaceCase& c = GetParam();
    CSafeStringA s(c.text);
    s.Replace(c.what, c.with);
    EXPECT_EQ(Text(s), c.expected);
}

TEST_P(ReplaceTest, Wide) {
    const ReplaceCase& c = GetParam();
    const std::wstring what = Widen(c.what), with = Widen(c.with);
    CSafeStringW s(Widen(c.text).c_str());
    s.Replace(what.c_str(), with.c_str());
    EXPECT_EQ(Text(s), Widen(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReplaceTest,
    ::testing::Values(
        ReplaceCase{"a%url%b%url%", "%url%", "x", "axbx"},
        ReplaceCase{"abcabc", "abc", "", ""},
        ReplaceCase{"abc", "d", "z", "abc"},
        ReplaceCase{"abc", "", "z", "abc"},  // empty what: nothing to find
        // Each search restarts at the beginning, so replacements can meet again.
        ReplaceCase{"a////b", "//", "/", "a/b"},
        ReplaceCase{"aab", "ab", "b", "b"},
        ReplaceCase{"xabbby", "ab", "a", "xay"},
        // A replacement containing what it replaces: one pass, each original occurrence once.
        ReplaceCase{"abc", "b", "bb", "abbc"},
        ReplaceCase{"aaa", "a", "aa", "aaaaaa"},
        ReplaceCase{"<a href=\"%url%\">%url%</a>", "%url%", "http://h/?q=%url%",
                    "<a href=\"http://h/?q=%url%\">http://h/?q=%url%</a>"},
        ReplaceCase{"%url%", "%url%", "%url%", "%url%"}));

TEST(SafeStringA, ReplaceWhoseResultPassesTheLimitChangesNothing) {
    struct Case {
        std::string text;
        const char* what;
        const char* with;
    };
    const Case cases[] = {
        {std::string(40000, 'a'), "a", "aa"},  // one pass
        {[] {
             std::string t;
             for (int i = 0; i < 30000; ++i) t += "ab";
             return t;
         }(),
         "b", "cc"},  // restarting
    };
    for (const Case& c : cases) {
        CSafeStringA s(c.text.c_str());
        EXPECT_THROW(s.Replace(c.what, c.with), CSafeStringTooLong);
        EXPECT_EQ(Text(s), c.text);
    }
}

// ---- CSafeStringA: construction, buffer and the 16-bit limit ----

TEST(SafeStringA, NullTextIsEmptyInAOneByteBufferThatEmptyKeeps) {
    CSafeStringA s(nullptr);
    ASSERT_NE(s.m_pBuffer, nullptr);
    EXPECT_EQ(s.m_nBufferSize, 1);
    EXPECT_EQ(s.m_nLength, 0);
    char* const buffer = s.m_pBuffer;
    s.Empty();
    EXPECT_EQ(s.m_pBuffer, buffer);

    s.Free();
    EXPECT_EQ(s.m_pBuffer, nullptr);
    EXPECT_EQ(s.m_nBufferSize, 0);
    s.Empty();  // without a buffer: a new one of 1 byte
    ASSERT_NE(s.m_pBuffer, nullptr);
    EXPECT_EQ(s.m_nBufferSize, 1);
}

TEST(SafeStringA, SetBufferSizeCutsTheTextButNeverShrinks) {
    CSafeStringA s("abcdef");
    s.SetBufferSize(3);
    EXPECT_EQ(Text(s), "ab");
    EXPECT_EQ(s.m_nBufferSize, 7);
    s.SetBufferSize(0);  // at least one byte, text empty
    EXPECT_EQ(Text(s), "");
    EXPECT_EQ(s.m_nBufferSize, 7);
    s.Assign("xy");
    s.SetBufferSize(20);
    EXPECT_EQ(Text(s), "xy");
    EXPECT_EQ(s.m_nBufferSize, 20);
}

TEST(SafeStringA, AssignStopsAtATerminatorAndPadsWithZeros) {
    CSafeStringA s("long old text");
    EXPECT_EQ(s.Assign("ab", 4), s.m_pBuffer);
    EXPECT_EQ(Text(s), std::string("ab\0\0", 4));
    s.Assign("xyz");
    EXPECT_EQ(Text(s), "xyz");
    s.Assign(nullptr);
    EXPECT_EQ(Text(s), "");
}

TEST(SafeStringA, TextTakenFromItsOwnBufferSurvivesTheBufferMoving) {
    CSafeStringA s("http://host");
    s.Assign(s.m_pBuffer + 7);
    EXPECT_EQ(Text(s), "host");

    CSafeStringA t("host");
    t.Insert(0, t.m_pBuffer, t.m_nLength);  // grows: the source must be read before it moves
    EXPECT_EQ(Text(t), "hosthost");
    t.Create(t.m_pBuffer + 4, 2);
    EXPECT_EQ(Text(t), "ho");
}

TEST(SafeStringA, CopiesOwnTheirText) {
    CSafeStringA original("abc");
    CSafeStringA copy(original);
    CSafeStringA assigned("a much longer text");
    assigned = original;
    original.Assign("zz");
    EXPECT_EQ(Text(copy), "abc");
    EXPECT_EQ(Text(assigned), "abc");
    EXPECT_EQ(assigned.m_nBufferSize, 19);  // reused, not shrunk
}

TEST(SafeStringA, OperationsThatWouldPassSixteenBitsThrowAndChangeNothing) {
    const int kMax = CSafeStringA::kMaxLength;  // 65534
    const std::string longest(kMax, 'x');
    const std::string tooLong(kMax + 1, 'x');

    CSafeStringA full(longest.c_str());
    EXPECT_EQ(full.m_nLength, kMax);
    EXPECT_EQ(full.m_nBufferSize, 0xFFFF);
    EXPECT_THROW(CSafeStringA{tooLong.c_str()}, CSafeStringTooLong);

    CSafeStringA s("keep");
    const auto expectUnchanged = [&](const char* step) {
        EXPECT_EQ(Text(s), "keep") << step;
        EXPECT_EQ(s.m_nBufferSize, 5) << step;
    };
    EXPECT_THROW(s.Assign(tooLong.c_str()), CSafeStringTooLong);
    expectUnchanged("Assign");
    EXPECT_THROW(s.Assign(tooLong.c_str(), kMax + 1), CSafeStringTooLong);
    expectUnchanged("Assign with count");
    EXPECT_THROW(s.Create(tooLong.c_str(), kMax + 1), CSafeStringTooLong);
    expectUnchanged("Create");
    EXPECT_THROW(s.SetBufferSize(0x10000), CSafeStringTooLong);
    expectUnchanged("SetBufferSize");
    EXPECT_THROW(s.Insert(2, longest.c_str(), kMax - 3), CSafeStringTooLong);
    expectUnchanged("Insert");

    CSafeStringA freed;
    freed.Free();
    EXPECT_THROW(freed.Create(tooLong.c_str(), kMax + 1), CSafeStringTooLong);
    EXPECT_EQ(freed.m_pBuffer, nullptr);

    // Right up to the limit is fine.
    s.Insert(2, longest.c_str(), kMax - 4);
    EXPECT_EQ(s.m_nLength, kMax);
    EXPECT_EQ(s.m_nBufferSize, 0xFFFF);
    EXPECT_EQ(Text(s), "ke" + std::string(kMax - 4, 'x') + "ep");
    s.SetBufferSize(0xFFFF);
    EXPECT_EQ(s.m_nLength, kMax);
}

// ---- CSafeStringA: positions and counts ----

TEST(SafeStringA, Mid) {
    struct Case {
        const char* text;
        int pos, count;
        const char* expected;
    };
    const Case cases[] = {
        {"abcd", 1, 2, "bc"}, {"abc", 5, 3, ""},   {"abc", 0, 0, ""},  {"abc", 1, -1, ""},
        {"abc", 3, 1, ""},    {"abcd", 1, 10, "bcd"},  // a run past the end is cut there
        {"abc", -1, 2, ""},
    };
    for (const Case& c : cases) {
        const CSafeStringA s(c.text);
        EXPECT_EQ(Text(s.Mid(c.pos, c.count)), c.expected) << c.text << " " << c.pos << " " << c.count;
    }
}

TEST(SafeStringA, InsertDeleteTruncate) {
    struct Case {
        const char* text;
        void (*edit)(CSafeStringA&);
        std::string expected;
    };
    const Case cases[] = {
        {"ad", [](CSafeStringA& s) { s.Insert(1, "bc", -1); }, "abcd"},
        {"ad", [](CSafeStringA& s) { s.Insert(1, "bcxx", 2); }, "abcd"},
        {"ab", [](CSafeStringA& s) { s.Insert(99, "c", 1); }, "abc"},  // position clamped to the length
        {"ab", [](CSafeStringA& s) { s.Insert(0, "c", 0); }, "ab"},
        {"ab", [](CSafeStringA& s) { s.Insert(1, nullptr, -1); }, "ab"},
        {"ab", [](CSafeStringA& s) { s.Insert(1, nullptr, 2); }, std::string("a\0\0b", 4)},  // failed copy: zeros
        {"abcd", [](CSafeStringA& s) { s.Delete(1, 10); }, "a"},
        {"abcd", [](CSafeStringA& s) { s.Delete(1, 2); }, "ad"},
        {"abcd", [](CSafeStringA& s) { s.Delete(5, 1); }, "abcd"},
        {"abcd", [](CSafeStringA& s) { s.Truncate(2); }, "ab"},
        {"abcd", [](CSafeStringA& s) { s.Truncate(9); }, "abcd"},
        {"host/path?q", [](CSafeStringA& s) { s.TruncateAtSubstring("?"); }, "host/path"},
        {"host/path", [](CSafeStringA& s) { s.TruncateAtSubstring("#"); }, "host/path"},
    };
    for (const Case& c : cases) {
        CSafeStringA s(c.text);
        c.edit(s);
        EXPECT_EQ(Text(s), c.expected) << c.text;
        EXPECT_EQ(s.m_pBuffer[s.m_nLength], '\0') << c.text;
    }
}

TEST(SafeStringA, Searches) {
    const CSafeStringA slashes("a/b/c"), empty(""), aaaa("aaaa"), aaa("aaa");
    EXPECT_EQ(slashes.ReverseFind('/', -1), 3);
    EXPECT_EQ(slashes.ReverseFind('/', 99), 3);
    EXPECT_EQ(slashes.ReverseFind('/', 2), 1);
    EXPECT_EQ(slashes.ReverseFind('x', -1), -1);
    EXPECT_EQ(empty.ReverseFind('/', -1), -1);

    EXPECT_EQ(aaaa.FindLast(CSafeStringA("aa")), 2);
    EXPECT_EQ(aaa.FindLast(CSafeStringA("aa")), 0);  // matches do not overlap
    EXPECT_EQ(aaa.FindLast(CSafeStringA("b")), -1);
    EXPECT_EQ(aaa.FindLast(CSafeStringA("")), -1);

    EXPECT_EQ(CSafeStringA("host:80").SpanExcluding(":/"), 4);
    EXPECT_EQ(CSafeStringA("host").SpanExcluding(":/"), 4);

    EXPECT_EQ(slashes.Find("b/"), 2);
    EXPECT_EQ(slashes.Find("x"), -1);
    EXPECT_EQ(slashes.Find(nullptr), -1);

    EXPECT_EQ(slashes.GetAt(0), 'a');
    EXPECT_EQ(slashes.GetAt(5), '\0');
    EXPECT_THROW(slashes.GetAt(6), std::bad_alloc);
}

// ---- URL parts ----

// nullptr: the part is unavailable (false, and the out text empty).
struct UrlPartsCase {
    std::string url;
    const char* host;
    const char* domain;
    const char* path;
    const char* port;
};

TEST(SafeStringA, UrlParts) {
    const std::string host259 = std::string(247, 'a') + ".example.com";  // 259 characters
    const std::string host260 = "a" + host259;
    const std::string hostLong = std::string(65000, 'a') + ".example.com";
    const UrlPartsCase cases[] = {
        // "http://" is put in front when missing, in any case
        {"www.example.com/x?y", "www.example.com", "example.com", "/x", nullptr},
        {"HTTP://www.example.com:8080/a;b", "www.example.com", "example.com", "/a", "8080"},
        {"http://user:pw@host.example.com:81/p#f", "host.example.com", "example.com", "/p", "81"},
        // a country-code top-level label takes three labels, without a leading "www."
        {"www.example.co.xy/", "www.example.co.xy", "example.co.xy", "/", nullptr},
        {"www.example.xy", "www.example.xy", "example.xy", nullptr, nullptr},
        {"a.b.example.xy/", "a.b.example.xy", "b.example.xy", "/", nullptr},
        {"a.b.xy/", "a.b.xy", "a.b.xy", "/", nullptr},
        // numeric addresses, single labels and two labels stay whole
        {"10.1.2.3/", "10.1.2.3", "10.1.2.3", "/", nullptr},
        {"localhost", "localhost", "localhost", nullptr, nullptr},
        {"example.com", "example.com", "example.com", nullptr, nullptr},
        // one trailing '.' of the host goes; the case of the host is kept
        {"Mail.Example.COM./", "Mail.Example.COM", "Example.COM", "/", nullptr},
        {"example.com/a?b/c", "example.com", "example.com", "/a", nullptr},
        // hosts of any length
        {host259 + "/", host259.c_str(), "example.com", "/", nullptr},
        {host260 + ":8080/", host260.c_str(), "example.com", "/", "8080"},
        {hostLong + "./x", hostLong.c_str(), "example.com", "/x", nullptr},
        // the authority ends at '/', '\\', '?' or '#', the userinfo at its last '@'; the port is
        // what follows the host's ':', possibly empty; an IPv6 literal keeps its brackets
        {"a@b@c.example/x", "c.example", "c.example", "/x", nullptr},
        {"h.example\\x/y", "h.example", "h.example", "/y", nullptr},
        {"h.example#f", "h.example", "h.example", nullptr, nullptr},
        {"h.example:/", "h.example", "h.example", "/", ""},
        {"[::1]:8080/", "[::1]", "[::1]", "/", "8080"},
        {"/index.html", "", "", "/index.html", nullptr},  // a request without a Host header
        {"", nullptr, nullptr, nullptr, nullptr},
    };
    const auto check = [](bool (*part)(const CSafeStringA&, CSafeStringA&), const std::string& url,
                          const char* expected) {
        CSafeStringA out("stale");
        const bool available = part(CSafeStringA(url.c_str()), out);
        EXPECT_EQ(available, expected != nullptr) << url;
        EXPECT_EQ(Text(out), expected != nullptr ? expected : "") << url;
    };
    for (const UrlPartsCase& c : cases) {
        check(&CSafeStringA::GetHost, c.url, c.host);
        check(&CSafeStringA::GetDomain, c.url, c.domain);
        check(&CSafeStringA::GetPath, c.url, c.path);
        check(&CSafeStringA::GetPort, c.url, c.port);
    }
}

TEST(SafeStringA, HasScheme) {
    const struct {
        const char* text;
        bool hasScheme;
    } cases[] = {
        {":abc", false}, {"abc", false},  {"", false},      {"/a:b", false},     {"a b:c", false},
        {"abc:", true},  {"a.b:c", true}, {"1+a-b.c:", true}, {"http://x/", true},
        {"host:8080/index.html", true},  // a host with a port looks like a scheme
    };
    for (const auto& c : cases) {
        const CSafeStringA s(c.text);
        EXPECT_EQ(s.HasScheme(), c.hasScheme) << c.text;
        EXPECT_EQ(s.LacksScheme(), !c.hasScheme) << c.text;
    }
    CSafeStringA freed("abc:");
    freed.Free();
    EXPECT_FALSE(freed.HasScheme());
}

// ---- CSafeStringW ----

TEST(SafeStringW, CompareIsOrdinalOverUnsignedCodeUnits) {
    const CSafeStringW abc(L"abc");
    EXPECT_EQ(abc.Compare(L"abc"), 0);
    EXPECT_EQ(abc.Compare(L"abd"), -1);
    EXPECT_EQ(abc.Compare(L"ab"), 1);
    EXPECT_EQ(abc.Compare(L"abcd"), -1);
    EXPECT_EQ(abc.Compare(L"ABC"), 1);
    EXPECT_EQ(CSafeStringW(L"\xFFFF").Compare(L"a"), 1);
    EXPECT_EQ(abc.Compare(nullptr), 0);
    EXPECT_FALSE(abc.IsEqual(static_cast<const wchar_t*>(nullptr)));
    EXPECT_TRUE(abc.IsEqual(L"abc"));
}

TEST(SafeStringW, SetLengthPadsWithZerosThatIsEqualOfTwoStringsSees) {
    CSafeStringW s(L"ab");
    s.SetLength(5);
    EXPECT_EQ(Text(s), std::wstring(L"ab\0\0\0", 5));
    EXPECT_EQ(s.Compare(L"ab"), 0);  // up to the terminator
    EXPECT_FALSE(s.IsEqual(CSafeStringW(L"ab")));
    s.SetLength(1);
    EXPECT_EQ(Text(s), L"a");
    EXPECT_TRUE(s.IsEqual(CSafeStringW(L"a")));
}

TEST(SafeStringW, AssignInsertAppend) {
    CSafeStringW s(L"ad");
    s.Insert(1, L"bc", -1);
    EXPECT_EQ(Text(s), L"abcd");
    s.Insert(5, L"x", 1);  // past the length
    s.Insert(0, nullptr, 1);
    s.Insert(0, L"x", 0);
    EXPECT_EQ(Text(s), L"abcd");
    s.Append(L"efgh", 2);
    EXPECT_EQ(Text(s), L"abcdef");
    s.Assign(static_cast<const wchar_t*>(nullptr));
    EXPECT_EQ(Text(s), L"abcdef");
    s.Assign(L"new");
    CSafeStringW copy(s);
    s.Empty();
    EXPECT_EQ(Text(copy), L"new");
    EXPECT_EQ(s.GetLength(), 0);
    EXPECT_EQ(CSafeStringW(static_cast<const wchar_t*>(nullptr)).GetLength(), 0);
}

TEST(SafeStringW, FormatFitsUpTo20480CharactersWithTheTerminatorAndOtherwiseKeepsTheText) {
    struct Case {
        int length;
        bool fits;
    };
    // 2048 characters per pass: 2047 fit the first, 2048 and 3000 need the second, 20479 the tenth.
    const Case cases[] = {{0, true},     {2047, true},  {2048, true},   {3000, true},
                          {20479, true}, {20480, false}, {30000, false}};
    for (const Case& c : cases) {
        const std::wstring argument(c.length, L'w');
        CSafeStringW s(L"before");
        s.Format(L"%s", argument.c_str());  // "%s" is wide here
        EXPECT_EQ(Text(s), c.fits ? argument : std::wstring(L"before")) << c.length;
    }
    CSafeStringW s;
    EXPECT_EQ(Text(s.Format(L"%d-%hs-%s", 42, "narrow", L"wide")), L"42-narrow-wide");
}

}  // namespace
