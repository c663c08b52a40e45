// Real sockets through the forwarding host, with a scripted handler in the plug-in's place: what
// the client and the server get when the handler fails a connection (at once or late, after an
// injection), the CONNECT flow through the handler (the request, the host's answer as inbound
// data, then the tunnel's bytes both ways), and what hostile or idle clients cost the host: memory
// per one-byte packet, upstream connections, idle connections kept open.

#include "tests/suite/proxyhost/CountingNew.h"
#include "suite/proxyhost/PacketQueue.h"
#include "suite/proxyhost/ProxyServer.h"
#include "base/UniqueHandle.h"
#include "tests/support/UniqueSocket.h"
#include "tests/support/WinsockSession.h"

#include <gtest/gtest.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Microsoft::WRL::ComPtr;
using NuvTest::UniqueSocket;
using namespace QvProxyStandIn;

constexpr DWORD kWaitMs = 10000;
constexpr char kTunnelOpen[] = "HTTP/1.1 200 Connection established\r\n\r\n";

// ---- Sockets with bounded waits -----------------------------------------------------------------

enum class End { Open, Eof, Reset, Error };

struct Received {
    std::string bytes;
    End end = End::Open;
};

bool Readable(SOCKET socket, DWORD timeoutMs) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket, &readable);
    timeval wait{static_cast<long>(timeoutMs / 1000), static_cast<long>(timeoutMs % 1000) * 1000};
    return ::select(0, &readable, nullptr, nullptr, &wait) == 1;
}

// Reads until `count` bytes came, the peer ended, or the wait ran out (then `end` is Open).
Received Read(SOCKET socket, size_t count = SIZE_MAX) {
    Received received;
    const ULONGLONG deadline = ::GetTickCount64() + kWaitMs;
    while (received.bytes.size() < count) {
        const ULONGLONG now = ::GetTickCount64();
        if (now >= deadline || !Readable(socket, static_cast<DWORD>(deadline - now))) break;
        char buffer[4096];
        const int wanted = static_cast<int>(std::min<size_t>(sizeof buffer, count - received.bytes.size()));
        int got = ::recv(socket, buffer, wanted, 0);
        if (got > 0) {
            received.bytes.append(buffer, static_cast<size_t>(got));
            continue;
        }
        if (got == 0) {
            // Wine gives a Wine socket a reset as the end (Windows fails the recv); a byte sent
            // then fails only after a reset, and a peer that merely ended its side drops it.
            got = ::send(socket, "?", 1, 0);
        }
        received.end = got >= 0 ? End::Eof : ::WSAGetLastError() == WSAECONNRESET ? End::Reset : End::Error;
        break;
    }
    return received;
}

std::string ReadText(SOCKET socket, size_t count) { return Read(socket, count).bytes; }

void Send(SOCKET socket, const std::string& bytes) {
    ASSERT_EQ(static_cast<int>(bytes.size()), ::send(socket, bytes.data(), static_cast<int>(bytes.size()), 0));
}

