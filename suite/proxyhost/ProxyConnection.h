#pragma once
// One client connection through the forwarding host: the client socket, the upstream socket, and
// the plug-in's handler between them. Reads are overlapped on the server's completion port; every
// packet read is handed to the handler (outside the connection's lock) and waits in its direction's
// queue for its verdict; what may leave is written in order, one overlapped write per direction at
// a time. Verdicts and injected bytes arrive on the plug-in's threads through IQvProxyConnection.
// The upstream is opened once the first bytes are released toward it (a fixed one too), so a
// client that sends nothing costs no connection to the server. Each direction reads into a
// buffer of its own for the connection's life (a small one first, the full size once a read fills
// it); the plug-in gets a right-sized copy of what was read, which it owns until its verdict. A
// connection on which nothing moves for the server's idle time-out is closed.
// A CONNECT request is the plug-in's like any other: once released, the host opens the tunnel and
// hands its own answer to the plug-in as the first inbound packet; what follows is judged as plain
// HTTP is. A FAIL verdict ends the connection: the upstream is reset, the client still gets what
// was released or injected toward it before the FAIL, then the end (a reset when nothing was).

#include <winsock2.h>
#include <windows.h>
#include <proxyhost.h>
#include <wrl/client.h>

#include "PacketQueue.h"
#include "base/Sync.h"
#include "base/UniqueSocket.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace QvProxyStandIn {

class CProxyServer;

class CProxyConnection final : public IQvProxyConnection {
public:
    enum Side { kClient = 0, kUpstream = 1 };

    // The connection starts with one reference, the server's.
    CProxyConnection(CProxyServer& server, Tessal::UniqueSocket client);

    // The plug-in's handler, once its OnBegin has taken the connection; before Start. Without
    // one the connection is relayed as it is.
    void SetHandler(Microsoft::WRL::ComPtr<IQvProxyModuleEventHandler> handler) { m_handler = std::move(handler); }

    // Starts reading the client.
    void Start();
    // The tick count of the last bytes read or written, verdict or injection.
    ULONGLONG LastActivity() const noexcept { return m_lastActivity.load(std::memory_order_relaxed); }
    // Closes the connection when nothing has moved on it for `timeoutMs`; true when it is over
    // (closed now or before).
    bool CloseIfIdle(ULONGLONG timeoutMs);
    // Closes both sockets at once (the host stops): the peers see a reset.
    void Abort();
    // Called by the server's pool threads for every completion of this connection's I/O.
    void OnCompletion(OVERLAPPED* overlapped, bool ok, DWORD bytes);

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    // IQvProxyConnection
    STDMETHODIMP CompleteInbound(IQvProxyModuleEventHandler* handler, BYTE* packet, DWORD verdict) override;
    STDMETHODIMP InjectInbound(DWORD size, const BYTE* bytes) override;
    STDMETHODIMP CompleteOutbound(IQvProxyModuleEventHandler* handler, BYTE* packet, DWORD verdict) override;
    STDMETHODIMP InjectOutbound(DWORD size, const BYTE* bytes) override;

private:
    enum class IoKind { Receive, Send, Connect, Route, Flush, Tunnel, End, Linger };
    struct Io {
        OVERLAPPED overlapped{};
        IoKind kind = IoKind::Receive;
        int direction = 0;
    };
    // Bytes read from `from` on their way to the other side.
    struct Direction {
        Side from = kClient;
        CPacketQueue queue;
        Io receiveIo;
        Io sendIo;
        Io flushIo;
        std::unique_ptr<BYTE[]> receiveBuffer;
        size_t receiveSize = 0;  // of the buffer, once there is one
        bool receiving = false;
        bool handingOver = false;  // a packet read is with the plug-in: the next read waits for it
        bool sending = false;
        bool flushPosted = false;  // a pool thread will flush: verdicts arrive on the plug-in's threads
        bool ended = false;  // the source has closed its side
        bool shut = false;   // the end has been passed on to the destination
    };
    enum class Upstream { None, Routing, Connecting, Connected, Failed };
    // A CONNECT the plug-in released: Requested until the upstream is connected, Answering while
    // the host's answer is on its way to the plug-in; the upstream is read once it is Open.
    enum class Tunnel { None, Requested, Answering, Open };
    enum : int { kOutbound = 0, kInbound = 1 };

