#include "tests/support/LocalHttpServer.h"

#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>

namespace {

using NuvTest::HttpRequest;
using NuvTest::HttpResponse;
using NuvTest::LocalHttpServer;
using NuvTest::UniqueSocket;
using namespace std::chrono_literals;

// A plain TCP client, so that the tests can send what no HTTP library would.
class RawClient {
public:
    explicit RawClient(uint16_t port) {
        m_socket.Reset(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        if (!m_socket) throw std::runtime_error("socket failed");
        // No test may hang on a server that does not answer.
        const DWORD timeoutMs = 5000;
        ::setsockopt(m_socket.Get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs),
                     sizeof(timeoutMs));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        if (::connect(m_socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
            throw std::runtime_error("connect failed");
        }
    }

    void Send(const std::string& bytes) {
        ASSERT_EQ(::send(m_socket.Get(), bytes.data(), static_cast<int>(bytes.size()), 0),
                  static_cast<int>(bytes.size()));
    }

    // Everything until the server closes the connection (or the receive time-out).
    std::string ReadUntilClosed() {
        std::string received;
        char buffer[4096];
        int n = 0;
        while ((n = ::recv(m_socket.Get(), buffer, sizeof(buffer), 0)) > 0) received.append(buffer, n);
        return received;
    }

private:
    NuvTest::WinsockSession m_winsock;
    UniqueSocket m_socket;
};

HttpResponse Echo(const HttpRequest& request) {
    return HttpResponse::With(200, request.method + " " + request.target + " " + request.body, "text/plain");
}

TEST(LocalHttpServer, AnswersPipelinedRequestsInOrderOnOneConnection) {
    LocalHttpServer server(Echo);
    RawClient client(server.Port());
    client.Send(
        "POST /first HTTP/1.1\r\nHost: t\r\nContent-Length: 3\r\n\r\nabc"
        "GET /second HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(client.ReadUntilClosed(),
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 15\r\n\r\nPOST /first abc"
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 12\r\nConnection: close\r\n\r\n"
              "GET /second ");

    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].body, "abc");
    EXPECT_EQ(requests[1].target, "/second");
}

TEST(LocalHttpServer, RefusesMalformedRequestsAndKeepsServing) {
    LocalHttpServer server(Echo);
    {
        RawClient client(server.Port());
        client.Send("GET / HTTP/1.1\r\nHost : t\r\n\r\n");
        const std::string answer = client.ReadUntilClosed();
        EXPECT_EQ(answer.rfind("HTTP/1.1 400 Bad Request\r\n", 0), 0u) << answer;
        EXPECT_NE(answer.find("Connection: close\r\n"), std::string::npos);
    }
    EXPECT_TRUE(server.Requests().empty());

    RawClient next(server.Port());
    next.Send("GET /ok HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(next.ReadUntilClosed().rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
}

TEST(LocalHttpServer, HandlerExceptionBecomesInternalServerError) {
    LocalHttpServer server([](const HttpRequest&) -> HttpResponse { throw std::runtime_error("handler broke"); });
    RawClient client(server.Port());
    client.Send("GET / HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n");
    const std::string answer = client.ReadUntilClosed();
    EXPECT_EQ(answer.rfind("HTTP/1.1 500 Internal Server Error\r\n", 0), 0u) << answer;
    EXPECT_NE(answer.find("handler broke"), std::string::npos);
}

TEST(LocalHttpServer, HeadAnswerAnnouncesTheLengthWithoutTheBody) {
    LocalHttpServer server(Echo);
    RawClient client(server.Port());
    client.Send("HEAD /h HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(client.ReadUntilClosed(),
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 8\r\nConnection: close\r\n\r\n");
}

TEST(LocalHttpServer, DelaysItsAnswerWhenToldTo) {
    LocalHttpServer server(Echo);
    server.SetResponseDelay(300ms);
    RawClient client(server.Port());
    const auto start = std::chrono::steady_clock::now();
    client.Send("GET / HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(client.ReadUntilClosed().rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);
}

// A client left waiting on a server that never answers must not hold up Stop.
TEST(LocalHttpServer, StopEndsNeverAnsweredConnectionsPromptly) {
    LocalHttpServer server(Echo);
    server.SetNeverAnswer(true);
    RawClient client(server.Port());
    client.Send("GET /silence HTTP/1.1\r\nHost: t\r\n\r\n");
    ASSERT_TRUE(server.WaitForRequests(1, 5s));

    const auto start = std::chrono::steady_clock::now();
    server.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    // The connection was closed without an answer.
    EXPECT_EQ(client.ReadUntilClosed(), "");
    EXPECT_EQ(server.Requests().at(0).target, "/silence");
}

}  // namespace
