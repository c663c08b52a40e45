#pragma once
// Drives the response scan as the scan thread does: host packets into an inbound buffer, a scan
// pass after each, the processed packets back to a recording connection. The handler is a
// recording double that keeps the connection's open requests, judges content types by lists and
// blocks as the connection's handler does (the connection failed from the response's start; the
// block page itself is the handler's and not sent here).

#include "plugin/filter/InboundHttpResponseScan.h"
#include "plugin/filter/ScanBuffer.h"
#include "tests/plugin/filter/ScanTestDoubles.h"
#include "tests/plugin/filter/StreamSplits.h"

#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace NuvTest {

class RecordingResponseHandler : public IInboundHttpResponseScanCallback {
public:
    struct Request {
        std::string url, method, host;
    };
    static std::string Text(const CSafeStringA& text) { return text.m_pBuffer != nullptr ? text.m_pBuffer : ""; }
    static bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

    void OnContentType(const CSafeStringA& contentType, bool inbound, bool& scan) override {
        const std::string type = Text(contentType);
        calls.push_back(std::string(inbound ? "type " : "outbound type ") + type);
        for (const std::string& blocked : blockedTypes) {
            if (StartsWith(type, blocked)) {
                calls.push_back("block " + type);
                // As the handler does: its page takes the response's place and ends the connection.
                buffer->FailFrom(static_cast<DWORD>(
                    static_cast<CInboundHttpResponseScan::CState*>(buffer->GetState())->ResponseStart()));
                scan = false;
                return;
            }
        }
        for (const std::string& ignored : ignoredTypes) {
            if (StartsWith(type, ignored)) scan = false;
        }
    }
    void OnInboundResponseDone(bool final) override {
        calls.push_back(final ? "done" : "interim");
        if (final && !requests.empty()) requests.pop_front();
    }
    void GetRequestForResponse(CSafeStringA& url, CSafeStringA& method, CSafeStringA& host, bool& none) override {
        none = requests.empty();
        const Request request = none ? Request{"", "GET", ""} : requests.front();
        url.Assign(request.url.c_str());
        method.Assign(request.method.c_str());
        host.Assign(request.host.c_str());
    }
    void OnInboundEmbeddedUrl(const char* host, DWORD length, const CSafeStringA& requestHost) override {
        calls.push_back("link " + std::string(host, length) + "@" + Text(requestHost));
    }
    void OnInboundFramingLost(DWORD passed) override {
        calls.push_back("framing lost");
        buffer->FailFrom(passed);
    }

    CScanBuffer* buffer = nullptr;
    std::deque<Request> requests;
    std::vector<std::string> blockedTypes;
    std::vector<std::string> ignoredTypes{"image/"};
    std::vector<std::string> calls;
};

// One connection's inbound direction with the response scan as its algorithm. The scan-algorithm
// table must exist.
class ResponseScanRun {
public:
    explicit ResponseScanRun(bool embeddedUrlScan = true) : m_buffer(&m_connection, 1234, &m_connection, &m_connection) {
        m_handler.buffer = &m_buffer;
        m_buffer.SetAlgorithm(kScanInboundHttpResponse);
        m_buffer.SetState(std::make_unique<CInboundHttpResponseScan::CState>(&m_buffer, &m_handler));
        if (embeddedUrlScan) State().EnableEmbeddedUrlScan();
    }

    // The handler's open requests, oldest first: "METHOD host/path" each.
    void Requests(const std::vector<std::string>& requests) {
        for (const std::string& request : requests) {
            const std::size_t blank = request.find(' ');
            const std::string url = request.substr(blank + 1);
            m_handler.requests.push_back({url, request.substr(0, blank), url.substr(0, url.find('/'))});
        }
    }

    // One host packet, then a scan pass and the release, as the scan thread does.
    void Send(const std::string& bytes) {
        m_buffer.AddData(m_connection.Packet("p" + std::to_string(m_sent++), bytes), static_cast<DWORD>(bytes.size()), true);
        Scan();
    }
    // The server closed its side: the last scan pass.
    void End() {
        m_buffer.SetEnded();
        Scan();
    }
    void Scan() {
        GetScanAlgorithm(kScanInboundHttpResponse)->Scan(*m_buffer.GetState());
        m_buffer.ReleaseProcessedPackets();
    }
    // The stream cut at the given offsets (ascending, inside the stream) into packets.
    void SendSplit(const std::string& stream, const std::vector<std::size_t>& cuts) {
        for (const std::string& packet : SplitAt(stream, cuts)) Send(packet);
    }

    // The bytes the client gets, in order.
    std::string Released() { return m_connection.Released(true); }
    bool Failed() { return m_connection.Failed(true); }

    RecordingResponseHandler& Handler() { return m_handler; }
    CScanBuffer& Buffer() { return m_buffer; }
    CInboundHttpResponseScan::CState& State() {
        return *static_cast<CInboundHttpResponseScan::CState*>(m_buffer.GetState());
    }

private:
    RecordingConnection m_connection;
    RecordingResponseHandler m_handler;
    CScanBuffer m_buffer;
    int m_sent = 0;
};

}  // namespace NuvTest
