// The time of a cached URL classification (the goal: under 1 us) and of matching a URL against a
// 1,000-entry site list, side by side in one run. The cached answer is put in the URL response
// cache directly, so no service is needed. Run by hand:
//   build/wine-run.sh build/bin/classification_bench.exe [iterations]

#include "plugin/core/SiteListMatch.h"
#include "plugin/filter/UrlClassification.h"
#include "plugin/filter/reputation/UrlResponseCache.h"

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

double MicrosecondsEach(std::chrono::steady_clock::time_point since, unsigned long long count) {
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - since).count() / count;
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned long long iterations = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 200000;
    // Nobody answers here: a miss would fail at once instead of timing a network exchange.
    const wchar_t* const url = L"www.example.com/news/2026/12/10/article-about-something.html";
    NNUV::URLRespResult answer;
    answer.rep = 10;
    answer.cat = {101, 116, 195};
    NNUV::UrlResponseCache::Insert(url, answer);

    CSiteList list;
    for (int n = 0; n < 1000; ++n) list.emplace_back((L"site" + std::to_wstring(n) + L".example.org").c_str());

    double classify = 0, match = 0;
    int classified = 0, matched = 0;
    {
        CUrlClassification classifier;
        for (int round = 0; round < 3; ++round) {  // interleaved, so both see the same machine load
            auto start = std::chrono::steady_clock::now();
            for (unsigned long long n = 0; n < iterations; ++n) {
                char result[40] = {};
                DWORD size = sizeof result;
                classified += classifier.Classify(url, result, &size, L"");
            }
            classify += MicrosecondsEach(start, iterations) / 3;
            start = std::chrono::steady_clock::now();
            const unsigned long long matches = iterations / 100 + 1;
            for (unsigned long long n = 0; n < matches; ++n) {
                CSafeStringW found;
                matched += MatchSiteList(url, list, found) ? 1 : 0;
            }
            match += MicrosecondsEach(start, matches) / 3;
        }
        classifier.TerminateTYVOStats();
    }
    NNUV::UrlResponseCache::StopPruneThread();
    std::printf("cached URL classification:              %8.3f us (%d classified)\n", classify, classified);
    std::printf("site-list match, 1,000 entries, no hit: %8.3f us (%d matched)\n", match, matched);
    std::printf("ratio site-list match / classification: %8.1f\n", match / classify);
    return 0;
}