    ~CProxyConnection();

    SOCKET Socket(Side side) const { return m_sockets[side].Get(); }
    Side To(const Direction& direction) const { return direction.from == kClient ? kUpstream : kClient; }

    // Everything below runs under m_lock; what must happen outside it (calls into the plug-in,
    // releasing it) is left in m_after and done by Unlock.
    void Unlock();
    void Touch() noexcept { m_lastActivity.store(::GetTickCount64(), std::memory_order_relaxed); }
    void PostReceive(Direction& direction);
    void Flush(Direction& direction);
    // Flush on a pool thread: the plug-in's threads only queue the work, never start socket I/O
    // (a thread that starts overlapped I/O must outlive it, and under Wine it also finishes it).
    void ScheduleFlush(Direction& direction);
    // Starts writing what may leave; false when nothing may now.
    bool SendLocked(Direction& direction);
    void FinishIfDone();
    void CloseLocked(bool reset);
    // OnEnd, once, on a pool thread: never inside one of the plug-in's own calls.
    void EndLocked();
    void OnEndPosted();
    // Queues a copy of a packet read (or of the host's answer to a CONNECT) and hands it to the
    // plug-in, leaving the lock for the call; without a handler it goes as it is.
    void HandOverLocked(Direction& direction, const BYTE* bytes, DWORD size);
    CPacketQueue::Completion VerdictLocked(Direction& direction, BYTE* packet, DWORD verdict, bool onPool);
    void FailLocked();
    void FinishFailingLocked();
    void OnDrained(Direction& direction, bool ok, DWORD bytes);
    void OnLingerOver();
    static void CALLBACK LingerTimer(void* context, BOOLEAN);
    bool InspectLocked();
    bool UpstreamReadable() const;
    bool RoutingLocked() const;
    // Opens the upstream on a pool thread.
    void RouteLocked(const std::string& host, unsigned short port);
    void FailRoutingLocked(const char* response);
    void OpenTunnelLocked();
    void OnTunnel();
    void OnConnected();
    void OnReceived(Direction& direction, bool ok, DWORD bytes);
    void OnSent(Direction& direction, bool ok, DWORD bytes);
    void OnRoute();
    HRESULT Complete(Direction& direction, BYTE* packet, DWORD verdict);
    HRESULT Inject(Direction& direction, DWORD size, const BYTE* bytes);

    CProxyServer& m_server;
    LONG m_references = 1;
    Tessal::CCriticalSection m_lock;
    Tessal::UniqueSocket m_sockets[2];
    Microsoft::WRL::ComPtr<IQvProxyModuleEventHandler> m_handler;
    Direction m_directions[2];
    Io m_connectIo;
    Io m_routeIo;
    Io m_tunnelIo;
    Io m_endIo;
    Io m_lingerIo;
    Upstream m_upstream = Upstream::None;
    std::string m_routeHost;
    unsigned short m_routePort = 0;
    bool m_inspected = false;    // the first released request has been looked at
    Tunnel m_tunnel = Tunnel::None;
    size_t m_connectHeader = 0;  // bytes of a released CONNECT request at the head of the outbound queue
    bool m_endSent = false;      // OnEnd given to the handler
    Microsoft::WRL::ComPtr<IQvProxyModuleEventHandler> m_endHandler;  // OnEnd still to call
    bool m_failed = false;       // a FAIL verdict: the client only gets what was sendable then
    HANDLE m_lingerTimer = nullptr;  // bounds the wait for the client's end after a FAIL
    LONG m_lingerPosted = 0;         // the timer fired and its notice holds its reference
    bool m_closed = false;
    std::vector<std::function<void()>> m_after;
    std::atomic<ULONGLONG> m_lastActivity;
};

}  // namespace QvProxyStandIn
