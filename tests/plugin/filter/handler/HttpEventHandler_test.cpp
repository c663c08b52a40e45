// The connection handler in process: packets of a recording host connection through the real
// buffers, scans, site lists and sessions (configuration stand-in), a fixed URL classifier, the
// scan work run by the test as the scan thread runs it.
#include "plugin/filter/HttpEventHandler.h"

#include "plugin/core/AccessDeniedEvent.h"
#include "plugin/filter/UrlClassification.h"
#include "plugin/filter/WebFilter.h"
#include "tests/plugin/core/SessionTestDoubles.h"
#include "tests/support/MachineKeyGuard.h"
#include "tests/support/ScopedReplacement.h"
#include "tests/support/ScratchFolder.h"
#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <optional>
#include <map>
#include <string>
#include <vector>

namespace {

using NuvTest::SessionFixture;
constexpr DWORD kSessionId = 3;

// The host's connection: every verdict and injected byte, in order.
class RecordingConnection : public IQvProxyConnection {
public:
    STDMETHODIMP QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_references; }
    STDMETHODIMP_(ULONG) Release() override { return --m_references; }
    STDMETHODIMP CompleteInbound(IQvProxyModuleEventHandler*, BYTE* packet, DWORD verdict) override {
        return Record(true, packet, verdict);
    }
    STDMETHODIMP InjectInbound(DWORD size, const BYTE* bytes) override { return Inject(true, bytes, size); }
    STDMETHODIMP CompleteOutbound(IQvProxyModuleEventHandler*, BYTE* packet, DWORD verdict) override {
        return Record(false, packet, verdict);
    }
    STDMETHODIMP InjectOutbound(DWORD size, const BYTE* bytes) override { return Inject(false, bytes, size); }

    BYTE* Packet(const std::string& bytes) {
        m_packets.push_back(std::make_unique<std::string>(bytes + '\0'));
        return reinterpret_cast<BYTE*>(&(*m_packets.back())[0]);
    }
    // What went on towards the client (inbound) or the server: packets passed OK and injected bytes.
    std::string Delivered(bool inbound) {
        Tessal::CAutoLock lock(m_lock);
        return inbound ? m_toClient : m_toServer;
    }
    std::vector<std::string> Verdicts() {
        Tessal::CAutoLock lock(m_lock);
        return m_verdicts;
    }
    LONG References() const { return m_references; }
    void Clear() {
        Tessal::CAutoLock lock(m_lock);
        m_toClient.clear();
        m_toServer.clear();
        m_verdicts.clear();
    }

private:
    HRESULT Record(bool inbound, BYTE* packet, DWORD verdict) {
        Tessal::CAutoLock lock(m_lock);
        const std::string bytes(reinterpret_cast<const char*>(packet));
        m_verdicts.push_back((inbound ? "in " : "out ") + std::to_string(verdict));
        if (verdict == kVerdictOk) (inbound ? m_toClient : m_toServer) += bytes;
        return S_OK;
    }
    HRESULT Inject(bool inbound, const BYTE* bytes, DWORD size) {
        Tessal::CAutoLock lock(m_lock);
        (inbound ? m_toClient : m_toServer) += std::string(reinterpret_cast<const char*>(bytes), size);
        m_verdicts.push_back(inbound ? "inject in" : "inject out");
        return S_OK;
    }

    Tessal::CCriticalSection m_lock;
    std::atomic<LONG> m_references{0};
    std::vector<std::unique_ptr<std::string>> m_packets;
    std::string m_toClient, m_toServer;
    std::vector<std::string> m_verdicts;
};

// The activity-log manager as the handler sees it: what it was given.
class RecordingActivityLog : public IActivityLogManager {
public:
    DWORD Logon(const wchar_t*, DWORD) override { return 0; }
    DWORD Logoff(const wchar_t*, DWORD) override { return 0; }
    DWORD SystemSleep() override { return 0; }
    DWORD SystemWakeup() override { return 0; }
    DWORD WebSiteBlocked(DWORD sessionId, DWORD value, const wchar_t* url, const char* data) override {
        records.push_back(std::to_wstring(sessionId) + L" " + std::to_wstring(value) + L" " + url + L" " +
                          std::wstring(data, data + std::strlen(data)));
        return 0;
    }
    DWORD AccessAttemptBlocked(DWORD, const wchar_t*) override { return 0; }
    std::vector<std::wstring> records;
};

