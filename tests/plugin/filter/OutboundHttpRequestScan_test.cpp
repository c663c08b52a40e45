// The request scan on canned request streams, each fed at every split point (and a byte at a
// time): the URLs judged, the decisions, and exactly which bytes reach the server.
#include "plugin/filter/OutboundHttpRequestScan.h"

#include "plugin/filter/UrlClassification.h"
#include "tests/plugin/filter/RequestScanHarness.h"
#include "tests/support/ScopedReplacement.h"
#include "tests/support/LogRecorder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using NuvTest::ForEverySplit;
using NuvTest::kNothingBlocked;
using NuvTest::ReleasedBeforeStop;
using NuvTest::RequestScanRun;

struct Stream {
    const char* name;
    std::string bytes;
    std::vector<std::string> calls;  // url, block and recorded calls, in order
    // Where the first request starts that is blocked or framed ambiguously: no byte from there on
    // reaches the server, nor any byte of the packet holding it. kNothingBlocked: all bytes do.
    std::size_t stopsAt;
};

std::size_t At(const std::string& bytes, const char* text) { return bytes.find(text); }

// A literal with the NULs it holds.
template <std::size_t N>
std::string Literal(const char (&text)[N]) {
    return std::string(text, N - 1);
}

std::vector<Stream> Corpus() {
    std::vector<Stream> corpus;
    auto add = [&](const char* name, const std::string& bytes, std::vector<std::string> calls, std::size_t stopsAt) {
        corpus.push_back({name, bytes, std::move(calls), stopsAt});
    };
    add("simple GET", "GET /index.html HTTP/1.1\r\nHost: www.example.com\r\nAccept: */*\r\n\r\n",
        {"url GET www.example.com/index.html", "recorded GET www.example.com/index.html www.example.com"},
        kNothingBlocked);
    add("absolute-form target with Host",
        "GET http://www.example.com/a/b?q=1#f HTTP/1.1\r\nHost: www.example.com\r\n\r\n",
        {"url GET www.example.com/a/b", "recorded GET www.example.com/a/b www.example.com"}, kNothingBlocked);
    add("absolute-form target naming another host than Host",
        "GET http://blocked.example.org/x HTTP/1.1\r\nHost: www.example.com\r\n\r\n",
        {"url GET www.example.com/x", "url GET blocked.example.org/x", "block blocked.example.org/x 2"}, 0);
    add("absolute-form target without Host", "GET http://blocked.example.org/x HTTP/1.0\r\n\r\n",
        {"url GET blocked.example.org/x", "block blocked.example.org/x 2"}, 0);
    add("mixed-case Host and Referer",
        "GET /p?x=1 HTTP/1.1\r\nhOST: Mixed.blocked.Example\r\nrEFERER: http://Ref.Example.COM/page\r\n\r\n",
        {"url GET Mixed.blocked.Example/p", "block Mixed.blocked.Example/p 2"}, 0);
    add("POST with a body",
        "POST /submit HTTP/1.1\r\nHost: www.example.com\r\nContent-Type: text/plain; charset=utf-8\r\n"
        "Content-Length: 5\r\n\r\nhello",
        {"url POST www.example.com/submit", "recorded POST www.example.com/submit www.example.com"}, kNothingBlocked);
    add("chunked POST",
        "POST /up HTTP/1.1\r\nHost: www.example.com\r\nTransfer-Encoding: chunked\r\n\r\n"
        "5\r\nhello\r\nA;ext=1\r\n0123456789\r\n0\r\nTrailer: x\r\n\r\n",
        {"url POST www.example.com/up", "recorded POST www.example.com/up www.example.com"}, kNothingBlocked);
    {
        const std::string bytes = "GET /a HTTP/1.1\r\nHost: www.example.com\r\n\r\n"
                                  "GET /b HTTP/1.1\r\nHost: blocked.example.org\r\n\r\n";
        add("pipelined GET and GET", bytes,
            {"url GET www.example.com/a", "recorded GET www.example.com/a www.example.com",
             "url GET blocked.example.org/b", "block blocked.example.org/b 2"},
            At(bytes, "GET /b"));
    }
    {
        const std::string bytes = "PUT /f HTTP/1.1\r\nHost: www.example.com\r\nContent-Length: 3\r\n\r\nabc"
                                  "GET /x HTTP/1.1\r\nHost: blocked.example.org\r\n\r\n";
        add("GET after a request body", bytes,
            {"url PUT www.example.com/f", "recorded PUT www.example.com/f www.example.com",
             "url GET blocked.example.org/x", "block blocked.example.org/x 2"},
            At(bytes, "GET /x"));
    }
    add("CONNECT, then TLS bytes",
        "CONNECT www.example.com:443 HTTP/1.1\r\nHost: www.example.com:443\r\n\r\n"
        "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\r\n\x00GET / HTTP/1.1\r\n",
        {"url CONNECT www.example.com:443", "recorded CONNECT www.example.com:443 www.example.com:443"},
        kNothingBlocked);
    add("CONNECT to a blocked host, then TLS bytes",
        "CONNECT blocked.example.org:443 HTTP/1.1\r\nHost: blocked.example.org:443\r\n\r\n\x16\x03\x01\x00\x05hello",
        {"url CONNECT blocked.example.org:443", "block blocked.example.org:443 2"}, 0);
    // Found by the fuzz driver: the rest of a blocked request's body, arriving later, is no new
    // traffic to let through.
    add("blocked POST whose body follows in later packets",
        "POST /f HTTP/1.1\r\nHost: blocked.example.org\r\nContent-Length: 10\r\n\r\n0123456789",
        {"url POST blocked.example.org/f", "block blocked.example.org/f 2"}, 0);
    {
        const std::string bytes = "CONNECT www.example.com:80 HTTP/1.1\r\nHost: www.example.com:80\r\n\r\n"
                                  "GET /in HTTP/1.1\r\nHost: blocked.example.org\r\n\r\n";
        add("plain request inside a tunnel", bytes,
            {"url CONNECT www.example.com:80", "recorded CONNECT www.example.com:80 www.example.com:80",
             "url GET blocked.example.org/in", "block blocked.example.org/in 2"},
            At(bytes, "GET /in"));
    }
    {
        const std::string bytes = "XYZZY /thing HTTP/1.1\r\nHost: www.example.com\r\n\r\n"
                                  "GET / HTTP/1.1\r\nHost: blocked.example.org\r\n\r\n";
        add("unknown method, then a pipelined GET", bytes,
            {"url XYZZY www.example.com/thing", "recorded XYZZY www.example.com/thing www.example.com",
             "url GET blocked.example.org/", "block blocked.example.org/ 2"},
            At(bytes, "GET / "));
    }
    add("partial known method", "POS", {}, 0);
    add("empty lines and X-AOLIAC lines before a request",
        "\r\n\nX-AOLIAC: 1\r\nGET / HTTP/1.1\r\nHost: www.example.com\r\n\r\n",
        {"url GET www.example.com/", "recorded GET www.example.com/ www.example.com"}, kNothingBlocked);
    {
        const std::string bytes = "GET /a HTTP/1.1\r\nHost: www.example.com\r\nContent-Length: 4\r\n"
                                  "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\nGET /x HTTP/1.1\r\nHost: blocked.example.org\r\n\r\n";
        add("Transfer-Encoding with Content-Length", bytes, {}, 0);
    }
    add("conflicting Content-Length values",
        "GET /a HTTP/1.1\r\nHost: www.example.com\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nabcd", {}, 0);
    add("equal Content-Length values",
        "GET /a HTTP/1.1\r\nHost: www.example.com\r\nContent-Length: 3\r\ncontent-length: 3\r\n\r\nabc",
        {"url GET www.example.com/a", "recorded GET www.example.com/a www.example.com"}, kNothingBlocked);
    add("Transfer-Encoding other than a final chunked",
        "GET /a HTTP/1.1\r\nHost: www.example.com\r\nTransfer-Encoding: chunked, gzip\r\n\r\n0\r\n\r\n", {}, 0);
    add("two Host headers", "GET /a HTTP/1.1\r\nHost: www.example.com\r\nHost: blocked.example.org\r\n\r\n", {}, 0);
    add("header line without a colon", "GET /a HTTP/1.1\r\nHost: www.example.com\r\nNoColon\r\n\r\n", {}, 0);
    add("folded header line", "GET /a HTTP/1.1\r\nHost: www.example.com\r\nX-A: 1\r\n  2\r\n\r\n", {}, 0);
    {
        const std::string bytes = "GET /a HTTP/1.1\r\nHost: www.example.com\r\nTransfer-Encoding: chunked\r\n\r\n"
                                  "zz\r\nGET /x HTTP/1.1\r\nHost: blocked.example.org\r\n\r\n";
        add("invalid chunk size", bytes,
            {"url GET www.example.com/a", "recorded GET www.example.com/a www.example.com"}, At(bytes, "zz"));
    }
    add("malformed line of a known method", "GET /\r\nHost: blocked.example.org\r\n\r\n", {}, 0);
    // Request lines as lenient servers read them: any white space separates the parts.
    add("TAB after the method", "GET\thttp://blocked.example.org/ HTTP/1.1\r\nHost: blocked.example.org\r\n\r\n",
        {"url GET blocked.example.org/", "block blocked.example.org/ 2"}, 0);
    add("blanks and TABs between the parts",
        "GET \t /x\t \tHTTP/1.1 \r\nHost: www.example.com\r\n\r\n",
        {"url GET www.example.com/x", "recorded GET www.example.com/x www.example.com"}, kNothingBlocked);
    add("vertical tab after the method", "GET\v/x HTTP/1.1\r\nHost: blocked.example.org\r\n\r\n",
        {"url GET blocked.example.org/x", "block blocked.example.org/x 2"}, 0);
    // Lines a lenient server may serve but that do not parse: refused, never passed.
    add("blank before the method", " GET http://blocked.example.org/ HTTP/1.1\r\nHost: blocked.example.org\r\n\r\n",
        {}, 0);
    add("NUL before the method",
        Literal("\0GET http://blocked.example.org/ HTTP/1.1\r\nHost: blocked.example.org\r\n\r\n"), {}, 0);
    add("NUL inside the method",
        Literal("GE\0T http://blocked.example.org/ HTTP/1.1\r\nHost: blocked.example.org\r\n\r\n"), {}, 0);
    add("a line ending like a request line", "G@T /x HTTP/1.1\r\nHost: blocked.example.org\r\n\r\n", {}, 0);
    {
        const std::string bytes = "GET /a HTTP/1.1\r\nHost: www.example.com\r\n\r\n"
                                  "\tGET http://blocked.example.org/ HTTP/1.1\r\n\r\n";
        add("a refused line behind an allowed request", bytes,
            {"url GET www.example.com/a", "recorded GET www.example.com/a www.example.com"}, At(bytes, "\tGET"));
    }
    // The special method's line is a request like any other when it parses as one.
    add("X-AOLIAC request line", "X-AOLIAC /page HTTP/1.1\r\nHost: blocked.example.org\r\n\r\n",
        {"url X-AOLIAC blocked.example.org/page", "block blocked.example.org/page 2"}, 0);
    {
        const std::string bytes = "GET /a HTTP/1.1\r\nHost: www.example.com\r\n\r\n"
                                  "GET /b HTTP/1.1\r\nHost: www.example.com\r\nHost: blocked.example.org\r\n\r\n";
        add("a framing fault behind an allowed request", bytes,
            {"url GET www.example.com/a", "recorded GET www.example.com/a www.example.com"}, At(bytes, "GET /b"));
    }
    return corpus;
}

