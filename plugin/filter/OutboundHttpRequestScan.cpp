#include "plugin/filter/OutboundHttpRequestScan.h"

#include "base/TextConversion.h"
#include "logging/Logging.h"
#include "plugin/filter/HttpBytes.h"
#include "plugin/filter/HttpText.h"
#include "plugin/filter/ScanBuffer.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace {

using HttpBytes::EqualsAsciiNoCase;
using HttpBytes::HasControl;
using HttpBytes::IsControl;
using HttpBytes::IsLineSpace;
using HttpBytes::IsTokenChar;
using HttpText::AssignCut;
using HttpText::EqualsNoCase;
using HttpText::IsBlank;
using HttpText::StartsNoCase;
using HttpText::TrimBlanks;


// A request line, header line or trailer longer than this is no request a client sends.
constexpr LONG kMaxLineLength = 65536;
constexpr LONG kMaxChunkSizeLine = 1024;

constexpr const char* kKnownMethods[] = {"GET ",   "PUT ",    "HEAD ",    "POST ",   "TRACE ",
                                         "DEBUG ", "DELETE ", "OPTIONS ", "CONNECT "};

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(::tolower(static_cast<unsigned char>(c)));
    return lower;
}

bool StartsWithKnownMethod(std::string_view line) {
    for (const char* method : kKnownMethods) {
        const std::string_view name(method, std::strlen(method) - 1);
        if (StartsNoCase(line, name) && line.size() > name.size() && IsLineSpace(static_cast<unsigned char>(line[name.size()]))) {
            return true;
        }
    }
    return false;
}

// The line ends like a request line ("HTTP/" after its last white space): a server may well
// read it as one, whatever comes before.
bool EndsLikeRequestLine(std::string_view line) {
    std::size_t end = line.size();
    while (end > 0 && IsLineSpace(static_cast<unsigned char>(line[end - 1]))) --end;
    std::size_t at = end;
    while (at > 0 && !IsLineSpace(static_cast<unsigned char>(line[at - 1]))) --at;
    return at > 0 && StartsNoCase(line.substr(at, end - at), "HTTP/");
}

// The held bytes hold a control byte that no text line holds (NUL and white space excepted).
bool IsBinary(const char* text, std::size_t n) {
    for (std::size_t at = 0; at < n; ++at) {
        const unsigned char c = static_cast<unsigned char>(text[at]);
        if (IsControl(c) && c != '\0' && !IsLineSpace(c)) return true;
    }
    return false;
}

bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAsciiAlnum(char c) { return IsAsciiDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// ASCII tests where the C locale's would call into the runtime for every request.
bool IsVersion(std::string_view text) {
    return text.size() == 8 && EqualsAsciiNoCase(text.substr(0, 5), "HTTP/") && IsAsciiDigit(text[5]) &&
           text[6] == '.' && IsAsciiDigit(text[7]);
}

// Whether text begins with a scheme and "://"; the length of "scheme://" when it does.
std::size_t SchemeLength(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size() && (IsAsciiAlnum(text[at]) || text[at] == '+' || text[at] == '-' || text[at] == '.')) {
        ++at;
    }
    return at > 0 && text.substr(at, 3) == "://" ? at + 3 : 0;
}

// The host of an authority ("user@host:port" gives "host:port"), for comparing two names of it.
std::string_view AuthorityHost(std::string_view authority) {
    const std::size_t at = authority.rfind('@');
    return at == std::string_view::npos ? authority : authority.substr(at + 1);
}
// "host:80" and "host" name one host.
std::string_view WithoutDefaultPort(std::string_view host) {
    return host.size() > 3 && host.substr(host.size() - 3) == ":80" ? host.substr(0, host.size() - 3) : host;
}

