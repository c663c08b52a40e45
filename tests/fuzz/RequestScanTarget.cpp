// The request scan fed random and mutated request streams cut into packets at random points: it
// must neither crash nor hang, and what it lets through is always a prefix of what it got (no
// byte twice, none out of order, none it never received).
#include "Targets.h"

#include "ScanStreams.h"
#include "tests/plugin/filter/RequestScanHarness.h"

#include <algorithm>
#include <cstring>

namespace NuvFuzz {
namespace {

std::string Request(Random& random) {
    static const char* const kMethods[] = {"GET", "POST", "HEAD", "PUT", "CONNECT", "XYZZY", "get", "OPTIONS"};
    static const char* const kTargets[] = {"/", "/index.html?q=1", "http://blocked.example.org/x", "www.example.com:443",
                                           "*", "/a#frag", "HTTP://WWW.EXAMPLE.COM"};
    static const char* const kHosts[] = {"www.example.com", "blocked.example.org", "WWW.Example.COM:80", ""};
    std::string request = std::string(kMethods[random.Below(8)]) + " " + kTargets[random.Below(7)] +
                          (random.OneIn(10) ? " HTTP/1.0\r\n" : " HTTP/1.1\r\n");
    const std::size_t headers = random.Below(5);
    std::string body;
    for (std::size_t n = 0; n < headers; ++n) {
        switch (random.Below(7)) {
            case 0: request += std::string("Host: ") + kHosts[random.Below(4)] + "\r\n"; break;
            case 1: {
                body = random.RandomText(40);
                request += "Content-Length: " + std::to_string(random.OneIn(5) ? random.Interesting32() % 100 : body.size()) + "\r\n";
                break;
            }
            case 2: request += "Transfer-Encoding: chunked\r\n"; body = "5\r\nhello\r\n0\r\n\r\n"; break;
            case 3: request += "Referer: http://Ref.Example/p\r\n"; break;
            case 4: request += "Content-Type: multipart/form-data; boundary=xyz\r\n"; break;
            case 5: request += "Cookie: a=1; SS=off\r\n"; break;
            default: request += random.RandomText(30) + "\r\n";
        }
    }
    request += random.OneIn(10) ? "\n" : "\r\n";
    return request + body;
}

// bytes: the stream; texts[0]: the cut offsets as text (for the saved input to show them).
void Generate(Random& random, Input& input) {
    std::string stream;
    const std::size_t requests = 1 + random.Below(4);
    for (std::size_t n = 0; n < requests; ++n) stream += Request(random);
    if (random.OneIn(10)) stream = std::string("\x16\x03\x01\x00\x10", 5) + stream;
    if (random.OneIn(3)) random.Mutate(stream);
    input.bytes.assign(stream.begin(), stream.end());
    input.texts.push_back(RandomCuts(random, stream.size()));
}

void Store(const Scratch&, const Input&) { PrepareScans(); }

int Read(const Scratch&, const Input& input) {
    const std::string stream(input.bytes.begin(), input.bytes.end());
    const std::vector<std::size_t> cuts = ParseCuts(input.texts[0]);
    NuvTest::RequestScanRun run;
    run.SendSplit(stream, cuts);
    const std::string released = run.Released();
    if (released.size() > stream.size() || stream.compare(0, released.size(), released) != 0) return kFinding;
    return released.size() == stream.size() ? 1 : 0;  // all released, or held / blocked / dropped
}

}  // namespace

extern const Target kRequestScanTarget = {"request-scan", "request streams in packets (COutboundHttpRequestScan)",
                                          Generate, Store, Read};

}  // namespace NuvFuzz
