#include "plugin/filter/HttpEventHandler.h"

#include "base/TextConversion.h"
#include "logging/Logging.h"
#include "nuvutil/UrlText.h"
#include "nuvutil/com/ComBoundary.h"
#include "plugin/core/AccessDeniedEvent.h"
#include "plugin/core/SignInRequiredEvent.h"
#include "plugin/core/SiteListMatch.h"
#include "plugin/core/UrlVisitedEvent.h"
#include "plugin/core/UserSettings.h"
#include "plugin/filter/BlockPage.h"
#include "plugin/filter/HttpText.h"
#include "plugin/services/FilterSession.h"
#include "plugin/services/TimeLimitServices.h"

#include <cstring>
#include <string_view>

namespace {

using HttpText::StartsNoCase;


std::string Narrow(const CSafeStringA& text) { return text.m_pBuffer != nullptr ? text.m_pBuffer : ""; }
std::wstring Wide(const CSafeStringA& text) { return Tessal::FromThreadAnsi(Narrow(text)); }
std::string Ansi(const std::wstring& text) { return Tessal::ToThreadAnsi(text); }

// Releases a buffer's processed packets on a pool thread, away from the locks of the caller.
struct DeferredRelease {
    CHttpEventHandler* handler;
    CScanBuffer* inbound;
    CScanBuffer* outbound;
};

DWORD WINAPI ReleaseLater(void* parameter) {
    auto* const work = static_cast<DeferredRelease*>(parameter);
    if (work->inbound != nullptr) work->inbound->ReleaseProcessedPackets();
    if (work->outbound != nullptr) work->outbound->ReleaseProcessedPackets();
    work->handler->Release();
    delete work;
    return 0;
}

}  // namespace

CHttpEventHandler::CHttpEventHandler(IHandlerModule& module, IScanWorkSink* scanSink, IEventWorkSink* eventSink,
                                     DWORD sessionId, DWORD processId)
    : m_module(module),
      m_scanSink(scanSink),
      m_eventSink(eventSink),
      m_sessionId(sessionId),
      m_processId(processId),
      m_dumpEnabled(module.IsDumpEnabled()) {
    NUV_LOG(ETWLogging::LOG_NORMAL, L"Creating HTTP Event Handler 0x%p\r\n", static_cast<void*>(this));
}

CHttpEventHandler::~CHttpEventHandler() {
    NUV_LOG(ETWLogging::LOG_NORMAL, L"Destroying HTTP Event Handler 0x%p\r\n", static_cast<void*>(this));
    // Leftover packets go back to the host (and into the dump) before the dump and the connection.
    m_inbound.reset();
    m_outbound.reset();
    m_dump.reset();
    if (m_connection != nullptr) m_connection->Release();
}

