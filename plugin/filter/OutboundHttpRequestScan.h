#pragma once
// The request scan (algorithm 1), first algorithm of every outbound buffer: parses the HTTP/1.x
// requests a client sends over one connection, one after another, as their bytes arrive; builds
// each request's URL, has the connection's handler judge it (site lists, categories, block
// decision), records it, runs safe search, and releases the request: the header block once
// decided, then exactly the body the request declares (Content-Length, or chunks to the last
// one), after which the next request on the connection is scanned like the first.
//
// Strict where a lenient reading would let a request slip past: a request line with an unknown
// method is judged like any other; a CONNECT target is judged, and HTTP requests inside the
// tunnel are scanned; framing that the server might read differently (Transfer-Encoding with
// Content-Length, conflicting lengths, two Host headers, an unparsable header line or chunk size),
// and a line that looks like a request line but does not parse, fail the connection from that
// request on; a blocked request ends it once its block page has left. Any white space separates
// the parts of a request line, as it does for lenient servers. Bytes that are not HTTP at all (a
// TLS handshake in an opened tunnel) pass unscanned.

#include "nuvutil/SafeString.h"
#include "plugin/filter/OutboundCategoriesScan.h"
#include "plugin/filter/OutboundSearchScan.h"
#include "plugin/filter/ScanAlgorithm.h"

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class CScanBuffer;

class COutboundHttpRequestScan : public IScanAlgorithm {
public:
    class CState;

    // Why a request goes to the block decision.
    enum BlockReason : LONG { kNotOnAllowedList = 2, kBlockedCategory = 6 };

    void Scan(CScanAlgorithmState& state) override;
};

// Implemented by the connection's handler. Called on the scan thread with the buffer's lock held.
class IOutboundHttpRequestScanCallback {
public:
    // proceed false: nothing more to do with this request here (the handler blocked or served it,
    // or nobody is signed in); its bytes are not released.
    virtual void OnOutboundHttpRequestUrl(const CSafeStringA& method, const CSafeStringA& url, bool& allowed,
                                          bool& allowedListOnly, bool& proceed) = 0;
    virtual void OnContentType(const CSafeStringA& contentType, bool inbound, bool& scan) = 0;
    // The handler applies the edit to the outbound buffer (ApplySafeSearchEdit).
    virtual void OnOutboundSearch(const SafeSearchEdit& edit, COutboundSearchScan::CState& search) = 0;
    virtual void OnOutboundURLCategories(COutboundCategoriesScan::CState& categories) = 0;
    virtual void EnableEmbeddedUrlScan() = 0;
    // proceed false: the handler blocked the request and emptied the buffer.
    virtual void OnOutboundBlockDecision(COutboundHttpRequestScan::CState& state, const CSafeStringA& url, LONG reason,
                                         bool& proceed) = 0;
    // Once for every request that was not blocked, before safe search.
    virtual void OnOutboundRequestRecorded(const CSafeStringA& method, const CSafeStringA& url,
                                           const CSafeStringA& host) = 0;

protected:
    ~IOutboundHttpRequestScanCallback() = default;
};

