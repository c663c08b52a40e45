// Matching one request's URL against a user's blocked-sites list, as the handler does for every
// request: the time per match for lists of growing size beside a one-entry list, in one run.
#include "bench/BenchSupport.h"
#include "plugin/core/SiteListMatch.h"

#include <cstdio>
#include <string>

namespace {

double NanosecondsPerMatch(const CSiteList& list, const wchar_t* url, int rounds) {
    int hits = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; ++i) {
        CSafeStringW matched;
        hits += MatchSiteList(url, list, matched) ? 1 : 0;
    }
    const double seconds = Seconds(start);
    if (hits != 0) std::printf("(unexpected: %d matches)\n", hits);
    return seconds * 1e9 / rounds;
}

}  // namespace

int main() {
    const wchar_t* const url = L"www.allowed.example:8080/news/2026/12/10/article-about-something.html?utm_source=feed";
    CSiteList one{CSafeStringW(L"blocked.test")};
    std::printf("%-34s %12s %8s\n", "list", "ns/match", "ratio");
    const double base = NanosecondsPerMatch(one, url, 200000);
    std::printf("%-34s %12.0f %8.2f\n", "1 entry", base, 1.0);
    for (const int size : {10, 100, 1000}) {
        CSiteList list;
        for (int n = 0; n < size; ++n) list.emplace_back((L"www.listed" + std::to_wstring(n) + L".test/").c_str());
        const double each = NanosecondsPerMatch(list, url, 2000000 / size);
        std::printf("%-34s %12.0f %8.2f\n", (std::to_string(size) + " entries, none matching").c_str(), each, each / base);
        if (size == 1000) {
            // The same URL as a hostile client may spell it: escapes to decode, dot segments to remove.
            const wchar_t* const spelled =
                L"%77ww.%61llowed.example:8080/news/x/../2026/./12/%31%30/article-about-something.html?utm_source=feed";
            const double canonical = NanosecondsPerMatch(list, spelled, 2000000 / size);
            std::printf("%-34s %12.0f %8.2f\n", "1000 entries, escaped URL", canonical, canonical / base);
        }
    }
    return 0;
}
