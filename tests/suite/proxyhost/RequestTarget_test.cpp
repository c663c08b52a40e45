// Where a connection goes from its first request, as each kind of client writes it, and where the
// request is not yet complete or cannot be routed.

#include "suite/proxyhost/RequestTarget.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using QvProxyStandIn::ParseRequestTarget;
using QvProxyStandIn::RequestTarget;
using Result = RequestTarget::Result;

TEST(RequestTarget, FromTheFirstRequest) {
    const struct {
        const char* request;
        Result result;
        const char* host;
        unsigned short port;
        bool connect;
    } cases[] = {
        {"GET / HTTP/1.1\r\nHost: site.test\r\n\r\n", Result::Ok, "site.test", 80, false},
        {"GET /a HTTP/1.1\r\nUser-Agent: x\r\nhOsT:  site.test:8080 \r\n\r\n", Result::Ok, "site.test", 8080, false},
        {"GET http://site.test/page HTTP/1.1\r\nHost: other.test\r\n\r\n", Result::Ok, "site.test", 80, false},
        {"GET HTTP://Site.test:81?q=1 HTTP/1.1\r\n\r\n", Result::Ok, "Site.test", 81, false},
        {"GET http://[::1]:8080/ HTTP/1.1\r\n\r\n", Result::Ok, "::1", 8080, false},
        {"CONNECT site.test:443 HTTP/1.1\r\nHost: site.test:443\r\n\r\n", Result::Ok, "site.test", 443, true},
        {"CONNECT site.test HTTP/1.1\r\n\r\n", Result::Ok, "site.test", 443, true},
        {"GET / HTTP/1.0\n\n", Result::Invalid, "", 0, false},
        {"GET / HTTP/1.1\nHost: bare.test\n\n", Result::Ok, "bare.test", 80, false},
        // Not routable.
        {"GET https://site.test/ HTTP/1.1\r\n\r\n", Result::Invalid, "", 0, false},
        {"GET / HTTP/1.1\r\nHost: site.test:99999\r\n\r\n", Result::Invalid, "", 0, false},
        {"GET / HTTP/1.1\r\nHost: site.test:\r\n\r\n", Result::Invalid, "", 0, false},
        {"GET / HTTP/1.1\r\nHost: \r\n\r\n", Result::Invalid, "", 0, false},
        {"GET / HTTP/1.1\r\nHost: user@site.test\r\n\r\n", Result::Invalid, "", 0, false},
        {"GET http://[::1/ HTTP/1.1\r\n\r\n", Result::Invalid, "", 0, false},
        {"GARBAGE\r\n\r\n", Result::Invalid, "", 0, false},
        // Not complete yet.
        {"GET / HTTP/1.1\r\nHost: site.test\r\n", Result::NeedMore, "", 0, false},
        {"", Result::NeedMore, "", 0, false},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.request);
        const RequestTarget target = ParseRequestTarget(row.request);
        EXPECT_EQ(row.result, target.result);
        if (row.result != Result::Ok) continue;
        EXPECT_EQ(row.host, target.host);
        EXPECT_EQ(row.port, target.port);
        EXPECT_EQ(row.connect, target.connect);
    }
}

TEST(RequestTarget, HeaderLengthCoversTheBlankLineAndNothingAfter) {
    const std::string head = "CONNECT site.test:443 HTTP/1.1\r\n\r\n";
    const RequestTarget target = ParseRequestTarget(head + "\x16\x03\x01 tunnel bytes");
    ASSERT_EQ(Result::Ok, target.result);
    EXPECT_EQ(head.size(), target.headerLength);
}

TEST(RequestTarget, AHeaderBlockThatNeverEndsIsRefusedAtTheLimit) {
    std::string request = "GET / HTTP/1.1\r\nHost: site.test\r\nX: ";
    request.append(QvProxyStandIn::kMaxRequestHead - request.size() - 1, 'a');
    EXPECT_EQ(Result::NeedMore, ParseRequestTarget(request).result);
    request += "a";
    EXPECT_EQ(Result::Invalid, ParseRequestTarget(request).result);
}

}  // namespace
