#include "tests/Shared/SntpResponder.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <system_error>

namespace NuvTest {
namespace {

void PutBigEndian(BYTE* at, DWORD value) {
    at[0] = static_cast<BYTE>(value >> 24);
    at[1] = static_cast<BYTE>(value >> 16);
    at[2] = static_cast<BYTE>(value >> 8);
    at[3] = static_cast<BYTE>(value);
}

}  // namespace

SntpResponder::SntpResponder() {
    m_socket.Reset(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    if (!m_socket) throw std::system_error(::WSAGetLastError(), std::system_category(), "socket");
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(m_socket.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) == SOCKET_ERROR) {
        throw std::system_error(::WSAGetLastError(), std::system_category(), "bind");
    }
    int length = sizeof(address);
    if (::getsockname(m_socket.Get(), reinterpret_cast<sockaddr*>(&address), &length) == SOCKET_ERROR) {
        throw std::system_error(::WSAGetLastError(), std::system_category(), "getsockname");
    }
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { Serve(); });
}

SntpResponder::~SntpResponder() {
    m_stop = true;
    m_thread.join();
}

void SntpResponder::Serve() {
    while (!m_stop) {
        // A short select lets the destructor end the loop without closing the socket under it.
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(m_socket.Get(), &readable);
        timeval timeout = {0, 10000};
        if (::select(0, &readable, nullptr, nullptr, &timeout) <= 0) continue;

        BYTE request[128] = {};
        sockaddr_in from = {};
        int fromLength = sizeof(from);
        const int received = ::recvfrom(m_socket.Get(), reinterpret_cast<char*>(request), sizeof(request), 0,
                                        reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (received == SOCKET_ERROR) continue;
        m_lastSize = received;
        m_lastFirstByte = received > 0 ? request[0] : -1;
        ++m_requests;

        const Reply reply = m_reply.load();
        if (reply == Reply::Silent) continue;
        BYTE answer[48] = {};
        answer[0] = reply == Reply::WrongMode ? 0x23 : 0x24;  // version 4, mode 3 or 4
        answer[1] = 1;                                        // stratum: primary server
        PutBigEndian(answer + 32, m_seconds.load());          // receive timestamp
        if (reply != Reply::ZeroTimestamp) {
            PutBigEndian(answer + 40, m_seconds.load());
            PutBigEndian(answer + 44, m_fraction.load());
        }
        const int size = reply == Reply::Short ? 47 : 48;
        ::sendto(m_socket.Get(), reinterpret_cast<const char*>(answer), size, 0, reinterpret_cast<sockaddr*>(&from),
                 fromLength);
    }
}

}  // namespace NuvTest
