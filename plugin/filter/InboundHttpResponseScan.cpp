#include "plugin/filter/InboundHttpResponseScan.h"

#include "logging/Logging.h"
#include "plugin/core/SiteListMatch.h"
#include "plugin/filter/HttpText.h"
#include "plugin/filter/ScanBuffer.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <string_view>

namespace {

using HttpText::AssignCut;
using HttpText::EqualsNoCase;
using HttpText::IsBlank;
using HttpText::IsDigit;
using HttpText::TrimBlanks;


// Held bytes that may still become a status line wait for its end up to this length; beyond it a
// server sends no status line.
constexpr LONG kMaxStatusLine = 8192;
// A header block still incomplete at this size is none a client would read (browsers give up far
// earlier); waiting on would stall the connection once the buffer is full.
constexpr LONG kMaxHeaderBlock = 1048576;
constexpr LONG kMaxChunkSizeLine = 1024;
constexpr LONG kMaxTrailerLine = 65536;
// A line of at most this many bytes, its terminator included, ends a header block or a trailer.
constexpr DWORD kBlankLine = 2;

// The held bytes (no line end among them) may still be the start of a status line.
bool CouldBeStatusLine(const char* text, LONG n) {
    constexpr std::string_view kStart = "HTTP/";
    if (n > kMaxStatusLine) return false;
    const std::size_t head = std::min<std::size_t>(static_cast<std::size_t>(n), kStart.size());
    return ::_strnicmp(text, kStart.data(), head) == 0;
}

// "HTTP/<digits>.<digits> <3 digits>", then the end of the line or a blank and the reason.
bool ParseStatusLine(std::string_view line, LONG& status) {
    if (line.size() < 5 || ::_strnicmp(line.data(), "HTTP/", 5) != 0) return false;
    std::size_t at = 5;
    const auto digits = [&]() {
        const std::size_t start = at;
        while (at < line.size() && IsDigit(line[at])) ++at;
        return at > start;
    };
    if (!digits() || at >= line.size() || line[at] != '.') return false;
    ++at;
    if (!digits()) return false;
    if (at >= line.size() || !IsBlank(line[at])) return false;
    while (at < line.size() && IsBlank(line[at])) ++at;
    if (line.size() - at < 3 || !IsDigit(line[at]) || !IsDigit(line[at + 1]) || !IsDigit(line[at + 2])) return false;
    if (line.size() - at > 3 && !IsBlank(line[at + 3])) return false;
    status = (line[at] - '0') * 100 + (line[at + 1] - '0') * 10 + (line[at + 2] - '0');
    return true;
}

// A Content-Length value: decimal digits only; -1 (the body ends with the connection) for any
// other text, as a browser reads it.
std::int64_t ParseContentLength(std::string_view value) {
    if (value.empty() || value.size() > 18) return -1;
    std::int64_t length = 0;
    for (const char c : value) {
        if (!IsDigit(c)) return -1;
        length = length * 10 + (c - '0');
    }
    return length;
}

// The last coding of a Transfer-Encoding list is "chunked".
bool EndsWithChunked(std::string_view value) {
    const std::size_t comma = value.rfind(',');
    if (comma != std::string_view::npos) value.remove_prefix(comma + 1);
    return EqualsNoCase(TrimBlanks(value), "chunked");
}

// A chunk-size line: hexadecimal digits, then blanks or a chunk extension. False when it is none
// or the size is beyond anything a body holds.
bool ParseChunkSize(std::string_view line, std::int64_t& size) {
    std::size_t at = 0;
    size = 0;
    for (; at < line.size() && std::isxdigit(static_cast<unsigned char>(line[at])); ++at) {
        if (at >= 15) return false;
        const char c = line[at];
        const int digit = IsDigit(c) ? c - '0' : (c | 0x20) - 'a' + 10;
        size = size * 16 + digit;
    }
    if (at == 0) return false;
    const std::string_view rest = TrimBlanks(line.substr(at));
    return rest.empty() || rest.front() == ';';
}

}  // namespace

