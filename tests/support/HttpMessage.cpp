#include "tests/support/HttpMessage.h"

#include <algorithm>

namespace NuvTest {

namespace {

// True when the comma-separated header value lists `token`.
bool ListsToken(const std::string* value, std::string_view token) {
    if (value == nullptr) return false;
    std::string_view rest(*value);
    while (!rest.empty()) {
        const size_t comma = rest.find(',');
        std::string_view item = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
        while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
        if (EqualsIgnoringAsciiCase(item, token)) return true;
    }
    return false;
}

}  // namespace

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

const std::string* FindHeader(const HttpHeaders& headers, std::string_view name) {
    for (const auto& header : headers) {
        if (EqualsIgnoringAsciiCase(header.first, name)) return &header.second;
    }
    return nullptr;
}

const char* ReasonPhrase(int status) {
    switch (status) {
        case 200: return "OK";
        case 201: return "Created";
        case 204: return "No Content";
        case 301: return "Moved Permanently";
        case 302: return "Found";
        case 304: return "Not Modified";
        case 400: return "Bad Request";
        case 401: return "Unauthorized";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 407: return "Proxy Authentication Required";
        case 408: return "Request Timeout";
        case 413: return "Payload Too Large";
        case 429: return "Too Many Requests";
        case 431: return "Request Header Fields Too Large";
        case 500: return "Internal Server Error";
        case 501: return "Not Implemented";
        case 502: return "Bad Gateway";
        case 503: return "Service Unavailable";
        case 504: return "Gateway Timeout";
        case 505: return "HTTP Version Not Supported";
        default: return "Unknown";
    }
}

bool HttpRequest::KeepsConnection() const {
    const std::string* connection = Header("Connection");
    if (version == "HTTP/1.0") return ListsToken(connection, "keep-alive");
    return !ListsToken(connection, "close");
}

HttpResponse HttpResponse::With(int status, std::string body, std::string contentType) {
    HttpResponse response;
    response.status = status;
    response.reason = ReasonPhrase(status);
    if (!contentType.empty()) response.headers.emplace_back("Content-Type", std::move(contentType));
    response.body = std::move(body);
    return response;
}

std::string HttpResponse::Serialize(bool closeConnection, bool forHead) const {
    std::string wire = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n";
    for (const auto& header : headers) wire += header.first + ": " + header.second + "\r\n";
    // 1xx, 204 and 304 carry no body and no length.
    const bool bodyless = status < 200 || status == 204 || status == 304;
    if (!bodyless && FindHeader(headers, "Content-Length") == nullptr) {
        wire += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    }
    if (closeConnection && FindHeader(headers, "Connection") == nullptr) wire += "Connection: close\r\n";
    wire += "\r\n";
    if (!bodyless && !forHead) wire += body;
    return wire;
}

}  // namespace NuvTest
