#pragma once
// Drives the request scan as the scan thread does: host packets into an outbound buffer, a scan
// pass after each, the processed packets back to a recording connection. The handler is a
// recording double that judges URLs by a list of blocked words and applies safe-search edits as
// the connection's handler does.

#include "plugin/filter/OutboundHttpRequestScan.h"
#include "plugin/filter/ScanBuffer.h"
#include "tests/plugin/filter/ScanTestDoubles.h"
#include "tests/plugin/filter/StreamSplits.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace NuvTest {

class RecordingRequestHandler : public IOutboundHttpRequestScanCallback {
public:
    static std::string Text(const CSafeStringA& text) { return text.m_pBuffer != nullptr ? text.m_pBuffer : ""; }

    void OnOutboundHttpRequestUrl(const CSafeStringA& method, const CSafeStringA& url, bool& allowed,
                                  bool& allowedListOnly, bool& proceed) override {
        calls.push_back("url " + Text(method) + " " + Text(url));
        if (onUrl) onUrl(Text(url));
        if (!signedIn) {
            proceed = false;
            return;
        }
        if (!useLists) return;  // on no list: the categories decide
        // Everything not blocked is on the allowed list, and only that list may be reached.
        allowedListOnly = true;
        allowed = true;
        for (const std::string& word : blocked) {
            if (Text(url).find(word) != std::string::npos) allowed = false;
        }
    }
    void OnContentType(const CSafeStringA& contentType, bool, bool& scan) override {
        contentTypes.push_back(Text(contentType));
        scan = scanContent;
    }
    void OnOutboundSearch(const SafeSearchEdit& edit, COutboundSearchScan::CState& search) override {
        calls.push_back("edit " + std::to_string(edit.offset) + " " + std::to_string(edit.length) + " " + Text(edit.text));
        ApplySafeSearchEdit(*buffer, search, edit);
    }
    void OnOutboundURLCategories(COutboundCategoriesScan::CState&) override {}
    void EnableEmbeddedUrlScan() override {}
    void OnOutboundBlockDecision(COutboundHttpRequestScan::CState& state, const CSafeStringA& url, LONG reason,
                                 bool& proceed) override {
        calls.push_back("block " + Text(url) + " " + std::to_string(reason));
        refererHosts.push_back(Text(state.RefererHost()));
        categoriesUrls.push_back(Text(state.Categories().m_strUrl));
        proceed = false;
        // As the handler does: its block page answers, and the connection fails from the request on.
        buffer->FailFrom(static_cast<DWORD>(state.RequestStart()));
    }
    void OnOutboundRequestRecorded(const CSafeStringA& method, const CSafeStringA& url, const CSafeStringA& host) override {
        calls.push_back("recorded " + Text(method) + " " + Text(url) + " " + Text(host));
    }

    CScanBuffer* buffer = nullptr;
    std::vector<std::string> blocked{"blocked"};
    bool signedIn = true;
    std::function<void(const std::string&)> onUrl;  // before the decision
    bool useLists = true;
    bool scanContent = true;
    std::vector<std::string> calls;
    std::vector<std::string> contentTypes;
    std::vector<std::string> refererHosts;
    std::vector<std::string> categoriesUrls;
};

// One connection's outbound direction with the request scan as its algorithm. The scan-algorithm
// table must exist.
class RequestScanRun {
public:
    explicit RequestScanRun(bool safeSearch = false, const wchar_t* categoryMask = L"00000000000000000000000000000000",
                            LONG categoryMode = 0)
        : m_buffer(&m_connection, 1234, &m_connection, &m_connection) {
        m_handler.buffer = &m_buffer;
        m_buffer.SetAlgorithm(kScanOutboundHttpRequest);
        m_buffer.SetState(std::make_unique<COutboundHttpRequestScan::CState>(&m_buffer, &m_handler, safeSearch,
                                                                              categoryMask, categoryMode));
    }

    // One host packet, then a scan pass and the release, as the scan thread does.
    void Send(const std::string& bytes) {
        m_buffer.AddData(m_connection.Packet("p" + std::to_string(m_sent++), bytes), static_cast<DWORD>(bytes.size()), false);
        Scan();
    }
    void Scan() {
        GetScanAlgorithm(kScanOutboundHttpRequest)->Scan(*m_buffer.GetState());
        m_buffer.ReleaseProcessedPackets();
    }
    // The stream cut at the given offsets (ascending, inside the stream) into packets.
    void SendSplit(const std::string& stream, const std::vector<std::size_t>& cuts) {
        for (const std::string& packet : SplitAt(stream, cuts)) Send(packet);
    }

    // The bytes the server gets, in order.
    std::string Released() { return m_connection.Released(false); }
    bool Failed() { return m_connection.Failed(false); }

    RecordingRequestHandler& Handler() { return m_handler; }
    CScanBuffer& Buffer() { return m_buffer; }
    COutboundHttpRequestScan::CState& State() {
        return *static_cast<COutboundHttpRequestScan::CState*>(m_buffer.GetState());
    }

private:
    RecordingConnection m_connection;
    RecordingRequestHandler m_handler;
    CScanBuffer m_buffer;
    int m_sent = 0;
};

}  // namespace NuvTest