void CInboundHttpResponseScan::Scan(CScanAlgorithmState& baseState) {
    CState& state = static_cast<CState&>(baseState);
    if (state.m_buffer == nullptr) return;
    Tessal::CAutoLock lock(state.m_buffer->GetLock());
    while (state.Step()) {
    }
}

CInboundHttpResponseScan::CState::CState(CScanBuffer* buffer, IInboundHttpResponseScanCallback* callbacks)
    : m_buffer(buffer), m_callbacks(callbacks), m_embedded(std::make_unique<CInboundEmbeddedUrlScan::CState>(this)) {
    Reset();
}

CInboundHttpResponseScan::CState::~CState() = default;

void CInboundHttpResponseScan::CState::Reset() {
    m_phase = kStatusLine;
    m_strMethod.Assign("");
    m_status = 0;
    m_chunked = false;
    m_transferCoded = false;
    m_contentLength = -1;
    m_bodyTaken = 0;
    m_chunkLeft = 0;
    m_cursor = GetPosition();
    m_ignore = false;
    m_layered.reset();
    m_layeredDone = 0;
    m_embedded->Reset();
}

void CInboundHttpResponseScan::CState::AdjustPosition(LONG delta) noexcept {
    if (delta < 0 && m_layered) {
        // The view loses the chunk bytes that left the buffer; they were scanned already.
        const DWORD before = m_layered->GetLength();
        m_layered->Consume(static_cast<DWORD>(-delta));
        const DWORD removed = before - m_layered->GetLength();
        m_layeredDone = removed < m_layeredDone ? m_layeredDone - removed : 0;
    }
    m_cursor = std::max<LONG>(0, m_cursor + delta);
    CScanAlgorithmState::AdjustPosition(delta);
}

void CInboundHttpResponseScan::CState::OnInboundEmbeddedUrl(const char* host, DWORD length,
                                                            const CSafeStringA& requestHost) {
    if (m_callbacks != nullptr) m_callbacks->OnInboundEmbeddedUrl(host, length, requestHost);
}

char* CInboundHttpResponseScan::CState::GetBase() {
    return m_layered ? m_layered->GetData() : m_buffer->GetData();
}

void CInboundHttpResponseScan::CState::Replace(char* at, DWORD len, const char* src, DWORD srcLen) {
    if (m_layered) {
        m_layered->Replace(at, len, src, srcLen);
    } else {
        m_buffer->Replace(at, len, src, srcLen);
    }
}

LONG CInboundHttpResponseScan::CState::Held() const noexcept { return static_cast<LONG>(m_buffer->GetLength()); }

bool CInboundHttpResponseScan::CState::LineAt(LONG offset, DWORD& consumed, DWORD& length) const {
    DWORD terminator = 0;
    if (offset >= Held() || !FindLineEnd(reinterpret_cast<const BYTE*>(m_buffer->GetData() + offset),
                                         reinterpret_cast<const BYTE*>(m_buffer->GetLast()), consumed, terminator)) {
        return false;
    }
    length = consumed - terminator;
    return true;
}

bool CInboundHttpResponseScan::CState::Step() {
    if (m_phase != kStatusLine && m_phase != kFailed && m_phase != kBlocked &&
        (m_cursor > Held() || GetPosition() > m_cursor)) {
        // Held data left without the scan (a packet too large for the buffer passed unscanned).
        return LoseFraming("held data passed under the scan");
    }
    switch (m_phase) {
        case kStatusLine: return StepStatusLine();
        case kHeaders: return StepHeaders();
        case kBody: return m_chunked ? StepChunkSize() : StepPlainBody();
        case kChunkData: return StepChunkData();
        case kChunkDataEnd: return StepChunkDataEnd();
        case kTrailer: return StepTrailer();
        case kEnd: return StepEnd();
        case kBlocked:
            m_buffer->DropAll();
            return false;
        default:
            m_buffer->FailFrom(0);
            return false;
    }
}

