#include "ProxyServer.h"

#include "ProxyConnection.h"
#include "nuvutil/com/CoInitializeScope.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <cstdio>

namespace QvProxyStandIn {

namespace {

// The completion key of the pool's quit message; connections use their own address.
constexpr ULONG_PTR kQuitKey = 0;

void Report(const char* what, int error) { std::fprintf(stderr, "serve: %s failed (%d)\n", what, error); }

}  // namespace

CProxyServer::CProxyServer(const ServeOptions& options, HandlerSource handlers)
    : m_options(options), m_handlers(std::move(handlers)) {}

CProxyServer::~CProxyServer() { Stop(); }

bool CProxyServer::Start() {
    m_completionPort.Reset(::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0));
    m_stop.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    m_acceptEvent.Reset(::WSACreateEvent());
    m_allClosed.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!m_completionPort || !m_stop || !m_acceptEvent || !m_allClosed) {
        Report("creating the completion port and events", static_cast<int>(::GetLastError()));
        return false;
    }
    m_listener.Reset(::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED));
    if (!m_listener) {
        Report("socket", ::WSAGetLastError());
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(m_options.port);
    int length = sizeof address;
    if (::bind(m_listener.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listener.Get(), SOMAXCONN) != 0 ||
        ::getsockname(m_listener.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::WSAEventSelect(m_listener.Get(), m_acceptEvent.Get(), FD_ACCEPT) != 0) {
        Report("binding 127.0.0.1", ::WSAGetLastError());
        return false;
    }
    m_port = ntohs(address.sin_port);
    GUID connectExId = WSAID_CONNECTEX;
    DWORD returned = 0;
    if (::WSAIoctl(m_listener.Get(), SIO_GET_EXTENSION_FUNCTION_POINTER, &connectExId, sizeof connectExId, &m_connectEx,
                   sizeof m_connectEx, &returned, nullptr, nullptr) != 0) {
        Report("finding ConnectEx", ::WSAGetLastError());
        return false;
    }
    const unsigned workers = std::max(2u, std::min(8u, std::thread::hardware_concurrency()));
    for (unsigned i = 0; i < workers; ++i) m_workers.emplace_back([this] { WorkLoop(); });
    m_acceptThread = std::thread([this] { AcceptLoop(); });
    return true;
}

void CProxyServer::Stop() {
    if (m_stop) ::SetEvent(m_stop.Get());
    if (m_acceptThread.joinable()) m_acceptThread.join();
    m_listener.Reset();
    std::vector<CProxyConnection*> open;
    {
        Tessal::CAutoLock lock(m_lock);
        for (CProxyConnection* connection : m_connections) {
            connection->AddRef();
            open.push_back(connection);
        }
        if (m_connections.empty() && m_allClosed) ::SetEvent(m_allClosed.Get());
    }
    for (CProxyConnection* connection : open) {
        connection->Abort();
        connection->Release();
    }
    // Aborted connections close at once; the bound only matters if something goes wrong.
    if (m_allClosed) ::WaitForSingleObject(m_allClosed.Get(), 5000);
    for (size_t i = 0; i < m_workers.size(); ++i) ::PostQueuedCompletionStatus(m_completionPort.Get(), 0, kQuitKey, nullptr);
    for (auto& worker : m_workers) worker.join();
    m_workers.clear();
}

bool CProxyServer::Associate(SOCKET socket, CProxyConnection* connection) {
    return ::CreateIoCompletionPort(reinterpret_cast<HANDLE>(socket), m_completionPort.Get(),
                                    reinterpret_cast<ULONG_PTR>(connection), 0) != nullptr;
}

bool CProxyServer::ConnectEx(SOCKET socket, const sockaddr* address, int length, OVERLAPPED* overlapped) const {
    return m_connectEx(socket, address, length, nullptr, 0, nullptr, overlapped) || ::WSAGetLastError() == ERROR_IO_PENDING;
}

bool CProxyServer::Post(CProxyConnection* connection, OVERLAPPED* overlapped) {
    return ::PostQueuedCompletionStatus(m_completionPort.Get(), 0, reinterpret_cast<ULONG_PTR>(connection), overlapped) !=
           FALSE;
}

void CProxyServer::Forget(CProxyConnection* connection) {
    bool known = false;
    {
        Tessal::CAutoLock lock(m_lock);
        known = m_connections.erase(connection) > 0;
        if (m_connections.empty() && ::WaitForSingleObject(m_stop.Get(), 0) == WAIT_OBJECT_0) {
            ::SetEvent(m_allClosed.Get());
        }
    }
    if (known) connection->Release();
}

void CProxyServer::WorkLoop() {
    // The plug-in's handler is called on these threads.
    NuvCom::CCoInitialize com;
    for (;;) {
        DWORD bytes = 0;
        ULONG_PTR key = 0;
        OVERLAPPED* overlapped = nullptr;
        const BOOL ok = ::GetQueuedCompletionStatus(m_completionPort.Get(), &bytes, &key, &overlapped, INFINITE);
        if (overlapped == nullptr) {
            if (!ok || key == kQuitKey) return;
            continue;
        }
        auto* const connection = reinterpret_cast<CProxyConnection*>(key);
        connection->OnCompletion(overlapped, ok != FALSE, bytes);
        // The reference the I/O held.
        connection->Release();
    }
}

void CProxyServer::AcceptLoop() {
    NuvCom::CCoInitialize com;
    const HANDLE events[] = {m_stop.Get(), m_acceptEvent.Get()};
    for (;;) {
        // The accept notice is not trusted alone: one lost notice would leave clients in the
        // backlog for good. A short time-out looks at the backlog anyway.
        const DWORD woken = ::WaitForMultipleObjects(2, events, FALSE, 100);
        if (woken != WAIT_OBJECT_0 + 1 && woken != WAIT_TIMEOUT) return;
        WSANETWORKEVENTS network{};
        ::WSAEnumNetworkEvents(m_listener.Get(), m_acceptEvent.Get(), &network);
        for (;;) {
            Tessal::UniqueSocket client(::accept(m_listener.Get(), nullptr, nullptr));
            if (!client) break;
            Accepted(std::move(client));
        }
    }
}

void CProxyServer::Accepted(Tessal::UniqueSocket client) {
    // An accepted socket inherits the listener's event selection and non-blocking mode.
    ::WSAEventSelect(client.Get(), nullptr, 0);
    u_long blocking = 0;
    ::ioctlsocket(client.Get(), FIONBIO, &blocking);
    const BOOL on = TRUE;
    ::setsockopt(client.Get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);

    Microsoft::WRL::ComPtr<IQvProxyModuleEventHandler> handler;
    if (m_handlers) handler = m_handlers();
    SOCKET socket = client.Get();
    auto* const connection = new CProxyConnection(*this, std::move(client));
    if (handler && handler->OnBegin(0, 0, 0, m_options.processId, m_options.sessionId, 0, connection) == S_OK) {
        connection->SetHandler(std::move(handler));
    }
    handler.Reset();
    if (!Associate(socket, connection)) {
        connection->Abort();
        connection->Release();
        return;
    }
    {
        Tessal::CAutoLock lock(m_lock);
        m_connections.insert(connection);
    }
    connection->Start();
}

}  // namespace QvProxyStandIn