sockaddr_in Loopback(unsigned short port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

UniqueSocket ConnectTo(unsigned short port) {
    UniqueSocket client(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    const sockaddr_in address = Loopback(port);
    if (::connect(client.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) client.Reset();
    return client;
}

unsigned short BoundPort(SOCKET socket) {
    sockaddr_in address{};
    int length = sizeof address;
    ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// The server side: a listener whose connections the test accepts and drives by hand.
class Origin {
public:
    Origin() : m_listener(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)) {
        const sockaddr_in address = Loopback(0);
        if (::bind(m_listener.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
            ::listen(m_listener.Get(), SOMAXCONN) == 0) {
            m_port = BoundPort(m_listener.Get());
        }
    }
    unsigned short Port() const { return m_port; }
    std::string Authority() const { return "127.0.0.1:" + std::to_string(m_port); }
    // The next connection the host opens; invalid when none comes in time.
    UniqueSocket Accept(DWORD timeoutMs = kWaitMs) {
        if (!Readable(m_listener.Get(), timeoutMs)) return UniqueSocket();
        return UniqueSocket(::accept(m_listener.Get(), nullptr, nullptr));
    }
    // How many connections wait to be accepted (taken and closed).
    size_t AcceptAll() {
        size_t count = 0;
        while (Accept(0)) ++count;
        return count;
    }

private:
    UniqueSocket m_listener;
    unsigned short m_port = 0;
};

// ---- The plug-in's handler ----------------------------------------------------------------------

// Records what the host hands it and answers as its script says; like the plug-in, it holds the
// connection from OnBegin until told to let it go.
class ScriptedHandler final : public IQvProxyModuleEventHandler {
public:
    struct Packet {
        std::string bytes;
        BYTE* data;
    };
    struct Answer {
        Answer(DWORD verdict, HRESULT result = S_OK) : verdict(verdict), result(result) {}  // NOLINT: a verdict alone
        DWORD verdict;
        HRESULT result;
    };
    // Called with the packet's index in its direction; may inject through Connection() first.
    using Script = std::function<Answer(ScriptedHandler& handler, size_t index)>;

    ScriptedHandler(Script outbound, Script inbound) : m_outbound(std::move(outbound)), m_inbound(std::move(inbound)) {}

    IQvProxyConnection* Connection() const { return m_connection.Get(); }
    void Disconnect() { m_connection.Reset(); }

    std::vector<Packet> Packets(bool inbound) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return inbound ? m_in : m_out;
    }
    std::string Joined(bool inbound) const {
        std::string joined;
        for (const Packet& packet : Packets(inbound)) joined += packet.bytes;
        return joined;
    }
    int Ends() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_ends;
    }
    // Until `count` packets came in that direction; false when the wait ran out.
    bool WaitForPackets(bool inbound, size_t count) const {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(kWaitMs),
                                  [&] { return (inbound ? m_in : m_out).size() >= count; });
    }
    bool WaitForEnd() const {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] { return m_ends > 0; });
    }

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        if (::IsEqualIID(iid, __uuidof(IUnknown)) || ::IsEqualIID(iid, __uuidof(IQvProxyModuleEventHandler))) {
            *out = static_cast<IQvProxyModuleEventHandler*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(::InterlockedIncrement(&m_references)); }
    STDMETHODIMP_(ULONG) Release() override {
        const LONG left = ::InterlockedDecrement(&m_references);
        if (left == 0) delete this;
        return static_cast<ULONG>(left);
    }
    STDMETHODIMP OnBegin(DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, IQvProxyConnection* connection) override {
        m_connection = connection;
        return S_OK;
    }
    STDMETHODIMP OnInboundData(DWORD size, BYTE* data, DWORD* verdict) override {
        return Take(true, size, data, verdict);
    }
    STDMETHODIMP OnOutboundData(DWORD size, BYTE* data, DWORD* verdict) override {
        return Take(false, size, data, verdict);
    }
    STDMETHODIMP OnEnd() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_ends;
        m_changed.notify_all();
        return S_OK;
    }

private:
    ~ScriptedHandler() = default;

    HRESULT Take(bool inbound, DWORD size, BYTE* data, DWORD* verdict) {
        size_t index = 0;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            std::vector<Packet>& packets = inbound ? m_in : m_out;
            index = packets.size();
            packets.push_back(Packet{std::string(reinterpret_cast<const char*>(data), size), data});
        }
        const Script& script = inbound ? m_inbound : m_outbound;
        const Answer answer = script ? script(*this, index) : Answer(kVerdictOk);
        *verdict = answer.verdict;
        {
            // Seen only once the call is over, as the verdict may be.
            std::lock_guard<std::mutex> lock(m_mutex);
            m_changed.notify_all();
        }
        return answer.result;
    }

    LONG m_references = 0;
    Script m_outbound;
    Script m_inbound;
    ComPtr<IQvProxyConnection> m_connection;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::vector<Packet> m_out;
    std::vector<Packet> m_in;
    int m_ends = 0;
};

