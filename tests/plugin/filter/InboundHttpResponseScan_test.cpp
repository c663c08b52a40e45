// The response scan on canned response streams, each fed at every split point (and a byte at a
// time): the pairing with requests, the content types, the embedded links, and exactly which
// bytes reach the client.
#include "plugin/filter/InboundHttpResponseScan.h"

#include "tests/plugin/filter/ResponseScanHarness.h"
#include "tests/support/LogRecorder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using NuvTest::ForEverySplit;
using NuvTest::kNothingBlocked;
using NuvTest::ReleasedBeforeStop;
using NuvTest::ResponseScanRun;

std::string Plain(const std::string& status, const std::string& type, const std::string& body) {
    return "HTTP/1.1 " + status + "\r\nContent-Type: " + type + "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

std::string Hex(std::size_t n) {
    char text[32];
    std::snprintf(text, sizeof text, "%zx", n);
    return text;
}

std::string ChunkedBody(const std::vector<std::string>& chunks, const std::string& trailer = "") {
    std::string body;
    for (const std::string& chunk : chunks) body += Hex(chunk.size()) + "\r\n" + chunk + "\r\n";
    return body + "0\r\n" + trailer + "\r\n";
}

std::string Chunked(const std::string& type, const std::vector<std::string>& chunks) {
    return "HTTP/1.1 200 OK\r\nContent-Type: " + type + "\r\nTransfer-Encoding: chunked\r\n\r\n" + ChunkedBody(chunks);
}

// A literal with the zero bytes it holds.
template <std::size_t N>
std::string Bytes(const char (&text)[N]) {
    return std::string(text, N - 1);
}

struct Stream {
    const char* name;
    std::vector<std::string> requests;  // the handler's open requests
    std::string bytes;
    std::vector<std::string> calls;     // the handler's calls, in order
    // Where the response starts whose content type the handler blocks, or where the framing is
    // lost: no byte from there on reaches the client (the connection fails).
    std::size_t stopsAt = kNothingBlocked;
    std::vector<std::string> blockedTypes = {};
};

std::vector<Stream> Corpus() {
    std::vector<Stream> corpus;
    corpus.push_back({"plain page with links",
                      {"GET a.example/"},
                      Plain("200 OK", "text/html", "<a href=\"http://one.example/x\">1</a> http://two.example"),
                      {"type text/html", "link one.example@a.example", "link two.example@a.example", "done"}});
    corpus.push_back({"keep-alive: chunked with a link across chunks, then plain",
                      {"GET a.example/1", "GET b.example/2"},
                      Chunked("text/html", {"<a href='http://sp", "lit.example/'>", "http://three.example/"}) +
                          Plain("200 OK", "text/css", "url(http://four.example/a.png)"),
                      {"type text/html", "link split.example@a.example", "link three.example@a.example", "done",
                       "type text/css", "link four.example@b.example", "done"}});
    corpus.push_back({"interim 100, then the final response to the same request",
                      {"POST a.example/form", "GET b.example/next"},
                      "HTTP/1.1 100 Continue\r\n\r\n" + Plain("200 OK", "text/html", "http://form.example") +
                          Plain("200 OK", "text/html", "http://next.example"),
                      {"interim", "type text/html", "link form.example@a.example", "done", "type text/html",
                       "link next.example@b.example", "done"}});
    corpus.push_back({"HEAD with a Content-Length ends after its header block",
                      {"HEAD a.example/h", "GET a.example/g"},
                      "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 1000\r\n\r\n" +
                          Plain("200 OK", "text/html", "http://g.example"),
                      {"type text/html", "done", "type text/html", "link g.example@a.example", "done"}});
    corpus.push_back({"204 and 304 have no body whatever their headers say",
                      {"GET a.example/1", "GET a.example/2", "GET a.example/3"},
                      "HTTP/1.1 204 No Content\r\n\r\nHTTP/1.1 304 Not Modified\r\nContent-Length: 50\r\n\r\n" +
                          Plain("200 OK", "text/plain", "http://three.example"),
                      {"done", "done", "type text/plain", "link three.example@a.example", "done"}});
    corpus.push_back({"a body not scanned is still framed: the next response is found",
                      {"GET a.example/i.png", "GET a.example/p"},
                      Plain("200 OK", "image/png", "\x89PNG\r\n http://hidden.example\n\r\nHTTP/1.1 200 OK\r\n\r\n") +
                          Plain("200 OK", "text/html", "http://five.example"),
                      {"type image/png", "done", "type text/html", "link five.example@a.example", "done"}});
    corpus.push_back({"chunked as the last of several codings, with extensions and a trailer",
                      {"GET a.example/z", "GET a.example/y"},
                      "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\nContent-Length: 3\r\n"
                      "Content-Type: text/html\r\n\r\n4;ext=1\r\nhttp\r\n10 \r\n://six.example/ \r\n0\r\nX-T: 1\r\n\r\n" +
                          Plain("200 OK", "text/html", ""),
                      {"type text/html", "link six.example@a.example", "done", "type text/html", "done"}});
    corpus.push_back({"no length: the body ends with the connection",
                      {"GET a.example/"},
                      "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\nhttp://seven.example/ and more\r\n",
                      {"type text/html", "link seven.example@a.example", "done"}});
    corpus.push_back({"header names in any case, values without a blank",
                      {"GET a.example/"},
                      "http/1.1 200 OK\r\ncontent-TYPE:text/html\r\ncontent-length:\t20\r\n\r\nhttp://eight.example",
                      {"type text/html", "link eight.example@a.example", "done"}});
    corpus.push_back({"the blocked response and all behind it are dropped",
                      {"GET a.example/ok.png", "GET a.example/page", "GET a.example/again"},
                      Plain("200 OK", "image/png", "img") + Plain("200 OK", "text/html", "http://never.example") +
                          Plain("200 OK", "text/plain", "again"),
                      {"type image/png", "done", "type text/html", "block text/html"},
                      Plain("200 OK", "image/png", "img").size(),
                      {"text/html"}});
    corpus.push_back({"no open request: everything passes unscanned", {}, Plain("200 OK", "text/html", "http://x.example"), {}});
    corpus.push_back({"no status line: the bytes are the body of a 200",
                      {"GET a.example/"},
                      "just text http://nine.example\n",
                      {"link nine.example@a.example", "done"}});
    corpus.push_back({"a tunnel opened by CONNECT ends the response; its bytes pass",
                      {"CONNECT a.example:443"},
                      "HTTP/1.1 200 Connection established\r\n\r\n" + Bytes("\x16\x03\x03\x00\x10\r\nhttp://tls.example\r\n\x00\x01"),
                      {"done"}});
    {
        // Passing the rest would pass the next response unjudged.
        const std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Type: text/html\r\n\r\n";
        corpus.push_back({"a malformed chunk size ends the connection after what was released",
                          {"GET a.example/1", "GET a.example/2"},
                          head + "zz\r\nhttp://x.example\r\n" + Plain("200 OK", "text/html", "http://y.example"),
                          {"type text/html", "framing lost"},
                          head.size()});
    }
    return corpus;
}

class ResponseScanTest : public ::testing::Test {
protected:
    void SetUp() override {
        CreateScanAlgorithms();
        NuvTest::TakeLoggedLines();
    }
    void TearDown() override { DestroyScanAlgorithms(); }

    void Check(const Stream& stream, const std::vector<std::size_t>& cuts, const std::string& how) {
        ResponseScanRun run;
        run.Requests(stream.requests);
        run.Handler().blockedTypes = stream.blockedTypes;
        run.SendSplit(stream.bytes, cuts);
        run.End();
        EXPECT_EQ(stream.calls, run.Handler().calls) << stream.name << ", " << how;
        EXPECT_EQ(ReleasedBeforeStop(stream.bytes, stream.stopsAt, cuts), run.Released()) << stream.name << ", " << how;
        EXPECT_EQ(0u, run.Buffer().GetLength()) << stream.name << ", " << how;
    }
};

TEST_F(ResponseScanTest, EverySplitPointGivesTheSameCallsAndRelease) {
    for (const Stream& stream : Corpus()) {
        ForEverySplit(stream.bytes, [&](const std::vector<std::size_t>& cuts, const std::string& how) { Check(stream, cuts, how); });
    }
}

TEST_F(ResponseScanTest, BytesLeaveAsSoonAsTheyAreScanned) {
    const struct {
        const char* name;
        std::vector<std::string> packets;
        std::vector<std::string> releasedAfterEach;  // the bytes the client has after each packet
    } cases[] = {
        {"a status line may still come: its start waits",
         {"HT", "TP/1.1 2", "00 OK\r\nContent-Type: text/html\r\n\r\nbody"},
         {"", "", "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\nbody"}},
        {"bytes that begin no status line are a body at once", {"xyz", "abc"}, {"xyz", "xyzabc"}},
        {"the header block waits until complete, then leaves",
         {"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n", "Content-Length: 4\r\n\r\n", "ab", "cd"},
         {"", "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 4\r\n\r\n",
          "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 4\r\n\r\nab",
          "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 4\r\n\r\nabcd"}},
        {"the start of a link waits for its host",
         {"HTTP/1.0 200 OK\r\n\r\n", "see http://ho", "st.example/ ok"},
         {"HTTP/1.0 200 OK\r\n\r\n", "HTTP/1.0 200 OK\r\n\r\n", "HTTP/1.0 200 OK\r\n\r\nsee http://host.example/ ok"}},
    };
    for (const auto& c : cases) {
        ResponseScanRun run;
        run.Requests({"GET a.example/"});
        for (std::size_t n = 0; n < c.packets.size(); ++n) {
            run.Send(c.packets[n]);
            EXPECT_EQ(c.releasedAfterEach[n], run.Released()) << c.name << ", packet " << n;
        }
    }
}

TEST_F(ResponseScanTest, ABodyWithoutLengthEndsWithTheConnection) {
    ResponseScanRun run;
    run.Requests({"GET a.example/"});
    run.Send("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\nfirst ");
    run.Send("second");
    EXPECT_EQ((std::vector<std::string>{"type text/html"}), run.Handler().calls) << "not done before the close";
    run.End();
    EXPECT_EQ((std::vector<std::string>{"type text/html", "done"}), run.Handler().calls);
    EXPECT_EQ("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\nfirst second", run.Released());
}

TEST_F(ResponseScanTest, ATruncatedBodyEndsItsResponseWithTheConnection) {
    ResponseScanRun run;
    run.Requests({"GET a.example/"});
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 100\r\n\r\nhttp://cut.exa";
    run.Send(head);
    run.End();
    EXPECT_EQ((std::vector<std::string>{"type text/html", "link cut.exa@a.example", "done"}), run.Handler().calls);
    EXPECT_EQ(head, run.Released());
}

TEST_F(ResponseScanTest, LinksAreReportedOnlyOnceTheHandlerEnablesTheScan) {
    ResponseScanRun run(false);
    run.Requests({"GET a.example/1", "GET a.example/2"});
    run.Send(Plain("200 OK", "text/html", "http://before.example"));
    run.State().EnableEmbeddedUrlScan();
    run.Send(Plain("200 OK", "text/html", "http://after.example"));
    EXPECT_EQ((std::vector<std::string>{"type text/html", "done", "type text/html", "link after.example@a.example", "done"}),
              run.Handler().calls);
}

// Chunks of a few MiB, sent as a host sends them: in packets of 64 KiB.
void SendInPackets(ResponseScanRun& run, const std::string& bytes) {
    for (std::size_t at = 0; at < bytes.size(); at += 65536) run.Send(bytes.substr(at, 65536));
}

TEST_F(ResponseScanTest, ChunksAboveThreeMebibytesAreNotScannedButStillFramed) {
    const struct {
        std::size_t size;
        bool scanned;
    } cases[] = {{3145728, true}, {4194304, false}};
    for (const auto& c : cases) {
        ResponseScanRun run;
        run.Requests({"GET big.example/", "GET big.example/next"});
        std::string chunk(c.size, 'a');
        chunk.replace(c.size - 20, 20, " http://tail.example");
        const std::string stream = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nTransfer-Encoding: chunked\r\n\r\n" +
                                   ChunkedBody({chunk}) + Plain("200 OK", "text/html", "http://next.example");
        NuvTest::TakeLoggedLines();
        SendInPackets(run, stream);
        std::vector<std::string> calls{"type text/html"};
        if (c.scanned) calls.push_back("link tail.example@big.example");
        calls.insert(calls.end(), {"done", "type text/html", "link next.example@big.example", "done"});
        EXPECT_EQ(calls, run.Handler().calls) << c.size;
        EXPECT_EQ(stream.size(), run.Released().size()) << c.size;
        std::size_t refusals = 0;
        for (const auto& line : NuvTest::TakeLoggedLines()) {
            if (line.text == L"Ignoring big.example/ because chunk size is 4194304\r\n") ++refusals;
        }
        EXPECT_EQ(c.scanned ? 0u : 1u, refusals) << c.size;
    }
}

// A header block that never ends fails the connection instead of stalling it or passing it: a
// Content-Type behind 1 MiB of padding must not escape the block decision.
TEST_F(ResponseScanTest, AHeaderBlockThatNeverEndsFailsTheConnection) {
    ResponseScanRun run;
    run.Handler().blockedTypes = {"text/html"};
    run.Requests({"GET a.example/"});
    std::string stream = "HTTP/1.1 200 OK\r\n";
    for (int n = 0; stream.size() < 1200000; ++n) stream += "X-Filler-" + std::to_string(n) + ": " + std::string(100, 'f') + "\r\n";
    stream += "Content-Type: text/html\r\nContent-Length: 4\r\n\r\nbody";
    SendInPackets(run, stream);
    EXPECT_EQ("", run.Released());
    EXPECT_EQ(std::vector<std::string>{"framing lost"}, run.Handler().calls);
    EXPECT_TRUE(run.Failed());
    EXPECT_EQ(CInboundHttpResponseScan::CState::kFailed, run.State().GetPhase());
}

TEST_F(ResponseScanTest, EditsOfAChunkedBodyReachTheChunkBytes) {
    ResponseScanRun run;
    run.Requests({"GET a.example/"});
    // The unfinished link keeps the packet, and with it the chunk, in the buffer.
    run.Send("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nTransfer-Encoding: chunked\r\n\r\nc\r\nab http://ho");
    CInboundHttpResponseScan::CState& state = run.State();
    ASSERT_TRUE(state.IsChunked());
    ASSERT_EQ(state.Layered()->GetData(), state.GetBase());
    ASSERT_EQ("ab http://ho", std::string(state.GetBase(), state.Layered()->GetLength()));
    state.Replace(state.GetBase(), 2, "XY", 2);
    state.Insert(state.GetBase(), 2, "longer", 6);  // the view never changes length
    run.Send("\r\n0\r\n\r\n");
    EXPECT_EQ("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nTransfer-Encoding: chunked\r\n\r\nc\r\nXY http://ho\r\n0\r\n\r\n",
              run.Released());
    EXPECT_EQ(run.Buffer().GetData(), state.GetBase()) << "between responses the sink is the buffer";
}

}  // namespace
