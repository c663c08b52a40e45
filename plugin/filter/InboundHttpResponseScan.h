#pragma once
// The response scan (algorithm 5), first algorithm of every inbound buffer: follows the HTTP/1.x
// responses a server sends over one connection as their bytes arrive (status line, header block,
// body with a length, chunked or up to the close), pairs each with the oldest open request the
// handler keeps, hands the content type to the handler's block decision, and, once the categories
// scan enabled it, runs the embedded-URL scan over each body without its chunk framing. Each part
// leaves for the client as soon as it has been scanned.
//
// Framing is kept for responses that are not scanned too (a content type the handler ignores, a
// chunk too large to scan): their bodies pass as they arrive, and the next response's header
// block is still found where it starts, so that no content type escapes the block decision. Bytes
// that answer no request pass unscanned; framing that cannot be followed ends the connection
// (what was released leaves first), since no later response could be judged. After the handler
// blocked a response its rest, and anything behind it, is dropped: the block page has taken its
// place and closes the connection.

#include "nuvutil/SafeString.h"
#include "plugin/filter/InboundEmbeddedUrlScan.h"
#include "plugin/filter/LayeredBuffer.h"
#include "plugin/filter/ScanAlgorithm.h"
#include "plugin/filter/ScanTypes.h"

#include <windows.h>

#include <cstdint>
#include <memory>

class CScanBuffer;

class CInboundHttpResponseScan : public IScanAlgorithm {
public:
    class CState;

    // A chunk larger than this is not scanned (it could not be held whole in the view).
    static constexpr std::int64_t kMaxScannedChunk = 3145728;

    void Scan(CScanAlgorithmState& state) override;
};

// Implemented by the connection's handler. Called on the scan thread with the inbound buffer's
// lock held.
class IInboundHttpResponseScanCallback {
public:
    // scan false: the body is not scanned. A handler that blocks the response empties the buffer
    // (DropAll) before it returns.
    virtual void OnContentType(const CSafeStringA& contentType, bool inbound, bool& scan) = 0;
    // final (status >= 200): the response closes its request.
    virtual void OnInboundResponseDone(bool final) = 0;
    // The oldest open request; none: no request is open.
    virtual void GetRequestForResponse(CSafeStringA& url, CSafeStringA& method, CSafeStringA& host, bool& none) = 0;
    virtual void OnInboundEmbeddedUrl(const char* host, DWORD length, const CSafeStringA& requestHost) = 0;
    // The responses can no longer be followed: the handler ends the connection from `passed` on
    // (what the scan passed before it leaves; FailFrom), after any answer it owes the client.
    virtual void OnInboundFramingLost(DWORD passed) = 0;

protected:
    ~IInboundHttpResponseScanCallback() = default;
};

class CInboundHttpResponseScan::CState : public CScanAlgorithmState,
                                         public IInboundEmbeddedUrlScanCallback,
                                         public IReplacementSink {
public:
    enum Phase : LONG {
        kStatusLine = 0,
        kHeaders = 1,
        kBody = 2,           // plain body bytes, or the next chunk-size line
        kTrailer = 3,
        kEnd = 4,
        kChunkData = 5,
        kChunkDataEnd = 6,   // the line end after a chunk's data
        kFailed = 7,         // framing lost: the connection ends, nothing more inbound leaves
        kBlocked = 8,        // the handler blocked a response: everything inbound is dropped
    };

    // Neither pointer is owned.
    CState(CScanBuffer* buffer, IInboundHttpResponseScanCallback* callbacks);
    ~CState() override;

    // Back to expecting a status line at the position; the position stays.
    void Reset() override;
    void AdjustPosition(LONG delta) noexcept override;

    // IInboundEmbeddedUrlScanCallback: to the handler.
    void OnInboundEmbeddedUrl(const char* host, DWORD length, const CSafeStringA& requestHost) override;

    // IReplacementSink: edits of the body as the scans see it (without chunk framing).
    char* GetBase() override;
    void Replace(char* at, DWORD len, const char* src, DWORD srcLen) override;
    void Insert(char*, DWORD, const char*, DWORD) override {}

    // Set by the handler once the categories scan allowed a page; for the life of the connection.
    void EnableEmbeddedUrlScan() noexcept { m_bEmbeddedUrlScan = true; }
    bool IsEmbeddedUrlScanEnabled() const noexcept { return m_bEmbeddedUrlScan; }

    LONG GetPhase() const noexcept { return m_phase; }
    LONG GetStatus() const noexcept { return m_status; }
    bool IsChunked() const noexcept { return m_chunked; }
    bool IsIgnored() const noexcept { return m_ignore; }
    const CSafeStringA& Url() const noexcept { return m_strUrl; }
    const CSafeStringA& Method() const noexcept { return m_strMethod; }
    const CSafeStringA& RequestHost() const noexcept { return m_strRequestHost; }
    const CLayeredBuffer* Layered() const noexcept { return m_layered.get(); }
    // Where the response being read starts in the buffer, while its header block is read.
    LONG ResponseStart() const noexcept { return GetPosition(); }

private:
    friend class CInboundHttpResponseScan;

    // One step of the scan; false: wait for more data (or the connection is done with).
    bool Step();
    bool StepStatusLine();
    bool StepHeaders();
    bool StepPlainBody();
    bool StepChunkSize();
    bool StepChunkData();
    bool StepChunkDataEnd();
    bool StepTrailer();
    bool StepEnd();

    bool PairWithRequest();
    void ProcessResponseHeader(const char* line, DWORD length);
    bool HeaderBlockDone();
    bool HasNoBody() const;
    // The rest of this response is not scanned; its framing is still followed.
    void IgnoreRest();
    // Runs the embedded-URL scan over [first, first + n); the bytes it is done with.
    DWORD ScanEmbedded(const char* first, DWORD n, bool more);
    // After chunk bytes were taken: scans what the view holds and releases what is done.
    void ReleaseChunked(bool more);
    // Nothing more to wait for when the direction has ended: what is held passes.
    bool Wait();
    bool PassHeld();
    bool LoseFraming(const char* why);
    bool Blocked();

    // The complete line held at `offset`: its length with its terminator and without.
    bool LineAt(LONG offset, DWORD& consumed, DWORD& length) const;
    LONG Held() const noexcept;

    CScanBuffer* m_buffer;
    IInboundHttpResponseScanCallback* m_callbacks;
    LONG m_phase = kStatusLine;

    // The request this response answers.
    CSafeStringA m_strUrl;
    CSafeStringA m_strMethod;
    CSafeStringA m_strRequestHost;

    LONG m_status = 0;
    bool m_chunked = false;
    bool m_transferCoded = false;       // a Transfer-Encoding header was seen
    std::int64_t m_contentLength = -1;  // -1: none (the body ends with the connection)
    std::int64_t m_bodyTaken = 0;       // body bytes the framing has passed over
    std::int64_t m_chunkLeft = 0;       // of the current chunk's data
    LONG m_cursor = 0;                  // the next byte the framing examines; the position <= it
    bool m_ignore = false;

    std::unique_ptr<CLayeredBuffer> m_layered;  // while a chunked response is scanned
    DWORD m_layeredDone = 0;                    // view bytes the embedded-URL scan is done with
    std::unique_ptr<CInboundEmbeddedUrlScan::CState> m_embedded;
    bool m_bEmbeddedUrlScan = false;
};
