#pragma once
// The forwarding host: listens on 127.0.0.1, asks for a handler (the plug-in's, when one is
// loaded) per client connection and relays each connection to its upstream through a small pool
// of threads on one I/O completion port.

#include <winsock2.h>
#include <mswsock.h>
#include <windows.h>

#include <proxyhost.h>
#include <wrl/client.h>

#include "base/Sync.h"
#include "base/UniqueHandle.h"
#include "base/UniqueSocket.h"

#include <functional>
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
};

// A new handler for each client connection; null: the connection is relayed as it is.
using HandlerSource = std::function<Microsoft::WRL::ComPtr<IQvProxyModuleEventHandler>()>;

// Bytes read per packet, and the most a direction holds (waiting and unsent) before its reads
// pause: above the plug-in's 4 MiB scan buffer plus a packet, so the plug-in never waits on us.
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

    // For connections.
    const ServeOptions& Options() const noexcept { return m_options; }
    bool Associate(SOCKET socket, CProxyConnection* connection);
    bool ConnectEx(SOCKET socket, const sockaddr* address, int length, OVERLAPPED* overlapped) const;
    bool Post(CProxyConnection* connection, OVERLAPPED* overlapped);
    void Forget(CProxyConnection* connection);

private:
    void AcceptLoop();
    void WorkLoop();
    void Accepted(Tessal::UniqueSocket client);

    ServeOptions m_options;
    HandlerSource m_handlers;
    unsigned short m_port = 0;
    Tessal::UniqueSocket m_listener;
    Tessal::UniqueHandle m_completionPort;
    Tessal::UniqueHandle m_stop;
    Tessal::UniqueHandle m_acceptEvent;
    LPFN_CONNECTEX m_connectEx = nullptr;
    std::thread m_acceptThread;
    std::vector<std::thread> m_workers;
    Tessal::CCriticalSection m_lock;  // the set of open connections, taken on open and close only
    std::set<CProxyConnection*> m_connections;
    Tessal::UniqueHandle m_allClosed;
};

}  // namespace QvProxyStandIn
