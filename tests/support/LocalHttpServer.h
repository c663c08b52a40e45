#pragma once
// A small HTTP/1.1 server on the loopback interface for tests: it hands each request to a
// handler, records what it received, and can be told to answer late or never.

#include <winsock2.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tests/support/HttpMessage.h"
#include "tests/support/UniqueSocket.h"
#include "tests/support/WinsockSession.h"

namespace NuvTest {

class LocalHttpServer {
public:
    // Runs on the connection's own thread; an exception becomes a 500 answer.
    using Handler = std::function<HttpResponse(const HttpRequest&)>;

    // Listens on 127.0.0.1:`port` (0: an ephemeral port) and serves until Stop or destruction.
    // Throws std::system_error when it cannot listen.
    explicit LocalHttpServer(Handler handler, uint16_t port = 0);
    ~LocalHttpServer();
    LocalHttpServer(const LocalHttpServer&) = delete;
    LocalHttpServer& operator=(const LocalHttpServer&) = delete;

    uint16_t Port() const noexcept { return m_port; }
    // "http://127.0.0.1:<port>" followed by `path`.
    std::wstring Url(std::wstring_view path = L"/") const;

    // Both apply to requests that arrive afterwards.
    void SetResponseDelay(std::chrono::milliseconds delay);
    // Reads and records requests but never answers; the connection stays open until the client
    // gives up or the server stops.
    void SetNeverAnswer(bool neverAnswer);

    // Every complete request received so far, in order; malformed ones are not recorded.
    std::vector<HttpRequest> Requests() const;
    // True once `count` requests were recorded, false after `timeout`.
    bool WaitForRequests(size_t count, std::chrono::milliseconds timeout) const;

    // Closes the listener and every connection, waits for their threads, and returns within a
    // poll interval plus whatever a running handler still needs. Call it from the owning thread,
    // never from the handler; calling it again does nothing.
    void Stop();

private:
    struct Connection {
        std::thread thread;
        bool finished = false;
    };

    void AcceptLoop();
    void Serve(SOCKET socket);
    HttpResponse Answer(const HttpRequest& request) const;
    bool WaitReadable(SOCKET socket) const;
    bool SendAll(SOCKET socket, std::string_view bytes) const;
    void DrainUntilClosed(SOCKET socket, std::chrono::milliseconds limit) const;
    bool SleepUnlessStopping(std::chrono::milliseconds delay) const;
    void ReapFinishedConnections();

    WinsockSession m_winsock;
    Handler m_handler;
    UniqueSocket m_listener;
    uint16_t m_port = 0;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    bool m_stopping = false;
    std::chrono::milliseconds m_responseDelay{0};
    bool m_neverAnswer = false;
    std::vector<HttpRequest> m_requests;
    std::list<Connection> m_connections;

    std::thread m_acceptThread;
};

}  // namespace NuvTest