std::vector<std::string> Decisions(const std::vector<std::string>& calls) {
    std::vector<std::string> decisions;
    for (const std::string& call : calls) {
        if (call.rfind("url ", 0) == 0 || call.rfind("block ", 0) == 0 || call.rfind("recorded ", 0) == 0) {
            decisions.push_back(call);
        }
    }
    return decisions;
}

class RequestScanTest : public ::testing::Test {
protected:
    void SetUp() override {
        CreateScanAlgorithms();
        NuvTest::TakeLoggedLines();
    }
    void TearDown() override { DestroyScanAlgorithms(); }

    void Check(const Stream& stream, const std::vector<std::size_t>& cuts, const std::string& how) {
        RequestScanRun run;
        run.SendSplit(stream.bytes, cuts);
        EXPECT_EQ(stream.calls, Decisions(run.Handler().calls)) << stream.name << ", " << how;
        EXPECT_EQ(ReleasedBeforeStop(stream.bytes, stream.stopsAt, cuts), run.Released()) << stream.name << ", " << how;
    }
};

TEST_F(RequestScanTest, EverySplitPointGivesTheSameDecisionsAndRelease) {
    for (const Stream& stream : Corpus()) {
        ForEverySplit(stream.bytes, [&](const std::vector<std::size_t>& cuts, const std::string& how) { Check(stream, cuts, how); });
    }
}

