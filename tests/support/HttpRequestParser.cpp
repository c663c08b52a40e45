#include "tests/support/HttpRequestParser.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

namespace NuvTest {

namespace {

// RFC 9110 token characters.
bool IsTokenChar(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool IsToken(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), IsTokenChar);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Visible ASCII, obs-text and the whitespace allowed inside a field value.
bool IsFieldValueChar(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u == '\t' || u == ' ' || (u > 0x20 && u != 0x7F);
}

bool IsTargetChar(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u > 0x20 && u != 0x7F;
}

std::string_view TrimWhitespace(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

}  // namespace

HttpRequestParser::Status HttpRequestParser::Feed(std::string_view bytes) {
    if (m_state == State::Error) return Status::Error;
    // Drop what is parsed already; only offsets are kept, so moving the rest is safe.
    if (m_offset > 0 && m_state != State::Complete) {
        m_buffer.erase(0, m_offset);
        m_offset = 0;
    }
    m_buffer.append(bytes.data(), bytes.size());
    return Parse();
}

HttpRequestParser::Status HttpRequestParser::Parse() {
    while (m_state == State::RequestLine || m_state == State::Headers || m_state == State::Body) {
        if (m_state == State::Body) {
            const size_t wanted = m_bodyLength - m_request.body.size();
            const size_t taken = std::min(wanted, m_buffer.size() - m_offset);
            m_request.body.append(m_buffer, m_offset, taken);
            m_offset += taken;
            if (m_request.body.size() < m_bodyLength) return Status::NeedMoreData;
            m_state = State::Complete;
            break;
        }
        const size_t end = m_buffer.find('\n', m_offset);
        const size_t lineBytes = (end == std::string::npos ? m_buffer.size() : end + 1) - m_offset;
        if (m_headerBytes + lineBytes > m_limits.maxHeaderBytes) {
            return Fail(431, "request line and headers exceed " + std::to_string(m_limits.maxHeaderBytes) + " bytes");
        }
        if (end == std::string::npos) return Status::NeedMoreData;
        std::string_view line(m_buffer.data() + m_offset, end - m_offset);
        m_offset = end + 1;
        m_headerBytes += lineBytes;
        if (line.empty() || line.back() != '\r') return Fail(400, "line not ended by CRLF");
        line.remove_suffix(1);
        if (ParseLine(line) == Status::Error) return Status::Error;
    }
    return Current();
}

HttpRequestParser::Status HttpRequestParser::ParseLine(std::string_view line) {
    if (m_state == State::RequestLine) {
        // Empty lines before a request are tolerated (RFC 9112, 2.2).
        return line.empty() ? Status::NeedMoreData : ParseRequestLine(line);
    }
    return line.empty() ? EndOfHeaders() : ParseHeaderLine(line);
}

HttpRequestParser::Status HttpRequestParser::ParseRequestLine(std::string_view line) {
    const size_t firstSpace = line.find(' ');
    const size_t secondSpace = firstSpace == std::string_view::npos ? firstSpace : line.find(' ', firstSpace + 1);
    if (secondSpace == std::string_view::npos || line.find(' ', secondSpace + 1) != std::string_view::npos) {
        return Fail(400, "request line is not 'method target version'");
    }
    const std::string_view method = line.substr(0, firstSpace);
    const std::string_view target = line.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    const std::string_view version = line.substr(secondSpace + 1);
    if (!IsToken(method)) return Fail(400, "malformed method");
    if (target.empty() || !std::all_of(target.begin(), target.end(), IsTargetChar)) {
        return Fail(400, "malformed request target");
    }
    if (version.size() != 8 || version.substr(0, 5) != "HTTP/" || !IsDigit(version[5]) || version[6] != '.' ||
        !IsDigit(version[7])) {
        return Fail(400, "malformed HTTP version");
    }
    if (version[5] != '1') return Fail(505, "only HTTP/1.x is served");
    m_request.method.assign(method);
    m_request.target.assign(target);
    m_request.version.assign(version);
    m_state = State::Headers;
    return Status::NeedMoreData;
}

HttpRequestParser::Status HttpRequestParser::ParseHeaderLine(std::string_view line) {
    if (line.front() == ' ' || line.front() == '\t') return Fail(400, "obsolete header line folding");
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return Fail(400, "header line without ':'");
    // A space before the colon is a classic smuggling vector: refuse rather than trim.
    const std::string_view name = line.substr(0, colon);
    if (!IsToken(name)) return Fail(400, "malformed header name");
    const std::string_view value = TrimWhitespace(line.substr(colon + 1));
    if (!std::all_of(value.begin(), value.end(), IsFieldValueChar)) {
        return Fail(400, "control character in header value");
    }
    m_request.headers.emplace_back(std::string(name), std::string(value));
    return Status::NeedMoreData;
}

HttpRequestParser::Status HttpRequestParser::EndOfHeaders() {
    bool hasLength = false;
    unsigned long long length = 0;
    bool hasTransferEncoding = false;
    for (const auto& [name, value] : m_request.headers) {
        if (EqualsIgnoringAsciiCase(name, "Transfer-Encoding")) hasTransferEncoding = true;
        if (!EqualsIgnoringAsciiCase(name, "Content-Length")) continue;
        if (value.empty() || !std::all_of(value.begin(), value.end(), IsDigit)) {
            return Fail(400, "malformed Content-Length");
        }
        unsigned long long parsed = 0;
        for (const char digit : value) {
            if (parsed > (std::numeric_limits<unsigned long long>::max() - 9) / 10) {
                return Fail(413, "Content-Length out of range");
            }
            parsed = parsed * 10 + static_cast<unsigned>(digit - '0');
        }
        if (hasLength && parsed != length) return Fail(400, "conflicting Content-Length headers");
        hasLength = true;
        length = parsed;
    }
    if (hasTransferEncoding) {
        // Either framing could be believed: refuse, as a proxy in front would have to.
        if (hasLength) return Fail(400, "Transfer-Encoding together with Content-Length");
        return Fail(501, "Transfer-Encoding is not supported");
    }
    if (m_request.version == "HTTP/1.1" && m_request.Header("Host") == nullptr) {
        return Fail(400, "HTTP/1.1 request without Host");
    }
    if (length > m_limits.maxBodyBytes) {
        return Fail(413, "body exceeds " + std::to_string(m_limits.maxBodyBytes) + " bytes");
    }
    m_bodyLength = static_cast<size_t>(length);
    m_request.body.reserve(m_bodyLength);
    m_state = m_bodyLength == 0 ? State::Complete : State::Body;
    return Current();
}

HttpRequest HttpRequestParser::TakeRequest() {
    if (m_state != State::Complete) return {};
    m_buffer.erase(0, m_offset);
    m_offset = 0;
    m_headerBytes = 0;
    m_bodyLength = 0;
    m_state = State::RequestLine;
    return std::exchange(m_request, HttpRequest());
}

HttpRequestParser::Status HttpRequestParser::Fail(int status, std::string detail) {
    m_state = State::Error;
    m_errorStatus = status;
    m_errorDetail = std::move(detail);
    return Status::Error;
}

HttpRequestParser::Status HttpRequestParser::Current() const {
    switch (m_state) {
        case State::Complete: return Status::Complete;
        case State::Error: return Status::Error;
        default: return Status::NeedMoreData;
    }
}

}  // namespace NuvTest
