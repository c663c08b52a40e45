// Canonical URL parts: escapes of unreserved characters decoded, dot segments removed, IPv4
// literals in the forms the platform's address parser reads. (Taking URLs apart is tested through
// CSafeStringA's URL parts.)

#include "nuvutil/UrlCanonical.h"

#include <winsock2.h>  // before anything that brings windows.h

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(UrlCanonical, DecodeUnreservedEscapes) {
    const struct {
        const char* text;
        const char* decoded;
    } cases[] = {
        {"", ""},
        {"/plain/path", "/plain/path"},
        {"%62locked", "blocked"},
        {"%41%5a%61%7A%30%39%2D%2e%5F%7e", "AZaz09-._~"},
        // any other escape stays, its hex digits upper-case
        {"/a%2fb%2F", "/a%2Fb%2F"},
        {"%3f%23%25%20%00%c3%a9", "%3F%23%25%20%00%C3%A9"},
        // decoded once: "%2562" is an escaped '%' followed by "62"
        {"%2562", "%2562"},
        // a '%' without two hex digits after it stays as it is
        {"%", "%"},
        {"%6", "%6"},
        {"a%g2b", "a%g2b"},
        {"%%62", "%b"},
        {"100%", "100%"},
    };
    for (const auto& c : cases) {
        std::string text = c.text;
        NuvUrl::DecodeUnreservedEscapes(text);
        EXPECT_EQ(text, c.decoded) << c.text;
    }
}

TEST(UrlCanonical, RemoveDotSegments) {
    const struct {
        const char* path;
        const char* removed;
    } cases[] = {
        // RFC 3986, 5.2.4 and 5.4
        {"/a/b/c/./../../g", "/a/g"},
        {"mid/content=5/../6", "mid/6"},
        {"/b/c/./g", "/b/c/g"},
        {"/b/c/g/.", "/b/c/g/"},
        {"/b/c/..", "/b/"},
        {"/b/c/../..", "/"},
        {"/../g", "/g"},
        {"/../../g", "/g"},
        {"/./g", "/g"},
        {"/g.", "/g."},
        {"/.g", "/.g"},
        {"/g..", "/g.."},
        {"/..g", "/..g"},
        {"/b/./../g/", "/g/"},
        {"../a", "a"},
        {"./a", "a"},
        {".", ""},
        {"..", ""},
        // the request forms
        {"/x/../banned/", "/banned/"},
        {"/./banned", "/banned"},
        {"/banned/..", "/"},
        {"/", "/"},
        {"//x/../y", "//y"},
        {"/a/b", "/a/b"},
    };
    for (const auto& c : cases) {
        std::string path = c.path;
        NuvUrl::RemoveDotSegments(path);
        EXPECT_EQ(path, c.removed) << c.path;
    }
}

TEST(UrlCanonical, ParseIPv4Literal) {
    const struct {
        const char* text;
        const char* address;  // nullptr: no IPv4 literal
    } cases[] = {
        {"127.0.0.2", "127.0.0.2"},
        {"2130706434", "127.0.0.2"},
        {"127.2", "127.0.0.2"},
        {"127.0.2", "127.0.0.2"},
        {"0177.0.0.2", "127.0.0.2"},
        {"0x7f.0.0.2", "127.0.0.2"},
        {"0X7F.0.0.02", "127.0.0.2"},
        {"0x7F000002", "127.0.0.2"},
        {"017700000002", "127.0.0.2"},
        {"000000000000000000000000127.1", "87.0.0.1"},  // leading zeros: octal
        {"0", "0.0.0.0"},
        {"1.2.65535", "1.2.255.255"},
        {"1.16777215", "1.255.255.255"},
        {"4294967295", "255.255.255.255"},
        {"08.0.0.1", nullptr},  // no octal digit
        {"0x", nullptr},
        {"0x.0.0.2", nullptr},
        {"127.0.0.2.", nullptr},
        {"127..0.2", nullptr},
        {".127.0.0.2", nullptr},
        {"1.2.3.4.5", nullptr},
        {"256.0.0.1", nullptr},
        {"1.2.65536", nullptr},
        {"1.16777216", nullptr},
        {"4294967296", nullptr},
        {"99999999999999999999", nullptr},
        {"1e1", nullptr},
        {"0xg", nullptr},
        {"-1", nullptr},
        {"+1", nullptr},
        {" 127.0.0.2", nullptr},
        {"127.0.0.2 ", nullptr},
        {"", nullptr},
        {"example.com", nullptr},
        {"1.2.3.example", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::uint32_t address = 0x01020304;
        EXPECT_EQ(NuvUrl::ParseIPv4Literal(c.text, address), c.address != nullptr);
        if (c.address != nullptr) {
            EXPECT_EQ(NuvUrl::FormatIPv4(address), c.address);
        } else {
            EXPECT_EQ(address, 0x01020304u);
        }

        // The platform's parser reads the same literals (a blank ends its reading, which no host
        // holds; its answer for 255.255.255.255 is also its failure value).
        const std::string text = c.text;
        if (text.find(' ') != std::string::npos) continue;
        const unsigned long platform = ::inet_addr(c.text);
        if (c.address == nullptr) {
            EXPECT_EQ(platform, INADDR_NONE);
        } else {
            EXPECT_EQ(::ntohl(platform), address);
        }
    }
}

}  // namespace