TEST_F(RequestScanTest, UrlsForTheCategoriesAndTheRefererHost) {
    RequestScanRun run;
    run.Handler().blocked = {"www.example.com"};
    run.Send("GET http://other.example.net/a/b?q=1 HTTP/1.1\r\nHost: www.example.com\r\n"
             "Referer: http://Ref.Example.COM/page?x\r\n\r\n");
    ASSERT_EQ(1u, run.Handler().categoriesUrls.size());
    EXPECT_EQ("www.example.com/a/b?q=1", run.Handler().categoriesUrls[0]);
    EXPECT_EQ("ref.example.com", run.Handler().refererHosts[0]);
}

TEST_F(RequestScanTest, ContentTypesOfBodiesAreHandedToTheHandler) {
    RequestScanRun run;
    run.Handler().scanContent = false;
    const std::string post = "POST /f HTTP/1.1\r\nHost: www.example.com\r\nContent-Type: multipart/form-data; "
                             "boundary=\"xyz\"\r\nContent-Length: 2\r\n\r\nab";
    const std::string blocked = "GET / HTTP/1.1\r\nHost: blocked.example.org\r\n\r\n";
    run.Send(post);
    run.Send(blocked);
    EXPECT_EQ(std::vector<std::string>{"multipart/form-data"}, run.Handler().contentTypes);
    // A type the handler does not scan lets only that request's body go.
    EXPECT_EQ(post, run.Released());
}