bool CInboundHttpResponseScan::CState::Wait() {
    if (m_buffer->IsEnded()) PassHeld();
    return false;
}

bool CInboundHttpResponseScan::CState::PassHeld() {
    m_buffer->PassAll();
    m_cursor = 0;
    return false;
}

bool CInboundHttpResponseScan::CState::LoseFraming(const char* why) {
    // Passing the rest would pass later responses unjudged, and an answer waiting for this
    // response would never leave: the connection ends after what was released.
    NUV_LOG(ETWLogging::LOG_WARNING, L"Failing the connection: lost the framing of a response (%hs), URL %hs\r\n", why,
            m_strUrl.m_pBuffer);
    m_layered.reset();
    m_layeredDone = 0;
    m_phase = kFailed;
    m_cursor = 0;
    const DWORD passed = static_cast<DWORD>(std::max<LONG>(0, GetPosition()));
    if (m_callbacks != nullptr) {
        m_callbacks->OnInboundFramingLost(passed);
    } else {
        m_buffer->FailFrom(passed);
    }
    return false;
}

bool CInboundHttpResponseScan::CState::Blocked() {
    // The block page replaces the response and closes the connection.
    m_layered.reset();
    m_layeredDone = 0;
    m_phase = kBlocked;
    m_buffer->DropAll();
    m_cursor = 0;
    return false;
}

bool CInboundHttpResponseScan::CState::PairWithRequest() {
    bool none = true;
    if (m_callbacks != nullptr) m_callbacks->GetRequestForResponse(m_strUrl, m_strMethod, m_strRequestHost, none);
    if (none) return false;
    m_embedded->m_strRequestHost = m_strRequestHost;
    return true;
}

bool CInboundHttpResponseScan::CState::StepStatusLine() {
    m_cursor = GetPosition();
    const LONG held = Held() - m_cursor;
    if (held <= 0) return false;
    const char* const p = m_buffer->GetData() + m_cursor;
    DWORD consumed = 0, length = 0;
    if (!LineAt(m_cursor, consumed, length)) {
        if (CouldBeStatusLine(p, held) && !m_buffer->IsEnded()) return false;
    } else if (!PairWithRequest()) {
        // Nothing asked for this: it passes as it is.
        return PassHeld();
    } else {
        LONG status = 0;
        if (ParseStatusLine(std::string_view(p, length), status)) {
            m_status = status;
            m_cursor += static_cast<LONG>(consumed);
            m_phase = kHeaders;
            return true;
        }
        // Not a status line: the bytes are the body of a response without one, up to the close.
        m_status = 200;
        m_phase = kBody;
        return true;
    }
    if (!PairWithRequest()) return PassHeld();
    m_status = 200;
    m_phase = kBody;
    return true;
}

bool CInboundHttpResponseScan::CState::StepHeaders() {
    for (;;) {
        DWORD consumed = 0, length = 0;
        if (!LineAt(m_cursor, consumed, length)) {
            if (Held() - GetPosition() > kMaxHeaderBlock) return LoseFraming("header block too large");
            return Wait();
        }
        const char* const line = m_buffer->GetData() + m_cursor;
        m_cursor += static_cast<LONG>(consumed);
        if (consumed <= kBlankLine) return HeaderBlockDone();
        ProcessResponseHeader(line, length);
        if (m_phase == kBlocked) return false;
    }
}