bool ParseChunkSize(std::string_view line, std::uint64_t& size) {
    std::size_t at = 0;
    size = 0;
    while (at < line.size() && ::isxdigit(static_cast<unsigned char>(line[at]))) {
        if (at == 15) return false;  // past any size a buffer could take
        const char c = static_cast<char>(::tolower(static_cast<unsigned char>(line[at])));
        size = size * 16 + static_cast<std::uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
        ++at;
    }
    if (at == 0) return false;
    while (at < line.size() && IsBlank(line[at])) ++at;
    if (at == line.size()) return true;
    if (line[at] != ';') return false;  // a chunk extension follows
    for (++at; at < line.size(); ++at) {
        if (IsControl(static_cast<unsigned char>(line[at]))) return false;
    }
    return true;
}

}  // namespace

// --- State --------------------------------------------------------------------------------------

COutboundHttpRequestScan::CState::CState(CScanBuffer* buffer, IOutboundHttpRequestScanCallback* callbacks,
                                         bool safeSearch, const wchar_t* categoryMask, LONG categoryMode)
    : m_buffer(buffer), m_callbacks(callbacks) {
    Reset();
    m_search = std::make_unique<COutboundSearchScan::CState>(this, buffer, safeSearch);
    const std::string mask = categoryMask != nullptr ? Tessal::ToThreadAnsi(categoryMask) : std::string();
    m_categories = std::make_unique<COutboundCategoriesScan::CState>(this, mask.c_str(), categoryMode,
                                                                    buffer != nullptr ? buffer->GetProcessId() : 0);
}

COutboundHttpRequestScan::CState::~CState() {
    m_categories.reset();
    m_search.reset();
}

void COutboundHttpRequestScan::CState::Reset() {
    m_phase = kRequestLine;
    m_bMultipart = false;
    m_bEarlyDecision = false;
    m_bDecided = false;
    m_contentLength = 0;
    m_bodyLeft = 0;
    m_bodyStart = 0;
    m_headerStart = 0;
    m_requestStart = 0;
    m_blankLine = -1;
    m_bHeaderComplete = false;
    m_nextHeader = 0;
    m_bAllowedByList = false;
    m_headerCount = 0;  // the entries stay, so their strings keep their room for the next request
    m_urlOffset = 0;
    m_urlLength = 0;
    m_chunked = false;
    m_bConnect = false;
    m_absoluteHost.clear();
    // The next request may lack these headers: its judgement must not see this one's.
    m_strHost.Empty();
    m_strRefererHost.Empty();
    if (m_search) m_search->m_edits = 0;
}

void COutboundHttpRequestScan::CState::AdjustPosition(LONG delta) noexcept {
    m_bodyStart = std::max<LONG>(0, m_bodyStart + delta);
    m_urlOffset += delta;
    m_headerStart += delta;
    m_requestStart = std::max<LONG>(0, m_requestStart + delta);
    m_blankLine += delta;
    CScanAlgorithmState::AdjustPosition(delta);
}

void COutboundHttpRequestScan::CState::OnOutboundSearch(const SafeSearchEdit& edit,
                                                        COutboundSearchScan::CState& search) {
    const DWORD before = m_buffer->GetLength();
    const LONG at = search.m_targetFirst + edit.offset;
    if (m_callbacks != nullptr) m_callbacks->OnOutboundSearch(edit, search);
    // What the edit did to the data (the buffer may have refused it): offsets behind it move.
    const LONG delta = static_cast<LONG>(m_buffer->GetLength()) - static_cast<LONG>(before);
    if (delta == 0) return;
    search.OnEdited(at, delta);
    if (at >= m_urlOffset && at < m_urlOffset + m_urlLength) m_urlLength += delta;
    if (GetPosition() > at) SetPosition(GetPosition() + delta);
    if (m_bodyStart > at) m_bodyStart += delta;
    if (m_blankLine >= at) m_blankLine += delta;
}

void COutboundHttpRequestScan::CState::OnOutboundURLCategories(COutboundCategoriesScan::CState& categories) {
    if (m_callbacks != nullptr) m_callbacks->OnOutboundURLCategories(categories);
}