// A URL classifier that knows one host.
class FixedClassifier : public IUrlClassifier {
public:
    int Classify(const wchar_t* url, char* result, DWORD* size, const wchar_t*) override {
        const char* mask = std::wcsncmp(url, L"adult.test", 10) == 0 ? "00000000040000000000000000000000"
                                                                       : "00000000000000000000000000000000";
        std::strcpy(result, mask);
        *size = 32;
        return 1;
    }
};

class HandlerTest : public SessionFixture, public IHandlerModule, public IScanWorkSink {
public:
    // IHandlerModule, over the fixture's module and session manager.
    IFilterSession* GetFilterSession(DWORD sessionId) override { return m_module.GetSession(sessionId); }
    Tessal::CCriticalSection* GetSessionLock() override { return m_module.GetSessionLock(); }
    bool IsUserTimeBlocked(const wchar_t*) override { return timeBlocked; }
    bool IsDumpEnabled() const noexcept override { return dump; }
    bool IsLogUrlRequestsEnabled() const noexcept override { return false; }
    IActivityLogManager* GetLogManager() override { return &m_activity; }
    bool GetSessionUserSid(DWORD, std::wstring& sid) override {
        sid = m_sid;
        return !sid.empty();
    }
    // IScanWorkSink: queued as the module queues; Pump runs it as the scan thread does.
    void PutScanWork(CScanBuffer* buffer) override {
        if (buffer == nullptr) return;
        if (queueFails) throw std::bad_alloc();
        m_filter.OnScanWorkQueued(buffer);
        m_queue.push_back(buffer);
    }

    void SetUp() override {
        SessionFixture::SetUp();
        CreateScanAlgorithms();
        m_installed.emplace(SetUrlClassifier, &m_classifier);
    }
    void TearDown() override {
        Pump();
        if (m_handler != nullptr) m_handler->Release();
        m_handler = nullptr;
        m_installed.reset();
        DestroyScanAlgorithms();
        SessionFixture::TearDown();
    }

    void Pump() {
        while (!m_queue.empty()) {
            CScanBuffer* const buffer = m_queue.front();
            m_queue.pop_front();
            m_filter.OnScanWorkTaken(buffer);
            m_filter.ScanWork(buffer);
            m_filter.ReleaseScanWork(buffer);
        }
    }

    CHttpEventHandler& Begin() {
        m_handler = new CHttpEventHandler(*this, this, nullptr, kSessionId, 77);
        m_handler->AddRef();
        EXPECT_EQ(S_OK, m_handler->OnBegin(0, 0, 0, 77, kSessionId, 0, &m_connection));
        return *m_handler;
    }
    DWORD Send(const std::string& bytes, bool inbound) {
        DWORD verdict = 99;
        BYTE* const packet = m_connection.Packet(bytes);
        if (inbound) {
            m_handler->OnInboundData(static_cast<DWORD>(bytes.size()), packet, &verdict);
        } else {
            m_handler->OnOutboundData(static_cast<DWORD>(bytes.size()), packet, &verdict);
        }
        Pump();
        return verdict;
    }
    void SignIn() {
        SignInAtService(kSessionId, NuvTest::kAlice);
        Manager().FindOrCreateSession(kSessionId);
    }

    bool timeBlocked = false;
    bool dump = false;
    bool queueFails = false;
    std::wstring m_sid;
    RecordingConnection m_connection;
    RecordingActivityLog m_activity;
    FixedClassifier m_classifier;
    std::optional<NuvTest::ScopedReplacement<IUrlClassifier*>> m_installed;
    CWebFilter m_filter;
    std::deque<CScanBuffer*> m_queue;
    CHttpEventHandler* m_handler = nullptr;
};

const std::string kAllowedRequest = "GET /page.html HTTP/1.1\r\nHost: allowed.test\r\n\r\n";
const std::string kResponse = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 5\r\n\r\nhello";

