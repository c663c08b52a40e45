#include "ProxyServer.h"

#include "ProxyConnection.h"
#include "nuvutil/com/CoInitializeScope.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <climits>
#include <cstdio>

namespace QvProxyStandIn {

namespace {

// The completion key of the pool's quit message, and of the listener's accepts; connections use
// their own address, which is neither.
constexpr ULONG_PTR kQuitKey = 0;
constexpr ULONG_PTR kAcceptKey = 1;
// Accepts kept in flight: a burst of clients waits in the backlog only while all are taken.
constexpr size_t kAcceptsInFlight = 16;
constexpr DWORD kAddressLength = sizeof(sockaddr_in) + 16;

void Report(const char* what, int error) { std::fprintf(stderr, "serve: %s failed (%d)\n", what, error); }

template <typename Function>
bool ExtensionFunction(SOCKET socket, GUID id, Function* function) {
    DWORD returned = 0;
    return ::WSAIoctl(socket, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, function, sizeof *function,
                      &returned, nullptr, nullptr) == 0;
}

}  // namespace

CProxyServer::CProxyServer(const ServeOptions& options, HandlerSource handlers)
    : m_options(options), m_handlers(std::move(handlers)) {}

CProxyServer::~CProxyServer() { Stop(); }

bool CProxyServer::Start() {
    m_completionPort.Reset(::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0));
    m_stop.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    m_acceptsOver.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    m_idleWake.Reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    m_allClosed.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!m_completionPort || !m_stop || !m_acceptsOver || !m_idleWake || !m_allClosed) {
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
        ::getsockname(m_listener.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        Report("binding 127.0.0.1", ::WSAGetLastError());
        return false;
    }
    m_port = ntohs(address.sin_port);
    if (!ExtensionFunction(m_listener.Get(), WSAID_CONNECTEX, &m_connectEx) ||
        !ExtensionFunction(m_listener.Get(), WSAID_ACCEPTEX, &m_acceptEx)) {
        Report("finding ConnectEx and AcceptEx", ::WSAGetLastError());
        return false;
    }
    if (::CreateIoCompletionPort(reinterpret_cast<HANDLE>(m_listener.Get()), m_completionPort.Get(), kAcceptKey, 0) ==
        nullptr) {
        Report("associating the listener", static_cast<int>(::GetLastError()));
        return false;
    }
    const unsigned workers = std::max(2u, std::min(8u, std::thread::hardware_concurrency()));
    for (unsigned i = 0; i < workers; ++i) m_workers.emplace_back([this] { WorkLoop(); });
    if (m_options.idleTimeoutMs != 0) m_idleThread = std::thread([this] { IdleLoop(); });
    Tessal::CAutoLock lock(m_lock);
    for (size_t i = 0; i < kAcceptsInFlight; ++i) {
        m_acceptSlots.push_back(std::make_unique<AcceptSlot>());
        ArmLocked(*m_acceptSlots.back());
    }
    if (m_armed == 0) {
        Report("AcceptEx", ::WSAGetLastError());
        return false;
    }
    return true;
}

void CProxyServer::Stop() {
    if (m_stop) ::SetEvent(m_stop.Get());
    {
        Tessal::CAutoLock lock(m_lock);
        m_stopping = true;
        if (m_armed == 0 && m_acceptsOver) ::SetEvent(m_acceptsOver.Get());
    }
    if (m_listener) {
        // Pending accepts end with an error; their notices still come through the pool.
        ::CancelIoEx(reinterpret_cast<HANDLE>(m_listener.Get()), nullptr);
        m_listener.Reset();
    }
    // After this no connection is being accepted any more, so the set below is complete.
    if (m_acceptsOver) ::WaitForSingleObject(m_acceptsOver.Get(), 5000);
    if (m_idleThread.joinable()) m_idleThread.join();
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

ServeCounters CProxyServer::Counters() const noexcept {
    ServeCounters counters;
    counters.accepted = m_accepted.load();
    counters.upstreams = m_upstreams.load();
    counters.receiveBuffers = m_receiveBuffers.load();
    counters.idleClosed = m_idleClosed.load();
    return counters;
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
        if (m_connections.empty() && m_stopping) ::SetEvent(m_allClosed.Get());
        // A socket freed: an accept that found none may start now.
        if (!m_stopping && !m_parked.empty()) {
            AcceptSlot* const slot = m_parked.back();
            m_parked.pop_back();
            ArmLocked(*slot);
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
        if (key == kAcceptKey) {
            OnAccepted(*CONTAINING_RECORD(overlapped, AcceptSlot, overlapped), ok != FALSE);
            continue;
        }
        auto* const connection = reinterpret_cast<CProxyConnection*>(key);
        connection->OnCompletion(overlapped, ok != FALSE, bytes);
        // The reference the I/O held.
        connection->Release();
    }
}

bool CProxyServer::ArmLocked(AcceptSlot& slot) {
    // A client that connected and reset before its accept fails that accept at once: try again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        slot.socket.Reset(::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED));
        if (!slot.socket) break;
        slot.overlapped = OVERLAPPED{};
        DWORD received = 0;
        if (m_acceptEx(m_listener.Get(), slot.socket.Get(), slot.addresses, 0, kAddressLength, kAddressLength, &received,
                       &slot.overlapped) ||
            ::WSAGetLastError() == ERROR_IO_PENDING) {
            // Its notice comes through the pool either way.
            ++m_armed;
            return true;
        }
    }
    slot.socket.Reset();
    m_parked.push_back(&slot);
    return false;
}

