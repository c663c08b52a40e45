// Safe search through the request scan: requests to the engines of a searchengines.ini written
// here, as the server gets them.
#include "plugin/filter/OutboundSearchScan.h"

#include "base/TextConversion.h"
#include "tests/plugin/filter/RequestScanHarness.h"
#include "tests/support/LogRecorder.h"
#include "tests/support/ScratchFolder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

namespace {

using NuvTest::RequestScanRun;

constexpr char kEngines[] =
    "[Finder]\r\nEnabledValue=active\r\nIdentifier=safe\r\nType=QueryString\r\n"
    "URL=www.finder.example/search|images.finder.example/images|\r\n"
    "[Crumbs]\r\nEnabledValue=on\r\nIdentifier=SS\r\nType=Cookie\r\nURL=crumbs.example/search\r\n"
    "[Pairs]\r\nEnabledValue=adlt=strict\r\nIdentifier=PREFS\r\nType=CookieQueryString\r\nURL=pairs.example/s\r\n"
    "[Inert]\r\nEnabledValue=x\r\nIdentifier=y\r\nType=Nothing\r\nURL=inert.example/s\r\n";

void WriteText(const std::wstring& path, const std::string& text) {
    FILE* file = ::_wfopen(path.c_str(), L"wb");
    ASSERT_NE(nullptr, file);
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
}

// The file replaced as a whole, as an update would: a reader never sees it half written.
void ReplaceText(const std::wstring& path, const std::string& text) {
    const std::wstring next = path + L".new";
    WriteText(next, text);
    ASSERT_TRUE(::MoveFileExW(next.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING));
}

class SafeSearchTest : public ::testing::Test {
protected:
    void SetUp() override {
        WriteText(IniPath(), kEngines);
        const std::string ini = Tessal::ToThreadAnsi(IniPath());
        CreateScanAlgorithms([ini](int id) -> std::unique_ptr<IScanAlgorithm> {
            if (id == kScanOutboundHttpRequest) return std::make_unique<COutboundHttpRequestScan>();
            if (id == kScanOutboundSearch) return std::make_unique<COutboundSearchScan>(ini);
            return nullptr;
        });
        NuvTest::TakeLoggedLines();
    }
    void TearDown() override { DestroyScanAlgorithms(); }

    std::wstring IniPath() const { return m_folder / L"searchengines.ini"; }
    static std::string Through(const std::string& request, bool safeSearch = true) {
        RequestScanRun run(safeSearch);
        run.Send(request);
        return run.Released();
    }

