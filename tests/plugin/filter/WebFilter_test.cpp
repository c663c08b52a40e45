// Web filtering as the module drives it: a queued buffer keeps its connection alive, the scan
// thread runs the buffer's algorithm on its state, and the finished packets reach the host after
// every pass, also a failed one.

#include "plugin/filter/WebFilter.h"

#include "plugin/filter/HttpEventHandler.h"

#include "plugin/core/NuvException.h"
#include "plugin/filter/ScanAlgorithm.h"
#include "plugin/filter/ScanBuffer.h"
#include "tests/plugin/filter/ScanTestDoubles.h"
#include "tests/support/LogRecorder.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using NuvTest::RecordingConnection;
using Calls = std::vector<std::string>;

// Consumes everything it is given, as a request scan that accepts a whole message.
class ConsumingAlgorithm : public IScanAlgorithm {
public:
    explicit ConsumingAlgorithm(CScanBuffer*& buffer) : m_buffer(buffer) {}
    void Scan(CScanAlgorithmState&) override {
        Tessal::CAutoLock lock(m_buffer->GetLock());
        m_buffer->Consume(m_buffer->GetLength());
    }

private:
    CScanBuffer*& m_buffer;
};

class WebFilterTest : public ::testing::Test {
protected:
    void SetUp() override {
        CreateScanAlgorithms([this](int id) -> std::unique_ptr<IScanAlgorithm> {
            if (id == kScanOutboundHttpRequest) return std::make_unique<ConsumingAlgorithm>(m_current);
            return nullptr;
        });
        m_buffer = std::make_unique<CScanBuffer>(&m_host, 1, &m_host, &m_host);
        m_buffer->SetState(std::make_unique<NuvTest::RecordingState>());
        m_current = m_buffer.get();
    }
    void TearDown() override { DestroyScanAlgorithms(); }
    void Add(const std::string& name, const std::string& bytes) {
        Tessal::CAutoLock lock(m_buffer->GetLock());
        m_buffer->AddData(m_host.Packet(name, bytes), static_cast<DWORD>(bytes.size()), false);
    }

    CWebFilter m_filter;
    RecordingConnection m_host;
    std::unique_ptr<CScanBuffer> m_buffer;
    CScanBuffer* m_current = nullptr;
};

TEST_F(WebFilterTest, QueuedBufferIsScannedReleasedAndLetGo) {
    m_buffer->SetAlgorithm(kScanOutboundHttpRequest);
    m_buffer->Hold();  // queued by hand below
    Add("request", "GET / HTTP/1.1\r\n\r\n");

    m_filter.OnScanWorkQueued(m_buffer.get());
    EXPECT_TRUE(m_buffer->IsQueued());
    EXPECT_EQ(1, m_host.References()) << "the queue keeps the connection";
    m_filter.OnScanWorkTaken(m_buffer.get());
    EXPECT_FALSE(m_buffer->IsQueued());

    m_host.TakeCalls();
    m_filter.ScanWork(m_buffer.get());
    EXPECT_EQ(Calls(), m_host.TakeCalls()) << "verdicts wait for the release";
    m_filter.ReleaseScanWork(m_buffer.get());
    EXPECT_EQ(Calls({"forward request 18 out OK"}), m_host.TakeCalls());
    EXPECT_EQ(0, m_host.References());
}

TEST_F(WebFilterTest, BufferWithoutAnAlgorithmIsPassedUnscannedNotLeftWaiting) {
    m_buffer->SetAlgorithm(kScanInboundHttpResponse);  // no response scan in this table
    Add("response", "HTTP/1.1 200 OK\r\n\r\n");
    m_buffer->AddRefOwner();
    EXPECT_THROW(m_filter.ScanWork(m_buffer.get()), CNuvException);
    m_host.TakeCalls();
    m_filter.PassUnscanned(m_buffer.get());
    m_filter.ReleaseScanWork(m_buffer.get());
    EXPECT_EQ(Calls({"forward response 19 out OK"}), m_host.TakeCalls());
    EXPECT_EQ(0, m_host.References());
}

TEST_F(WebFilterTest, WithoutTheTableTheScanFailsAsNotInitialized) {
    DestroyScanAlgorithms();
    m_buffer->SetAlgorithm(kScanOutboundHttpRequest);
    try {
        m_filter.ScanWork(m_buffer.get());
        FAIL() << "no exception";
    } catch (const CNuvException& e) {
        EXPECT_EQ(CNuvException::kNotInitialized, e.Code());
    }
}

// A module that has nothing: enough for a handler that is made and let go.
class EmptyModule : public IHandlerModule {
public:
    IFilterSession* GetFilterSession(DWORD) override { return nullptr; }
    Tessal::CCriticalSection* GetSessionLock() override { return nullptr; }
    bool IsUserTimeBlocked(const wchar_t*) override { return false; }
    bool IsDumpEnabled() const noexcept override { return false; }
    bool IsLogUrlRequestsEnabled() const noexcept override { return false; }
    IActivityLogManager* GetLogManager() override { return nullptr; }
    bool GetSessionUserSid(DWORD, std::wstring&) override { return false; }
};

class CountingConnection : public IQvProxyConnection {
public:
    STDMETHODIMP QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++references); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--references); }
    STDMETHODIMP CompleteInbound(IQvProxyModuleEventHandler*, BYTE*, DWORD) override { return S_OK; }
    STDMETHODIMP InjectInbound(DWORD, const BYTE*) override { return S_OK; }
    STDMETHODIMP CompleteOutbound(IQvProxyModuleEventHandler*, BYTE*, DWORD) override { return S_OK; }
    STDMETHODIMP InjectOutbound(DWORD, const BYTE*) override { return S_OK; }
    int references = 0;
};

TEST_F(WebFilterTest, MakesAConnectionHandlerForTheHost) {
    EmptyModule module;
    CountingConnection connection;
    IUnknown* const made = m_filter.CreateHttpEventHandler(module, &m_host, nullptr, 1, 2);
    ASSERT_NE(nullptr, made);
    IQvProxyModuleEventHandler* handler = nullptr;
    ASSERT_EQ(S_OK, made->QueryInterface(__uuidof(IQvProxyModuleEventHandler), reinterpret_cast<void**>(&handler)));
    EXPECT_EQ(1u, made->Release()) << "made with one reference for the caller";
    EXPECT_EQ(E_UNEXPECTED, handler->OnBegin(0, 0, 0, 2, 1, 0, &connection)) << "no session manager: refused";
    EXPECT_EQ(1, connection.references) << "held from OnBegin to the handler's end";
    DWORD verdict = 99;
    BYTE byte = 'x';
    EXPECT_EQ(S_OK, handler->OnOutboundData(1, &byte, &verdict));
    EXPECT_EQ(static_cast<DWORD>(kVerdictOk), verdict) << "nothing to hold it in: it passes";
    EXPECT_EQ(0u, handler->Release());
    EXPECT_EQ(0, connection.references);
}

}  // namespace
