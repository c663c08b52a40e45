#pragma once
// The handler of one HTTP connection of the proxy host: owns the connection's two scan buffers,
// answers every packet DEFER while it is scanned and hands it back with its verdict, holds the
// connection while nobody is signed in to its session, passes the local system's traffic, fails
// a time-blocked user's, and takes the scans' decisions: site lists, categories, the block page.
//
// Lock order: the session manager's lock, a session's lock; the outbound buffer's lock before the
// inbound one's; the handler's own lock innermost. The host connection is never called with a
// session's lock held.

#include "nuvutil/SafeString.h"
#include "plugin/services/HeldConnection.h"
#include "plugin/filter/ConnectionDump.h"
#include "plugin/filter/InboundHttpResponseScan.h"
#include "plugin/filter/OutboundHttpRequestScan.h"
#include "plugin/filter/ScanBuffer.h"
#include "plugin/filter/ScanTypes.h"
#include "plugin/services/FilterServices.h"

#include <windows.h>
#include <proxyhost.h>

#include <atomic>
#include <deque>
#include <memory>
#include <string>

class IFilterSession;

class CHttpEventHandler : public IQvProxyModuleEventHandler,
                          public IOutboundHttpRequestScanCallback,
                          public IInboundHttpResponseScanCallback,
                          public IResponseSink,
                          public IScannableParent,
                          public IHeldConnection {
public:
    CHttpEventHandler(IHandlerModule& module, IScanWorkSink* scanSink, IEventWorkSink* eventSink, DWORD sessionId,
                      DWORD processId);

    // IUnknown (also IScannableParent's and IHeldConnection's references).
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IQvProxyModuleEventHandler
    STDMETHODIMP OnBegin(DWORD hostValue1, DWORD hostValue2, DWORD hostValue3, DWORD processId, DWORD sessionId,
                         DWORD hostValue4, IQvProxyConnection* connection) override;
    STDMETHODIMP OnInboundData(DWORD size, BYTE* data, DWORD* verdict) override;
    STDMETHODIMP OnOutboundData(DWORD size, BYTE* data, DWORD* verdict) override;
    STDMETHODIMP OnEnd() override;

    // IOutboundHttpRequestScanCallback and IInboundHttpResponseScanCallback
    void OnOutboundHttpRequestUrl(const CSafeStringA& method, const CSafeStringA& url, bool& allowed,
                                  bool& allowedListOnly, bool& proceed) override;
    void OnContentType(const CSafeStringA& contentType, bool inbound, bool& scan) override;
    void OnOutboundSearch(const SafeSearchEdit& edit, COutboundSearchScan::CState& search) override;
    void OnOutboundURLCategories(COutboundCategoriesScan::CState& categories) override;
    void EnableEmbeddedUrlScan() override;
    void OnOutboundBlockDecision(COutboundHttpRequestScan::CState& state, const CSafeStringA& url, LONG reason,
                                 bool& proceed) override;
    void OnOutboundRequestRecorded(const CSafeStringA& method, const CSafeStringA& url, const CSafeStringA& host) override;
    void OnInboundResponseDone(bool final) override;
    void GetRequestForResponse(CSafeStringA& url, CSafeStringA& method, CSafeStringA& host, bool& none) override;
    void OnInboundEmbeddedUrl(const char* host, DWORD length, const CSafeStringA& requestHost) override;
    void OnInboundFramingLost(DWORD passed) override;

    // IResponseSink
    void Forward(BYTE* data, DWORD size, bool inbound, DWORD verdict) override;
    void Inject(const BYTE* data, DWORD size, bool inbound) override;

    // IHeldConnection (with the session manager's and the session's locks held: no host call)
    void dumpUser() override;
    void Resume() override;
    void Ignore() override;

    // For tests.
    bool IsBypassed() const noexcept { return m_bypass; }
    bool IsHeld() const noexcept { return m_outbound && m_outbound->IsHeld(); }
    CScanBuffer* Inbound() noexcept { return m_inbound.get(); }
    CScanBuffer* Outbound() noexcept { return m_outbound.get(); }

private:
    virtual ~CHttpEventHandler();

    // The block a URL of kind "other" waits for: its response's content type decides.
    struct PendingBlock {
        bool set = false;
        LONG reason = 0;
        CSafeStringA url;
        CSafeStringA refererHost;
        std::string absoluteHost;  // an absolute-form target's host, when it names one
        LONG categoryMode = 0;
        LONG categoryNameId = 0;
        CSafeStringW matchedMask;
        CSafeStringW userMask;
    };
    struct RequestRecord {
        CSafeStringA url, method, host;
        PendingBlock pending;  // tied to this request: gone with its response
    };

    HRESULT Begin(DWORD processId, DWORD sessionId, IQvProxyConnection* connection);
    HRESULT OnData(DWORD size, BYTE* data, DWORD* verdict, bool inbound);
    void Hold();
    void initScanStates();
    bool IsConnectionTimeBlocked();
    IFilterSession* Session();
    void canWeSkipScanning(const CSafeStringA& url, bool& allowed, bool& allowedListOnly, bool& proceed);
    void Block(LONG reason, const std::wstring& url, bool inbound, LONG categoryMode, LONG categoryNameId,
               const std::wstring& matchedMask, const std::wstring& userMask);
    void ServeSafePageImage(const std::wstring& type, int number);
    // Bytes towards the client after what was released before them.
    void InjectInboundOrdered(const std::string& bytes);
    // The plug-in's own answer to a request the server never gets (block page, safe-page image),
    // which ends the connection: the answer leaves after the responses of the requests sent
    // before it, which the client reads first; then the request's packets fail (the host closes
    // the connection). What the scan passed before the request (earlier requests of the same
    // packets) leaves. An empty answer fails the request at once.
    void AnswerInPlace(const std::string& response);
    // The scan states of the two buffers; null before a user is known.
    COutboundHttpRequestScan::CState* RequestScan() const;
    CInboundHttpResponseScan::CState* ResponseScan() const;
    // Nobody is signed in: the connection waits, as one begun before a sign-in.
    void HoldUntilSignIn();
    // The image exemption: each host the request names is temporarily allowed or the page that
    // asks for it comes from an originating host.
    bool IsTempAllowedOrFromOriginatingHost(const CSafeStringA& host, const std::string& absoluteHost,
                                            const CSafeStringA& refererHost);

    Tessal::CCriticalSection m_lock;  // the reference count
    ULONG m_references = 0;
    IHandlerModule& m_module;
    IScanWorkSink* m_scanSink;
    IEventWorkSink* m_eventSink;
    DWORD m_sessionId;
    DWORD m_processId;
    CSafeStringW m_strUserName;  // cached by the time-restriction test
    bool m_dumpEnabled;
    std::unique_ptr<CConnectionDump> m_dump;
    std::unique_ptr<CScanBuffer> m_inbound;
    std::unique_ptr<CScanBuffer> m_outbound;
    std::atomic<bool> m_bypass{false};
    PendingBlock m_nextPending;          // set by the block decision, attached to the request recorded next
    std::deque<RequestRecord> m_requests;
    std::string m_answerAfterResponses;  // an AnswerInPlace waiting for m_requests to empty
    IQvProxyConnection* m_connection = nullptr;  // one reference from OnBegin to the destructor
};
