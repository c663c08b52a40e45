#include "Shared/SimpleSocket.h"

#include "base/TextConversion.h"
#include "logging/Logging.h"

#include <ws2tcpip.h>

#include <memory>
#include <string>

namespace {

struct AddrInfoDeleter {
    void operator()(addrinfo* info) const noexcept { ::freeaddrinfo(info); }
};
using UniqueAddrInfo = std::unique_ptr<addrinfo, AddrInfoDeleter>;

}  // namespace

bool CSimpleSocket::Create(int family, int type) {
    Close();
    if (type != kStream && type != kDatagram) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"CSimpleSocket::Create: unsupported socket type %d\r\n", type);
        return false;
    }
    m_socket.Reset(::socket(family, type, type == kStream ? IPPROTO_TCP : IPPROTO_UDP));
    if (!m_socket) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"CSimpleSocket::Create: socket failed (Err %d)\r\n", ::WSAGetLastError());
        return false;
    }
    m_family = family;
    m_type = type;
    return true;
}

bool CSimpleSocket::Connect(const wchar_t* host, unsigned short port) {
    if (!m_socket || host == nullptr || *host == L'\0') return false;

    // The narrow resolver is the one every supported Windows has; it reads the thread's code page.
    const std::string narrowHost = Tessal::ToThreadAnsi(host);
    const std::string service = std::to_string(port);
    addrinfo hints = {};
    hints.ai_family = m_family;
    hints.ai_socktype = m_type;
    addrinfo* found = nullptr;
    const int error = ::getaddrinfo(narrowHost.c_str(), service.c_str(), &hints, &found);
    UniqueAddrInfo addresses(found);
    if (error != 0 || !addresses) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"CSimpleSocket::Connect: getaddrinfo(%s) failed (Err %d)\r\n", host, error);
        return false;
    }
    if (::connect(m_socket.Get(), addresses->ai_addr, static_cast<int>(addresses->ai_addrlen)) == SOCKET_ERROR) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"CSimpleSocket::Connect: connect to %s:%u failed (Err %d)\r\n", host,
                static_cast<unsigned>(port), ::WSAGetLastError());
        return false;
    }
    return true;
}

int CSimpleSocket::Send(const void* buffer, int length) {
    if (!m_socket || buffer == nullptr || length <= 0) return 0;
    const int sent = ::send(m_socket.Get(), static_cast<const char*>(buffer), length, 0);
    if (sent == SOCKET_ERROR) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"CSimpleSocket::Send: send failed (Err %d)\r\n", ::WSAGetLastError());
        return 0;
    }
    return sent;
}

int CSimpleSocket::WaitReadable(DWORD timeoutMs) {
    if (!m_socket) return SOCKET_ERROR;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(m_socket.Get(), &readable);
    timeval timeout = {};
    timeout.tv_sec = static_cast<long>(timeoutMs / 1000);
    timeout.tv_usec = static_cast<long>((timeoutMs % 1000) * 1000);
    const int result = ::select(0, &readable, nullptr, nullptr, &timeout);
    if (result == SOCKET_ERROR) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"CSimpleSocket::WaitReadable: select failed (Err %d)\r\n", ::WSAGetLastError());
    }
    return result;
}

int CSimpleSocket::Receive(void* buffer, int length) {
    if (!m_socket || buffer == nullptr || length <= 0) return 0;
    const int received = ::recv(m_socket.Get(), static_cast<char*>(buffer), length, 0);
    if (received == SOCKET_ERROR) {
        const int error = ::WSAGetLastError();
        // A datagram longer than the buffer still delivers its first `length` bytes.
        if (error == WSAEMSGSIZE && m_type == kDatagram) return length;
        NUV_LOG(ETWLogging::LOG_ERROR, L"CSimpleSocket::Receive: recv failed (Err %d)\r\n", error);
    }
    return received;
}