void InjectInbound(ScriptedHandler& handler, const std::string& bytes) {
    EXPECT_EQ(S_OK, handler.Connection()->InjectInbound(static_cast<DWORD>(bytes.size()),
                                                         reinterpret_cast<const BYTE*>(bytes.data())));
}

// The forwarding host with a scripted handler per connection (or none).
class Proxy {
public:
    struct Options {
        const Origin* fixedUpstream = nullptr;  // else each connection's first request names it
        bool handler = true;
        ScriptedHandler::Script outbound;
        ScriptedHandler::Script inbound;
        DWORD idleTimeoutMs = ServeOptions().idleTimeoutMs;
    };

    explicit Proxy(Options options) : m_options(std::move(options)) {
        ServeOptions serve;
        if (m_options.fixedUpstream != nullptr) {
            serve.upstreamHost = "127.0.0.1";
            serve.upstreamPort = m_options.fixedUpstream->Port();
        }
        serve.idleTimeoutMs = m_options.idleTimeoutMs;
        HandlerSource handlers;
        if (m_options.handler) {
            handlers = [this]() -> ComPtr<IQvProxyModuleEventHandler> {
                ComPtr<ScriptedHandler> handler = new ScriptedHandler(m_options.outbound, m_options.inbound);
                std::lock_guard<std::mutex> lock(m_mutex);
                m_handlers.push_back(handler);
                m_created.notify_all();
                return handler;
            };
        }
        m_server = std::make_unique<CProxyServer>(serve, std::move(handlers));
        m_started = m_server->Start();
    }
    ~Proxy() {
        m_server->Stop();
        for (auto& handler : m_handlers) handler->Disconnect();
    }

    bool Started() const { return m_started; }
    UniqueSocket Client() const { return ConnectTo(m_server->Port()); }
    // The handler of the connection accepted `index`th (the first by default); null when none came
    // in time.
    ScriptedHandler* Handler(size_t index = 0) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_created.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] { return m_handlers.size() > index; })) {
            return nullptr;
        }
        return m_handlers[index].Get();
    }
    // Stops the host: whatever is still open is reset and every handler gets its end.
    void Stop() { m_server->Stop(); }
    ServeCounters Counters() const { return m_server->Counters(); }

private:
    Options m_options;
    std::unique_ptr<CProxyServer> m_server;
    bool m_started = false;
    std::mutex m_mutex;
    std::condition_variable m_created;
    std::vector<ComPtr<ScriptedHandler>> m_handlers;
};

std::string Get(const std::string& path, const std::string& host) {
    return "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
}

