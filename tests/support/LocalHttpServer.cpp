#include "tests/support/LocalHttpServer.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <exception>
#include <system_error>
#include <utility>

#include "tests/support/HttpRequestParser.h"

namespace NuvTest {

namespace {

// Blocking calls are cut into slices this long so that Stop is noticed without closing a socket
// under another thread's feet.
constexpr auto kPollInterval = std::chrono::milliseconds(20);
// A peer that stops reading must not hold Stop up for longer than this.
constexpr DWORD kSendTimeoutMs = 5000;

[[noreturn]] void ThrowLastSocketError(const char* what) {
    throw std::system_error(::WSAGetLastError(), std::system_category(), what);
}

}  // namespace

LocalHttpServer::LocalHttpServer(Handler handler, uint16_t port) : m_handler(std::move(handler)) {
    m_listener.Reset(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!m_listener) ThrowLastSocketError("socket");

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::bind(m_listener.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        ThrowLastSocketError("bind");
    }
    if (::listen(m_listener.Get(), SOMAXCONN) != 0) ThrowLastSocketError("listen");
    int length = sizeof(address);
    if (::getsockname(m_listener.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ThrowLastSocketError("getsockname");
    }
    m_port = ntohs(address.sin_port);
    m_acceptThread = std::thread([this] { AcceptLoop(); });
}

LocalHttpServer::~LocalHttpServer() { Stop(); }

std::wstring LocalHttpServer::Url(std::wstring_view path) const {
    return L"http://127.0.0.1:" + std::to_wstring(m_port) + std::wstring(path);
}

void LocalHttpServer::SetResponseDelay(std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_responseDelay = delay;
}

void LocalHttpServer::SetNeverAnswer(bool neverAnswer) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_neverAnswer = neverAnswer;
}

std::vector<HttpRequest> LocalHttpServer::Requests() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

bool LocalHttpServer::WaitForRequests(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_requests.size() >= count; });
}

void LocalHttpServer::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    if (m_acceptThread.joinable()) m_acceptThread.join();
    m_listener.Reset();

    std::list<Connection> connections;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        connections.swap(m_connections);
    }
    for (Connection& connection : connections) {
        if (connection.thread.joinable()) connection.thread.join();
    }
}

void LocalHttpServer::AcceptLoop() {
    while (WaitReadable(m_listener.Get())) {
        UniqueSocket socket(::accept(m_listener.Get(), nullptr, nullptr));
        if (!socket) continue;
        ::setsockopt(socket.Get(), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&kSendTimeoutMs),
                     sizeof(kSendTimeoutMs));
        ReapFinishedConnections();

        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping) break;
        // The thread reaches its own entry through the iterator; list entries never move.
        auto entry = m_connections.emplace(m_connections.end());
        entry->thread = std::thread([this, entry, owned = std::move(socket)]() mutable {
            Serve(owned.Get());
            owned.Reset();
            std::lock_guard<std::mutex> lock(m_mutex);
            entry->finished = true;
        });
    }
}

void LocalHttpServer::ReapFinishedConnections() {
    std::list<Connection> finished;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_connections.begin(); it != m_connections.end();) {
            auto next = std::next(it);
            if (it->finished) finished.splice(finished.end(), m_connections, it);
            it = next;
        }
    }
    for (Connection& connection : finished) connection.thread.join();
}

void LocalHttpServer::Serve(SOCKET socket) {
    HttpRequestParser parser;
    char buffer[16 * 1024];
    for (;;) {
        HttpRequestParser::Status status = parser.Parse();
        while (status == HttpRequestParser::Status::NeedMoreData) {
            if (!WaitReadable(socket)) return;
            const int received = ::recv(socket, buffer, sizeof(buffer), 0);
            if (received <= 0) return;  // closed by the peer, or reset
            status = parser.Feed(std::string_view(buffer, static_cast<size_t>(received)));
        }

        if (status == HttpRequestParser::Status::Error) {
            const HttpResponse refusal =
                HttpResponse::With(parser.ErrorStatus(), parser.ErrorDetail() + "\n", "text/plain; charset=utf-8");
            if (SendAll(socket, refusal.Serialize(true))) {
                ::shutdown(socket, SD_SEND);
                // Closing with unread bytes would reset the connection and lose the answer.
                DrainUntilClosed(socket, std::chrono::seconds(1));
            }
            return;
        }

        const HttpRequest request = parser.TakeRequest();
        bool neverAnswer = false;
        std::chrono::milliseconds delay{0};
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_requests.push_back(request);
            neverAnswer = m_neverAnswer;
            delay = m_responseDelay;
        }
        m_changed.notify_all();

        if (neverAnswer) {
            DrainUntilClosed(socket, std::chrono::milliseconds::max());
            return;
        }
        if (delay.count() > 0 && !SleepUnlessStopping(delay)) return;

        const bool keep = request.KeepsConnection();
        if (!SendAll(socket, Answer(request).Serialize(!keep, request.method == "HEAD"))) return;
        if (!keep) {
            ::shutdown(socket, SD_SEND);
            DrainUntilClosed(socket, std::chrono::seconds(1));
            return;
        }
    }
}

HttpResponse LocalHttpServer::Answer(const HttpRequest& request) const {
    try {
        return m_handler ? m_handler(request) : HttpResponse::With(404);
    } catch (const std::exception& e) {
        return HttpResponse::With(500, std::string(e.what()) + "\n", "text/plain; charset=utf-8");
    } catch (...) {
        return HttpResponse::With(500);
    }
}

bool LocalHttpServer::WaitReadable(SOCKET socket) const {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stopping) return false;
        }
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(socket, &readable);
        timeval timeout{0, static_cast<long>(std::chrono::microseconds(kPollInterval).count())};
        const int ready = ::select(0, &readable, nullptr, nullptr, &timeout);
        if (ready > 0) return true;
        if (ready < 0) return false;
    }
}

bool LocalHttpServer::SendAll(SOCKET socket, std::string_view bytes) const {
    while (!bytes.empty()) {
        const int chunk = static_cast<int>(std::min<size_t>(bytes.size(), 64 * 1024));
        const int sent = ::send(socket, bytes.data(), chunk, 0);
        if (sent <= 0) return false;
        bytes.remove_prefix(static_cast<size_t>(sent));
    }
    return true;
}

void LocalHttpServer::DrainUntilClosed(SOCKET socket, std::chrono::milliseconds limit) const {
    const auto deadline = limit == std::chrono::milliseconds::max()
                              ? std::chrono::steady_clock::time_point::max()
                              : std::chrono::steady_clock::now() + limit;
    char buffer[4096];
    while (std::chrono::steady_clock::now() < deadline && WaitReadable(socket)) {
        if (::recv(socket, buffer, sizeof(buffer), 0) <= 0) return;
    }
}

bool LocalHttpServer::SleepUnlessStopping(std::chrono::milliseconds delay) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return !m_changed.wait_for(lock, delay, [&] { return m_stopping; });
}

}  // namespace NuvTest