void CInboundHttpResponseScan::CState::ProcessResponseHeader(const char* line, DWORD length) {
    const std::string_view text(line, length);
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0) return;
    const std::string_view name = TrimBlanks(text.substr(0, colon));
    const std::string_view value = TrimBlanks(text.substr(colon + 1));
    if (EqualsNoCase(name, "Content-Length")) {
        m_contentLength = ParseContentLength(value);
    } else if (EqualsNoCase(name, "Content-Type")) {
        CSafeStringA contentType;
        AssignCut(contentType, value);
        bool scan = true;
        if (m_callbacks != nullptr) m_callbacks->OnContentType(contentType, true, scan);
        if (scan) return;
        // A handler that blocks empties the buffer, which held this header block.
        if (Held() == 0 && m_buffer->UnbufferedPacketCount() == 0) {
            Blocked();
        } else {
            m_ignore = true;
        }
    } else if (EqualsNoCase(name, "Transfer-Encoding")) {
        m_transferCoded = true;
        m_chunked = EndsWithChunked(value);
    }
}

bool CInboundHttpResponseScan::CState::HasNoBody() const {
    if ((m_status >= 100 && m_status <= 199) || m_status == 204 || m_status == 304) return true;
    const std::string_view method(m_strMethod.m_pBuffer != nullptr ? m_strMethod.m_pBuffer : "");
    // A tunnel opened: what follows belongs to the tunnel, not to this response.
    if (m_status >= 200 && m_status <= 299 && method == "CONNECT") return true;
    if (m_status == 301 && m_contentLength < 0 && !m_chunked) return m_cursor >= Held();
    return method == "HEAD";
}

bool CInboundHttpResponseScan::CState::HeaderBlockDone() {
    // Transfer-Encoding decides over Content-Length; a coding other than chunked last runs to the
    // close.
    if (m_transferCoded) m_contentLength = -1;
    if (HasNoBody()) {
        m_phase = kEnd;
        return true;
    }
    // The header block is scanned: it leaves at once.
    SetPosition(m_cursor);
    m_buffer->Consume(static_cast<DWORD>(GetPosition()));
    m_bodyTaken = 0;
    if (m_chunked && !m_ignore) m_layered = std::make_unique<CLayeredBuffer>(m_buffer->AsReplacementSink());
    m_phase = kBody;
    return true;
}

void CInboundHttpResponseScan::CState::IgnoreRest() {
    m_ignore = true;
    m_layered.reset();
    m_layeredDone = 0;
}

DWORD CInboundHttpResponseScan::CState::ScanEmbedded(const char* first, DWORD n, bool more) {
    if (n == 0 || m_ignore || !m_bEmbeddedUrlScan) return n;
    IScanAlgorithm* const scan = GetScanAlgorithm(kScanInboundEmbeddedUrl);
    if (scan == nullptr) return n;
    m_embedded->SetPiece(first, first + n - 1);
    m_embedded->SetFlag(more);
    scan->Scan(*m_embedded);
    const LONG done = m_embedded->GetPosition();
    return done <= 0 ? 0 : std::min(n, static_cast<DWORD>(done));
}

bool CInboundHttpResponseScan::CState::StepPlainBody() {
    const LONG held = Held() - m_cursor;
    const bool ended = m_buffer->IsEnded();
    LONG take = held;
    if (m_contentLength >= 0) take = static_cast<LONG>(std::min<std::int64_t>(held, m_contentLength - m_bodyTaken));
    const bool complete = m_contentLength >= 0 ? m_bodyTaken + take >= m_contentLength : ended;
    const bool more = !complete && !(ended && take == held);
    const LONG end = m_cursor + take;
    // The scan keeps back the start of a link the next bytes may finish.
    if (end > GetPosition()) {
        char* const data = m_buffer->GetData();
        const DWORD n = static_cast<DWORD>(end - GetPosition());
        SetPosition(GetPosition() + static_cast<LONG>(ScanEmbedded(data + GetPosition(), n, more)));
        if (!more) SetPosition(end);
    }
    m_cursor = end;
    m_bodyTaken += take;
    m_buffer->Consume(static_cast<DWORD>(GetPosition()));
    if (complete || ended) {
        m_phase = kEnd;
        return true;
    }
    return false;
}