void COutboundHttpRequestScan::CState::EnableEmbeddedUrlScan() {
    if (m_callbacks != nullptr) m_callbacks->EnableEmbeddedUrlScan();
}

LONG COutboundHttpRequestScan::CState::Available() const noexcept {
    return static_cast<LONG>(m_buffer->GetLength()) - GetPosition();
}

const char* COutboundHttpRequestScan::CState::AtPosition() const noexcept { return m_buffer->GetData() + GetPosition(); }

bool COutboundHttpRequestScan::CState::LineAtPosition(DWORD& consumed, DWORD& length) const {
    DWORD terminator = 0;
    const LONG available = Available();
    if (available <= 0 || !HttpBytes::FindLineEnd(AtPosition(), static_cast<std::size_t>(available), consumed, terminator)) {
        return false;
    }
    length = consumed - terminator;
    return true;
}

bool COutboundHttpRequestScan::CState::Fail(const char* why) {
    // The connection ends: what the scan passed (earlier requests, in the same packets too, and
    // a decided request's header block and body so far) still leaves, nothing after it does.
    LONG start = 0;
    if (m_phase != kFailed) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"Failing the connection: %hs\r\n", why);
        start = m_bDecided ? GetPosition() : m_requestStart;
        start = std::max<LONG>(0, std::min<LONG>(start, static_cast<LONG>(m_buffer->GetLength())));
        Reset();
        m_phase = kFailed;
    }
    m_buffer->FailFrom(static_cast<DWORD>(start));
    return false;
}

void COutboundHttpRequestScan::CState::Refuse(const char* why) { Fail(why); }

void COutboundHttpRequestScan::CState::NextRequest() { Reset(); }

void COutboundHttpRequestScan::CState::ForwardBodyBytes(LONG count) {
    SetPosition(GetPosition() + count);
    m_buffer->Consume(static_cast<DWORD>(GetPosition()));
}

bool COutboundHttpRequestScan::CState::Step() {
    switch (m_phase) {
        case kRequestLine: return StepRequestLine();
        case kHeaders: return StepHeaders();
        case kJudge: return StepJudge();
        case kReleaseHeaders: return StepReleaseHeaders();
        case kBody:
        case kChunkData: return StepBody();
        case kChunkSize: return StepChunkSize();
        case kChunkDataEnd: return StepChunkDataEnd();
        case kTrailers: return StepTrailers();
        case kBlocked:
            m_buffer->DropAll();
            return false;
        default: return Fail("earlier failure");
    }
}

bool COutboundHttpRequestScan::CState::StepRequestLine() {
    const LONG available = Available();
    if (available <= 0) return false;
    const char* const p = AtPosition();
    m_requestStart = GetPosition();
    DWORD consumed = 0, length = 0;
    if (!LineAtPosition(consumed, length)) {
        if (m_buffer->IsEnded()) {
            m_buffer->PassAll();
            return false;
        }
        // Only bytes no text line holds (a TLS record, another binary protocol) pass before the
        // line's end: a NUL or a blank in front of a method may still make a request to a lenient
        // server.
        if (!IsBinary(p, static_cast<std::size_t>(available))) {
            if (available <= kMaxLineLength) return false;  // wait for the line's end
            return Fail("request line too long");
        }
        NUV_LOG(ETWLogging::LOG_WARNING, L"Ignoring unknown HTTP request\r\n");
        m_buffer->PassAll();
        return false;
    }
    if (ParseRequestLine(p, length)) {
        // Also a line of the special method: it is a request like any other to a server.
        SetPosition(GetPosition() + static_cast<LONG>(consumed));
        m_headerStart = GetPosition();
        m_phase = kHeaders;
        return true;
    }
    if (length == 0 || ::_strnicmp(p, "X-AOLIAC", std::min<DWORD>(length, 8)) == 0) {
        SetPosition(GetPosition() + static_cast<LONG>(consumed));
        m_buffer->Consume(static_cast<DWORD>(GetPosition()));
        return true;
    }
    const std::string_view text(p, length);
    if (StartsWithKnownMethod(text) || EndsLikeRequestLine(text)) {
        std::string line(p, std::min<DWORD>(length, 1024));
        std::replace(line.begin(), line.end(), '\0', ' ');
        NUV_LOG(ETWLogging::LOG_WARNING, L"Malformed HTTP request line: \"%hs\"\r\n", line.c_str());
        // A lenient server may still serve it: it is never released unjudged.
        return Fail("malformed request line");
    }
    NUV_LOG(ETWLogging::LOG_WARNING, L"Ignoring unknown HTTP request\r\n");
    m_buffer->PassAll();
    return false;
}

