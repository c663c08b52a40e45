// Matching one request's URL against a user's blocked-sites list, as the handler does for every
// request: the time per match for lists of growing size beside a one-entry list, in one run. The
// index of each list is built first, as reading the settings does, and timed on its own.
#include "bench/BenchSupport.h"
#include "plugin/core/SiteListMatch.h"

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

// `expected`: the entry every match must report, or nullptr for none.
double NanosecondsPerMatch(const CSiteList& list, const wchar_t* url, int rounds, const wchar_t* expected = nullptr) {
    int wrong = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; ++i) {
        CSafeStringW matched;
        const bool hit = MatchSiteList(url, list, matched);
        wrong += hit != (expected != nullptr) || (hit && std::wcscmp(matched.GetString(), expected) != 0) ? 1 : 0;
    }
    const double seconds = Seconds(start);
    if (wrong != 0) std::printf("(unexpected: %d wrong answers)\n", wrong);
    return seconds * 1e9 / rounds;
}

}  // namespace

int main() {
    const wchar_t* const url = L"www.allowed.example:8080/news/2026/12/10/article-about-something.html?utm_source=feed";
    CSiteList one{CSafeStringW(L"blocked.test")};
    one.Index();
    std::printf("%-34s %12s %8s\n", "list", "ns/match", "ratio");
    const double base = NanosecondsPerMatch(one, url, 200000);
    std::printf("%-34s %12.0f %8.2f\n", "1 entry", base, 1.0);
    for (const int size : {10, 100, 1000}) {
        CSiteList list;
        for (int n = 0; n < size; ++n) list.emplace_back((L"www.listed" + std::to_wstring(n) + L".test/").c_str());
        const auto built = std::chrono::steady_clock::now();
        list.Index();
        const double buildMicroseconds = Seconds(built) * 1e6;
        const double each = NanosecondsPerMatch(list, url, 2000000 / size);
        std::printf("%-34s %12.0f %8.2f\n", (std::to_string(size) + " entries, none matching").c_str(), each, each / base);
        if (size == 1000) {
            // The same URL as a hostile client may spell it: escapes to decode, dot segments to remove.
            const wchar_t* const spelled =
                L"%77ww.%61llowed.example:8080/news/x/../2026/./12/%31%30/article-about-something.html?utm_source=feed";
            const double canonical = NanosecondsPerMatch(list, spelled, 2000000 / size);
            std::printf("%-34s %12.0f %8.2f\n", "1000 entries, escaped URL", canonical, canonical / base);
            // Hits on the last entry: a host below it with the long URL's path, and the site itself.
            const wchar_t* const below = L"mail.listed999.test:8080/news/2026/12/10/article-about-something.html";
            const double domainHit = NanosecondsPerMatch(list, below, 2000000 / size, L"www.listed999.test/");
            std::printf("%-34s %12.0f %8.2f\n", "1000 entries, last one matching", domainHit, domainHit / base);
            const wchar_t* const host = L"http://WWW.Listed999.test/";
            const double hostHit = NanosecondsPerMatch(list, host, 2000000 / size, L"www.listed999.test/");
            std::printf("%-34s %12.0f %8.2f\n", "1000 entries, last one, short URL", hostHit, hostHit / base);
            std::printf("index of 1000 entries built in %.0f us\n", buildMicroseconds);
        }
    }
    return 0;
}