void CInboundHttpResponseScan::CState::ReleaseChunked(bool more) {
    if (m_layered && m_layeredDone < m_layered->GetLength()) {
        const DWORD n = m_layered->GetLength() - m_layeredDone;
        const DWORD done = ScanEmbedded(m_layered->GetData() + m_layeredDone, n, more);
        m_layeredDone += more ? done : n;
    }
    if (!m_layered || m_layeredDone == m_layered->GetLength()) {
        SetPosition(m_cursor);
    } else {
        const DWORD underlying = m_layered->ToUnderlyingOffset(m_layeredDone);
        if (underlying != CLayeredBuffer::kNoOffset) SetPosition(static_cast<LONG>(underlying));
    }
    m_buffer->Consume(static_cast<DWORD>(GetPosition()));
}

bool CInboundHttpResponseScan::CState::StepChunkSize() {
    DWORD consumed = 0, length = 0;
    if (!LineAt(m_cursor, consumed, length)) {
        if (Held() - m_cursor > kMaxChunkSizeLine) return LoseFraming("chunk-size line too long");
        return Wait();
    }
    std::int64_t size = 0;
    if (!ParseChunkSize(std::string_view(m_buffer->GetData() + m_cursor, length), size)) {
        return LoseFraming("malformed chunk size");
    }
    m_cursor += static_cast<LONG>(consumed);
    if (size > CInboundHttpResponseScan::kMaxScannedChunk && !m_ignore) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"Ignoring %hs because chunk size is %d\r\n", m_strUrl.m_pBuffer,
                static_cast<int>(std::min<std::int64_t>(size, INT_MAX)));
        IgnoreRest();
    }
    if (size == 0) {
        ReleaseChunked(false);
        m_phase = kTrailer;
        return true;
    }
    m_chunkLeft = size;
    m_phase = kChunkData;
    ReleaseChunked(true);
    return true;
}

bool CInboundHttpResponseScan::CState::StepChunkData() {
    const LONG take = static_cast<LONG>(std::min<std::int64_t>(Held() - m_cursor, m_chunkLeft));
    if (take <= 0) return Wait();
    if (m_layered && !m_layered->AddChunk(static_cast<DWORD>(m_cursor), m_buffer->GetData() + m_cursor,
                                          static_cast<DWORD>(take))) {
        IgnoreRest();
    }
    m_cursor += take;
    m_bodyTaken += take;
    m_chunkLeft -= take;
    ReleaseChunked(true);
    if (m_chunkLeft == 0) m_phase = kChunkDataEnd;
    return true;
}

bool CInboundHttpResponseScan::CState::StepChunkDataEnd() {
    DWORD consumed = 0, length = 0;
    if (!LineAt(m_cursor, consumed, length)) {
        if (Held() - m_cursor >= 2) return LoseFraming("chunk data not followed by a line end");
        return Wait();
    }
    if (length != 0) return LoseFraming("chunk data longer than its size");
    m_cursor += static_cast<LONG>(consumed);
    m_phase = kBody;
    ReleaseChunked(true);
    return true;
}

bool CInboundHttpResponseScan::CState::StepTrailer() {
    for (;;) {
        DWORD consumed = 0, length = 0;
        if (!LineAt(m_cursor, consumed, length)) {
            if (Held() - m_cursor > kMaxTrailerLine) return LoseFraming("trailer line too long");
            return Wait();
        }
        m_cursor += static_cast<LONG>(consumed);
        if (consumed <= kBlankLine) {
            m_phase = kEnd;
            return true;
        }
    }
}

bool CInboundHttpResponseScan::CState::StepEnd() {
    SetPosition(m_cursor);
    m_buffer->Consume(static_cast<DWORD>(GetPosition()));
    if (m_callbacks != nullptr) m_callbacks->OnInboundResponseDone(m_status >= 200);
    Reset();
    return true;
}