    NuvTest::ScratchFolder m_folder{L"safesearch"};
};

std::string Get(const std::string& target, const std::string& host, const std::string& headers = "") {
    return "GET " + target + " HTTP/1.1\r\nHost: " + host + "\r\n" + headers + "\r\n";
}

TEST_F(SafeSearchTest, RequestsLeaveWithTheEnginesSetting) {
    const struct {
        const char* name;
        std::string request;
        std::string released;
    } cases[] = {
        {"query string gets the parameter first", Get("/search?q=cats", "www.finder.example"),
         Get("/search?safe=active&q=cats", "www.finder.example")},
        {"every occurrence is overwritten", Get("/search?q=1&safe=off&x=2&safe=images", "www.finder.example"),
         Get("/search?q=1&safe=active&x=2&safe=active", "www.finder.example")},
        {"a value that only starts like the setting", Get("/search?safe=activeno&q=1", "www.finder.example"),
         Get("/search?safe=active&q=1", "www.finder.example")},
        {"already on", Get("/search?safe=active&q=1", "www.finder.example"),
         Get("/search?safe=active&q=1", "www.finder.example")},
        {"no query string: nothing added, a later '?' is no query",
         Get("/search", "www.finder.example", "X-Q: a?b\r\n"), Get("/search", "www.finder.example", "X-Q: a?b\r\n")},
        {"a pattern differing in case matches", Get("/SEARCH?q=1", "WWW.Finder.Example"),
         Get("/SEARCH?safe=active&q=1", "WWW.Finder.Example")},
        {"absolute target", "GET http://www.finder.example/search?q=1 HTTP/1.1\r\nHost: www.finder.example\r\n\r\n",
         "GET http://www.finder.example/search?safe=active&q=1 HTTP/1.1\r\nHost: www.finder.example\r\n\r\n"},
        {"no Cookie header: a line of its own", Get("/search?q=1", "crumbs.example"),
         Get("/search?q=1", "crumbs.example", "Cookie: SS=on;\r\n")},
        {"a Cookie header without the cookie", Get("/search", "crumbs.example", "Cookie: a=1; b=2\r\n"),
         Get("/search", "crumbs.example", "Cookie: SS=on;a=1; b=2\r\n")},
        {"the cookie with another value", Get("/search", "crumbs.example", "Cookie: a=1; SS=off; b=2\r\n"),
         Get("/search", "crumbs.example", "Cookie: a=1; SS=on; b=2\r\n")},
        {"a Cookie header name in lower case", Get("/search", "crumbs.example", "cookie: a=1\r\n"),
         Get("/search", "crumbs.example", "cookie: SS=on;a=1\r\n")},
        {"pairs: the key with another value", Get("/s", "pairs.example", "Cookie: PREFS=adlt=off&x=1; z=2\r\n"),
         Get("/s", "pairs.example", "Cookie: PREFS=adlt=strict&x=1; z=2\r\n")},
        {"pairs: the cookie without the key", Get("/s", "pairs.example", "Cookie: PREFS=x=1; z=2\r\n"),
         Get("/s", "pairs.example", "Cookie: PREFS=adlt=strict&x=1; z=2\r\n")},
        {"pairs: no such cookie", Get("/s", "pairs.example", "Cookie: z=2\r\n"),
         Get("/s", "pairs.example", "Cookie: PREFS=adlt=strict;z=2\r\n")},
        {"pairs: the last pair's value up to the cookie's end", Get("/s", "pairs.example", "Cookie: PREFS=adlt=off\r\nX: &\r\n"),
         Get("/s", "pairs.example", "Cookie: PREFS=adlt=strict\r\nX: &\r\n")},
        {"a Cookie line in the body is not the header's",
         "POST /search HTTP/1.1\r\nHost: crumbs.example\r\nContent-Length: 11\r\n\r\nCookie: a=1",
         "POST /search HTTP/1.1\r\nHost: crumbs.example\r\nContent-Length: 11\r\nCookie: SS=on;\r\n\r\nCookie: a=1"},
        {"an engine without action", Get("/s?q=1", "inert.example"), Get("/s?q=1", "inert.example")},
        {"a site that is no engine (a trailing '|' adds no pattern)", Get("/page?q=1", "other.example"),
         Get("/page?q=1", "other.example")},
    };
    for (const auto& c : cases) EXPECT_EQ(c.released, Through(c.request)) << c.name;
}

TEST_F(SafeSearchTest, NothingChangesForAUserWithoutSafeSearch) {
    const std::string request = Get("/search?q=cats", "www.finder.example", "Cookie: a=1\r\n");
    EXPECT_EQ(request, Through(request, false));
}

// The next request on the connection is found where it is after the first one grew.
TEST_F(SafeSearchTest, EditsMoveWhatFollowsInTheStream) {
    RequestScanRun run(true);
    const std::string second = Get("/page", "blocked.example.org");
    run.Send(Get("/search?q=1", "crumbs.example", "Cookie: a=1\r\n") + Get("/search?q=2", "www.finder.example"));
    run.Send(second);
    EXPECT_EQ(Get("/search?q=1", "crumbs.example", "Cookie: SS=on;a=1\r\n") +
                  Get("/search?safe=active&q=2", "www.finder.example"),
              run.Released());
    EXPECT_EQ("block blocked.example.org/page 2", run.Handler().calls.back());
}

// A reload swaps the whole list: each request sees the old engines or the new, never a mix.
TEST_F(SafeSearchTest, ReloadsWhileRequestsAreScannedAreAtomic) {
    const std::string request = Get("/search?q=1", "www.finder.example");
    const std::string before = Get("/search?safe=active&q=1", "www.finder.example");
    const std::string after = Get("/search?strict=1&q=1", "www.finder.example");
    ASSERT_EQ(before, Through(request));  // the list is loaded before the reloads start
    std::atomic<bool> done{false};
    std::thread reloader([&] {
        for (int round = 0; round < 40; ++round) {
            const bool other = round % 2 == 0;
            ReplaceText(IniPath(), other ? "[Finder]\r\nEnabledValue=1\r\nIdentifier=strict\r\nType=QueryString\r\n"
                                         "URL=www.finder.example/search\r\n"
                                       : kEngines);
            ReloadSearchEngines();
            ::Sleep(2);
        }
        done = true;
    });
    int scans = 0;
    while (!done.load()) {
        const std::string released = Through(request);
        ++scans;
        if (released != before && released != after) {
            ADD_FAILURE() << "half a list: " << released;
            break;
        }
    }
    reloader.join();
    EXPECT_GT(scans, 0);
}

TEST(SearchEngineList, IsReadFromTheIniFile) {
    NuvTest::ScratchFolder folder(L"engines");
    WriteText(folder / L"searchengines.ini", kEngines);
    const auto engines = COutboundSearchScan::LoadSearchEngines(Tessal::ToThreadAnsi(folder / L"searchengines.ini"));
    ASSERT_NE(nullptr, engines);
    ASSERT_EQ(4u, engines->size());
    EXPECT_EQ("Finder", (*engines)[0].name);
    EXPECT_EQ((std::vector<std::string>{"www.finder.example/search", "images.finder.example/images"}),
              (*engines)[0].patterns);
    EXPECT_EQ(COutboundSearchScan::kQueryString, (*engines)[0].type);
    EXPECT_EQ(COutboundSearchScan::kCookie, (*engines)[1].type);
    EXPECT_EQ(COutboundSearchScan::kCookieQuery, (*engines)[2].type);
    EXPECT_EQ("adlt=strict", (*engines)[2].enabledValue);
    EXPECT_EQ(COutboundSearchScan::kNoAction, (*engines)[3].type);

    const auto none = COutboundSearchScan::LoadSearchEngines(Tessal::ToThreadAnsi(folder / L"missing.ini"));
    ASSERT_NE(nullptr, none);
    EXPECT_TRUE(none->empty());
    EXPECT_EQ(nullptr, COutboundSearchScan::LoadSearchEngines(""));
}

}  // namespace