void CProxyServer::OnAccepted(AcceptSlot& slot, bool ok) {
    // A failed accept (the listener closed, the client gone) leaves an unconnected socket.
    Tessal::UniqueSocket client = std::move(slot.socket);
    SOCKET listener = INVALID_SOCKET;
    if (ok) {
        Tessal::CAutoLock lock(m_lock);
        if (!m_stopping) listener = m_listener.Get();
    }
    // Without the context the accepted socket knows neither its addresses nor how to shut down.
    if (listener == INVALID_SOCKET ||
        ::setsockopt(client.Get(), SOL_SOCKET, SO_UPDATE_ACCEPT_CONTEXT, reinterpret_cast<const char*>(&listener),
                     sizeof listener) != 0) {
        client.Reset();
    }
    // Before the accept counts as over: Stop then knows every connection there is.
    if (client) Accepted(std::move(client));
    Tessal::CAutoLock lock(m_lock);
    --m_armed;
    if (!m_stopping) {
        ArmLocked(slot);
    } else if (m_armed == 0) {
        ::SetEvent(m_acceptsOver.Get());
    }
}

void CProxyServer::Accepted(Tessal::UniqueSocket client) {
    ++m_accepted;
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
    bool open = Associate(socket, connection);
    if (open) {
        Tessal::CAutoLock lock(m_lock);
        open = !m_stopping;
        if (open) {
            m_connections.insert(connection);
            if (!m_idleWatching) {
                m_idleWatching = true;
                ::SetEvent(m_idleWake.Get());
            }
        }
    }
    if (!open) {
        connection->Abort();
        connection->Release();
        return;
    }
    connection->Start();
}

void CProxyServer::IdleLoop() {
    const ULONGLONG timeout = m_options.idleTimeoutMs;
    // Each round looks at every connection: rounds come at most this often, so a cut lands at
    // most this much after the time-out.
    const ULONGLONG round = std::max<ULONGLONG>(timeout / 8, 10);
    const HANDLE events[] = {m_stop.Get(), m_idleWake.Get()};
    for (;;) {
        const ULONGLONG now = ::GetTickCount64();
        ULONGLONG next = ULLONG_MAX;  // when the connection idle longest may run out of time
        std::vector<CProxyConnection*> expired;
        {
            Tessal::CAutoLock lock(m_lock);
            for (CProxyConnection* connection : m_connections) {
                const ULONGLONG last = connection->LastActivity();
                if (last <= now && now - last >= timeout) {
                    connection->AddRef();
                    expired.push_back(connection);
                } else {
                    next = std::min(next, last + timeout);
                }
            }
        }
        for (CProxyConnection* connection : expired) {
            // Outside the set's lock: closing forgets the connection.
            if (!connection->CloseIfIdle(timeout)) next = std::min(next, now + timeout);
            connection->Release();
        }
        if (next == ULLONG_MAX) {
            Tessal::CAutoLock lock(m_lock);
            // Asleep until a connection comes; one that came since the look above is younger
            // than the time-out.
            m_idleWatching = !m_connections.empty();
            if (m_idleWatching) next = now + timeout;
        }
        DWORD wait = INFINITE;
        if (next != ULLONG_MAX) {
            const ULONGLONG later = ::GetTickCount64();
            const ULONGLONG left = std::max(next > later ? next - later : 0, round);
            wait = static_cast<DWORD>(std::min<ULONGLONG>(left, INFINITE - 1));
        }
        if (::WaitForMultipleObjects(2, events, FALSE, wait) == WAIT_OBJECT_0) return;
    }
}

}  // namespace QvProxyStandIn