void NoDelay(SOCKET socket) {
    const BOOL on = TRUE;
    ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

class ProxyConnectionTest : public testing::Test {
protected:
    NuvTest::WinsockSession m_winsock;
    Origin m_origin;
};

// ---- FAIL ---------------------------------------------------------------------------------------

TEST_F(ProxyConnectionTest, AFailEndsTheConnectionAfterWhatWasOnItsWayToTheClient) {
    const struct {
        const char* name;
        const char* injected;  // toward the client, before the verdict
        ScriptedHandler::Answer answer;
        const char* clientGets;
        End clientEnd;
        bool failOnceRead = false;  // the verdict waits until the client has read the injection
    } cases[] = {
        {"block page, then FAIL", "BLOCK PAGE", kVerdictFail, "BLOCK PAGE", End::Eof},
        {"block page already read, then FAIL", "BLOCK PAGE", kVerdictFail, "BLOCK PAGE", End::Eof, true},
        {"FAIL with nothing on its way", "", kVerdictFail, "", End::Reset},
        {"an unknown verdict fails", "BLOCK PAGE", 7, "BLOCK PAGE", End::Eof},
        {"a packet the handler cannot take fails", "", {kVerdictOk, E_FAIL}, "", End::Reset},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        Tessal::UniqueHandle read(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        Proxy::Options options;
        // A first request the handler lets through opens the upstream: it is there to be reset.
        options.fixedUpstream = &m_origin;
        options.outbound = [&row, &read](ScriptedHandler& handler, size_t index) -> ScriptedHandler::Answer {
            if (index == 0) return kVerdictOk;
            if (*row.injected != '\0') InjectInbound(handler, row.injected);
            if (row.failOnceRead) {
                EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(read.Get(), kWaitMs));
            }
            return row.answer;
        };
        Proxy proxy(options);
        ASSERT_TRUE(proxy.Started());
        UniqueSocket client = proxy.Client();
        ASSERT_TRUE(client);
        const std::string first = Get("/allowed", "allowed.test");
        Send(client.Get(), first);
        UniqueSocket upstream = m_origin.Accept();
        ASSERT_TRUE(upstream);
        ASSERT_EQ(first, ReadText(upstream.Get(), first.size()));
        Send(client.Get(), Get("/blocked", "blocked.test"));

        std::string head;
        if (row.failOnceRead) {
            head = ReadText(client.Get(), std::strlen(row.injected));
            ::SetEvent(read.Get());
        }
        const Received received = Read(client.Get());
        EXPECT_EQ(row.clientGets, head + received.bytes);
        EXPECT_EQ(row.clientEnd, received.end);
        const Received server = Read(upstream.Get());
        EXPECT_EQ("", server.bytes) << "the failed request reached the server";
        EXPECT_EQ(End::Reset, server.end);

        client.Reset();
        ScriptedHandler* const handler = proxy.Handler();
        ASSERT_NE(nullptr, handler);
        EXPECT_TRUE(handler->WaitForEnd());
        proxy.Stop();
        EXPECT_EQ(1, handler->Ends());
    }
}

// The plug-in's way: the request waits for its scan, the scan thread injects the block page and
// fails the request; a response still waiting then, and any verdict after, reach nobody.
TEST_F(ProxyConnectionTest, ALateFailAfterAnInjectionAndTheVerdictsAfterIt) {
    Proxy::Options options;
    options.outbound = [](ScriptedHandler&, size_t index) -> ScriptedHandler::Answer {
        return index == 0 ? kVerdictOk : kVerdictDefer;
    };
    options.inbound = [](ScriptedHandler&, size_t) -> ScriptedHandler::Answer { return kVerdictDefer; };
    Proxy proxy(options);
    ASSERT_TRUE(proxy.Started());
    UniqueSocket client = proxy.Client();
    ASSERT_TRUE(client);
    const std::string first = Get("/first", m_origin.Authority());
    Send(client.Get(), first);
    UniqueSocket upstream = m_origin.Accept();
    ASSERT_TRUE(upstream);
    ASSERT_EQ(first, ReadText(upstream.Get(), first.size()));
    ScriptedHandler* const handler = proxy.Handler();
    ASSERT_NE(nullptr, handler);
    Send(upstream.Get(), "RESPONSE 1");
    ASSERT_TRUE(handler->WaitForPackets(true, 1));
    Send(client.Get(), Get("/blocked", m_origin.Authority()));
    ASSERT_TRUE(handler->WaitForPackets(false, 2));
    BYTE* const response = handler->Packets(true)[0].data;
    BYTE* const blocked = handler->Packets(false)[1].data;

    std::thread scan([&] {
        InjectInbound(*handler, "BLOCK PAGE");
        EXPECT_EQ(S_OK, handler->Connection()->CompleteOutbound(handler, blocked, kVerdictFail));
        // Both arrive after the FAIL: harmless, and nothing of theirs reaches the client.
        EXPECT_EQ(S_OK, handler->Connection()->CompleteInbound(handler, response, kVerdictOk));
        InjectInbound(*handler, "LATE");
    });
    scan.join();

    const Received received = Read(client.Get());
    EXPECT_EQ("BLOCK PAGE", received.bytes);
    EXPECT_EQ(End::Eof, received.end);
    const Received server = Read(upstream.Get());
    EXPECT_EQ("", server.bytes);
    EXPECT_EQ(End::Reset, server.end);

    client.Reset();
    EXPECT_TRUE(handler->WaitForEnd());
    // A verdict once the connection is closed: the plug-in still holds it.
    EXPECT_EQ(S_OK, handler->Connection()->CompleteOutbound(handler, blocked, kVerdictOk));
    proxy.Stop();
    EXPECT_EQ(1, handler->Ends());
}

// ---- CONNECT ------------------------------------------------------------------------------------

TEST_F(ProxyConnectionTest, AConnectGoesThroughTheHandlerAndSoDoesTheTunnel) {
    const struct {
        const char* name;
        bool fixedUpstream;
        bool pipelined;     // the first tunnel bytes in the CONNECT's own packet
        bool releaseLater;  // the CONNECT's verdict comes through CompleteOutbound
        bool handler;
    } cases[] = {
        {"routed to the authority", false, false, false, true},
        {"routed, bytes pipelined behind the CONNECT", false, true, false, true},
        {"routed once the CONNECT is released", false, false, true, true},
        {"fixed upstream", true, false, false, true},
        {"fixed upstream, bytes pipelined behind the CONNECT", true, true, false, true},
        {"no handler: tunnelled as it is", false, true, false, false},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        Proxy::Options options;
        options.fixedUpstream = row.fixedUpstream ? &m_origin : nullptr;
        options.handler = row.handler;
        options.outbound = [&row](ScriptedHandler&, size_t index) -> ScriptedHandler::Answer {
            return index == 0 && row.releaseLater ? kVerdictDefer : kVerdictOk;
        };
        Proxy proxy(options);
        ASSERT_TRUE(proxy.Started());
        // A fixed upstream gets the tunnel whatever the authority.
        const std::string authority = row.fixedUpstream ? std::string("tunnel.test:443") : m_origin.Authority();
        const std::string connect = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n\r\n";
        UniqueSocket client = proxy.Client();
        ASSERT_TRUE(client);
        Send(client.Get(), connect + (row.pipelined ? "HELLO" : ""));
        UniqueSocket upstream;
        if (row.releaseLater) {
            ScriptedHandler* const handler = proxy.Handler();
            ASSERT_NE(nullptr, handler);
            ASSERT_TRUE(handler->WaitForPackets(false, 1));
            upstream = m_origin.Accept(0);
            EXPECT_FALSE(upstream) << "routed before the plug-in released the CONNECT";
            EXPECT_EQ(S_OK, handler->Connection()->CompleteOutbound(handler, handler->Packets(false)[0].data, kVerdictOk));
        }
        if (!upstream) upstream = m_origin.Accept();
        ASSERT_TRUE(upstream);
        EXPECT_EQ(kTunnelOpen, ReadText(client.Get(), sizeof kTunnelOpen - 1));
        if (!row.pipelined) Send(client.Get(), "HELLO");
        EXPECT_EQ("HELLO", ReadText(upstream.Get(), 5)) << "the server's first bytes are the tunnel's";
        Send(upstream.Get(), "WORLD");
        EXPECT_EQ("WORLD", ReadText(client.Get(), 5));
        if (!row.handler) continue;

        ScriptedHandler* const handler = proxy.Handler();
        ASSERT_NE(nullptr, handler);
        ASSERT_TRUE(handler->WaitForPackets(true, 2));
        ASSERT_TRUE(handler->WaitForPackets(false, row.pipelined ? 1 : 2));
        EXPECT_EQ(connect + "HELLO", handler->Joined(false));
        EXPECT_EQ(kTunnelOpen, handler->Packets(true)[0].bytes) << "the host's answer is an inbound packet of its own";
        EXPECT_EQ(std::string(kTunnelOpen) + "WORLD", handler->Joined(true));
    }
}

TEST_F(ProxyConnectionTest, AConnectTheHandlerBlocksOpensNothing) {
    const std::string refusal = "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n";
    Proxy::Options options;
    options.outbound = [&refusal](ScriptedHandler& handler, size_t) -> ScriptedHandler::Answer {
        InjectInbound(handler, refusal);
        return kVerdictFail;
    };
    Proxy proxy(options);
    ASSERT_TRUE(proxy.Started());
    UniqueSocket client = proxy.Client();
    ASSERT_TRUE(client);
    Send(client.Get(), "CONNECT " + m_origin.Authority() + " HTTP/1.1\r\n\r\n");
    const Received received = Read(client.Get());
    EXPECT_EQ(refusal, received.bytes);
    EXPECT_EQ(End::Eof, received.end);
    EXPECT_FALSE(m_origin.Accept(0)) << "the blocked CONNECT opened a connection";
    ScriptedHandler* const handler = proxy.Handler();
    ASSERT_NE(nullptr, handler);
    EXPECT_TRUE(handler->Packets(true).empty());
}

TEST_F(ProxyConnectionTest, AConnectToNoServerIsAnsweredBadGateway) {
    // A port nobody listens on any more.
    UniqueSocket probe(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    const sockaddr_in any = Loopback(0);
    ASSERT_EQ(0, ::bind(probe.Get(), reinterpret_cast<const sockaddr*>(&any), sizeof any));
    const unsigned short closed = BoundPort(probe.Get());
    probe.Reset();

    Proxy proxy(Proxy::Options{});
    ASSERT_TRUE(proxy.Started());
    UniqueSocket client = proxy.Client();
    ASSERT_TRUE(client);
    Send(client.Get(), "CONNECT 127.0.0.1:" + std::to_string(closed) + " HTTP/1.1\r\n\r\n");
    const Received received = Read(client.Get());
    EXPECT_EQ(0u, received.bytes.rfind("HTTP/1.1 502 ", 0)) << received.bytes;
    EXPECT_EQ(End::Eof, received.end);
}


// ---- What hostile and idle clients cost ---------------------------------------------------------

// A fixed upstream is opened as a routed one is: once the handler lets the first bytes go toward
// it. A client that sends nothing, or whose request is held or refused, costs the server nothing.
TEST_F(ProxyConnectionTest, AFixedUpstreamOpensOnlyOnceBytesAreReleasedTowardIt) {
    const struct {
        const char* name;
        bool sends;     // the client sends a request before it leaves
        DWORD verdict;  // the handler's on the request
        DWORD later;    // given through CompleteOutbound when the first was kVerdictDefer
        size_t upstreams;
    } cases[] = {
        {"a client that sends nothing and leaves", false, kVerdictOk, kVerdictOk, 0},
        {"a request refused at once", true, kVerdictFail, kVerdictOk, 0},
        {"a request held, then refused", true, kVerdictDefer, kVerdictFail, 0},
        {"a request held, then let through", true, kVerdictDefer, kVerdictOk, 1},
        {"a request let through at once", true, kVerdictOk, kVerdictOk, 1},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        Proxy::Options options;
        options.fixedUpstream = &m_origin;
        options.outbound = [&row](ScriptedHandler&, size_t) -> ScriptedHandler::Answer { return row.verdict; };
        Proxy proxy(options);
        ASSERT_TRUE(proxy.Started());
        UniqueSocket client = proxy.Client();
        ASSERT_TRUE(client);
        ScriptedHandler* const handler = proxy.Handler();
        ASSERT_NE(nullptr, handler);
        const std::string request = Get("/page", "allowed.test");
        if (row.sends) {
            Send(client.Get(), request);
            ASSERT_TRUE(handler->WaitForPackets(false, 1));
        }
        if (row.verdict == kVerdictDefer) {
            EXPECT_FALSE(m_origin.Accept(0)) << "opened while the handler holds the request";
            BYTE* const held = handler->Packets(false)[0].data;
            EXPECT_EQ(S_OK, handler->Connection()->CompleteOutbound(handler, held, row.later));
        }
        size_t opened = 0;
        if (row.upstreams > 0) {
            UniqueSocket upstream = m_origin.Accept();
            ASSERT_TRUE(upstream);
            EXPECT_EQ(request, ReadText(upstream.Get(), request.size()));
            ++opened;
        }
        client.Reset();
        EXPECT_TRUE(handler->WaitForEnd());
        proxy.Stop();
        // Whatever else the host opened waits in the listener's backlog, reset or not.
        opened += m_origin.AcceptAll();
        EXPECT_EQ(row.upstreams, opened);
        const ServeCounters counters = proxy.Counters();
        EXPECT_EQ(row.upstreams, counters.upstreams);
        EXPECT_EQ(1u, counters.accepted) << "the accepts the stop cancelled are no connections";
    }
}

// A client connection on which nothing moves is closed after the idle time-out, with its end (not
// a reset), whether it never sent anything or went quiet after its answer; its upstream goes too.
// One host for all: its idle watch goes on after the connections it knew of are gone.
TEST_F(ProxyConnectionTest, AConnectionOnWhichNothingMovesIsClosed) {
    Proxy::Options options;
    options.fixedUpstream = &m_origin;
    options.idleTimeoutMs = 200;
    Proxy proxy(options);
    ASSERT_TRUE(proxy.Started());
    size_t index = 0;
    size_t upstreams = 0;
    for (const bool answered : {false, true, false}) {
        SCOPED_TRACE(answered ? "quiet after its answer" : "never sent anything");
        UniqueSocket client = proxy.Client();
        ASSERT_TRUE(client);
        UniqueSocket upstream;
        if (answered) {
            const std::string request = Get("/page", "allowed.test");
            Send(client.Get(), request);
            upstream = m_origin.Accept();
            ASSERT_TRUE(upstream);
            ++upstreams;
            EXPECT_EQ(request, ReadText(upstream.Get(), request.size()));
            Send(upstream.Get(), "ANSWER");
            EXPECT_EQ("ANSWER", ReadText(client.Get(), 6));
        }
        const Received received = Read(client.Get());
        EXPECT_EQ("", received.bytes);
        EXPECT_EQ(End::Eof, received.end) << "still open, or reset";
        if (answered) {
            EXPECT_EQ(End::Eof, Read(upstream.Get()).end) << "the upstream outlived its client";
        }
        ScriptedHandler* const handler = proxy.Handler(index++);
        ASSERT_NE(nullptr, handler);
        EXPECT_TRUE(handler->WaitForEnd());
        const ServeCounters counters = proxy.Counters();
        EXPECT_EQ(index, counters.idleClosed);
        EXPECT_EQ(upstreams, counters.upstreams);
    }
}

// A peer writing one byte per segment: every read is a packet of its own, which the handler holds
// while it waits for more. Each costs its byte and its bookkeeping, not a receive buffer: every
// read of a direction lands in the same buffer, and the handler gets a right-sized copy that
// stays valid until its verdict.
TEST_F(ProxyConnectionTest, OneBytePacketsCostMemoryInProportionToTheirBytes) {
    constexpr size_t kBytes = 1000;
    // The packet's byte, its place in the queue, the handler's record of it, with room to spare:
    // a receive buffer per packet would be 64 KiB.
    constexpr long long kMostPerPacket = 1024;
    std::string text;
    for (size_t i = 0; i < kBytes; ++i) text += static_cast<char>('a' + i % 26);
    for (const bool inbound : {false, true}) {
        SCOPED_TRACE(inbound ? "server to client" : "client to server");
        Proxy::Options options;
        options.fixedUpstream = &m_origin;
        options.outbound = [inbound](ScriptedHandler&, size_t) -> ScriptedHandler::Answer {
            return inbound ? kVerdictOk : kVerdictDefer;
        };
        options.inbound = [](ScriptedHandler&, size_t) -> ScriptedHandler::Answer { return kVerdictDefer; };
        Proxy proxy(options);
        ASSERT_TRUE(proxy.Started());
        UniqueSocket client = proxy.Client();
        ASSERT_TRUE(client);
        ScriptedHandler* const handler = proxy.Handler();
        ASSERT_NE(nullptr, handler);
        UniqueSocket upstream;
        if (inbound) {
            const std::string request = Get("/page", "allowed.test");
            Send(client.Get(), request);
            upstream = m_origin.Accept();
            ASSERT_TRUE(upstream);
            ASSERT_EQ(request, ReadText(upstream.Get(), request.size()));
        }
        const SOCKET writer = inbound ? upstream.Get() : client.Get();
        NoDelay(writer);

        const long long before = QvProxyTest::LiveBytes();
        for (size_t i = 0; i < kBytes; ++i) {
            ASSERT_EQ(1, ::send(writer, &text[i], 1, 0));
            // The next byte only once this one was read: one read each.
            ASSERT_TRUE(handler->WaitForPackets(inbound, i + 1));
        }
        const long long held = QvProxyTest::LiveBytes() - before;
        EXPECT_LT(held, static_cast<long long>(kBytes) * kMostPerPacket);

        const std::vector<ScriptedHandler::Packet> packets = handler->Packets(inbound);
        ASSERT_EQ(kBytes, packets.size());
        for (const auto& packet : packets) {
            // Still the bytes read, though the receive buffer has been read into since.
            ASSERT_EQ(1u, packet.bytes.size());
            EXPECT_EQ(packet.bytes[0], static_cast<char>(*packet.data));
            IQvProxyConnection* const connection = handler->Connection();
            EXPECT_EQ(S_OK, inbound ? connection->CompleteInbound(handler, packet.data, kVerdictOk)
                                    : connection->CompleteOutbound(handler, packet.data, kVerdictOk));
        }
        if (!inbound) {
            upstream = m_origin.Accept();
            ASSERT_TRUE(upstream);
        }
        EXPECT_EQ(text, ReadText(inbound ? client.Get() : upstream.Get(), kBytes));
        EXPECT_LE(proxy.Counters().receiveBuffers, 2u) << "one per direction, for all of its reads";
    }
}


// A mebibyte each way: however many reads that takes, each direction reads into its small first
// buffer and, once a read fills that, into one of the full size.
TEST_F(ProxyConnectionTest, EachDirectionReadsIntoTheSameBufferForItsLife) {
    std::string bulk(1 << 20, '\0');
    for (size_t i = 0; i < bulk.size(); ++i) bulk[i] = static_cast<char>('a' + i % 251 % 26);
    Proxy::Options options;
    options.fixedUpstream = &m_origin;
    Proxy proxy(options);
    ASSERT_TRUE(proxy.Started());
    UniqueSocket client = proxy.Client();
    ASSERT_TRUE(client);
    // What the upstream does not take yet, the host holds.
    Send(client.Get(), bulk);
    UniqueSocket upstream = m_origin.Accept();
    ASSERT_TRUE(upstream);
    EXPECT_TRUE(bulk == ReadText(upstream.Get(), bulk.size()));
    Send(upstream.Get(), bulk);
    EXPECT_TRUE(bulk == ReadText(client.Get(), bulk.size()));
    ScriptedHandler* const handler = proxy.Handler();
    ASSERT_NE(nullptr, handler);
    EXPECT_LT(32u, handler->Packets(false).size() + handler->Packets(true).size()) << "fewer reads than thought";
    EXPECT_LE(proxy.Counters().receiveBuffers, 4u);
}

}  // namespace