bool COutboundHttpRequestScan::CState::ParseRequestLine(const char* line, DWORD length) {
    const std::string_view text(line, length);
    std::size_t at = 0;
    while (at < text.size() && IsTokenChar(static_cast<unsigned char>(text[at]))) ++at;
    if (at == 0 || at >= text.size() || !IsLineSpace(static_cast<unsigned char>(text[at]))) return false;
    const std::string_view method = text.substr(0, at);
    // Servers split the line on any white space, and some take several in a row.
    const auto isSpace = [&text](std::size_t n) { return IsLineSpace(static_cast<unsigned char>(text[n])); };
    std::size_t targetStart = at;
    while (targetStart < text.size() && isSpace(targetStart)) ++targetStart;
    // The target ends at white space; a control byte before it refuses the line.
    const std::size_t targetEnd =
        targetStart + HttpBytes::FindSpaceOrControl(line + targetStart, text.size() - targetStart);
    if (targetEnd == targetStart || targetEnd == text.size() || !isSpace(targetEnd)) return false;
    std::size_t versionStart = targetEnd;
    while (versionStart < text.size() && isSpace(versionStart)) ++versionStart;
    std::size_t versionEnd = text.size();
    while (versionEnd > versionStart && isSpace(versionEnd - 1)) --versionEnd;
    if (!IsVersion(text.substr(versionStart, versionEnd - versionStart))) return false;
    std::string_view target = text.substr(targetStart, targetEnd - targetStart);
    LONG offset = static_cast<LONG>(line - m_buffer->GetData()) + static_cast<LONG>(targetStart);

    // An absolute-form target names the host; the target proper starts at the path. A CONNECT
    // target is an authority: the host the tunnel goes to.
    const std::size_t scheme = SchemeLength(target);
    if (EqualsNoCase(method, "CONNECT")) {
        m_absoluteHost.assign(AuthorityHost(target));
        m_bConnect = true;
    } else if (scheme > 0) {
        const std::size_t authorityEnd = target.find_first_of("/?#", scheme);
        m_absoluteHost.assign(AuthorityHost(target.substr(scheme, authorityEnd - scheme)));
        if (authorityEnd != std::string_view::npos && target[authorityEnd] == '/') {
            offset += static_cast<LONG>(authorityEnd);
            target.remove_prefix(authorityEnd);
        }
    }
    m_urlOffset = offset;
    m_urlLength = static_cast<LONG>(target.size());
    AssignCut(m_strMethod, method);
    m_target.assign(target);
    AssignCut(m_search->m_strUrl, target);
    AssignCut(m_categories->m_strUrl, target);
    std::string_view path = target.substr(0, target.find('?'));
    path = path.substr(0, path.find('#'));
    AssignCut(m_strPath, path);
    return true;
}

COutboundHttpRequestScan::CState::HeaderKind COutboundHttpRequestScan::CState::KindOf(std::string_view name) noexcept {
    switch (name.size()) {
        case 4: return EqualsAsciiNoCase(name, "Host") ? HeaderKind::kHost : HeaderKind::kOther;
        case 7: return EqualsAsciiNoCase(name, "Referer") ? HeaderKind::kReferer : HeaderKind::kOther;
        case 12: return EqualsAsciiNoCase(name, "Content-Type") ? HeaderKind::kContentType : HeaderKind::kOther;
        case 14: return EqualsAsciiNoCase(name, "Content-Length") ? HeaderKind::kContentLength : HeaderKind::kOther;
        case 17:
            return EqualsAsciiNoCase(name, "Transfer-Encoding") ? HeaderKind::kTransferEncoding : HeaderKind::kOther;
        default: return HeaderKind::kOther;
    }
}