// A POST is decided once its Host header is there; the header lines that follow are released as
// they complete, and a framing fault among them still stops what follows.
TEST_F(RequestScanTest, EarlyDecidedPostsAreFramedByTheirLaterHeaders) {
    {
        RequestScanRun run;
        run.Send("POST /up HTTP/1.1\r\nHost: www.example.com\r\n");
        EXPECT_EQ((std::vector<std::string>{"url POST www.example.com/up",
                                            "recorded POST www.example.com/up www.example.com"}),
                  Decisions(run.Handler().calls));
        run.Send("Content-Length: 3\r\n");
        run.Send("Content-Type: text/plain\r\n\r\nabcGET / HTTP/1.1\r\nHost: blocked.example.org\r\n\r\n");
        EXPECT_EQ(std::vector<std::string>{"text/plain"}, run.Handler().contentTypes);
        EXPECT_EQ(4u, Decisions(run.Handler().calls).size());
        EXPECT_EQ("block blocked.example.org/ 2", Decisions(run.Handler().calls).back());
    }
    {
        RequestScanRun run;
        run.Send("POST /up HTTP/1.1\r\nHost: www.example.com\r\n");
        run.Send("Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\nGET / HTTP/1.1\r\nHost: x\r\n\r\n");
        // The header lines were released as they came; the end of the block and the body never are.
        const std::string passed = "POST /up HTTP/1.1\r\nHost: www.example.com\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n";
        EXPECT_EQ(passed, run.Released());
        EXPECT_TRUE(run.Failed());
        run.Send("GET /later HTTP/1.1\r\nHost: www.example.com\r\n\r\n");
        EXPECT_EQ(passed, run.Released()) << "the connection stays stopped";
    }
}

// Refused requests fail the connection (the host closes it) instead of leaving it open with its
// outbound data dropped, so the client learns at once.
TEST_F(RequestScanTest, RefusedRequestsFailTheConnectionAtOnce) {
    const struct {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"TE with CL", "POST /a HTTP/1.1\r\nHost: www.example.com\r\nContent-Length: 4\r\nTransfer-Encoding: chunked\r\n\r\n"},
        {"two Host headers", "GET /a HTTP/1.1\r\nHost: www.example.com\r\nHost: blocked.example.org\r\n\r\n"},
        {"folded line", "GET /a HTTP/1.1\r\nHost: www.example.com\r\nX-A: 1\r\n 2\r\n\r\n"},
        {"NUL in a header", Literal("GET /a HTTP/1.1\r\nHost: www.example.com\r\nX-A: \0\r\n\r\n")},
        {"NUL in the method", Literal("G\0ET /a HTTP/1.1\r\nHost: www.example.com\r\n\r\n")},
        {"non-final chunked", "POST /a HTTP/1.1\r\nHost: www.example.com\r\nTransfer-Encoding: chunked, identity\r\n\r\n"},
    };
    for (const auto& c : cases) {
        RequestScanRun run;
        run.Send(c.bytes);
        EXPECT_EQ("", run.Released()) << c.name;
        EXPECT_TRUE(run.Failed()) << c.name;
        EXPECT_EQ(COutboundHttpRequestScan::CState::kFailed, run.State().GetPhase()) << c.name;
    }
}

