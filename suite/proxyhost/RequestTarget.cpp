#include "RequestTarget.h"

#include <cctype>
#include <cstdlib>

namespace QvProxyStandIn {

namespace {

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
    }
    return true;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
    return text;
}

// "host", "host:port", "[v6]" or "[v6]:port"; false when malformed.
bool ParseAuthority(std::string_view authority, unsigned short defaultPort, RequestTarget& target) {
    std::string_view host = authority;
    std::string_view port;
    if (!authority.empty() && authority.front() == '[') {
        const size_t close = authority.find(']');
        if (close == std::string_view::npos) return false;
        host = authority.substr(1, close - 1);
        const std::string_view rest = authority.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') return false;
            port = rest.substr(1);
        }
    } else {
        const size_t colon = authority.rfind(':');
        if (colon != std::string_view::npos) {
            host = authority.substr(0, colon);
            port = authority.substr(colon + 1);
            if (host.find(':') != std::string_view::npos) return false;
        }
    }
    if (host.empty() || host.find_first_of(" \t@/") != std::string_view::npos) return false;
    unsigned long number = defaultPort;
    if (!port.empty() || (!authority.empty() && authority.back() == ':')) {
        if (port.empty() || port.size() > 5) return false;
        number = 0;
        for (char c : port) {
            if (c < '0' || c > '9') return false;
            number = number * 10 + static_cast<unsigned long>(c - '0');
        }
        if (number == 0 || number > 65535) return false;
    }
    target.host.assign(host);
    target.port = static_cast<unsigned short>(number);
    return true;
}

}  // namespace

RequestTarget ParseRequestTarget(std::string_view bytes) {
    RequestTarget target;
    size_t end = bytes.find("\r\n\r\n");
    size_t endLength = 4;
    const size_t bare = bytes.find("\n\n");
    if (bare != std::string_view::npos && (end == std::string_view::npos || bare < end)) {
        end = bare;
        endLength = 2;
    }
    if (end == std::string_view::npos) {
        target.result = bytes.size() >= kMaxRequestHead ? RequestTarget::Result::Invalid : RequestTarget::Result::NeedMore;
        return target;
    }
    target.headerLength = end + endLength;
    target.result = RequestTarget::Result::Invalid;
    if (target.headerLength > kMaxRequestHead) return target;
    const std::string_view head = bytes.substr(0, end);

    const size_t lineEnd = head.find('\n');
    const std::string_view requestLine = Trim(head.substr(0, lineEnd));
    const size_t firstBlank = requestLine.find(' ');
    const size_t lastBlank = requestLine.rfind(' ');
    if (firstBlank == std::string_view::npos || lastBlank == firstBlank) return target;
    const std::string_view method = requestLine.substr(0, firstBlank);
    const std::string_view uri = Trim(requestLine.substr(firstBlank + 1, lastBlank - firstBlank - 1));
    if (uri.empty()) return target;

    if (method == "CONNECT") {
        target.connect = true;
        if (ParseAuthority(uri, 443, target)) target.result = RequestTarget::Result::Ok;
        return target;
    }
    if (uri.size() > 7 && EqualsNoCase(uri.substr(0, 7), "http://")) {
        const std::string_view rest = uri.substr(7);
        if (ParseAuthority(rest.substr(0, rest.find_first_of("/?#")), 80, target)) {
            target.result = RequestTarget::Result::Ok;
        }
        return target;
    }
    // Only plain HTTP is relayed; any other absolute target is refused.
    if (uri.front() != '/' && uri != "*") return target;

    std::string_view rest = lineEnd == std::string_view::npos ? std::string_view() : head.substr(lineEnd + 1);
    while (!rest.empty()) {
        const size_t next = rest.find('\n');
        const std::string_view line = rest.substr(0, next);
        rest = next == std::string_view::npos ? std::string_view() : rest.substr(next + 1);
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos || !EqualsNoCase(line.substr(0, colon), "Host")) continue;
        if (ParseAuthority(Trim(line.substr(colon + 1)), 80, target)) target.result = RequestTarget::Result::Ok;
        return target;
    }
    return target;
}

}  // namespace QvProxyStandIn