bool COutboundHttpRequestScan::CState::ParseHeaderLine(const char* line, DWORD length, std::size_t& colon) {
    // The name is token characters up to the first ':', in one pass: a blank in front (a folded
    // line) or before the ':' refuses the line, as does any other byte that is no token character.
    colon = 0;
    while (colon < length && IsTokenChar(static_cast<unsigned char>(line[colon]))) ++colon;
    return colon != 0 && colon < length && line[colon] == ':';
}

bool COutboundHttpRequestScan::CState::AddHeaderLine(const char* line, DWORD length) {
    std::size_t colon = 0;
    if (!ParseHeaderLine(line, length, colon)) return false;
    const std::string_view text(line, length);
    const HeaderKind kind = KindOf(text.substr(0, colon));
    if (kind == HeaderKind::kOther) return true;
    if (m_headerCount == m_headers.size()) m_headers.emplace_back();
    Header& header = m_headers[m_headerCount++];
    header.kind = kind;
    header.value.assign(TrimBlanks(text.substr(colon + 1)));
    return true;
}

bool COutboundHttpRequestScan::CState::HasHost() const noexcept {
    return std::any_of(m_headers.begin(), m_headers.begin() + static_cast<std::ptrdiff_t>(m_headerCount),
                       [](const Header& h) { return h.kind == HeaderKind::kHost; });
}

bool COutboundHttpRequestScan::CState::StepHeaders() {
    for (;;) {
        const LONG available = Available();
        const char* const p = AtPosition();
        DWORD consumed = 0, terminator = 0;
        bool hasControl = false;
        if (available <= 0 ||
            !HttpBytes::FindLineEndAndControl(p, static_cast<std::size_t>(available), consumed, terminator, hasControl)) {
            if (!m_bDecided && EqualsNoCase(m_strMethod.m_pBuffer, "POST") && HasHost()) {
                // A POST is decided on the headers seen so far; the rest are released as they come.
                m_bEarlyDecision = true;
                m_phase = kJudge;
                return true;
            }
            if (available > kMaxLineLength) return Fail("header line too long");
            // The client stopped within a header block: the request never completes.
            if (m_buffer->IsEnded() && available > 0) m_buffer->DropAll();
            return false;
        }
        const DWORD length = consumed - terminator;
        if (length == 0) {
            m_blankLine = GetPosition();
            m_bHeaderComplete = true;
            // Refused framing fails from the blank line (an early decision's lines before it were passed).
            if (!DecideFraming()) return false;
            SetPosition(GetPosition() + static_cast<LONG>(consumed));
            m_bodyStart = GetPosition();
            m_phase = m_bDecided ? kReleaseHeaders : kJudge;
            return true;
        }
        // A control byte anywhere refuses a header line: none belongs to a name, a blank or a value.
        if (hasControl || !AddHeaderLine(p, length)) return Fail("header line that cannot be parsed");
        SetPosition(GetPosition() + static_cast<LONG>(consumed));
        if (m_bDecided) {
            // Headers that follow an early decision are examined as they come.
            for (; m_nextHeader < m_headerCount; ++m_nextHeader) ExamineHeader(m_headers[m_nextHeader]);
            m_phase = kReleaseHeaders;
            return true;
        }
    }
}

