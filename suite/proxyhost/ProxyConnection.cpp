#include "ProxyConnection.h"

#include "ProxyServer.h"
#include "RequestTarget.h"

#include <ws2tcpip.h>

#include <cstring>
#include <new>

namespace QvProxyStandIn {

namespace {

constexpr char kBadRequest[] =
    "HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain\r\nContent-Length: 12\r\nConnection: close\r\n\r\nBad request\n";
constexpr char kBadGateway[] =
    "HTTP/1.1 502 Bad Gateway\r\nContent-Type: text/plain\r\nContent-Length: 12\r\nConnection: close\r\n\r\nBad gateway\n";
constexpr char kTunnelOpen[] = "HTTP/1.1 200 Connection established\r\n\r\n";

void NoDelay(SOCKET socket) {
    const BOOL on = TRUE;
    ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

}  // namespace

CProxyConnection::CProxyConnection(CProxyServer& server, Tessal::UniqueSocket client) : m_server(server) {
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
    const ServeOptions& options = m_server.Options();
    if (!options.upstreamHost.empty()) {
        m_routeHost = options.upstreamHost;
        m_routePort = options.upstreamPort;
        m_upstream = Upstream::Routing;
        AddRef();
        if (!m_server.Post(this, &m_routeIo.overlapped)) {
            m_after.push_back([this] { Release(); });
            FailRoutingLocked(kBadGateway);
        }
    }
    PostReceive(m_directions[kOutbound]);
    Unlock();
}

void CProxyConnection::Abort() {
    m_lock.Enter();
    CloseLocked(true);
    Unlock();
}

void CProxyConnection::PostReceive(Direction& direction) {
    if (m_closed || direction.receiving || direction.ended) return;
    if (direction.from == kUpstream && m_upstream != Upstream::Connected) return;
    // Back-pressure: a destination that does not read, or a plug-in that holds, pauses the source.
    if (direction.queue.Bytes() >= kMaxHeldPerDirection) return;
    if (!direction.receiveBuffer) {
        direction.receiveBuffer.reset(new (std::nothrow) BYTE[kPacketSize]);
        if (!direction.receiveBuffer) {
            CloseLocked(true);
            return;
        }
    }
    WSABUF buffer{static_cast<ULONG>(kPacketSize), reinterpret_cast<char*>(direction.receiveBuffer.get())};
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
    if (&direction == &m_directions[kOutbound] && m_upstream != Upstream::Connected) {
        if (m_upstream == Upstream::None) RouteLocked();
        if (m_upstream != Upstream::Failed) return;
        // Nothing goes anywhere once routing failed: the client has its error answer.
        direction.queue.Discard(direction.queue.Bytes());
    }
    CPacketQueue::Chunk chunks[16];
    const size_t count = direction.queue.Sendable(chunks, 16);
    if (count == 0) {
        if (direction.ended && direction.queue.Empty() && !direction.shut) {
            direction.shut = true;
            if (m_sockets[To(direction)]) ::shutdown(Socket(To(direction)), SD_SEND);
        }
        FinishIfDone();
        return;
    }
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
    Microsoft::WRL::ComPtr<IQvProxyModuleEventHandler> handler = m_handler;
    m_after.push_back([handler] { handler->OnEnd(); });
}

void CProxyConnection::CloseLocked(bool reset) {
    if (m_closed) return;
    m_closed = true;
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

void CProxyConnection::RouteLocked() {
    Direction& outbound = m_directions[kOutbound];
    const std::string head = outbound.queue.PeekSendable(kMaxRequestHead + 1);
    if (head.empty()) return;
    const RequestTarget target = ParseRequestTarget(head);
    if (target.result == RequestTarget::Result::NeedMore && !outbound.ended) return;
    if (target.result != RequestTarget::Result::Ok) {
        FailRoutingLocked(kBadRequest);
        return;
    }
    m_routeHost = target.host;
    m_routePort = target.port;
    if (target.connect) m_connectHeader = target.headerLength;
    m_upstream = Upstream::Routing;
    AddRef();
    if (!m_server.Post(this, &m_routeIo.overlapped)) {
        m_after.push_back([this] { Release(); });
        FailRoutingLocked(kBadGateway);
    }
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

// On a pool thread: the name look-up may take a while.
void CProxyConnection::OnRoute() {
    m_lock.Enter();
    const std::string host = m_routeHost;
    const std::string port = std::to_string(m_routePort);
    const bool closed = m_closed;
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
    if (m_closed) {
        Unlock();
        return;
    }
    if (!upstream) {
        FailRoutingLocked(kBadGateway);
        Unlock();
        return;
    }
    NoDelay(upstream.Get());
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
    Direction& outbound = m_directions[kOutbound];
    Direction& inbound = m_directions[kInbound];
    if (m_connectHeader > 0) {
        // The tunnel is the host's own answer; what passes through it is opaque.
        outbound.queue.Discard(m_connectHeader);
        m_connectHeader = 0;
        inbound.queue.Inject(reinterpret_cast<const BYTE*>(kTunnelOpen), sizeof kTunnelOpen - 1);
        m_tunnel = true;
        EndLocked();
        if (m_handler) {
            Microsoft::WRL::ComPtr<IQvProxyModuleEventHandler> handler = std::move(m_handler);
            m_after.push_back([handler]() mutable { handler.Reset(); });
        }
    }
    PostReceive(inbound);
    Flush(outbound);
    Flush(inbound);
}

void CProxyConnection::OnCompletion(OVERLAPPED* overlapped, bool ok, DWORD bytes) {
    Io* const io = CONTAINING_RECORD(overlapped, Io, overlapped);
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
        case IoKind::Connect:
            m_lock.Enter();
            if (!m_closed) {
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
    const bool scanned = m_handler && !m_tunnel;
    BYTE* const packet = direction.queue.Add(std::move(direction.receiveBuffer), bytes, scanned);
    if (!scanned) {
        Flush(direction);
        PostReceive(direction);
        Unlock();
        return;
    }
    Microsoft::WRL::ComPtr<IQvProxyModuleEventHandler> handler = m_handler;
    m_lock.Leave();

    // The packet is in the queue before the call: its verdict may come from another thread
    // before the call returns.
    DWORD verdict = kVerdictDefer;
    const HRESULT result = direction.from == kClient ? handler->OnOutboundData(bytes, packet, &verdict)
                                                     : handler->OnInboundData(bytes, packet, &verdict);
    // A packet the plug-in could not take is not let through.
    if (FAILED(result)) verdict = kVerdictFail;

    m_lock.Enter();
    if (verdict != kVerdictDefer) {
        if (direction.queue.Complete(packet, verdict) == CPacketQueue::Completion::Fail) {
            CloseLocked(true);
        } else {
            Flush(direction);
        }
    }
    PostReceive(direction);
    Unlock();
    // `handler` goes after the lock.
}

void CProxyConnection::OnSent(Direction& direction, bool ok, DWORD bytes) {
    m_lock.Enter();
    direction.sending = false;
    if (!m_closed) {
        if (!ok) {
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
    m_lock.Enter();
    const CPacketQueue::Completion completion = direction.queue.Complete(packet, verdict);
    if (m_closed) {
        direction.queue.Discard(direction.queue.Bytes());
    } else if (completion == CPacketQueue::Completion::Fail) {
        CloseLocked(true);
    } else if (completion == CPacketQueue::Completion::Applied) {
        ScheduleFlush(direction);
    }
    Unlock();
    return completion == CPacketQueue::Completion::Unknown ? E_INVALIDARG : S_OK;
}

HRESULT CProxyConnection::Inject(Direction& direction, DWORD size, const BYTE* bytes) {
    if (size > 0 && bytes == nullptr) return E_POINTER;
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