// The block page's body after checking its header block and that Content-Length is its length.
std::string BlockPageBody(const std::string& delivered) {
    const std::size_t end = delivered.find("\r\n\r\n");
    if (delivered.rfind("HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: text/html; charset=UTF-8\r\nContent-Length: ", 0) != 0 ||
        end == std::string::npos) {
        return "<no block page: " + delivered + ">";
    }
    const std::size_t lengthAt = delivered.find("Content-Length: ") + 16;
    const std::size_t length = std::stoul(delivered.substr(lengthAt));
    const std::string body = delivered.substr(end + 4);
    return body.size() == length ? body : "<length " + std::to_string(length) + " for " + std::to_string(body.size()) + ">";
}

TEST_F(HandlerTest, AnAllowedExchangePassesByteForByte) {
    SignIn();
    Begin();
    EXPECT_EQ(static_cast<DWORD>(kVerdictDefer), Send(kAllowedRequest, false));
    EXPECT_EQ(kAllowedRequest, m_connection.Delivered(false));
    EXPECT_EQ(static_cast<DWORD>(kVerdictDefer), Send(kResponse, true));
    EXPECT_EQ(kResponse, m_connection.Delivered(true));
    EXPECT_TRUE(m_activity.records.empty());
}

TEST_F(HandlerTest, ASiteOnTheBlockedListGetsTheBlockPageAndNeverReachesTheServer) {
    SetUserSetting(NuvTest::kAlice, CUserSettings::kBlockedSites, NuvCom::CVariant(L"blocked.test"));
    std::vector<std::string> denied;  // the access-denied records the event handlers get
    m_onProcess = [&denied](DWORD, CEventWork& work) {
        if (work.EventId() != kEventAccessDenied) return;
        const auto* record = static_cast<const CAccessDeniedEvent::CParameters*>(work.Parameters());
        denied.push_back(std::to_string(record->m_processId) + " " + std::to_string(record->m_reason) + " " +
                         record->m_url.m_pBuffer);
    };
    SignIn();
    Begin();
    // An allowed request first, then the blocked one behind it on the same connection.
    Send(kAllowedRequest, false);
    Send(kResponse, true);
    Send("GET /x HTTP/1.1\r\nHost: blocked.test\r\n\r\n", false);
    EXPECT_EQ(kAllowedRequest, m_connection.Delivered(false)) << "the blocked request stays here";
    const std::string toClient = m_connection.Delivered(true);
    ASSERT_EQ(0u, toClient.rfind(kResponse, 0));
    const std::string body = BlockPageBody(toClient.substr(kResponse.size()));
    EXPECT_NE(std::string::npos, body.find("</html>")) << body;
    EXPECT_EQ(std::vector<std::wstring>{L"3 2 blocked.test "}, m_activity.records);
    // The client's next bytes go nowhere: the block page closes the connection.
    Send("GET /y HTTP/1.1\r\nHost: allowed.test\r\n\r\n", false);
    EXPECT_EQ(kAllowedRequest, m_connection.Delivered(false));
    EndManager();  // every event of the session has been processed
    m_onProcess = nullptr;
    EXPECT_EQ(std::vector<std::string>{"77 3 blocked.test"}, denied);
}

// Pipelined: an allowed request and a blocked one in the same packet. The allowed one still
// reaches the server; the block page answers the blocked one after the allowed one's response.
TEST_F(HandlerTest, ABlockedRequestPipelinedBehindAnAllowedOneInOnePacket) {
    SetUserSetting(NuvTest::kAlice, CUserSettings::kBlockedSites, NuvCom::CVariant(L"blocked.test"));
    SignIn();
    Begin();
    Send(kAllowedRequest + "GET /x HTTP/1.1\r\nHost: blocked.test\r\n\r\n", false);
    EXPECT_EQ(kAllowedRequest, m_connection.Delivered(false)) << "the packet's passed part, in its place";
    EXPECT_EQ("", m_connection.Delivered(true)) << "the allowed request's response comes first";
    Send(kResponse.substr(0, kResponse.size() - 2), true);
    EXPECT_EQ(0u, kResponse.rfind(m_connection.Delivered(true), 0)) << "nothing but the response so far";
    Send(kResponse.substr(kResponse.size() - 2), true);
    const std::string toClient = m_connection.Delivered(true);
    ASSERT_EQ(0u, toClient.rfind(kResponse, 0)) << toClient;
    EXPECT_NE(std::string::npos, BlockPageBody(toClient.substr(kResponse.size())).find("</html>"));
    EXPECT_EQ(std::vector<std::wstring>{L"3 2 blocked.test "}, m_activity.records);
}