bool COutboundHttpRequestScan::CState::DecideFraming() {
    int hosts = 0;
    bool hasLength = false;
    bool hasEncoding = false;
    std::uint64_t length = 0;
    std::vector<std::string> codings;
    for (std::size_t n = 0; n < m_headerCount; ++n) {
        const Header& header = m_headers[n];
        if (header.kind == HeaderKind::kHost) {
            ++hosts;
        } else if (header.kind == HeaderKind::kContentLength) {
            const std::string& value = header.value;
            if (value.empty() || value.size() > 18 ||
                !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
                return Fail("malformed Content-Length");
            }
            const std::uint64_t parsed = std::stoull(value);
            if (hasLength && parsed != length) return Fail("conflicting Content-Length values");
            hasLength = true;
            length = parsed;
        } else if (header.kind == HeaderKind::kTransferEncoding) {
            hasEncoding = true;
            std::string_view rest(header.value);
            while (!rest.empty()) {
                const std::size_t comma = rest.find(',');
                const std::string_view coding = TrimBlanks(rest.substr(0, comma));
                if (!coding.empty()) codings.push_back(Lower(coding));
                rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
            }
        }
    }
    if (hosts > 1) return Fail("two Host headers");
    if (hasEncoding) {
        if (hasLength) return Fail("Transfer-Encoding with Content-Length");
        const auto chunked = std::find(codings.begin(), codings.end(), "chunked");
        if (codings.empty() || chunked != codings.end() - 1) return Fail("Transfer-Encoding other than a final chunked");
        m_chunked = true;
    }
    m_contentLength = length;
    return true;
}

void COutboundHttpRequestScan::CState::ExamineHeader(const Header& header) {
    if (header.kind == HeaderKind::kContentType) {
        const std::string& value = header.value;
        const std::size_t boundary = value.find("boundary=", 1);
        if (boundary != std::string::npos && boundary > 0) {
            std::string_view text = std::string_view(value).substr(boundary + 9);
            if (!text.empty() && text.front() == '"') {
                text.remove_prefix(1);
                text = text.substr(0, text.find('"'));
            } else {
                text = text.substr(0, text.find(';'));
            }
            AssignCut(m_strBoundary, text);
        }
        const std::string_view type = std::string_view(value).substr(0, value.find(';'));
        AssignCut(m_strContentType, type);
        bool scan = true;
        // A type the handler does not scan changes nothing here: the body is released as it
        // arrives anyway, and passing all held bytes would release what is not yet decided.
        if (m_callbacks != nullptr) m_callbacks->OnContentType(m_strContentType, false, scan);
        if (type.substr(0, type.find('/')) == "multipart") m_bMultipart = true;
    } else if (header.kind == HeaderKind::kHost) {
        AssignCut(m_strHost, header.value);
    } else if (header.kind == HeaderKind::kReferer) {
        // Lower case, without "http://", up to the first '/'; lowered in place (ASCII, as tolower
        // in the C locale).
        std::string_view referer(header.value);
        if (referer.size() >= 7 && EqualsAsciiNoCase(referer.substr(0, 7), "http://")) referer.remove_prefix(7);
        AssignCut(m_strRefererHost, referer.substr(0, referer.find('/')));
        for (int n = 0; n < m_strRefererHost.m_nLength; ++n) {
            char& c = m_strRefererHost.m_pBuffer[n];
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
        }
    }
}