class COutboundHttpRequestScan::CState final : public CScanAlgorithmState,
                                               public IOutboundSearchScanCallback,
                                               public IOutboundCategoriesScanCallback {
public:
    enum Phase : LONG {
        kRequestLine = 0,
        kHeaders = 1,
        kJudge = 2,          // URL, lists, categories, block decision, record, safe search
        kReleaseHeaders = 6,
        kBody = 7,           // Content-Length bytes
        kChunkSize = 8,
        kChunkData = 9,
        kChunkDataEnd = 10,
        kTrailers = 11,
        kFailed = 12,        // ambiguous framing: everything outbound is dropped
        kBlocked = 13,       // a request was blocked: the connection closes, nothing more leaves
    };

    // The handler's settings of the user: safe search (310), category mask text (311), mode (312).
    CState(CScanBuffer* buffer, IOutboundHttpRequestScanCallback* callbacks, bool safeSearch,
           const wchar_t* categoryMask, LONG categoryMode);
    ~CState() override;

    // Back to expecting a request line; the position and the texts stay.
    void Reset() override;
    void AdjustPosition(LONG delta) noexcept override;

    // IOutboundSearchScanCallback: the edit goes to the handler; offsets behind it move.
    void OnOutboundSearch(const SafeSearchEdit& edit, COutboundSearchScan::CState& search) override;
    // IOutboundCategoriesScanCallback
    void OnOutboundURLCategories(COutboundCategoriesScan::CState& categories) override;
    void EnableEmbeddedUrlScan() override;

    // Read by the handler during the block decision.
    const CSafeStringA& Host() const noexcept { return m_strHost; }
    const CSafeStringA& RefererHost() const noexcept { return m_strRefererHost; }
    // Where the request being judged starts in the buffer: what lies before it has been passed.
    LONG RequestStart() const noexcept { return m_requestStart; }
    // An absolute-form target's host (a CONNECT's authority); empty for an origin-form target.
    const std::string& AbsoluteHost() const noexcept { return m_absoluteHost; }
    // The handler refuses the request being judged: the connection fails from its start.
    void Refuse(const char* why);
    COutboundCategoriesScan::CState& Categories() noexcept { return *m_categories; }
    COutboundSearchScan::CState& Search() noexcept { return *m_search; }
    LONG GetPhase() const noexcept { return m_phase; }

private:
    friend class COutboundHttpRequestScan;

    // The header fields the scan reads; the others are only checked.
    enum class HeaderKind : unsigned char { kOther, kHost, kContentLength, kTransferEncoding, kContentType, kReferer };
    struct Header {
        HeaderKind kind = HeaderKind::kOther;
        std::string value;
    };

    // One step of the scan; false: wait for more data (or the connection is done with).
    bool Step();
    bool StepRequestLine();
    bool StepHeaders();
    bool StepJudge();
    bool StepReleaseHeaders();
    bool StepBody();
    bool StepChunkSize();
    bool StepChunkDataEnd();
    bool StepTrailers();

    bool ParseRequestLine(const char* line, DWORD length);
    // A header or trailer line without control bytes: false when it does not parse; `colon` ends
    // its name.
    static bool ParseHeaderLine(const char* line, DWORD length, std::size_t& colon);
    // A header line without control bytes: false when it does not parse; the fields the scan
    // reads are kept.
    bool AddHeaderLine(const char* line, DWORD length);
    static HeaderKind KindOf(std::string_view name) noexcept;
    bool HasHost() const noexcept;
    void ExamineHeader(const Header& header);
    // Decides how the body is framed once the header block is complete; false: ambiguous.
    bool DecideFraming();
    bool Judge(std::string_view url, std::string_view categoriesUrl, bool first);
    bool NotProceeding();
    bool Blocked();
    void RunSafeSearch();
    void ForwardBodyBytes(LONG count);
    void NextRequest();
    // Drops everything outbound from now on; logs why once.
    bool Fail(const char* why);

    // Held bytes from the position on.
    LONG Available() const noexcept;
    // The complete line held at the position: its length with its terminator and without.
    bool LineAtPosition(DWORD& consumed, DWORD& length) const;
    const char* AtPosition() const noexcept;

    CScanBuffer* m_buffer;
    IOutboundHttpRequestScanCallback* m_callbacks;
    LONG m_phase = kRequestLine;

    // The request being scanned.
    LONG m_urlOffset = 0;  // the request target in the data
    LONG m_urlLength = 0;
    bool m_bAllowedByList = false;
    CSafeStringA m_strPath;          // the target without query and fragment
    CSafeStringA m_strHost;          // the Host header's value
    CSafeStringA m_strMethod;
    CSafeStringA m_strRefererHost;   // lower case
    std::string m_target;            // the target as written
    std::string m_absoluteHost;      // an absolute-form target's host, or a CONNECT's authority
    bool m_bConnect = false;
    bool m_bMultipart = false;
    bool m_bEarlyDecision = false;   // a POST decided before its header block was complete
    bool m_bDecided = false;
    CSafeStringA m_strBoundary;
    LONG m_headerStart = 0;
    LONG m_requestStart = 0;
    LONG m_bodyStart = 0;
    LONG m_blankLine = -1;           // where the line ending the header block starts
    bool m_bHeaderComplete = false;
    std::size_t m_nextHeader = 0;    // headers before it have been examined
    std::vector<Header> m_headers;   // the first m_headerCount are this request's fields the scan reads
    std::size_t m_headerCount = 0;
    // Texts built for every request, kept so that their room serves the next one.
    std::string m_url;               // the site judged and recorded
    std::string m_categoriesUrl;
    CSafeStringA m_strJudgedUrl;     // as handed to the handler
    CSafeStringA m_strContentType;
    std::uint64_t m_contentLength = 0;  // decided with the framing once the header block is complete
    bool m_chunked = false;
    std::uint64_t m_bodyLeft = 0;    // of the body or of the current chunk

    std::unique_ptr<COutboundSearchScan::CState> m_search;
    std::unique_ptr<COutboundCategoriesScan::CState> m_categories;
};
