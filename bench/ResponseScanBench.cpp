// Throughput of the response scan over a keep-alive stream of realistic responses (an HTML page
// full of links with a length, a chunked script, an image the handler does not scan), cut into
// 16 KiB packets as a host reads them; side by side with the scan buffer alone on the same
// packets. Measured with the embedded-URL scan off (most connections) and on (after an allowed
// page). Run by hand:
//   build/wine-run.sh build/bin/responsescan_bench.exe [MiB]

#include "plugin/filter/InboundHttpResponseScan.h"
#include "bench/BenchSupport.h"
#include "plugin/filter/ScanBuffer.h"

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Every response answers an open request; images are not scanned.
class PairingHandler : public IInboundHttpResponseScanCallback {
public:
    void OnContentType(const CSafeStringA& type, bool, bool& scan) override {
        scan = std::strncmp(type.m_pBuffer, "image/", 6) != 0;
    }
    void OnInboundResponseDone(bool) override { ++responses; }
    void GetRequestForResponse(CSafeStringA& url, CSafeStringA& method, CSafeStringA& host, bool& none) override {
        url.Assign("www.example.com/page.html");
        method.Assign("GET");
        host.Assign("www.example.com");
        none = false;
    }
    void OnInboundEmbeddedUrl(const char*, DWORD, const CSafeStringA&) override { ++links; }
    void OnInboundFramingLost(DWORD) override {}
    unsigned long long responses = 0;
    unsigned long long links = 0;
};

std::string Hex(std::size_t n) {
    char text[32];
    std::snprintf(text, sizeof text, "%zx", n);
    return text;
}

std::string Stream() {
    std::string page = "<!doctype html><html><head><title>News</title></head><body>\n";
    for (int n = 0; page.size() < 100000; ++n) {
        page += "<p>Paragraph " + std::to_string(n) + " with some words about the day, and a link to "
                "<a href=\"http://cdn" + std::to_string(n % 7) + ".example.net/articles/" + std::to_string(n) +
                ".html\">another article</a>; more text follows here to make it a realistic line.</p>\n";
    }
    page += "</body></html>\n";
    std::string stream = "HTTP/1.1 200 OK\r\nDate: Thu, 10 Dec 2026 10:00:00 GMT\r\nServer: origin\r\n"
                         "Content-Type: text/html; charset=utf-8\r\nContent-Length: " +
                         std::to_string(page.size()) + "\r\nCache-Control: no-cache\r\n\r\n" + page;
    std::string script(60000, 'x');
    for (std::size_t at = 0; at + 40 < script.size(); at += 400) script.replace(at, 40, "var u = 'https://api.example.net/v1';\n  ");
    stream += "HTTP/1.1 200 OK\r\nContent-Type: application/javascript\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (std::size_t at = 0; at < script.size(); at += 8192) {
        const std::string chunk = script.substr(at, 8192);
        stream += Hex(chunk.size()) + "\r\n" + chunk + "\r\n";
    }
    stream += "0\r\n\r\n";
    const std::string image(80000, '\x7f');
    stream += "HTTP/1.1 200 OK\r\nContent-Type: image/webp\r\nContent-Length: " + std::to_string(image.size()) +
              "\r\n\r\n" + image;
    return stream;
}

enum class Mode { kBufferOnly, kScan, kScanLinks };

double MBps(unsigned long long total, std::vector<std::string>& packets, Mode mode, PairingHandler& handler) {
    CountingHost host;
    CScanBuffer buffer(&host, 1, &host, &host);
    buffer.SetAlgorithm(kScanInboundHttpResponse);
    auto state = std::make_unique<CInboundHttpResponseScan::CState>(&buffer, &handler);
    if (mode == Mode::kScanLinks) state->EnableEmbeddedUrlScan();
    buffer.SetState(std::move(state));
    IScanAlgorithm* const algorithm = GetScanAlgorithm(kScanInboundHttpResponse);
    unsigned long long sent = 0;
    const auto start = std::chrono::steady_clock::now();
    // Whole streams only, so that every response ends.
    while (sent < total) {
        for (std::string& packet : packets) {
            buffer.AddData(reinterpret_cast<BYTE*>(&packet[0]), static_cast<DWORD>(packet.size()), true);
            if (mode != Mode::kBufferOnly) {
                algorithm->Scan(*buffer.GetState());
            } else {
                Tessal::CAutoLock lock(buffer.GetLock());
                buffer.Consume(buffer.GetLength());
            }
            buffer.ReleaseProcessedPackets();
            sent += packet.size();
        }
    }
    const double seconds = Seconds(start);
    if (host.bytes != sent) std::printf("released %llu of %llu bytes\n", host.bytes, sent);
    return sent / seconds / 1048576.0;
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned long long mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
    const unsigned long long total = mib * 1048576ull;
    const std::string stream = Stream();
    std::vector<std::string> packets;
    for (std::size_t at = 0; at < stream.size(); at += 16384) packets.push_back(stream.substr(at, 16384));
    CreateScanAlgorithms();
    double rates[3] = {0, 0, 0};
    PairingHandler handlers[3];
    for (int round = 0; round < 3; ++round) {  // interleaved, so all see the same machine load
        for (int mode = 0; mode < 3; ++mode) rates[mode] += MBps(total, packets, static_cast<Mode>(mode), handlers[mode]) / 3;
    }
    std::printf("scan buffer alone, 16 KiB packets:          %.0f MB/s\n", rates[0]);
    std::printf("response scan, links not scanned:           %.0f MB/s (%llu responses)\n", rates[1], handlers[1].responses);
    std::printf("response scan with the embedded-URL scan:   %.0f MB/s (%llu links)\n", rates[2], handlers[2].links);
    std::printf("ratio scan / buffer: %.2f without links, %.2f with links\n", rates[1] / rates[0], rates[2] / rates[0]);
    DestroyScanAlgorithms();
    return 0;
}
