#pragma once
// Incremental HTTP/1.1 request parser: feed it bytes as they arrive, take each request when it is
// complete. Bodies are framed by Content-Length only; a Transfer-Encoding is refused, and so is
// anything ambiguous about where a request ends.

#include <cstddef>
#include <string>
#include <string_view>

#include "tests/support/HttpMessage.h"

namespace NuvTest {

class HttpRequestParser {
public:
    enum class Status { NeedMoreData, Complete, Error };

    struct Limits {
        size_t maxHeaderBytes = 64 * 1024;  // request line and headers together
        size_t maxBodyBytes = 16 * 1024 * 1024;
    };

    HttpRequestParser() = default;
    explicit HttpRequestParser(Limits limits) : m_limits(limits) {}

    // Appends `bytes` and parses as far as they go.
    Status Feed(std::string_view bytes);
    // Parses what is buffered already: a pipelined request that followed the one just taken.
    Status Parse();

    // After Complete: hands the request over and starts on the next one, keeping the bytes
    // that followed it. Before that: an empty request, and nothing changes.
    HttpRequest TakeRequest();

    // After Error: the status to answer with (400, 413, 431, 501 or 505) and why.
    int ErrorStatus() const noexcept { return m_errorStatus; }
    const std::string& ErrorDetail() const noexcept { return m_errorDetail; }

private:
    enum class State { RequestLine, Headers, Body, Complete, Error };

    Status Fail(int status, std::string detail);
    Status ParseLine(std::string_view line);
    Status ParseRequestLine(std::string_view line);
    Status ParseHeaderLine(std::string_view line);
    Status EndOfHeaders();
    Status Current() const;

    Limits m_limits;
    std::string m_buffer;
    size_t m_offset = 0;  // first byte of m_buffer not parsed yet
    size_t m_headerBytes = 0;
    size_t m_bodyLength = 0;
    State m_state = State::RequestLine;
    HttpRequest m_request;
    int m_errorStatus = 0;
    std::string m_errorDetail;
};

}  // namespace NuvTest
