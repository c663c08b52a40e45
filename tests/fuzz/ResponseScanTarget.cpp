// The response scan fed random and mutated response streams cut into packets at random points,
// with the connection closed at the end: it must neither crash nor hang nor hold anything back
// once the connection ended, what it lets through is always a prefix of what it got, and unless
// the handler blocked a response the client gets every byte.
#include "Targets.h"

#include "ScanStreams.h"
#include "tests/plugin/filter/ResponseScanHarness.h"

namespace NuvFuzz {
namespace {

std::string Hex(std::size_t n) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    do {
        text.insert(text.begin(), kDigits[n % 16]);
        n /= 16;
    } while (n != 0);
    return text;
}

std::string Body(Random& random) {
    std::string body = random.RandomText(40);
    if (random.OneIn(2)) body.insert(random.Below(body.size() + 1), "<a href=\"http://link.example/x\">");
    return body;
}

std::string Response(Random& random) {
    static const char* const kStatusLines[] = {"HTTP/1.1 200 OK",      "HTTP/1.0 200 OK", "HTTP/1.1 100 Continue",
                                               "HTTP/1.1 204 No Content", "HTTP/1.1 304 Not Modified",
                                               "HTTP/1.1 301 Moved",   "http/1.1 302 Found", "HTTP/1.1 200",
                                               "HTTP/1.1 2000 OK",     "ICY 200 OK"};
    static const char* const kTypes[] = {"text/html", "image/png", "text/css; charset=utf-8", "application/json", ""};
    std::string response = std::string(kStatusLines[random.Below(10)]) + (random.OneIn(10) ? "\n" : "\r\n");
    std::string body;
    const std::size_t headers = random.Below(5);
    for (std::size_t n = 0; n < headers; ++n) {
        switch (random.Below(5)) {
            case 0: response += std::string("Content-Type: ") + kTypes[random.Below(5)] + "\r\n"; break;
            case 1: {
                body = Body(random);
                response += "Content-Length: " +
                            std::to_string(random.OneIn(5) ? random.Interesting32() % 100 : body.size()) + "\r\n";
                break;
            }
            case 2: {
                response += random.OneIn(4) ? "Transfer-Encoding: gzip, chunked\r\n" : "Transfer-Encoding: chunked\r\n";
                body.clear();
                const std::size_t chunks = random.Below(4);
                for (std::size_t c = 0; c < chunks; ++c) {
                    const std::string chunk = Body(random);
                    body += Hex(chunk.size()) + (random.OneIn(8) ? ";x=1\r\n" : "\r\n") + chunk + "\r\n";
                }
                body += random.OneIn(5) ? "0\r\nX-Trailer: 1\r\n\r\n" : "0\r\n\r\n";
                break;
            }
            case 3: response += "Connection: keep-alive\r\n"; break;
            default: response += random.RandomText(30) + "\r\n";
        }
    }
    response += random.OneIn(10) ? "\n" : "\r\n";
    return response + body;
}

// bytes: the stream; texts: the cuts, the open requests ("GET", "HEAD", "CONNECT" letters G, H,
// C), "block" when the handler blocks text/html.
void Generate(Random& random, Input& input) {
    std::string stream;
    std::wstring requests;
    const std::size_t responses = 1 + random.Below(4);
    for (std::size_t n = 0; n < responses; ++n) {
        stream += Response(random);
        requests += random.OneIn(6) ? (random.OneIn(2) ? L'H' : L'C') : L'G';
    }
    if (random.OneIn(8)) requests.pop_back();  // one response more than requests
    if (random.OneIn(3)) random.Mutate(stream);
    input.bytes.assign(stream.begin(), stream.end());
    input.texts.push_back(RandomCuts(random, stream.size()));
    input.texts.push_back(requests);
    input.texts.push_back(random.OneIn(3) ? L"block" : L"");
}

void Store(const Scratch&, const Input&) { PrepareScans(); }

int Read(const Scratch&, const Input& input) {
    const std::string stream(input.bytes.begin(), input.bytes.end());
    NuvTest::ResponseScanRun run(true);
    std::vector<std::string> requests;
    for (const wchar_t kind : input.texts[1]) {
        requests.push_back(kind == L'H' ? "HEAD a.example/h" : kind == L'C' ? "CONNECT a.example:443" : "GET a.example/");
    }
    run.Requests(requests);
    if (input.texts[2] == L"block") run.Handler().blockedTypes = {"text/html"};
    run.SendSplit(stream, ParseCuts(input.texts[0]));
    run.End();
    const std::string released = run.Released();
    if (released.size() > stream.size() || stream.compare(0, released.size(), released) != 0) return kFinding;
    if (run.Buffer().GetLength() != 0 || run.Buffer().UnbufferedPacketCount() != 0) return kFinding;  // held after the end
    // Bytes are held back only by a block or by framing that cannot be followed, which both end
    // the connection.
    bool ended = false;
    for (const std::string& call : run.Handler().calls) {
        ended = ended || call.rfind("block ", 0) == 0 || call == "framing lost";
    }
    if (!ended && released.size() != stream.size()) return kFinding;  // lost without the connection ending
    if (ended != run.Failed() && released.size() != stream.size()) return kFinding;  // held without a FAIL
    return ended ? 0 : 1;
}

}  // namespace

extern const Target kResponseScanTarget = {"response-scan", "response streams in packets (CInboundHttpResponseScan)",
                                           Generate, Store, Read};

}  // namespace NuvFuzz
