#include "ProxyConnection.h"

#include "ProxyServer.h"
#include "RequestTarget.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>

namespace QvProxyStandIn {

namespace {

constexpr char kBadRequest[] =
    "HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain\r\nContent-Length: 12\r\nConnection: close\r\n\r\nBad request\n";
constexpr char kBadGateway[] =
    "HTTP/1.1 502 Bad Gateway\r\nContent-Type: text/plain\r\nContent-Length: 12\r\nConnection: close\r\n\r\nBad gateway\n";
constexpr char kTunnelOpen[] = "HTTP/1.1 200 Connection established\r\n\r\n";

// How long a failed connection waits for the client's end after its last bytes; what the client
// sends meanwhile is read and dropped, so that unread bytes do not turn the close into a reset
// that could overtake what it has not read yet.
constexpr DWORD kLingerMs = 2000;

void NoDelay(SOCKET socket) {
    const BOOL on = TRUE;
    ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

}  // namespace

CProxyConnection::CProxyConnection(CProxyServer& server, Tessal::UniqueSocket client)
    : m_server(server), m_lastActivity(::GetTickCount64()) {
    m_sockets[kClient] = std::move(client);
    for (int index : {kOutbound, kInbound}) {
        Direction& direction = m_directions[index];
        direction.from = index == kOutbound ? kClient : kUpstream;
        direction.receiveIo.kind = IoKind::Receive;
        direction.receiveIo.direction = index;
        direction.sendIo.kind = IoKind::Send;
        direction.sendIo.direction = index;
        direction.flushIo.kind = IoKind::Flush;
        direction.flushIo.direction = index;
    }
    m_connectIo.kind = IoKind::Connect;
    m_routeIo.kind = IoKind::Route;
    m_tunnelIo.kind = IoKind::Tunnel;
    m_endIo.kind = IoKind::End;
    m_lingerIo.kind = IoKind::Linger;
}

CProxyConnection::~CProxyConnection() = default;

STDMETHODIMP CProxyConnection::QueryInterface(REFIID iid, void** out) {
    if (out == nullptr) return E_POINTER;
    if (::IsEqualIID(iid, __uuidof(IUnknown)) || ::IsEqualIID(iid, __uuidof(IQvProxyConnection))) {
        *out = static_cast<IQvProxyConnection*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CProxyConnection::AddRef() { return static_cast<ULONG>(::InterlockedIncrement(&m_references)); }

// References: the server's while open, one per I/O in flight, and the plug-in's handler's.
STDMETHODIMP_(ULONG) CProxyConnection::Release() {
    const LONG left = ::InterlockedDecrement(&m_references);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
}

void CProxyConnection::Unlock() {
    std::vector<std::function<void()>> after;
    after.swap(m_after);
    m_lock.Leave();
    // May release the last reference: nothing here touches the object afterwards.
    for (auto& work : after) work();
}

void CProxyConnection::Start() {
    m_lock.Enter();
    PostReceive(m_directions[kOutbound]);
    Unlock();
}

bool CProxyConnection::CloseIfIdle(ULONGLONG timeoutMs) {
    m_lock.Enter();
    const bool idle = !m_closed && ::GetTickCount64() - LastActivity() >= timeoutMs;
    if (idle) {
        m_server.CountIdleClose();
        // Quietly: a client that kept a connection open and silent gets its end, not a reset.
        CloseLocked(false);
    }
    const bool over = m_closed;
    Unlock();
    return over;
}

void CProxyConnection::Abort() {
    m_lock.Enter();
    CloseLocked(true);
    Unlock();
}

bool CProxyConnection::UpstreamReadable() const {
    // Nothing comes back before the first request is released, nor before a tunnel's answer.
    return m_upstream == Upstream::Connected && m_inspected &&
           (m_tunnel == Tunnel::None || m_tunnel == Tunnel::Open);
}

void CProxyConnection::PostReceive(Direction& direction) {
    // While a packet is with the plug-in the next one waits, so that packets reach it in order.
    if (m_closed || direction.receiving || direction.handingOver || direction.ended) return;
    if (m_failed) {
        // Only the client is still read, and what it sends is dropped.
        if (direction.from != kClient) return;
    } else {
        if (direction.from == kUpstream && !UpstreamReadable()) return;
        // Back-pressure: a destination that does not read, or a plug-in that holds, pauses the source.
        if (direction.queue.Held() >= kMaxHeldPerDirection) return;
    }
    if (!direction.receiveBuffer) {
        // At most twice per direction: every read of the connection's life lands here.
        const size_t size = direction.receiveSize == 0 ? kFirstReceiveSize : kPacketSize;
        direction.receiveBuffer.reset(new (std::nothrow) BYTE[size]);
        if (!direction.receiveBuffer) {
            CloseLocked(true);
            return;
        }
        direction.receiveSize = size;
        m_server.CountReceiveBuffer();
    }
    WSABUF buffer{static_cast<ULONG>(direction.receiveSize), reinterpret_cast<char*>(direction.receiveBuffer.get())};
    DWORD flags = 0;
    direction.receiveIo.overlapped = OVERLAPPED{};
    direction.receiving = true;
    AddRef();
    if (::WSARecv(Socket(direction.from), &buffer, 1, nullptr, &flags, &direction.receiveIo.overlapped, nullptr) ==
            SOCKET_ERROR &&
        ::WSAGetLastError() != WSA_IO_PENDING) {
        direction.receiving = false;
        m_after.push_back([this] { Release(); });
        CloseLocked(true);
    }
}

void CProxyConnection::Flush(Direction& direction) {
    if (m_closed || direction.sending) return;
    if (&direction == &m_directions[kOutbound]) {
        if (m_failed) {
            // The upstream is gone: what the plug-in released toward it goes nowhere.
            direction.queue.Discard(direction.queue.Bytes());
            return;
        }
        if (m_upstream != Upstream::Failed && !m_inspected && !InspectLocked()) return;
        if (m_upstream == Upstream::Connected) {
            if (m_tunnel == Tunnel::Requested) OpenTunnelLocked();
            PostReceive(m_directions[kInbound]);
        } else {
            if (m_upstream != Upstream::Failed) return;
            // Nothing goes anywhere once routing failed: the client has its error answer.
            direction.queue.Discard(direction.queue.Bytes());
        }
    } else if (m_failed) {
        PostReceive(m_directions[kOutbound]);
    }
    if (SendLocked(direction)) return;
    if (m_failed) {
        FinishFailingLocked();
        return;
    }
    if (direction.ended && direction.queue.Empty() && !direction.shut) {
        direction.shut = true;
        if (m_sockets[To(direction)]) ::shutdown(Socket(To(direction)), SD_SEND);
    }
    FinishIfDone();
}

bool CProxyConnection::SendLocked(Direction& direction) {
    CPacketQueue::Chunk chunks[16];
    const size_t count = direction.queue.Sendable(chunks, 16);
    if (count == 0) return false;
    WSABUF buffers[16];
    for (size_t i = 0; i < count; ++i) {
        buffers[i].buf = reinterpret_cast<char*>(const_cast<BYTE*>(chunks[i].data));
        buffers[i].len = static_cast<ULONG>(chunks[i].size);
    }
    direction.sendIo.overlapped = OVERLAPPED{};
    direction.sending = true;
    AddRef();
    if (::WSASend(Socket(To(direction)), buffers, static_cast<DWORD>(count), nullptr, 0, &direction.sendIo.overlapped,
                  nullptr) == SOCKET_ERROR &&
        ::WSAGetLastError() != WSA_IO_PENDING) {
        direction.sending = false;
        m_after.push_back([this] { Release(); });
        CloseLocked(true);
    }
    return true;
}

void CProxyConnection::ScheduleFlush(Direction& direction) {
    if (m_closed || direction.flushPosted) return;
    direction.flushPosted = true;
    direction.flushIo.overlapped = OVERLAPPED{};
    AddRef();
    if (!m_server.Post(this, &direction.flushIo.overlapped)) {
        direction.flushPosted = false;
        m_after.push_back([this] { Release(); });
        Flush(direction);
        PostReceive(direction);
    }
}

void CProxyConnection::FinishIfDone() {
    if (m_closed) return;
    const Direction& outbound = m_directions[kOutbound];
    const Direction& inbound = m_directions[kInbound];
    const bool outboundDone = outbound.ended && outbound.queue.Empty() && !outbound.sending;
    const bool upstreamOver = inbound.ended || m_upstream == Upstream::None || m_upstream == Upstream::Failed;
    const bool inboundDone = upstreamOver && inbound.queue.Empty() && !inbound.sending;
    if (outboundDone && inboundDone) CloseLocked(false);
}

void CProxyConnection::EndLocked() {
    if (m_endSent || !m_handler) return;
    m_endSent = true;
    m_endHandler = m_handler;
    // The end may come from a verdict, inside the plug-in's own call and under its locks.
    m_endIo.overlapped = OVERLAPPED{};
    AddRef();
    if (!m_server.Post(this, &m_endIo.overlapped)) {
        m_after.push_back([this] { Release(); });
        Microsoft::WRL::ComPtr<IQvProxyModuleEventHandler> handler = std::move(m_endHandler);
        m_after.push_back([handler] { handler->OnEnd(); });
    }
}

void CProxyConnection::OnEndPosted() {
    m_lock.Enter();
    Microsoft::WRL::ComPtr<IQvProxyModuleEventHandler> handler = std::move(m_endHandler);
    m_lock.Leave();
    if (handler) handler->OnEnd();
}

void CProxyConnection::CloseLocked(bool reset) {
    if (m_closed) return;
    m_closed = true;
    if (m_lingerTimer != nullptr) {
        // Waits for a running callback, which takes no lock; afterwards it has either posted its
        // notice (which gives the timer's reference back) or never will.
        ::DeleteTimerQueueTimer(nullptr, m_lingerTimer, INVALID_HANDLE_VALUE);
        m_lingerTimer = nullptr;
        if (m_lingerPosted == 0) m_after.push_back([this] { Release(); });
    }
    for (auto& socket : m_sockets) {
        if (!socket) continue;
        if (reset) {
            const linger abortive{1, 0};
            ::setsockopt(socket.Get(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abortive), sizeof abortive);
        }
        // I/O still in flight completes with an error and gives its reference back.
        socket.Reset();
    }
    EndLocked();
    if (m_handler) {
        Microsoft::WRL::ComPtr<IQvProxyModuleEventHandler> handler = std::move(m_handler);
        m_after.push_back([handler]() mutable { handler.Reset(); });
    }
    // Packets still waiting for a verdict stay: the plug-in may touch their bytes until it gives
    // it, and it holds a reference on the connection until then.
    for (Direction& direction : m_directions) direction.queue.Discard(direction.queue.Bytes());
    m_after.push_back([this] { m_server.Forget(this); });
}

// The first request the plug-in released says where the connection goes (unless the upstream is
// fixed) and whether the client asks for a tunnel. False while it is not complete.
bool CProxyConnection::InspectLocked() {
    Direction& outbound = m_directions[kOutbound];
    const std::string head = outbound.queue.PeekSendable(kMaxRequestHead + 1);
    if (head.empty()) {
        // A client that ends without a request: nothing to look at.
        if (outbound.ended && outbound.queue.Empty()) m_inspected = true;
        return m_inspected;
    }
    const ServeOptions& options = m_server.Options();
    const bool fixed = !options.upstreamHost.empty();
    if (fixed) {
        // A fixed upstream gets any bytes as they are; only a CONNECT is the host's.
        constexpr std::string_view kConnect = "CONNECT ";
        if (head.size() < kConnect.size() && !outbound.ended &&
            std::string_view(head) == kConnect.substr(0, head.size())) {
            return false;
        }
        if (head.compare(0, kConnect.size(), kConnect) != 0) {
            m_inspected = true;
            RouteLocked(options.upstreamHost, options.upstreamPort);
            return true;
        }
    }
    const RequestTarget target = ParseRequestTarget(head);
    if (target.result == RequestTarget::Result::NeedMore && !outbound.ended) return false;
    m_inspected = true;
    if (target.result != RequestTarget::Result::Ok) {
        FailRoutingLocked(kBadRequest);
        return true;
    }
    if (target.connect) {
        m_connectHeader = target.headerLength;
        m_tunnel = Tunnel::Requested;
    }
    if (fixed) {
        RouteLocked(options.upstreamHost, options.upstreamPort);
    } else {
        RouteLocked(target.host, target.port);
    }
    return true;
}

void CProxyConnection::RouteLocked(const std::string& host, unsigned short port) {
    m_routeHost = host;
    m_routePort = port;
    m_upstream = Upstream::Routing;
    AddRef();
    if (!m_server.Post(this, &m_routeIo.overlapped)) {
        m_after.push_back([this] { Release(); });
        FailRoutingLocked(kBadGateway);
    }
}

// The CONNECT was for this host: it does not go upstream. Its answer goes to the plug-in from a
// pool thread, never from inside one of the plug-in's calls.
void CProxyConnection::OpenTunnelLocked() {
    m_directions[kOutbound].queue.Discard(m_connectHeader);
    m_connectHeader = 0;
    m_tunnel = Tunnel::Answering;
    m_tunnelIo.overlapped = OVERLAPPED{};
    AddRef();
    if (!m_server.Post(this, &m_tunnelIo.overlapped)) {
        m_after.push_back([this] { Release(); });
        CloseLocked(true);
    }
}

void CProxyConnection::OnTunnel() {
    m_lock.Enter();
    if (!m_closed && !m_failed) {
        Direction& inbound = m_directions[kInbound];
        HandOverLocked(inbound, reinterpret_cast<const BYTE*>(kTunnelOpen), sizeof kTunnelOpen - 1);
        // Only now: the plug-in sees the answer before anything the server sends.
        m_tunnel = Tunnel::Open;
        PostReceive(inbound);
    }
    Unlock();
}

void CProxyConnection::FailRoutingLocked(const char* response) {
    m_upstream = Upstream::Failed;
    Direction& outbound = m_directions[kOutbound];
    outbound.queue.Discard(outbound.queue.Bytes());
    Direction& inbound = m_directions[kInbound];
    inbound.queue.Inject(reinterpret_cast<const BYTE*>(response), std::strlen(response));
    // Nothing will come from upstream: the client's side closes once it has the answer.
    inbound.ended = true;
    Flush(inbound);
}

// The upstream is still wanted: not after a FAIL, nor once the client has an error answer (a
// CONNECT refused while a fixed upstream connects).
bool CProxyConnection::RoutingLocked() const {
    return !m_closed && !m_failed && m_upstream != Upstream::Failed;
}

// On a pool thread: the name look-up may take a while.
void CProxyConnection::OnRoute() {
    m_lock.Enter();
    const std::string host = m_routeHost;
    const std::string port = std::to_string(m_routePort);
    const bool closed = !RoutingLocked();
    m_lock.Leave();
    if (closed) return;

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    const bool resolved = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) == 0 && found != nullptr;
    Tessal::UniqueSocket upstream;
    sockaddr_storage address{};
    int addressLength = 0;
    if (resolved) {
        // The first address only: this host does not fall back between addresses.
        upstream.Reset(::WSASocketW(found->ai_family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED));
        std::memcpy(&address, found->ai_addr, found->ai_addrlen);
        addressLength = static_cast<int>(found->ai_addrlen);
    }
    if (found != nullptr) ::freeaddrinfo(found);
    if (upstream) {
        sockaddr_storage any{};
        any.ss_family = address.ss_family;
        const int anyLength = address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
        if (::bind(upstream.Get(), reinterpret_cast<const sockaddr*>(&any), anyLength) != 0 ||
            !m_server.Associate(upstream.Get(), this)) {
            upstream.Reset();
        }
    }

    m_lock.Enter();
    if (!RoutingLocked()) {
        Unlock();
        return;
    }
    if (!upstream) {
        FailRoutingLocked(kBadGateway);
        Unlock();
        return;
    }
    NoDelay(upstream.Get());
    m_server.CountUpstream();
    m_sockets[kUpstream] = std::move(upstream);
    m_upstream = Upstream::Connecting;
    m_connectIo.overlapped = OVERLAPPED{};
    AddRef();
    if (!m_server.ConnectEx(Socket(kUpstream), reinterpret_cast<const sockaddr*>(&address), addressLength,
                            &m_connectIo.overlapped)) {
        m_after.push_back([this] { Release(); });
        FailRoutingLocked(kBadGateway);
    }
    Unlock();
}

void CProxyConnection::OnConnected() {
    // Without the context shutdown() fails on the socket; nothing else depends on it.
    ::setsockopt(Socket(kUpstream), SOL_SOCKET, SO_UPDATE_CONNECT_CONTEXT, nullptr, 0);
    m_upstream = Upstream::Connected;
    Direction& inbound = m_directions[kInbound];
    // Opens a tunnel the client asked for, and starts reading the upstream once it may.
    Flush(m_directions[kOutbound]);
    PostReceive(inbound);
    Flush(inbound);
}

void CProxyConnection::OnCompletion(OVERLAPPED* overlapped, bool ok, DWORD bytes) {
    Io* const io = CONTAINING_RECORD(overlapped, Io, overlapped);
    // Bytes moved, a verdict took effect, the upstream answered: not idle. The linger's end is
    // the host's own.
    if (io->kind != IoKind::Linger) Touch();
    switch (io->kind) {
        case IoKind::Receive:
            OnReceived(m_directions[io->direction], ok, bytes);
            return;
        case IoKind::Send:
            OnSent(m_directions[io->direction], ok, bytes);
            return;
        case IoKind::Route:
            OnRoute();
            return;
        case IoKind::Flush: {
            Direction& direction = m_directions[io->direction];
            m_lock.Enter();
            direction.flushPosted = false;
            Flush(direction);
            PostReceive(direction);
            Unlock();
            return;
        }
        case IoKind::Tunnel:
            OnTunnel();
            return;
        case IoKind::End:
            OnEndPosted();
            return;
        case IoKind::Linger:
            OnLingerOver();
            return;
        case IoKind::Connect:
            m_lock.Enter();
            // After a FAIL the upstream socket is gone; a connection that failed then is no news.
            if (RoutingLocked()) {
                if (ok) {
                    OnConnected();
                } else {
                    FailRoutingLocked(kBadGateway);
                }
            }
            Unlock();
            return;
    }
}

void CProxyConnection::OnReceived(Direction& direction, bool ok, DWORD bytes) {
    m_lock.Enter();
    direction.receiving = false;
    if (m_closed) {
        Unlock();
        return;
    }
    if (m_failed) {
        OnDrained(direction, ok, bytes);
        Unlock();
        return;
    }
    if (!ok) {
        CloseLocked(true);
        Unlock();
        return;
    }
    if (bytes == 0) {
        direction.ended = true;
        EndLocked();
        Flush(direction);
        FinishIfDone();
        Unlock();
        return;
    }
    // A read that filled the small first buffer: the next ones get the full size. The filled one
    // lives until its bytes are copied, whatever reads start meanwhile.
    std::unique_ptr<BYTE[]> filled;
    if (bytes == direction.receiveSize && direction.receiveSize < kPacketSize) {
        filled = std::move(direction.receiveBuffer);
    }
    HandOverLocked(direction, filled ? filled.get() : direction.receiveBuffer.get(), bytes);
    PostReceive(direction);
    Unlock();
}

void CProxyConnection::HandOverLocked(Direction& direction, const BYTE* bytes, DWORD size) {
    const bool scanned = static_cast<bool>(m_handler);
    // A copy of what was read, as long as it is: the receive buffer is read into again at once.
    BYTE* const packet = direction.queue.Add(bytes, size, scanned);
    if (packet == nullptr) {
        CloseLocked(true);
        return;
    }
    if (!scanned) {
        Flush(direction);
        return;
    }
    Microsoft::WRL::ComPtr<IQvProxyModuleEventHandler> handler = m_handler;
    direction.handingOver = true;
    m_lock.Leave();

    // The packet is in the queue before the call: its verdict may come from another thread
    // before the call returns.
    DWORD verdict = kVerdictDefer;
    const HRESULT result = direction.from == kClient ? handler->OnOutboundData(size, packet, &verdict)
                                                     : handler->OnInboundData(size, packet, &verdict);
    // A packet the plug-in could not take is not let through.
    if (FAILED(result)) verdict = kVerdictFail;

    m_lock.Enter();
    direction.handingOver = false;
    // The handler goes after the lock.
    m_after.push_back([handler] {});
    if (verdict != kVerdictDefer) VerdictLocked(direction, packet, verdict, true);
}

CPacketQueue::Completion CProxyConnection::VerdictLocked(Direction& direction, BYTE* packet, DWORD verdict,
                                                         bool onPool) {
    const CPacketQueue::Completion completion = direction.queue.Complete(packet, verdict);
    if (m_closed) {
        direction.queue.Discard(direction.queue.Bytes());
    } else if (completion == CPacketQueue::Completion::Fail) {
        FailLocked();
    } else if (completion == CPacketQueue::Completion::Applied) {
        if (onPool) {
            Flush(direction);
        } else {
            ScheduleFlush(direction);
        }
    }
    return completion;
}

// Runs on any thread, the plug-in's too: the sockets are closed or left to a pool thread.
void CProxyConnection::FailLocked() {
    if (m_closed || m_failed) return;
    m_failed = true;
    EndLocked();
    // Nothing more reaches the server.
    if (m_sockets[kUpstream]) {
        const linger abortive{1, 0};
        ::setsockopt(Socket(kUpstream), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abortive), sizeof abortive);
        m_sockets[kUpstream].Reset();
    }
    for (Direction& direction : m_directions) direction.queue.Seal();
    Flush(m_directions[kOutbound]);
    Direction& inbound = m_directions[kInbound];
    // The plug-in's answer may have left between its injection and the FAIL: the client still
    // gets the end after it, not a reset that could overtake it.
    if (!inbound.sending && inbound.queue.PeekSendable(1).empty() && !inbound.queue.LastSentInjected()) {
        // Nothing was on its way to the client: it learns at once.
        CloseLocked(true);
        return;
    }
    ScheduleFlush(inbound);
}

// A failed connection's last bytes have reached the client.
void CProxyConnection::FinishFailingLocked() {
    Direction& inbound = m_directions[kInbound];
    if (!inbound.shut) {
        inbound.shut = true;
        ::shutdown(Socket(kClient), SD_SEND);
    }
    if (m_directions[kOutbound].ended) {
        CloseLocked(false);
        return;
    }
    PostReceive(m_directions[kOutbound]);
    if (m_lingerTimer != nullptr) return;
    AddRef();
    if (!::CreateTimerQueueTimer(&m_lingerTimer, nullptr, &CProxyConnection::LingerTimer, this, kLingerMs, 0,
                                 WT_EXECUTEONLYONCE)) {
        m_lingerTimer = nullptr;
        m_after.push_back([this] { Release(); });
        CloseLocked(false);
    }
}

// What a failed connection's client still sends is dropped; its end (or an error) closes.
void CProxyConnection::OnDrained(Direction& direction, bool ok, DWORD bytes) {
    // The upstream's last reads end with its reset.
    if (direction.from != kClient) return;
    if (!ok) {
        CloseLocked(true);
    } else if (bytes == 0) {
        direction.ended = true;
        if (m_directions[kInbound].shut) CloseLocked(false);
    } else {
        PostReceive(direction);
    }
}

// On the timer queue's thread: no lock here (CloseLocked waits for this callback under it).
void CALLBACK CProxyConnection::LingerTimer(void* context, BOOLEAN) {
    auto* const connection = static_cast<CProxyConnection*>(context);
    connection->m_lingerIo.overlapped = OVERLAPPED{};
    // The notice carries the timer's reference; without it CloseLocked gives the reference back.
    if (connection->m_server.Post(connection, &connection->m_lingerIo.overlapped)) {
        ::InterlockedExchange(&connection->m_lingerPosted, 1);
    }
}

void CProxyConnection::OnLingerOver() {
    m_lock.Enter();
    if (m_lingerTimer != nullptr) {
        ::DeleteTimerQueueTimer(nullptr, m_lingerTimer, INVALID_HANDLE_VALUE);
        m_lingerTimer = nullptr;
    }
    // The client had its bytes and its end long ago.
    CloseLocked(false);
    Unlock();
}

void CProxyConnection::OnSent(Direction& direction, bool ok, DWORD bytes) {
    m_lock.Enter();
    direction.sending = false;
    if (!m_closed) {
        if (m_failed && direction.from == kClient) {
            // A write to the upstream that its reset ended.
            Flush(direction);
        } else if (!ok) {
            CloseLocked(true);
        } else {
            direction.queue.Sent(bytes);
            Flush(direction);
            PostReceive(direction);
        }
    }
    Unlock();
}

HRESULT CProxyConnection::Complete(Direction& direction, BYTE* packet, DWORD verdict) {
    Touch();
    m_lock.Enter();
    const CPacketQueue::Completion completion = VerdictLocked(direction, packet, verdict, false);
    Unlock();
    return completion == CPacketQueue::Completion::Unknown ? E_INVALIDARG : S_OK;
}

HRESULT CProxyConnection::Inject(Direction& direction, DWORD size, const BYTE* bytes) {
    if (size > 0 && bytes == nullptr) return E_POINTER;
    Touch();
    m_lock.Enter();
    if (!m_closed) {
        direction.queue.Inject(bytes, size);
        ScheduleFlush(direction);
    }
    Unlock();
    return S_OK;
}

STDMETHODIMP CProxyConnection::CompleteInbound(IQvProxyModuleEventHandler*, BYTE* packet, DWORD verdict) {
    return Complete(m_directions[kInbound], packet, verdict);
}

STDMETHODIMP CProxyConnection::InjectInbound(DWORD size, const BYTE* bytes) {
    return Inject(m_directions[kInbound], size, bytes);
}

STDMETHODIMP CProxyConnection::CompleteOutbound(IQvProxyModuleEventHandler*, BYTE* packet, DWORD verdict) {
    return Complete(m_directions[kOutbound], packet, verdict);
}

STDMETHODIMP CProxyConnection::InjectOutbound(DWORD size, const BYTE* bytes) {
    return Inject(m_directions[kOutbound], size, bytes);
}

}  // namespace QvProxyStandIn
