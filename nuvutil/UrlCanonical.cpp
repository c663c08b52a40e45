#include "nuvutil/UrlCanonical.h"

#include <cstdio>

namespace NuvUrl {
namespace {

constexpr std::string_view kHttpPrefix = "http://";

char LowerAscii(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
char UpperAscii(char c) noexcept { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool BeginsWithNoCase(std::string_view text, std::string_view prefix) noexcept {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (LowerAscii(text[i]) != LowerAscii(prefix[i])) return false;
    }
    return true;
}

std::string_view WithoutHttpPrefix(std::string_view url) noexcept {
    return BeginsWithNoCase(url, kHttpPrefix) ? url.substr(kHttpPrefix.size()) : url;
}

bool IsDigit(char c) noexcept { return c >= '0' && c <= '9'; }

int HexValue(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsUnreserved(unsigned char c) noexcept {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

bool IsSegmentEnd(const std::string& path, std::size_t at) noexcept { return at == path.size() || path[at] == '/'; }

}  // namespace

bool SplitAuthority(std::string_view url, Authority& parts) {
    parts = Authority();
    if (url.empty()) return false;
    const std::string_view rest = WithoutHttpPrefix(url);
    std::string_view authority = rest.substr(0, rest.find_first_of("/\\?#"));
    const std::size_t at = authority.rfind('@');
    if (at != std::string_view::npos) {
        parts.hasUserInfo = true;
        authority.remove_prefix(at + 1);
    }

    std::size_t hostEnd = authority.find(':');
    if (!authority.empty() && authority.front() == '[') {
        const std::size_t close = authority.find(']');
        hostEnd = close == std::string_view::npos ? authority.size() : close + 1;
        if (hostEnd < authority.size() && authority[hostEnd] != ':') hostEnd = authority.size();
    }
    if (hostEnd == std::string_view::npos) hostEnd = authority.size();
    parts.host = authority.substr(0, hostEnd);
    if (hostEnd < authority.size()) {
        parts.hasPort = true;
        parts.port = authority.substr(hostEnd + 1);
    }
    return true;
}

std::string_view PathOf(std::string_view url) {
    const std::string_view rest = WithoutHttpPrefix(url);
    const std::size_t slash = rest.find('/');
    if (slash == std::string_view::npos) return {};
    const std::size_t end = rest.find_first_of("?;#", slash);
    return rest.substr(slash, end == std::string_view::npos ? std::string_view::npos : end - slash);
}

void DecodeUnreservedEscapes(std::string& text) {
    std::size_t at = text.find('%');
    if (at == std::string::npos) return;
    std::size_t out = at;
    while (at < text.size()) {
        const char c = text[at];
        const int high = c == '%' && at + 2 < text.size() ? HexValue(text[at + 1]) : -1;
        const int low = high >= 0 ? HexValue(text[at + 2]) : -1;
        if (low < 0) {
            text[out++] = c;
            ++at;
            continue;
        }
        const auto decoded = static_cast<unsigned char>(high * 16 + low);
        if (IsUnreserved(decoded)) {
            text[out++] = static_cast<char>(decoded);
        } else {
            text[out++] = '%';
            text[out++] = UpperAscii(text[at + 1]);
            text[out++] = UpperAscii(text[at + 2]);
        }
        at += 3;
    }
    text.resize(out);
}

void RemoveDotSegments(std::string& path) {
    // Most paths have no dot segment: leave them without copying.
    bool dotted = path == "." || path == ".." || path.compare(0, 2, "./") == 0 || path.compare(0, 3, "../") == 0;
    for (std::size_t at = path.find("/."); !dotted && at != std::string::npos; at = path.find("/.", at + 1)) {
        const std::size_t after = at + 2;
        dotted = IsSegmentEnd(path, after) || (path[after] == '.' && IsSegmentEnd(path, after + 1));
    }
    if (!dotted) return;

    // The input buffer of RFC 3986, 5.2.4, read from `in`; the output built in `out`.
    std::string out;
    out.reserve(path.size());
    std::size_t in = 0;
    const auto startsWith = [&](std::string_view prefix) { return path.compare(in, prefix.size(), prefix) == 0; };
    const auto restIs = [&](std::string_view whole) { return path.size() - in == whole.size() && startsWith(whole); };
    const auto dropLastSegment = [&] {
        const std::size_t slash = out.rfind('/');
        out.erase(slash == std::string::npos ? 0 : slash);
    };
    while (in < path.size()) {
        if (startsWith("../")) {
            in += 3;
        } else if (startsWith("./")) {
            in += 2;
        } else if (startsWith("/./")) {
            in += 2;  // leaves "/..."
        } else if (restIs("/.")) {
            path[in + 1] = '/';
            in += 1;  // leaves "/"
        } else if (startsWith("/../")) {
            in += 3;
            dropLastSegment();
        } else if (restIs("/..")) {
            path[in + 2] = '/';
            in += 2;
            dropLastSegment();
        } else if (restIs(".") || restIs("..")) {
            in = path.size();
        } else {
            const std::size_t end = path.find('/', in + 1);
            const std::size_t stop = end == std::string::npos ? path.size() : end;
            out.append(path, in, stop - in);
            in = stop;
        }
    }
    path.swap(out);
}

bool ParseIPv4Literal(std::string_view text, std::uint32_t& address) {
    std::uint64_t parts[4] = {};
    std::size_t count = 0;
    std::size_t at = 0;
    for (;;) {
        if (count == 4) return false;
        unsigned base = 10;
        if (at + 1 < text.size() && text[at] == '0' && (text[at + 1] == 'x' || text[at + 1] == 'X')) {
            base = 16;
            at += 2;
        } else if (at < text.size() && text[at] == '0') {
            base = 8;
        }
        const std::size_t first = at;
        std::uint64_t value = 0;
        for (; at < text.size() && text[at] != '.'; ++at) {
            const int digit = HexValue(text[at]);
            if (digit < 0 || static_cast<unsigned>(digit) >= base) return false;
            value = value * base + static_cast<unsigned>(digit);
            if (value > 0xFFFFFFFFu) return false;
        }
        if (at == first) return false;  // an empty part, or "0x" alone
        parts[count++] = value;
        if (at == text.size()) break;
        ++at;  // the '.'
    }
    // Every part but the last is one byte; the last fills the bytes left.
    std::uint32_t result = 0;
    for (std::size_t n = 0; n + 1 < count; ++n) {
        if (parts[n] > 0xFF) return false;
        result |= static_cast<std::uint32_t>(parts[n]) << (24 - 8 * n);
    }
    const unsigned lastBits = 32 - 8 * static_cast<unsigned>(count - 1);
    if (lastBits < 32 && parts[count - 1] >> lastBits != 0) return false;
    result |= static_cast<std::uint32_t>(parts[count - 1]);
    address = result;
    return true;
}

std::string FormatIPv4(std::uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", static_cast<unsigned>(address >> 24),
                  static_cast<unsigned>((address >> 16) & 0xFF), static_cast<unsigned>((address >> 8) & 0xFF),
                  static_cast<unsigned>(address & 0xFF));
    return text;
}

std::string RegistrableDomain(std::string_view host) {
    const std::size_t d1 = host.rfind('.');
    if (d1 == std::string_view::npos || d1 == 0) return std::string(host);
    const std::size_t tldStart = d1 + 1;
    if (tldStart == host.size() || IsDigit(host[tldStart])) return std::string(host);  // numeric addresses stay whole
    const std::size_t d2 = host.rfind('.', d1 - 1);
    if (d2 == std::string_view::npos || d2 == 0) return std::string(host);
    if (host.size() - tldStart > 2) return std::string(host.substr(d2 + 1));

    // A country code: the domain takes the label in front of the second-level one as well.
    const std::size_t d3 = host.rfind('.', d2 - 1);
    std::string_view domain = d3 != std::string_view::npos && d3 > 0 ? host.substr(d3 + 1) : host;
    if (BeginsWithNoCase(domain, "www.")) domain.remove_prefix(4);
    return std::string(domain);
}

}  // namespace NuvUrl
