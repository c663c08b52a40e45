#pragma once
// The forwarding host: listens on 127.0.0.1, asks for a handler (the plug-in's, when one is
// loaded) per client connection and relays each connection to its upstream through a small pool
// of threads on one I/O completion port. Connections are accepted on that port too (AcceptEx, a
// few always pending), so nothing wakes without a client; one more thread closes idle connections,
// waking only when the oldest of them may have run out of time.

#include <winsock2.h>
#include <mswsock.h>
#include <windows.h>

#include <proxyhost.h>
#include <wrl/client.h>

#include "base/Sync.h"
#include "base/UniqueHandle.h"
#include "base/UniqueSocket.h"

#include <atomic>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace QvProxyStandIn {

class CProxyConnection;

struct ServeOptions {
    unsigned short port = 0;     // 0: any free port
    std::string upstreamHost;    // empty: each connection's first request names it
    unsigned short upstreamPort = 0;
    DWORD sessionId = 0;
    DWORD processId = 0;
    bool plugin = true;          // false: plain relaying, nothing loaded
    // A client connection on which nothing has moved (read, written, judged) for this long is
    // closed, as common proxies do; 0: never. A scan that keeps the plug-in as long is cut too.
    DWORD idleTimeoutMs = 60000;
};

// What the host has done since it started: the stand-in's own cost, for tests and the benchmark.
struct ServeCounters {
    size_t accepted = 0;        // client connections
    size_t upstreams = 0;       // upstream connections opened
    size_t receiveBuffers = 0;  // receive buffers allocated (at most two per direction that read)
    size_t idleClosed = 0;      // client connections closed for being idle
};

// A new handler for each client connection; null: the connection is relayed as it is.
using HandlerSource = std::function<Microsoft::WRL::ComPtr<IQvProxyModuleEventHandler>()>;

// Bytes read per packet, and the most a direction holds (its packets' memory, waiting and unsent)
// before its reads pause: above the plug-in's 4 MiB scan buffer plus a packet, so the plug-in
// never waits on us. A direction reads into a small buffer until a read fills it: a posted read
// keeps its whole buffer resident (under Wine at least), and most clients are idle or send one
// short request.
constexpr size_t kFirstReceiveSize = 4 * 1024;
constexpr size_t kPacketSize = 64 * 1024;
constexpr size_t kMaxHeldPerDirection = 8 * 1024 * 1024;

class CProxyServer {
public:
    CProxyServer(const ServeOptions& options, HandlerSource handlers);
    ~CProxyServer();
    CProxyServer(const CProxyServer&) = delete;
    CProxyServer& operator=(const CProxyServer&) = delete;

    // Binds and starts the threads; the bound port is then Port(). False (logged) on failure.
    bool Start();
    unsigned short Port() const noexcept { return m_port; }
    // Stops accepting, resets every connection still open, waits for them (bounded) and joins
    // the threads. The plug-in is left to the caller.
    void Stop();

    ServeCounters Counters() const noexcept;

    // For connections.
    const ServeOptions& Options() const noexcept { return m_options; }
    void CountUpstream() noexcept { ++m_upstreams; }
    void CountReceiveBuffer() noexcept { ++m_receiveBuffers; }
    void CountIdleClose() noexcept { ++m_idleClosed; }
    bool Associate(SOCKET socket, CProxyConnection* connection);
    bool ConnectEx(SOCKET socket, const sockaddr* address, int length, OVERLAPPED* overlapped) const;
    bool Post(CProxyConnection* connection, OVERLAPPED* overlapped);
    void Forget(CProxyConnection* connection);

private:
    // One AcceptEx in flight: the socket it accepts into and the addresses it writes.
    struct AcceptSlot {
        OVERLAPPED overlapped{};
        Tessal::UniqueSocket socket;
        char addresses[2 * (sizeof(sockaddr_in) + 16)] = {};
    };

    void WorkLoop();
    void IdleLoop();
    // Starts an accept in the slot (under m_lock); false when it cannot: the slot is parked.
    bool ArmLocked(AcceptSlot& slot);
    void OnAccepted(AcceptSlot& slot, bool ok);
    void Accepted(Tessal::UniqueSocket client);

    ServeOptions m_options;
    HandlerSource m_handlers;
    unsigned short m_port = 0;
    Tessal::UniqueSocket m_listener;
    Tessal::UniqueHandle m_completionPort;
    Tessal::UniqueHandle m_stop;
    LPFN_CONNECTEX m_connectEx = nullptr;
    LPFN_ACCEPTEX m_acceptEx = nullptr;
    std::vector<std::thread> m_workers;
    std::thread m_idleThread;
    // The set of open connections and the accept slots: taken on open and close, and by the
    // idle thread once a round.
    Tessal::CCriticalSection m_lock;
    std::set<CProxyConnection*> m_connections;
    std::vector<std::unique_ptr<AcceptSlot>> m_acceptSlots;
    std::vector<AcceptSlot*> m_parked;  // accepts that could not start: tried again as connections close
    size_t m_armed = 0;                 // accepts in flight
    bool m_stopping = false;
    bool m_idleWatching = false;        // the idle thread knows of at least one connection
    Tessal::UniqueHandle m_acceptsOver;  // set once stopping and no accept is in flight
    Tessal::UniqueHandle m_idleWake;
    Tessal::UniqueHandle m_allClosed;
    std::atomic<size_t> m_accepted{0};
    std::atomic<size_t> m_upstreams{0};
    std::atomic<size_t> m_receiveBuffers{0};
    std::atomic<size_t> m_idleClosed{0};
};

}  // namespace QvProxyStandIn
