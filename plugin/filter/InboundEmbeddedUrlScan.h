#pragma once
// The embedded-URL scan (algorithm 7): finds the hosts of the absolute "http://" links in a
// response body and reports each to the connection's handler, which lets them through for the
// session while an allowed page embeds them. Runs inside the response scan, over the body
// without chunk framing, only where the categories scan enabled it.

#include "nuvutil/SafeString.h"
#include "plugin/filter/ScanAlgorithm.h"

#include <windows.h>

class CInboundEmbeddedUrlScan : public IScanAlgorithm {
public:
    class CState;

    void Scan(CScanAlgorithmState& state) override;
};

// Implemented by the response scan's state, which forwards to the handler.
class IInboundEmbeddedUrlScanCallback {
public:
    virtual void OnInboundEmbeddedUrl(const char* host, DWORD length, const CSafeStringA& requestHost) = 0;

protected:
    ~IInboundEmbeddedUrlScanCallback() = default;
};

// The base flag: more body data follows this piece.
class CInboundEmbeddedUrlScan::CState : public CScanAlgorithmState {
public:
    explicit CState(IInboundEmbeddedUrlScanCallback* callback) : m_callback(callback) {}

    void Reset() override { SetPosition(0); }

    // The body piece to examine, set by the response scan before each run (with the position 0)
    // and valid for that run only: the data may move once the run is over. After the run the
    // position counts the bytes from `first` the scan is done with.
    void SetPiece(const char* first, const char* last) noexcept {
        m_first = first;
        m_last = last;
        SetPosition(0);
    }

    const char* m_first = nullptr;
    const char* m_last = nullptr;  // the piece's last byte
    IInboundEmbeddedUrlScanCallback* m_callback;
    CSafeStringA m_strRequestHost;  // the Host of the request the response answers
};