STDMETHODIMP CHttpEventHandler::QueryInterface(REFIID iid, void** out) {
    if (out == nullptr) return E_POINTER;
    if (::IsEqualIID(iid, __uuidof(IUnknown)) || ::IsEqualIID(iid, __uuidof(IQvProxyModuleEventHandler))) {
        *out = static_cast<IQvProxyModuleEventHandler*>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CHttpEventHandler::AddRef() {
    Tessal::CAutoLock lock(m_lock);
    return ++m_references;
}

STDMETHODIMP_(ULONG) CHttpEventHandler::Release() {
    ULONG left = 0;
    {
        Tessal::CAutoLock lock(m_lock);
        left = --m_references;
    }
    if (left == 0) delete this;
    return left;
}

IFilterSession* CHttpEventHandler::Session() { return m_module.GetFilterSession(m_sessionId); }

STDMETHODIMP CHttpEventHandler::OnBegin(DWORD, DWORD, DWORD, DWORD processId, DWORD sessionId, DWORD,
                                        IQvProxyConnection* connection) {
    NUV_LOG(ETWLogging::LOG_NORMAL, L"HTTP Event Handler - OnBegin\r\n");
    if (connection == nullptr) return E_POINTER;
    return NuvCom::ComBoundary(L"CHttpEventHandler::OnBegin", [&] { return Begin(processId, sessionId, connection); });
}

HRESULT CHttpEventHandler::Begin(DWORD processId, DWORD sessionId, IQvProxyConnection* connection) {
    if (m_connection == nullptr) {
        // Held until the handler goes: buffers forward their leftovers through it on the way out.
        m_connection = connection;
        m_connection->AddRef();
    }
    Tessal::CCriticalSection* const managerLock = m_module.GetSessionLock();
    if (managerLock == nullptr) return E_UNEXPECTED;
    Tessal::CAutoLock managed(*managerLock);
    IFilterSession* const session = m_module.GetFilterSession(m_sessionId);
    Tessal::CAutoLock locked(session->GetLock());
    m_inbound = std::make_unique<CScanBuffer>(this, processId, m_scanSink, this);
    m_inbound->SetAlgorithm(kScanInboundHttpResponse);
    m_outbound = std::make_unique<CScanBuffer>(this, processId, m_scanSink, this);
    m_outbound->SetAlgorithm(kScanOutboundHttpRequest);
    std::wstring sid;
    if (session->IsSignedIn()) {
        initScanStates();
    } else if (m_module.GetSessionUserSid(m_sessionId, sid) && sid == L"S-1-5-18") {
        NUV_LOG(ETWLogging::LOG_NORMAL, L"Bypass traffic from session %d since it appears as local system service\r\n",
                static_cast<int>(m_sessionId));
        m_bypass = true;
    } else {
        Hold();
        session->RegisterHandler(this);
        session->PutEventWork(CSignInRequiredEvent::CreateWork(m_sessionId));
    }
    if (m_dumpEnabled) {
        m_dump = std::make_unique<CConnectionDump>();
        SYSTEMTIME now = {};
        ::GetLocalTime(&now);
        m_dump->Open(this, now);
        dumpUser();
        m_dump->Print("OnBegin (Session %d, Process %d)\r\n", static_cast<int>(sessionId), static_cast<int>(processId));
    }
    return S_OK;
}

void CHttpEventHandler::Hold() {
    m_inbound->Hold();
    m_outbound->Hold();
}

void CHttpEventHandler::initScanStates() {
    IFilterSession* const session = Session();
    Tessal::CAutoLock locked(session->GetLock());
    const CUserSettings* const settings = session->GetSettings();
    if (m_inbound->GetState() == nullptr) {
        Tessal::CAutoLock lock(m_inbound->GetLock());
        m_inbound->SetState(std::make_unique<CInboundHttpResponseScan::CState>(m_inbound.get(), this));
    }
    if (m_outbound->GetState() == nullptr) {
        const bool safeSearch = settings == nullptr || settings->m_bSafeSearch != 0;
        const wchar_t* const mask = settings != nullptr ? settings->m_strCategoryMask.GetString() : L"";
        const LONG mode = settings != nullptr ? settings->m_nCategoryMode : 0;
        Tessal::CAutoLock lock(m_outbound->GetLock());
        m_outbound->SetState(std::make_unique<COutboundHttpRequestScan::CState>(m_outbound.get(), this, safeSearch, mask, mode));
    }
}

void CHttpEventHandler::dumpUser() {
    if (!m_dump) return;
    IFilterSession* const session = Session();
    Tessal::CAutoLock locked(session->GetLock());
    const CUserSettings* const settings = session->GetSettings();
    if (settings == nullptr) {
        m_dump->Print("User: None\r\n");
    } else {
        m_dump->Print("User: %s [%s]\r\n", Ansi(settings->m_strUserName.GetString()).c_str(),
                      CConnectionDump::AgeGroupName(settings->m_nAgeGroup));
    }
}

void CHttpEventHandler::Resume() {
    if (!m_inbound || !m_outbound) return;
    initScanStates();
    // Queued for the scan thread: nothing calls the host here.
    m_inbound->Resume();
    m_outbound->Resume();
}

void CHttpEventHandler::Ignore() {
    if (!m_inbound || !m_outbound) return;
    // From now on every packet passes; what is held goes back to the host from a thread of its
    // own, since the caller holds the session manager's and the session's locks.
    m_bypass = true;
    m_inbound->PassAll();
    m_outbound->PassAll();
    AddRef();
    auto* const work = new (std::nothrow) DeferredRelease{this, m_inbound.get(), m_outbound.get()};
    if (work == nullptr || !::QueueUserWorkItem(&ReleaseLater, work, WT_EXECUTEDEFAULT)) {
        delete work;
        Release();  // the destructor hands them back at the latest
    }
}

bool CHttpEventHandler::IsConnectionTimeBlocked() {
    if (m_strUserName.GetLength() == 0) {
        IFilterSession* const session = Session();
        Tessal::CAutoLock locked(session->GetLock());
        const CUserSettings* const settings = session->GetSettings();
        if (settings == nullptr) return false;
        m_strUserName.Assign(settings->m_strUserName.GetString());
    }
    return m_module.IsUserTimeBlocked(m_strUserName.GetString());
}

STDMETHODIMP CHttpEventHandler::OnInboundData(DWORD size, BYTE* data, DWORD* verdict) {
    return OnData(size, data, verdict, true);
}

STDMETHODIMP CHttpEventHandler::OnOutboundData(DWORD size, BYTE* data, DWORD* verdict) {
    return OnData(size, data, verdict, false);
}

HRESULT CHttpEventHandler::OnData(DWORD size, BYTE* data, DWORD* verdict, bool inbound) {
    if (verdict == nullptr) return E_POINTER;
    return NuvCom::ComBoundary(L"CHttpEventHandler::OnData", [&] {
        if (m_dump) {
            m_dump->Print(inbound ? "IN  Response 0x%p [%7lu bytes]\r\n" : "IN  Request  0x%p [%7lu bytes]\r\n",
                          static_cast<void*>(data), static_cast<unsigned long>(size));
        }
        CScanBuffer* const buffer = inbound ? m_inbound.get() : m_outbound.get();
        if (m_bypass || buffer == nullptr) {
            *verdict = kVerdictOk;
            return S_OK;
        }
        // The session's lock before, never inside, the buffer's.
        const bool timeBlocked = IsConnectionTimeBlocked();
        Tessal::CAutoLock lock(buffer->GetLock());
        if (timeBlocked) buffer->SetTimeBlocked();
        buffer->AddData(data, size, inbound);
        if (m_dump) m_dump->Write(data, size, inbound, true);
        *verdict = kVerdictDefer;
        return S_OK;
    });
}

STDMETHODIMP CHttpEventHandler::OnEnd() {
    // The host's thread: nothing may leave (the work queue may throw bad_alloc).
    NuvCom::ComBoundary(L"CHttpEventHandler::OnEnd", [&] {
        NUV_LOG(ETWLogging::LOG_NORMAL, L"HTTP Event Handler - OnEnd\r\n");
        if (m_dump) m_dump->Print("OnEnd\r\n");
        // One buffer lock at a time: the two are never nested here.
        for (CScanBuffer* buffer : {m_inbound.get(), m_outbound.get()}) {
            if (buffer == nullptr) continue;
            Tessal::CAutoLock lock(buffer->GetLock());
            buffer->SetEnded();
            if (!buffer->IsHeld()) buffer->QueueIfHasData();
        }
        return S_OK;
    });
    return S_OK;
}

void CHttpEventHandler::Forward(BYTE* data, DWORD size, bool inbound, DWORD verdict) {
    if (m_dump) {
        if (verdict != kVerdictDrop) m_dump->Write(data, size, inbound, false);
        m_dump->Print(inbound ? "OUT Response 0x%p [%7lu bytes] - %s\r\n" : "OUT Request  0x%p [%7lu bytes] - %s\r\n",
                      static_cast<void*>(data), static_cast<unsigned long>(size), CConnectionDump::VerdictName(verdict));
    }
    if (m_connection == nullptr) return;
    auto* const self = static_cast<IQvProxyModuleEventHandler*>(this);
    if (inbound) {
        m_connection->CompleteInbound(self, data, verdict);
    } else {
        m_connection->CompleteOutbound(self, data, verdict);
    }
}

void CHttpEventHandler::Inject(const BYTE* data, DWORD size, bool inbound) {
    if (m_dump) {
        m_dump->Write(data, size, inbound, false);
        m_dump->Print(inbound ? "NUV Response 0x%p [%7lu bytes]\r\n" : "NUV Request  0x%p [%7lu bytes]\r\n",
                      static_cast<const void*>(data), static_cast<unsigned long>(size));
    }
    if (m_connection == nullptr) return;
    if (inbound) {
        m_connection->InjectInbound(size, data);
    } else {
        m_connection->InjectOutbound(size, data);
    }
}

void CHttpEventHandler::AnswerInPlace(const std::string& response) {
    COutboundHttpRequestScan::CState* const state = RequestScan();
    const DWORD start = state != nullptr ? static_cast<DWORD>(state->RequestStart()) : 0;
    // The answer says "Connection: close"; the failed packets make the host close once it has left.
    const bool waits = !response.empty() && !m_requests.empty();
    if (waits) {
        m_answerAfterResponses = response;
    } else if (!response.empty()) {
        InjectInboundOrdered(response);
    }
    m_outbound->FailFrom(start, nullptr, 0, waits);
    // The answer goes out now when it need not wait, after the inbound packets released before it.
    m_inbound->ReleaseProcessedPackets();
}

COutboundHttpRequestScan::CState* CHttpEventHandler::RequestScan() const {
    return dynamic_cast<COutboundHttpRequestScan::CState*>(m_outbound ? m_outbound->GetState() : nullptr);
}

CInboundHttpResponseScan::CState* CHttpEventHandler::ResponseScan() const {
    return dynamic_cast<CInboundHttpResponseScan::CState*>(m_inbound ? m_inbound->GetState() : nullptr);
}

void CHttpEventHandler::HoldUntilSignIn() {
    if (m_outbound->IsHeld()) return;
    Hold();
    IFilterSession* const session = Session();
    Tessal::CAutoLock locked(session->GetLock());
    if (session->IsSignedIn()) {
        // Someone signed in meanwhile: scanned again at once.
        m_inbound->Resume();
        m_outbound->Resume();
        return;
    }
    session->RegisterHandler(this);
    session->PutEventWork(CSignInRequiredEvent::CreateWork(m_sessionId));
}

void CHttpEventHandler::InjectInboundOrdered(const std::string& bytes) {
    m_inbound->QueueInjection(reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()), true);
}

// ---- The scans' callbacks -------------------------------------------------------------------

void CHttpEventHandler::OnOutboundHttpRequestUrl(const CSafeStringA& method, const CSafeStringA& url, bool& allowed,
                                                 bool& allowedListOnly, bool& proceed) {
    allowed = false;
    proceed = true;
    canWeSkipScanning(url, allowed, allowedListOnly, proceed);
    NUV_LOG(ETWLogging::LOG_NORMAL, L"Process[%d] %hs %hs%s\r\n", static_cast<int>(m_processId), Narrow(method).c_str(),
            Narrow(url).c_str(), allowed ? L" [safe]" : L"");
}

void CHttpEventHandler::canWeSkipScanning(const CSafeStringA& url, bool& allowed, bool& allowedListOnly, bool& proceed) {
    allowed = false;
    allowedListOnly = false;
    proceed = true;
    IFilterSession* const session = Session();
    std::wstring blockedEntry;
    {
        Tessal::CAutoLock locked(session->GetLock());
        const CUserSettings* const settings = session->GetSettings();
        if (settings == nullptr) {
            proceed = false;
            HoldUntilSignIn();
            return;
        }
        const std::wstring wideUrl = Wide(url);
        // No host, or one the lists cannot be matched with: the server would still pick one.
        if (url.m_nLength == 0 || url.m_pBuffer[0] == '/' || !CanJudgeUrl(wideUrl.c_str())) {
            proceed = false;
            NUV_LOG(ETWLogging::LOG_WARNING, L"Refusing a request whose site cannot be judged: \"%hs\"\r\n", url.m_pBuffer);
            // The outbound buffer's lock is this thread's already: no new lock order.
            if (COutboundHttpRequestScan::CState* const state = RequestScan()) {
                state->Refuse("a request whose site cannot be judged");
            }
            return;
        }
        std::wstring type;
        int number = 0;
        if (BlockPage::ParseSafePageImage(Narrow(url), type, number)) {
            if (!type.empty() && number != 0) {
                proceed = false;
                ServeSafePageImage(type, number);
                return;
            }
            NUV_LOG(ETWLogging::LOG_ERROR, L"Unexpected safepage image request detected!");
        }
        CSafeStringW matched;
        if (settings->IsOnAllowedList(wideUrl.c_str(), matched)) {
            allowed = true;
            return;
        }
        if (settings->IsOnBlockedList(wideUrl.c_str(), matched)) {
            blockedEntry = matched.GetString();
        } else {
            allowedListOnly = settings->m_bAllowedListOnly != 0;
            return;
        }
    }
    proceed = false;
    Block(BlockPage::kOnBlockedUrlList, blockedEntry, false, 0, 0, L"", L"");
}

bool CHttpEventHandler::IsTempAllowedOrFromOriginatingHost(const CSafeStringA& host, const std::string& absoluteHost,
                                                           const CSafeStringA& refererHost) {
    IFilterSession* const session = Session();
    Tessal::CAutoLock locked(session->GetLock());
    if (refererHost.m_pBuffer != nullptr && refererHost.m_pBuffer[0] != '\0' && session->IsOriginatingHost(refererHost)) {
        return true;
    }
    // A target naming another host than the Host header: the server may follow either.
    return session->IsTempAllowedDomain(host) &&
           (absoluteHost.empty() || session->IsTempAllowedDomain(CSafeStringA(absoluteHost.c_str())));
}

void CHttpEventHandler::OnOutboundBlockDecision(COutboundHttpRequestScan::CState& state, const CSafeStringA& url,
                                                LONG reason, bool& proceed) {
    proceed = false;
    const COutboundCategoriesScan::CState& categories = state.Categories();
    {
        IFilterSession* const session = Session();
        Tessal::CAutoLock locked(session->GetLock());
        if (!session->IsSignedIn()) {
            // Judged again from the request's start after a sign-in.
            HoldUntilSignIn();
            return;
        }
    }
    const std::string urlText = Narrow(url);
    const int kind = BlockPage::GetUrlKind(urlText);
    const bool blockNow =
        kind == BlockPage::kPage ||
        (kind == BlockPage::kImage &&
         !IsTempAllowedOrFromOriginatingHost(state.Host(), state.AbsoluteHost(), state.RefererHost()));
    if (blockNow) {
        Block(reason, Wide(url), false, categories.m_nCategoryMode, categories.m_nCategoryNameId,
              categories.m_strMatchedMask.GetString(), Wide(categories.m_strUserMask));
        return;
    }
    proceed = true;
    if (kind == BlockPage::kOtherUrl) {
        // Its response decides; tied to this request and gone with its response.
        m_nextPending.set = true;
        m_nextPending.reason = reason;
        m_nextPending.url = url;
        m_nextPending.refererHost = state.RefererHost();
        m_nextPending.absoluteHost = state.AbsoluteHost();
        m_nextPending.categoryMode = categories.m_nCategoryMode;
        m_nextPending.categoryNameId = categories.m_nCategoryNameId;
        m_nextPending.matchedMask = categories.m_strMatchedMask;
        m_nextPending.userMask.Assign(Wide(categories.m_strUserMask).c_str());
    }
}

void CHttpEventHandler::OnOutboundURLCategories(COutboundCategoriesScan::CState& categories) {
    NUV_LOG(ETWLogging::LOG_NORMAL, L"OnOutboundURLCategories\r\n");
    categories.m_bPassed = false;
    Block(BlockPage::kUrlCategories, Wide(categories.m_strUrl), false, categories.m_nCategoryMode,
          categories.m_nCategoryNameId, categories.m_strMatchedMask.GetString(), Wide(categories.m_strUserMask));
}

void CHttpEventHandler::OnContentType(const CSafeStringA& contentType, bool inbound, bool& scan) {
    const std::string type = Narrow(contentType);
    if (!inbound) {
        scan = !(StartsNoCase(type, "application/") && !StartsNoCase(type, "application/x-www-form-urlencoded"));
        if (!scan && m_dump) m_dump->Print("Ignoring outbound content type \"%s\"\r\n", type.c_str());
        return;
    }
    const int kind = BlockPage::GetContentTypeKind(type);
    if (!m_requests.empty() && m_requests.front().pending.set) {
        // The response of a request whose URL could not tell: its content type decides.
        scan = false;
        RequestRecord& request = m_requests.front();
        const PendingBlock& pending = request.pending;
        const bool block = kind == BlockPage::kHtml ||
                           (kind == BlockPage::kMedia &&
                            !IsTempAllowedOrFromOriginatingHost(request.host, pending.absoluteHost, pending.refererHost));
        if (block) {
            Block(pending.reason, Wide(pending.url), true, pending.categoryMode, pending.categoryNameId,
                  pending.matchedMask.GetString(), pending.userMask.GetString());
        }
        return;
    }
    scan = kind == BlockPage::kHtml || kind == BlockPage::kScriptOrStyleContent;
    if (!scan && m_dump) m_dump->Print("Ignoring inbound content type \"%s\"\r\n", type.c_str());
}

void CHttpEventHandler::Block(LONG reason, const std::wstring& url, bool inbound, LONG categoryMode, LONG categoryNameId,
                              const std::wstring& matchedMask, const std::wstring& userMask) {
    NUV_LOG(ETWLogging::LOG_NORMAL, L"BLOCKING %s [%s] (reason %d)\r\n", url.c_str(), inbound ? L"in" : L"out",
            static_cast<int>(reason));
    if (m_dump) {
        m_dump->Print(inbound ? "!!! Response \"%s\" [%s]\r\n" : "!!! Request  \"%s\" [%s]\r\n", Ansi(url).c_str(),
                      BlockPage::BlockReasonName(reason));
    }
    std::string page;  // none: the connection just ends
    const BlockPage::PageStrings strings =
        BlockPage::StringsForReason(reason, categoryMode, userMask.c_str(), static_cast<UINT>(categoryNameId));
    if (strings.supported) {
        std::wstring user;
        {
            IFilterSession* const session = Session();
            Tessal::CAutoLock locked(session->GetLock());
            if (const CUserSettings* settings = session->GetSettings()) user = settings->m_strUserName.GetString();
        }
        CNuvResLoader loader;
        const bool loaded = loader.Init() != FALSE;
        if (!BlockPage::BuildBlockPage(loaded ? &loader : nullptr, strings, user, url, page)) page.clear();
        IActivityLogManager* const log = m_module.GetLogManager();
        if (log != nullptr && (reason == BlockPage::kOnBlockedUrlList || reason == BlockPage::kUrlCategories)) {
            std::wstring recorded = url;
            NormalizeUrl(recorded);
            const DWORD value = reason == BlockPage::kOnBlockedUrlList ? 2 : (categoryMode != 0 ? 1 : 0);
            const std::string data = reason == BlockPage::kOnBlockedUrlList ? std::string() : Ansi(matchedMask);
            const DWORD result = log->WebSiteBlocked(m_sessionId, value, recorded.c_str(), data.c_str());
            if (result != 0) {
                NUV_LOG(ETWLogging::LOG_ERROR, L"Unable to log web site blocked event for session ID %d, dwRet=%d\r\n",
                        static_cast<int>(m_sessionId), static_cast<int>(result));
            }
        }
    } else {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Internal error! Unsupported block reason: %d", static_cast<int>(reason));
    }
    if (inbound) {
        // The page takes the response's place, after what was released of the earlier ones.
        CInboundHttpResponseScan::CState* const state = ResponseScan();
        const DWORD start = state != nullptr ? static_cast<DWORD>(state->ResponseStart()) : 0;
        m_inbound->FailFrom(start, reinterpret_cast<const BYTE*>(page.data()), static_cast<DWORD>(page.size()));
    } else {
        AnswerInPlace(page);
    }
    IFilterSession* const session = Session();
    session->PutEventWork(CAccessDeniedEvent::CreateWork(m_processId, static_cast<DWORD>(reason), CSafeStringA(Ansi(url).c_str())));
}

void CHttpEventHandler::ServeSafePageImage(const std::wstring& type, int number) {
    NUV_LOG(ETWLogging::LOG_NORMAL, L"Serving safe page image %d", number);
    CNuvResLoader loader;
    if (!loader.Init()) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Unable to init resource loader");
        return;
    }
    std::string response;
    if (!BlockPage::BuildSafePageImage(loader, type, number, response)) response.clear();
    // The image request never reaches the server.
    AnswerInPlace(response);
}