TEST_F(HandlerTest, ABlockedCategoryIsBlocked) {
    SetUserSetting(NuvTest::kAlice, CUserSettings::kCategoryMask, NuvCom::CVariant(L"00000000040000000000000000000000"));
    SignIn();
    Begin();
    Send("GET /index.html HTTP/1.1\r\nHost: adult.test\r\n\r\n", false);
    EXPECT_EQ("", m_connection.Delivered(false));
    EXPECT_NE(std::string::npos, BlockPageBody(m_connection.Delivered(true)).find("</html>"));
    ASSERT_EQ(1u, m_activity.records.size());
    EXPECT_EQ(L"3 0 adult.test/index.html 00000000040000000000000000000000", m_activity.records[0]);
}

TEST_F(HandlerTest, AResponseOfABlockedCategoryIsBlockedByItsContentTypeAndOnlyThatResponse) {
    SetUserSetting(NuvTest::kAlice, CUserSettings::kCategoryMask, NuvCom::CVariant(L"00000000040000000000000000000000"));
    SignIn();
    Begin();
    // A URL that says nothing of its kind: its response decides.
    const std::string request = "GET /watch HTTP/1.1\r\nHost: adult.test\r\n\r\n";
    Send(request, false);
    EXPECT_EQ(request, m_connection.Delivered(false));
    Send(kResponse, true);
    EXPECT_NE(std::string::npos, BlockPageBody(m_connection.Delivered(true)).find("</html>"));
    EXPECT_EQ(1u, m_activity.records.size());
}

// The pending block belongs to its request: a later allowed page on the connection passes.
TEST_F(HandlerTest, APendingBlockEndsWithItsResponse) {
    SetUserSetting(NuvTest::kAlice, CUserSettings::kCategoryMask, NuvCom::CVariant(L"00000000040000000000000000000000"));
    SignIn();
    Begin();
    const std::string request = "GET /api HTTP/1.1\r\nHost: adult.test\r\n\r\n";
    const std::string json = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 2\r\n\r\n{}";
    Send(request, false);
    Send(json, true);
    EXPECT_EQ(json, m_connection.Delivered(true)) << "no page or image: not blocked";
    Send(kAllowedRequest, false);
    Send(kResponse, true);
    EXPECT_EQ(request + kAllowedRequest, m_connection.Delivered(false));
    EXPECT_EQ(json + kResponse, m_connection.Delivered(true));
    EXPECT_TRUE(m_activity.records.empty());
}

TEST_F(HandlerTest, ATimeBlockedUsersPacketsFail) {
    SignIn();
    timeBlocked = true;
    Begin();
    EXPECT_EQ(static_cast<DWORD>(kVerdictDefer), Send(kAllowedRequest, false));
    EXPECT_EQ(std::vector<std::string>{"out 1"}, m_connection.Verdicts());
}

TEST_F(HandlerTest, WithoutASignedInUserTheConnectionIsHeldUntilSignIn) {
    Begin();
    EXPECT_TRUE(m_handler->IsHeld());
    EXPECT_EQ(static_cast<DWORD>(kVerdictDefer), Send(kAllowedRequest, false));
    EXPECT_EQ("", m_connection.Delivered(false));
    CSession* const session = Manager().FindOrCreateSession(kSessionId);
    session->Logon(CSafeStringW(NuvTest::kAlice));
    Pump();
    EXPECT_EQ(kAllowedRequest, m_connection.Delivered(false));
}