bool COutboundHttpRequestScan::CState::StepJudge() {
    const Header* host = nullptr;
    for (std::size_t n = 0; n < m_headerCount; ++n) {
        if (m_headers[n].kind == HeaderKind::kHost) {
            host = &m_headers[n];
            break;
        }
    }
    const std::string_view path =
        m_bConnect ? std::string_view() : std::string_view(m_strPath.m_pBuffer, m_strPath.m_nLength);
    if (m_bConnect) {
        // The tunnel's authority is the site; what runs inside is scanned as it comes.
        m_url.assign(m_absoluteHost);
        m_categoriesUrl.assign(m_absoluteHost);
        AssignCut(m_search->m_strUrl, m_url);
    } else {
        m_url.assign(path);
        m_categoriesUrl.assign(m_target);
        if (!m_strPath.HasScheme()) {
            const std::string* name =
                host != nullptr ? &host->value : (!m_absoluteHost.empty() ? &m_absoluteHost : nullptr);
            if (name != nullptr) {
                m_url.assign(*name).append(path);
                m_categoriesUrl.assign(*name).append(m_target);
                AssignCut(m_search->m_strUrl, m_url);
            } else {
                NUV_LOG(ETWLogging::LOG_WARNING, L"Host header is missing (URL=\"%hs\")!\r\n", m_strPath.m_pBuffer);
            }
        }
    }
    // An absolute target and a Host header that name different hosts: either may be the one the
    // server follows, so both are judged.
    if (!Judge(m_url, m_categoriesUrl, true)) return false;
    if (host != nullptr && !m_absoluteHost.empty() &&
        !EqualsNoCase(WithoutDefaultPort(AuthorityHost(host->value)), WithoutDefaultPort(m_absoluteHost))) {
        const std::string& other = m_bConnect ? host->value : m_absoluteHost;
        if (!Judge(other + std::string(path), m_bConnect ? other : other + m_target, false)) return false;
        AssignCut(m_strJudgedUrl, m_url);  // the second judgement's URL went to the handler last
    }
    if (m_callbacks != nullptr) m_callbacks->OnOutboundRequestRecorded(m_strMethod, m_strJudgedUrl, m_strHost);
    RunSafeSearch();
    m_bDecided = true;
    m_phase = kReleaseHeaders;
    return true;
}

bool COutboundHttpRequestScan::CState::Judge(std::string_view urlText, std::string_view categoriesUrl, bool first) {
    CSafeStringA& url = m_strJudgedUrl;
    AssignCut(url, urlText);
    AssignCut(m_categories->m_strUrl, categoriesUrl);
    bool allowed = false, allowedListOnly = false, proceed = true;
    if (m_callbacks != nullptr) m_callbacks->OnOutboundHttpRequestUrl(m_strMethod, url, allowed, allowedListOnly, proceed);
    if (!proceed) {
        if (m_phase == kFailed) return false;  // refused by the handler
        // An emptied buffer: the handler blocked or served the request. Else nobody is signed in yet.
        const bool emptied = m_buffer->GetLength() == 0 && m_buffer->UnbufferedPacketCount() == 0;
        return emptied ? Blocked() : NotProceeding();
    }
    if (allowed) m_bAllowedByList = true;
    if (first) {
        for (; m_nextHeader < m_headerCount; ++m_nextHeader) ExamineHeader(m_headers[m_nextHeader]);
    }
    LONG reason = 0;
    if (!allowed && allowedListOnly) {
        reason = kNotOnAllowedList;
    } else {
        m_categories->m_bAllowedByList = allowed;
        m_categories->m_bPassed = true;
        if (IScanAlgorithm* categories = GetScanAlgorithm(kScanOutboundCategories)) categories->Scan(*m_categories);
        if (!m_categories->m_bPassed) reason = kBlockedCategory;
    }
    if (reason != 0) {
        proceed = true;
        if (m_callbacks != nullptr) m_callbacks->OnOutboundBlockDecision(*this, url, reason, proceed);
        if (!proceed) return Blocked();
    }
    return true;
}

bool COutboundHttpRequestScan::CState::Blocked() {
    // The handler answered in the request's place and ended the connection from the request on
    // (its packets fail once the answer has left): nothing more of it leaves.
    Reset();
    m_phase = kBlocked;
    m_buffer->DropAll();
    return false;
}

bool COutboundHttpRequestScan::CState::NotProceeding() {
    // Nobody is signed in: none of the request's bytes may leave with a later Consume. The
    // handler holds the connection; after a sign-in the request is scanned again from its start
    // (requests before it in the same packets were judged and stay released).
    const LONG start = std::max<LONG>(0, m_requestStart);
    Reset();
    SetPosition(start);
    m_requestStart = start;
    return false;
}

