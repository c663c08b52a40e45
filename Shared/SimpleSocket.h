#pragma once
// A client socket for small request/answer exchanges: create, connect by host name, send, wait
// until readable, receive, close. The caller keeps Winsock started (WSAStartup) meanwhile.

#include "base/UniqueSocket.h"

#include <winsock2.h>

class CSimpleSocket {
public:
    // The socket types this class makes (the Winsock values).
    static constexpr int kStream = SOCK_STREAM;   // 1
    static constexpr int kDatagram = SOCK_DGRAM;  // 2

    CSimpleSocket() = default;
    ~CSimpleSocket() = default;  // the owner closes the socket
    CSimpleSocket(const CSimpleSocket&) = delete;
    CSimpleSocket& operator=(const CSimpleSocket&) = delete;

    // Only kStream and kDatagram make a socket; a socket held before is closed first.
    bool Create(int family, int type);
    // Resolves the host in the socket's family and type and connects to its first address.
    bool Connect(const wchar_t* host, unsigned short port);
    // Bytes sent; 0 without socket, buffer or length, and when sending failed.
    int Send(const void* buffer, int length);
    // select's answer: > 0 readable, 0 timed out, SOCKET_ERROR on error or without socket.
    int WaitReadable(DWORD timeoutMs);
    // Bytes received; 0 without socket, buffer or length (or an empty datagram), SOCKET_ERROR
    // when receiving failed.
    int Receive(void* buffer, int length);
    void Close() noexcept { m_socket.Reset(); }

    // INVALID_SOCKET (-1) when none.
    SOCKET Handle() const noexcept { return m_socket.Get(); }

private:
    Tessal::UniqueSocket m_socket;
    int m_family = AF_UNSPEC;
    int m_type = 0;
};
