#include "tests/support/HttpRequestParser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using NuvTest::HttpRequest;
using NuvTest::HttpRequestParser;
using Status = HttpRequestParser::Status;

struct ParserCase {
    const char* name;
    std::string raw;
    int errorStatus;  // 0: the request is complete
    const char* method;
    const char* target;
    std::string body;
};

const std::vector<ParserCase>& Cases() {
    static const std::vector<ParserCase> cases = {
        {"get", "GET /a?b=c HTTP/1.1\r\nHost: x\r\n\r\n", 0, "GET", "/a?b=c", ""},
        {"post with body", "POST /p HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello", 0, "POST", "/p", "hello"},
        {"body holding CRLFs", "PUT /p HTTP/1.1\r\nHost: x\r\ncontent-length: 4\r\n\r\n\r\n\r\n", 0, "PUT", "/p",
         "\r\n\r\n"},
        {"leading empty line", "\r\nGET / HTTP/1.1\r\nHost: x\r\n\r\n", 0, "GET", "/", ""},
        {"HTTP/1.0 without Host", "GET / HTTP/1.0\r\n\r\n", 0, "GET", "/", ""},
        {"repeated equal lengths", "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\nContent-Length: 2\r\n\r\nok",
         0, "POST", "/", "ok"},
        {"bare LF", "GET / HTTP/1.1\nHost: x\n\n", 400, nullptr, nullptr, ""},
        {"no target", "GET HTTP/1.1\r\nHost: x\r\n\r\n", 400, nullptr, nullptr, ""},
        {"double space", "GET  / HTTP/1.1\r\nHost: x\r\n\r\n", 400, nullptr, nullptr, ""},
        {"bad method", "G(T / HTTP/1.1\r\nHost: x\r\n\r\n", 400, nullptr, nullptr, ""},
        {"bad version", "GET / HTTP/one\r\nHost: x\r\n\r\n", 400, nullptr, nullptr, ""},
        {"HTTP/2", "GET / HTTP/2.0\r\nHost: x\r\n\r\n", 505, nullptr, nullptr, ""},
        {"no Host", "GET / HTTP/1.1\r\n\r\n", 400, nullptr, nullptr, ""},
        {"header without colon", "GET / HTTP/1.1\r\nHost x\r\n\r\n", 400, nullptr, nullptr, ""},
        {"space before colon", "GET / HTTP/1.1\r\nHost : x\r\n\r\n", 400, nullptr, nullptr, ""},
        {"folded header", "GET / HTTP/1.1\r\nHost: x\r\n y\r\n\r\n", 400, nullptr, nullptr, ""},
        {"control char in value", std::string("GET / HTTP/1.1\r\nHost: x\x01y\r\n\r\n"), 400, nullptr, nullptr, ""},
        {"signed length", "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: +1\r\n\r\nx", 400, nullptr, nullptr, ""},
        {"conflicting lengths", "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nxy", 400,
         nullptr, nullptr, ""},
        {"length and chunked", "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 1\r\nTransfer-Encoding: chunked\r\n\r\nx",
         400, nullptr, nullptr, ""},
        {"chunked", "POST / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 501, nullptr, nullptr,
         ""},
        {"huge length", "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 99999999999999999999999\r\n\r\n", 413, nullptr,
         nullptr, ""},
    };
    return cases;
}

// Feeds `raw` in two pieces split at `split` and returns the parser's last answer.
Status FeedSplit(HttpRequestParser& parser, const std::string& raw, size_t split) {
    const Status first = parser.Feed(std::string_view(raw).substr(0, split));
    if (first != Status::NeedMoreData) return first;
    return parser.Feed(std::string_view(raw).substr(split));
}

// Every split point must give the same answer as the whole stream: a parser that loses its
// place between reads fails here.
TEST(HttpRequestParser, SameAnswerWholeAndAtEverySplitPoint) {
    for (const ParserCase& c : Cases()) {
        for (size_t split = 0; split <= c.raw.size(); ++split) {
            SCOPED_TRACE(std::string(c.name) + ", split at " + std::to_string(split));
            HttpRequestParser parser;
            const Status status = FeedSplit(parser, c.raw, split);
            if (c.errorStatus != 0) {
                ASSERT_EQ(status, Status::Error);
                EXPECT_EQ(parser.ErrorStatus(), c.errorStatus);
                EXPECT_FALSE(parser.ErrorDetail().empty());
                continue;
            }
            ASSERT_EQ(status, Status::Complete) << parser.ErrorDetail();
            const HttpRequest request = parser.TakeRequest();
            EXPECT_EQ(request.method, c.method);
            EXPECT_EQ(request.target, c.target);
            EXPECT_EQ(request.body, c.body);
        }
    }
}

TEST(HttpRequestParser, KeepsHeadersInOrderAndFindsThemIgnoringCase) {
    HttpRequestParser parser;
    ASSERT_EQ(parser.Feed("GET / HTTP/1.1\r\nHost:  example.test \r\nX-Two: a, b\r\nx-two: c\r\n\r\n"),
              Status::Complete);
    const HttpRequest request = parser.TakeRequest();
    ASSERT_EQ(request.headers.size(), 3u);
    EXPECT_EQ(request.headers[0], (std::pair<std::string, std::string>("Host", "example.test")));
    ASSERT_NE(request.Header("X-TWO"), nullptr);
    EXPECT_EQ(*request.Header("X-TWO"), "a, b");
    EXPECT_EQ(request.Header("Missing"), nullptr);
}

TEST(HttpRequestParser, PipelinedRequestsComeOutOneByOne) {
    HttpRequestParser parser;
    ASSERT_EQ(parser.Feed("POST /1 HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc"
                          "GET /2 HTTP/1.1\r\nHost: x\r\n\r\nGET /3 HT"),
              Status::Complete);
    EXPECT_EQ(parser.TakeRequest().body, "abc");
    ASSERT_EQ(parser.Parse(), Status::Complete);
    EXPECT_EQ(parser.TakeRequest().target, "/2");
    EXPECT_EQ(parser.Parse(), Status::NeedMoreData);
    ASSERT_EQ(parser.Feed("TP/1.1\r\nHost: x\r\n\r\n"), Status::Complete);
    EXPECT_EQ(parser.TakeRequest().target, "/3");
}

TEST(HttpRequestParser, LimitsAreEnforcedBeforeTheDataArrives) {
    HttpRequestParser::Limits limits;
    limits.maxHeaderBytes = 64;
    limits.maxBodyBytes = 10;

    HttpRequestParser longHeaders(limits);
    // No line end yet: the limit must not wait for one.
    EXPECT_EQ(longHeaders.Feed("GET /" + std::string(100, 'a')), Status::Error);
    EXPECT_EQ(longHeaders.ErrorStatus(), 431);

    HttpRequestParser bigBody(limits);
    EXPECT_EQ(bigBody.Feed("POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 11\r\n\r\n"), Status::Error);
    EXPECT_EQ(bigBody.ErrorStatus(), 413);
}

TEST(HttpRequestParser, ErrorIsFinal) {
    HttpRequestParser parser;
    ASSERT_EQ(parser.Feed("BAD\r\n"), Status::Error);
    EXPECT_EQ(parser.Feed("GET / HTTP/1.1\r\nHost: x\r\n\r\n"), Status::Error);
    EXPECT_TRUE(parser.TakeRequest().method.empty());
}

}  // namespace
