// Throughput of the request scan over realistic browser requests, side by side with the scan
// buffer alone on the same packets (the baseline of scanbuffer_bench: add, consume, hand back).
// Each request arrives as one packet, as browsers send them; the handler lets everything through, so
// the figure is the parsing and releasing, not the site lists or a classification. Run by hand:
//   build/wine-run.sh build/bin/requestscan_bench.exe [MiB] [scan]
// With "scan" only the request scan runs, for a profiler (perf record on the wine process).

#include "plugin/filter/OutboundHttpRequestScan.h"
#include "bench/BenchSupport.h"
#include "plugin/filter/ScanBuffer.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

// Every allocation of the program is counted: the scan should make none per request.
namespace {
std::atomic<unsigned long long> g_allocations{0};
}
void* operator new(std::size_t size) {
    ++g_allocations;
    if (void* p = std::malloc(size != 0 ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

class AllowingHandler : public IOutboundHttpRequestScanCallback {
public:
    // On neither list: with no category blocked, nothing is looked up.
    void OnOutboundHttpRequestUrl(const CSafeStringA&, const CSafeStringA&, bool& allowed, bool&, bool&) override {
        allowed = false;
        ++requests;
    }
    void OnContentType(const CSafeStringA&, bool, bool&) override {}
    void OnOutboundSearch(const SafeSearchEdit&, COutboundSearchScan::CState&) override {}
    void OnOutboundURLCategories(COutboundCategoriesScan::CState&) override {}
    void EnableEmbeddedUrlScan() override {}
    void OnOutboundBlockDecision(COutboundHttpRequestScan::CState&, const CSafeStringA&, LONG, bool&) override {}
    void OnOutboundRequestRecorded(const CSafeStringA&, const CSafeStringA&, const CSafeStringA&) override {}
    unsigned long long requests = 0;
};

// What a current browser sends for a page, its scripts and images, and a form.
std::vector<std::string> Requests() {
    const std::string common =
        "Host: www.example.com\r\nConnection: keep-alive\r\nsec-ch-ua: \"Chromium\";v=\"131\", \"Not_A Brand\";v=\"24\"\r\n"
        "sec-ch-ua-mobile: ?0\r\nsec-ch-ua-platform: \"Windows\"\r\nUpgrade-Insecure-Requests: 1\r\n"
        "User-Agent: Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
        "Chrome/131.0.0.0 Safari/537.36\r\nAccept-Encoding: gzip, deflate, br, zstd\r\n"
        "Accept-Language: en-US,en;q=0.9,de;q=0.8\r\nCookie: session=3f2a9c1e7b6d4a2f8e0c; prefs=dark; _ga=GA1.1.123456789.1733800000\r\n";
    return {
        "GET /news/2026/12/10/article-about-something.html?utm_source=feed HTTP/1.1\r\n" + common +
            "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,image/webp,*/*;q=0.8\r\n"
            "Sec-Fetch-Site: none\r\nSec-Fetch-Mode: navigate\r\nSec-Fetch-User: ?1\r\nSec-Fetch-Dest: document\r\n\r\n",
        "GET /static/js/app.3f2a9c1e.js HTTP/1.1\r\n" + common +
            "Accept: */*\r\nSec-Fetch-Site: same-origin\r\nSec-Fetch-Mode: no-cors\r\nSec-Fetch-Dest: script\r\n"
            "Referer: http://www.example.com/news/2026/12/10/article-about-something.html\r\n\r\n",
        "GET /images/header-1200x400.webp HTTP/1.1\r\n" + common +
            "Accept: image/avif,image/webp,image/apng,image/svg+xml,image/*,*/*;q=0.8\r\nSec-Fetch-Dest: image\r\n"
            "Referer: http://www.example.com/news/2026/12/10/article-about-something.html\r\n\r\n",
        "POST /comments/submit HTTP/1.1\r\n" + common +
            "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 64\r\nOrigin: http://www.example.com\r\n\r\n"
            "name=Alex&comment=Thanks+for+the+article%2C+very+helpful.&ok=1",
    };
}

// One connection's outbound direction; `scan` false: the buffer alone, every packet consumed whole.
double MBps(unsigned long long total, std::vector<std::string>& packets, bool scan, unsigned long long* requests,
            unsigned long long* allocations) {
    CountingHost host;
    AllowingHandler handler;
    CScanBuffer buffer(&host, 1, &host, &host);
    buffer.SetAlgorithm(kScanOutboundHttpRequest);
    // A user who blocks no category: no classification (that waits for the reputation client).
    buffer.SetState(std::make_unique<COutboundHttpRequestScan::CState>(&buffer, &handler, false,
                                                                        L"00000000000000000000000000000000", 0));
    IScanAlgorithm* const algorithm = GetScanAlgorithm(kScanOutboundHttpRequest);
    unsigned long long sent = 0;
    const unsigned long long allocationsBefore = g_allocations.load();
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t n = 0; sent < total; n = (n + 1) % packets.size()) {
        std::string& packet = packets[n];
        buffer.AddData(reinterpret_cast<BYTE*>(&packet[0]), static_cast<DWORD>(packet.size()), false);
        if (scan) {
            algorithm->Scan(*buffer.GetState());
        } else {
            Tessal::CAutoLock lock(buffer.GetLock());
            buffer.Consume(buffer.GetLength());
        }
        buffer.ReleaseProcessedPackets();
        sent += packet.size();
    }
    const double seconds = Seconds(start);
    if (host.bytes != sent) std::printf("released %llu of %llu bytes\n", host.bytes, sent);
    if (requests != nullptr) *requests += handler.requests;
    if (allocations != nullptr) *allocations += g_allocations.load() - allocationsBefore;
    return sent / seconds / 1048576.0;
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned long long mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
    const unsigned long long total = mib * 1048576ull;
    std::vector<std::string> packets = Requests();
    CreateScanAlgorithms();
    if (argc > 2 && std::string(argv[2]) == "scan") {
        unsigned long long requests = 0, allocations = 0;
        const double rate = MBps(total, packets, true, &requests, &allocations);
        std::printf("request scan alone: %.0f MB/s, %.2f allocations per request\n", rate,
                    static_cast<double>(allocations) / static_cast<double>(requests));
        DestroyScanAlgorithms();
        return 0;
    }
    double scanned = 0, buffered = 0;
    unsigned long long requests = 0, scanAllocations = 0, bufferAllocations = 0;
    for (int round = 0; round < 3; ++round) {  // interleaved, so both see the same machine load
        scanned += MBps(total, packets, true, &requests, &scanAllocations);
        buffered += MBps(total, packets, false, nullptr, &bufferAllocations);
    }
    scanned /= 3;
    buffered /= 3;
    std::printf("request scan, one request a packet (%zu browser requests): %.0f MB/s, %.0f requests/s\n",
                packets.size(), scanned, scanned * 1048576.0 / (total * 3.0 / requests));
    std::printf("scan buffer alone on the same packets:                   %.0f MB/s\n", buffered);
    std::printf("ratio scan / buffer:                                     %.2f\n", scanned / buffered);
    std::printf("allocations per request, scan / buffer alone:            %.2f / %.2f\n",
                static_cast<double>(scanAllocations) / static_cast<double>(requests),
                static_cast<double>(bufferAllocations) / static_cast<double>(requests));
    DestroyScanAlgorithms();
    return 0;
}