TEST_F(HandlerTest, IgnoreLetsAHeldConnectionThrough) {
    Begin();
    Send(kAllowedRequest, false);
    CSession* const session = Manager().FindOrCreateSession(kSessionId);
    {
        Tessal::CAutoLock locked(session->GetLock());
        session->ignoreAllPausedHandlers();
    }
    EXPECT_TRUE(NuvTest::WaitUntil([&] { return m_connection.Delivered(false) == kAllowedRequest; }));
    EXPECT_EQ(static_cast<DWORD>(kVerdictOk), Send("GET /more HTTP/1.1\r\nHost: any.test\r\n\r\n", false));
}

TEST_F(HandlerTest, TheLocalSystemsConnectionsPassAtOnce) {
    m_sid = L"S-1-5-18";
    Begin();
    EXPECT_TRUE(m_handler->IsBypassed());
    EXPECT_EQ(static_cast<DWORD>(kVerdictOk), Send(kAllowedRequest, false));
    EXPECT_TRUE(m_connection.Verdicts().empty());
}

TEST_F(HandlerTest, UnderTheDumpSwitchTheConnectionIsRecorded) {
    NuvTest::ScratchFolder install(L"HandlerDump");
    NuvTest::MachineKeyGuard guard;
    ASSERT_TRUE(guard.SetString(L"SOFTWARE\\Oberix\\NUV", L"Install Dir", install.Path()));
    dump = true;
    SignIn();
    Begin();
    Send(kAllowedRequest, false);
    Send(kResponse, true);
    m_handler->OnEnd();
    m_handler->Release();
    m_handler = nullptr;
    // One day folder with the five files of this connection.
    WIN32_FIND_DATAW day;
    HANDLE found = ::FindFirstFileW((install.Path() + L"\\Dump\\*-*-*").c_str(), &day);
    ASSERT_NE(INVALID_HANDLE_VALUE, found);
    ::FindClose(found);
    const std::wstring folder = install.Path() + L"\\Dump\\" + day.cFileName;
    std::map<std::wstring, std::string> files;
    WIN32_FIND_DATAW file;
    found = ::FindFirstFileW((folder + L"\\*.log").c_str(), &file);
    ASSERT_NE(INVALID_HANDLE_VALUE, found);
    do {
        const std::wstring name = file.cFileName;
        HANDLE opened = ::CreateFileW((folder + L"\\" + name).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
        std::string text(::GetFileSize(opened, nullptr), '\0');
        DWORD read = 0;
        if (!text.empty()) ::ReadFile(opened, &text[0], static_cast<DWORD>(text.size()), &read, nullptr);
        ::CloseHandle(opened);
        files[name.substr(name.find(L".1401450.") + 9)] = text;
    } while (::FindNextFileW(found, &file));
    ::FindClose(found);
    ASSERT_EQ(5u, files.size());
    EXPECT_EQ(kAllowedRequest, files[L"saOutHttpRequest.in.log"]);
    EXPECT_EQ(kAllowedRequest, files[L"saOutHttpRequest.out.log"]);
    EXPECT_EQ(kResponse, files[L"saInHttpResponse.in.log"]);
    EXPECT_EQ(kResponse, files[L"saInHttpResponse.out.log"]);
    const std::string& summary = files[L"Summary.log"];
    for (const char* line : {" - User: Alice [", " - OnBegin (Session 3, Process 77)\r\n", " - IN  Request  0x",
                             " - OUT Request  0x", " - OnEnd\r\n", " - Destroying Handler\r\n"}) {
        EXPECT_NE(std::string::npos, summary.find(line)) << line << " in\n" << summary;
    }
}

// The verdicts and injections after the first injected answer: the answer leaves, then the host is
// told to end the connection (FAIL), and nothing is released in between.
std::vector<std::string> FromAnswer(const std::vector<std::string>& verdicts) {
    const auto at = std::find(verdicts.begin(), verdicts.end(), "inject in");
    return std::vector<std::string>(at, verdicts.end());
}

TEST_F(HandlerTest, TheBlockPageLeavesThenTheConnectionEnds) {
    SetUserSetting(NuvTest::kAlice, CUserSettings::kBlockedSites, NuvCom::CVariant(L"blocked.test"));
    SignIn();
    Begin();
    Send("GET /x HTTP/1.1\r\nHost: blocked.test\r\n\r\n", false);
    EXPECT_EQ((std::vector<std::string>{"inject in", "out 1"}), m_connection.Verdicts());
    // What the client sends behind it goes nowhere.
    Send(kAllowedRequest, false);
    EXPECT_EQ("", m_connection.Delivered(false));
}

// Pipelined: the blocked request's packet waits with the block page for the earlier response.
TEST_F(HandlerTest, APipelinedBlockEndsTheConnectionOnlyAfterTheEarlierResponseAndThePage) {
    SetUserSetting(NuvTest::kAlice, CUserSettings::kBlockedSites, NuvCom::CVariant(L"blocked.test"));
    SignIn();
    Begin();
    Send(kAllowedRequest + "GET /x HTTP/1.1\r\nHost: blocked.test\r\n\r\n", false);
    const std::vector<std::string> before = m_connection.Verdicts();
    EXPECT_EQ(before.end(), std::find(before.begin(), before.end(), "out 1")) << "not before the page";
    Send(kResponse, true);
    EXPECT_EQ((std::vector<std::string>{"inject in", "out 1"}), FromAnswer(m_connection.Verdicts()));
    EXPECT_EQ(0u, m_connection.Delivered(true).rfind(kResponse, 0));
}

// A response blocked by its content type arrives in the packet holding the end of the response
// before it: that end still reaches the client, then the page, then the connection ends.
TEST_F(HandlerTest, AnInboundBlockKeepsTheEarlierResponseWhole) {
    SetUserSetting(NuvTest::kAlice, CUserSettings::kCategoryMask, NuvCom::CVariant(L"00000000040000000000000000000000"));
    SignIn();
    Begin();
    const std::string requests = kAllowedRequest + "GET /watch HTTP/1.1\r\nHost: adult.test\r\n\r\n";
    Send(requests, false);
    EXPECT_EQ(requests, m_connection.Delivered(false));
    Send(kResponse.substr(0, 10), true);
    Send(kResponse.substr(10) + kResponse, true);
    const std::string toClient = m_connection.Delivered(true);
    ASSERT_EQ(0u, toClient.rfind(kResponse, 0)) << toClient;
    EXPECT_NE(std::string::npos, BlockPageBody(toClient.substr(kResponse.size())).find("</html>"));
    const std::vector<std::string> verdicts = m_connection.Verdicts();
    EXPECT_EQ("in 1", verdicts.back());
}

// The earlier response's framing is lost while a block page waits for it: the page still goes
// out, then the connection ends; the blocked request never reaches the server.
TEST_F(HandlerTest, LostResponseFramingSendsTheWaitingPageAndEndsTheConnection) {
    SetUserSetting(NuvTest::kAlice, CUserSettings::kBlockedSites, NuvCom::CVariant(L"blocked.test"));
    SignIn();
    Begin();
    Send(kAllowedRequest + "GET /x HTTP/1.1\r\nHost: blocked.test\r\n\r\n", false);
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nTransfer-Encoding: chunked\r\n\r\n";
    Send(head + "5\r\nhello\r\n", true);
    Send("zz\r\nmore\r\n", true);
    const std::string toClient = m_connection.Delivered(true);
    ASSERT_EQ(0u, toClient.rfind(head + "5\r\nhello\r\n", 0)) << toClient;
    EXPECT_NE(std::string::npos, BlockPageBody(toClient.substr(head.size() + 10)).find("</html>"));
    EXPECT_EQ(kAllowedRequest, m_connection.Delivered(false));
    const std::vector<std::string> verdicts = m_connection.Verdicts();
    EXPECT_NE(verdicts.end(), std::find(verdicts.begin(), verdicts.end(), "in 1"));
    EXPECT_NE(verdicts.end(), std::find(verdicts.begin(), verdicts.end(), "out 1"));
}

// Signed out while the connection is open: the request waits for the next sign-in, as a
// connection begun before one does, instead of staying unanswered for good.
TEST_F(HandlerTest, ARequestWithNobodySignedInWaitsForTheNextSignIn) {
    SignIn();
    Begin();
    CSession* const session = Manager().FindOrCreateSession(kSessionId);
    {
        Tessal::CAutoLock locked(session->GetLock());
        session->Logoff();
    }
    Send(kAllowedRequest, false);
    EXPECT_EQ("", m_connection.Delivered(false));
    EXPECT_TRUE(m_handler->IsHeld());
    session->Logon(CSafeStringW(NuvTest::kAlice));
    Pump();
    EXPECT_EQ(kAllowedRequest, m_connection.Delivered(false));
}

// A request that names no host, or a host the lists cannot be matched with, is refused for a
// protected user: the server would still pick a site.
TEST_F(HandlerTest, ARequestWhoseSiteCannotBeJudgedIsRefused) {
    const char* const requests[] = {
        "GET /page.html HTTP/1.0\r\nAccept: */*\r\n\r\n",
        "GET /page.html HTTP/1.1\r\nHost: bl%00ocked.test\r\n\r\n",
        "GET http://user@blocked.test:x/ HTTP/1.1\r\nHost: allowed.test\r\n\r\n",
    };
    SignIn();
    for (const char* request : requests) {
        Begin();
        Send(request, false);
        EXPECT_EQ("", m_connection.Delivered(false)) << request;
        EXPECT_EQ(std::vector<std::string>{"out 1"}, m_connection.Verdicts()) << request;
        m_handler->Release();
        m_handler = nullptr;
        m_connection.Clear();
    }
}

// A host of any length is taken apart: a long one under a blocked domain is blocked.
TEST_F(HandlerTest, ALongHostUnderABlockedDomainIsBlocked) {
    SetUserSetting(NuvTest::kAlice, CUserSettings::kBlockedSites, NuvCom::CVariant(L"blocked.test"));
    SignIn();
    Begin();
    const std::string host = std::string(290, 'a') + ".blocked.test";
    Send("GET /x HTTP/1.1\r\nHost: " + host + "\r\n\r\n", false);
    EXPECT_EQ("", m_connection.Delivered(false));
    EXPECT_NE(std::string::npos, BlockPageBody(m_connection.Delivered(true)).find("</html>"));
}

// The image exemption of a temporarily allowed host: an absolute target naming another host must
// pass it too.
TEST_F(HandlerTest, TheImageExemptionChecksTheTargetsHostToo) {
    SetUserSetting(NuvTest::kAlice, CUserSettings::kCategoryMask, NuvCom::CVariant(L"00000000040000000000000000000000"));
    SignIn();
    Begin();
    CSession* const session = Manager().FindOrCreateSession(kSessionId);
    {
        Tessal::CAutoLock locked(session->GetLock());
        session->AddToTempAllowedDomainList(CSafeStringA("allowed.test"), CSafeStringA("origin.test"));
    }
    Send("GET http://adult.test/x.jpg HTTP/1.1\r\nHost: allowed.test\r\n\r\n", false);
    EXPECT_EQ("", m_connection.Delivered(false));
    EXPECT_EQ(1u, m_activity.records.size());
}

TEST_F(HandlerTest, NoExceptionLeavesOnEnd) {
    SignIn();
    Begin();
    queueFails = true;
    const std::string partial = "GET /page.html HTTP/1.1\r\nHost: allowed.test\r\n";
    try {
        Send(partial, false);
    } catch (const std::bad_alloc&) {
    }
    EXPECT_EQ(S_OK, m_handler->OnEnd());
    queueFails = false;
}

TEST_F(HandlerTest, ANullConnectionIsRefused) {
    CHttpEventHandler* handler = new CHttpEventHandler(*this, this, nullptr, kSessionId, 77);
    handler->AddRef();
    EXPECT_EQ(E_POINTER, handler->OnBegin(0, 0, 0, 77, kSessionId, 0, nullptr));
    IUnknown* other = nullptr;
    EXPECT_EQ(E_NOINTERFACE, handler->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&other)));
    EXPECT_EQ(nullptr, other);
    handler->Release();
}

}  // namespace