void COutboundHttpRequestScan::CState::RunSafeSearch() {
    if (!m_search->m_enabled) return;
    IScanAlgorithm* search = GetScanAlgorithm(kScanOutboundSearch);
    if (search == nullptr) return;
    m_search->m_targetFirst = m_urlOffset;
    m_search->m_targetLast = m_urlOffset + m_urlLength - 1;
    const bool complete = m_bHeaderComplete;
    m_search->m_endBound = complete ? m_bodyStart - 1 : static_cast<LONG>(m_buffer->GetLength()) - 1;
    m_search->m_headerEnd = -1;
    if (complete && m_blankLine >= 2 && std::memcmp(m_buffer->GetData() + m_blankLine - 2, "\r\n\r\n", 4) == 0) {
        m_search->m_headerEnd = m_blankLine - 2;
    }
    search->Scan(*m_search);
}

bool COutboundHttpRequestScan::CState::StepReleaseHeaders() {
    m_buffer->Consume(static_cast<DWORD>(GetPosition()));
    if (!m_bHeaderComplete) {  // an early decision: the header block goes on
        m_phase = kHeaders;
        return true;
    }
    if (m_chunked) {
        m_phase = kChunkSize;
    } else if (m_contentLength > 0) {
        m_bodyLeft = m_contentLength;
        m_phase = kBody;
    } else {
        NextRequest();
    }
    return true;
}

bool COutboundHttpRequestScan::CState::StepBody() {
    const LONG available = Available();
    if (available <= 0) return false;
    const LONG count = static_cast<LONG>(std::min<std::uint64_t>(static_cast<std::uint64_t>(available), m_bodyLeft));
    ForwardBodyBytes(count);
    m_bodyLeft -= static_cast<std::uint64_t>(count);
    if (m_bodyLeft > 0) return false;
    if (m_phase == kChunkData) {
        m_phase = kChunkDataEnd;
    } else {
        NextRequest();
    }
    return true;
}

bool COutboundHttpRequestScan::CState::StepChunkSize() {
    DWORD consumed = 0, length = 0;
    if (!LineAtPosition(consumed, length)) {
        return Available() > kMaxChunkSizeLine ? Fail("chunk size line too long") : false;
    }
    std::uint64_t size = 0;
    if (!ParseChunkSize(std::string_view(AtPosition(), length), size)) return Fail("invalid chunk size");
    ForwardBodyBytes(static_cast<LONG>(consumed));
    if (size == 0) {
        m_phase = kTrailers;
    } else {
        m_bodyLeft = size;
        m_phase = kChunkData;
    }
    return true;
}

bool COutboundHttpRequestScan::CState::StepChunkDataEnd() {
    const LONG available = Available();
    if (available <= 0) return false;
    const char* const p = AtPosition();
    const LONG needed = p[0] == '\r' ? 2 : 1;
    if (available < needed) return false;
    if (!(p[0] == '\n' || (p[0] == '\r' && p[1] == '\n'))) return Fail("chunk data not followed by a line end");
    ForwardBodyBytes(needed);
    m_phase = kChunkSize;
    return true;
}

bool COutboundHttpRequestScan::CState::StepTrailers() {
    for (;;) {
        DWORD consumed = 0, length = 0;
        if (!LineAtPosition(consumed, length)) {
            return Available() > kMaxLineLength ? Fail("trailer line too long") : false;
        }
        if (length > 0) {
            // Trailer fields are checked as header lines and released; they are not examined.
            std::size_t colon = 0;
            if (HasControl(AtPosition(), length) || !ParseHeaderLine(AtPosition(), length, colon)) {
                return Fail("trailer line that cannot be parsed");
            }
        }
        ForwardBodyBytes(static_cast<LONG>(consumed));
        if (length == 0) {
            NextRequest();
            return true;
        }
    }
}

// --- Algorithm ----------------------------------------------------------------------------------

void COutboundHttpRequestScan::Scan(CScanAlgorithmState& baseState) {
    CState& state = static_cast<CState&>(baseState);
    if (state.m_buffer == nullptr) return;
    Tessal::CAutoLock lock(state.m_buffer->GetLock());
    while (state.Step()) {
    }
}