// A request line that never ends, arriving in small pieces, is refused once past 64 KiB.
TEST_F(RequestScanTest, AnEndlessRequestLineFailsTheConnection) {
    RequestScanRun run;
    run.Send("GET /");
    const std::string piece(1024, 'a');
    for (int n = 0; n < 63 && !run.Failed(); ++n) run.Send(piece);
    EXPECT_FALSE(run.Failed()) << "still within the limit";
    run.Send(piece);
    EXPECT_TRUE(run.Failed());
    EXPECT_EQ("", run.Released());
}

// Nobody signed in: the request is not released now, nor with a later Consume.
TEST_F(RequestScanTest, ARequestThatDoesNotProceedIsNeverReleased) {
    RequestScanRun run;
    run.Handler().signedIn = false;
    run.Send("GET /a HTTP/1.1\r\nHost: www.example.com\r\n\r\n");
    run.Send("GET /b HTTP/1.1\r\nHost: www.example.com\r\n\r\n");
    EXPECT_EQ("", run.Released());
    run.Handler().signedIn = true;  // someone signs in; the buffer is scanned again
    run.Scan();
    EXPECT_EQ("GET /a HTTP/1.1\r\nHost: www.example.com\r\n\r\nGET /b HTTP/1.1\r\nHost: www.example.com\r\n\r\n",
              run.Released());
}

// The scan starts over at the request that could not proceed, not at the start of the held data:
// a request before it in the same packet was judged, recorded and released once.
TEST_F(RequestScanTest, ARequestThatDoesNotProceedIsScannedAgainFromItsOwnStart) {
    RequestScanRun run;
    const std::string first = "GET /a HTTP/1.1\r\nHost: www.example.com\r\n\r\n";
    const std::string second = "GET /b HTTP/1.1\r\nHost: www.example.com\r\n\r\n";
    run.Handler().onUrl = [&run](const std::string& url) {
        if (url == "www.example.com/b") run.Handler().signedIn = false;  // signed out between the two
    };
    run.Send(first + second);
    EXPECT_EQ("", run.Released()) << "one packet: it leaves whole or not at all";
    run.Handler().onUrl = nullptr;
    run.Handler().signedIn = true;
    run.Scan();
    EXPECT_EQ(first + second, run.Released());
    EXPECT_EQ((std::vector<std::string>{"url GET www.example.com/a", "recorded GET www.example.com/a www.example.com",
                                        "url GET www.example.com/b", "url GET www.example.com/b",
                                        "recorded GET www.example.com/b www.example.com"}),
              Decisions(run.Handler().calls));
}

class FixedClassifier : public IUrlClassifier {
public:
    int Classify(const wchar_t* url, char* result, DWORD* size, const wchar_t*) override {
        urls.push_back(url);
        std::strncpy(result, "00000000000000000000000000004000", *size);
        *size = 32;
        return 1;
    }
    std::vector<std::wstring> urls;
};

// The categories scan sees host + target with its query; a blocked category goes to the block
// decision with reason 6.
TEST_F(RequestScanTest, BlockedCategoriesGoToTheBlockDecision) {
    FixedClassifier classifier;
    const NuvTest::ScopedReplacement<IUrlClassifier*> installed(SetUrlClassifier, &classifier);
    RequestScanRun run(false, L"00000000000000000000000000004000", 0);
    run.Handler().useLists = false;
    run.Send("GET /page?x=1 HTTP/1.1\r\nHost: www.example.com\r\n\r\n");
    EXPECT_EQ((std::vector<std::string>{"url GET www.example.com/page", "block www.example.com/page 6"}),
              Decisions(run.Handler().calls));
    EXPECT_EQ(std::vector<std::wstring>{L"www.example.com/page?x=1"}, classifier.urls);
    EXPECT_EQ("", run.Released());
}

TEST_F(RequestScanTest, TrafficThatIsNotHttpPassesUnscanned) {
    const struct {
        const char* name;
        std::string bytes;
        bool passes;  // at once; else held until more arrives
    } cases[] = {
        {"TLS client hello", Literal("\x16\x03\x01\x00\x05hello"), true},
        {"three bytes of no method", "ABC\x01", true},
        {"a text line that is no request", "EHLO mail.example.com\r\n", true},
        {"the start of POST", "PO", false},
        {"a method token still growing", "PROPFIND", false},
        {"an unknown method's line without its end", "PROPFIND /x HTT", false},
    };
    for (const auto& c : cases) {
        RequestScanRun run;
        run.Send(c.bytes);
        EXPECT_EQ(c.passes ? c.bytes : std::string(), run.Released()) << c.name;
        EXPECT_TRUE(run.Handler().calls.empty()) << c.name;
    }
}

}  // namespace
