#pragma once
// HTTP/1.1 requests and responses as a test server sees them: bytes, not text.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace NuvTest {

// In arrival order; names keep their case, lookups ignore it.
using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b);

// The first header named `name` (ASCII case-insensitive), or nullptr.
const std::string* FindHeader(const HttpHeaders& headers, std::string_view name);

// The standard reason phrase of `status`, or "Unknown".
const char* ReasonPhrase(int status);

struct HttpRequest {
    std::string method;
    std::string target;
    std::string version;  // "HTTP/1.1"
    HttpHeaders headers;
    std::string body;

    const std::string* Header(std::string_view name) const { return FindHeader(headers, name); }
    // HTTP/1.1 keeps the connection unless told otherwise; HTTP/1.0 closes it unless told otherwise.
    bool KeepsConnection() const;
};

struct HttpResponse {
    int status = 200;
    std::string reason = "OK";
    HttpHeaders headers;
    std::string body;

    // A response with the standard reason phrase and, when `body` is not empty, its type.
    static HttpResponse With(int status, std::string body = {}, std::string contentType = {});

    // Wire form. Adds Content-Length and "Connection: close" unless the headers carry them;
    // a response to HEAD announces the body's length but leaves the body out.
    std::string Serialize(bool closeConnection, bool forHead = false) const;
};

}  // namespace NuvTest