void CHttpEventHandler::OnOutboundSearch(const SafeSearchEdit& edit, COutboundSearchScan::CState& search) {
    NUV_LOG(ETWLogging::LOG_NORMAL, L"Search found\r\n");
    Tessal::CAutoLock lock(m_outbound->GetLock());
    ApplySafeSearchEdit(*m_outbound, search, edit);
}

void CHttpEventHandler::EnableEmbeddedUrlScan() {
    if (CInboundHttpResponseScan::CState* const state = ResponseScan()) {
        state->EnableEmbeddedUrlScan();
    }
}

void CHttpEventHandler::OnOutboundRequestRecorded(const CSafeStringA& method, const CSafeStringA& url,
                                                  const CSafeStringA& host) {
    RequestRecord record;
    record.url = url;
    record.method = method;
    record.host = host;
    record.pending = m_nextPending;
    m_nextPending = PendingBlock();
    m_requests.push_back(std::move(record));
    if (m_module.IsLogUrlRequestsEnabled()) Session()->PutEventWork(CUrlVisitedEvent::CreateWork(m_processId, url));
}

void CHttpEventHandler::GetRequestForResponse(CSafeStringA& url, CSafeStringA& method, CSafeStringA& host, bool& none) {
    if (m_requests.empty()) {
        url.Assign("");
        host.Assign("");
        method.Assign("GET");
        none = true;
        if (m_dump) m_dump->Print("Ignoring response with no corresponding request\r\n");
        return;
    }
    const RequestRecord& oldest = m_requests.front();
    url = oldest.url;
    method = oldest.method;
    host = oldest.host;
    none = false;
}

void CHttpEventHandler::OnInboundResponseDone(bool final) {
    if (final && !m_requests.empty()) m_requests.pop_front();
    if (m_requests.empty() && !m_answerAfterResponses.empty()) {
        InjectInboundOrdered(m_answerAfterResponses);
        m_answerAfterResponses.clear();
        // The blocked request's packets fail after the answer: the host then closes.
        m_outbound->ReleaseParkedSoon();
    }
}

void CHttpEventHandler::OnInboundFramingLost(DWORD passed) {
    // No later response can be paired: the answer still owed goes out, then the connection ends.
    m_requests.clear();
    std::string answer;
    answer.swap(m_answerAfterResponses);
    m_inbound->FailFrom(passed, reinterpret_cast<const BYTE*>(answer.data()), static_cast<DWORD>(answer.size()));
    if (!answer.empty()) m_outbound->ReleaseParkedSoon();
}

void CHttpEventHandler::OnInboundEmbeddedUrl(const char* host, DWORD length, const CSafeStringA& requestHost) {
    IFilterSession* const session = Session();
    Tessal::CAutoLock locked(session->GetLock());
    CSafeStringA domain;
    domain.Assign(host, static_cast<int>(length));
    session->AddToTempAllowedDomainList(domain, requestHost);
}
