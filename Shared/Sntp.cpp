#include "Shared/Sntp.h"

#include "Shared/SimpleSocket.h"
#include "logging/Logging.h"

#include <winsock2.h>

namespace {

constexpr int kPacketSize = 48;
// Room for the optional key identifier and digest some servers append.
constexpr int kReceiveSize = 68;
constexpr BYTE kClientRequest = 27;  // leap indicator 0, version 3, mode 3 (client)
constexpr BYTE kModeMask = 0x07;
constexpr BYTE kModeServer = 4;
constexpr int kTransmitTimestamp = 40;

constexpr ULONGLONG kSecondsFrom1601To1900 = 9435484800ULL;
constexpr ULONGLONG kFileTimeUnitsPerSecond = 10000000ULL;

DWORD BigEndianWord(const BYTE* bytes) {
    return (static_cast<DWORD>(bytes[0]) << 24) | (static_cast<DWORD>(bytes[1]) << 16) |
           (static_cast<DWORD>(bytes[2]) << 8) | static_cast<DWORD>(bytes[3]);
}

}  // namespace

FILETIME NtpToFileTime(DWORD seconds, DWORD fraction) {
    const ULONGLONG units = (seconds + kSecondsFrom1601To1900) * kFileTimeUnitsPerSecond +
                            (static_cast<ULONGLONG>(fraction) * kFileTimeUnitsPerSecond >> 32);
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(units);
    time.dwHighDateTime = static_cast<DWORD>(units >> 32);
    return time;
}

bool SntpRequest(const wchar_t* server, FILETIME* utc, DWORD timeoutMs, unsigned short port) {
    if (server == nullptr || *server == L'\0' || port == 0 || utc == nullptr) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"SntpRequest: no server name or port\r\n");
        return false;
    }

    CSimpleSocket socket;
    if (!socket.Create(AF_INET, CSimpleSocket::kDatagram) || !socket.Connect(server, port)) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"SntpRequest: cannot reach %s:%u\r\n", server, static_cast<unsigned>(port));
        return false;
    }

    BYTE request[kPacketSize] = {};
    request[0] = kClientRequest;
    if (socket.Send(request, sizeof(request)) == 0) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"SntpRequest: sending to %s failed\r\n", server);
        return false;
    }
    if (socket.WaitReadable(timeoutMs) <= 0) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"SntpRequest: no answer from %s within %u ms\r\n", server,
                static_cast<unsigned>(timeoutMs));
        return false;
    }

    BYTE reply[kReceiveSize] = {};
    const int received = socket.Receive(reply, sizeof(reply));
    if (received <= 0) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"SntpRequest: receiving from %s failed\r\n", server);
        return false;
    }
    // A zeroed buffer would read as 1900: anything that is not a whole server reply is refused.
    if (received < kPacketSize) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"SntpRequest: reply of %d bytes from %s is too short\r\n", received, server);
        return false;
    }
    if ((reply[0] & kModeMask) != kModeServer) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"SntpRequest: reply from %s has mode %d, not server\r\n", server,
                static_cast<int>(reply[0] & kModeMask));
        return false;
    }
    const DWORD seconds = BigEndianWord(reply + kTransmitTimestamp);
    const DWORD fraction = BigEndianWord(reply + kTransmitTimestamp + 4);
    if (seconds == 0 && fraction == 0) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"SntpRequest: reply from %s has no transmit timestamp\r\n", server);
        return false;
    }
    *utc = NtpToFileTime(seconds, fraction);
    return true;
}

bool QueryNtpServer(const wchar_t* server, FILETIME* utc, unsigned short port, DWORD timeoutMs) {
    WSADATA data = {};
    const int error = ::WSAStartup(MAKEWORD(2, 2), &data);
    if (error != 0) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"QueryNtpServer: WSAStartup failed (Err %d)\r\n", error);
        return false;
    }
    const bool answered = SntpRequest(server, utc, timeoutMs, port);
    ::WSACleanup();
    return answered;
}
