#pragma once
// One SNTP exchange with a time server: a client request over UDP, the server's transmit
// timestamp as UTC.

#include <windows.h>

inline constexpr unsigned short kNtpPort = 123;
inline constexpr DWORD kSntpTimeoutMs = 3000;

// Asks `server` (a host name or dotted address) at `port` and waits up to `timeoutMs` for the
// answer. False without name or port, when the name does not resolve, on a socket error, a
// time-out, or an answer that is not a usable server reply. Winsock must be started.
bool SntpRequest(const wchar_t* server, FILETIME* utc, DWORD timeoutMs, unsigned short port);

// SntpRequest inside its own WSAStartup/WSACleanup.
bool QueryNtpServer(const wchar_t* server, FILETIME* utc, unsigned short port = kNtpPort,
                    DWORD timeoutMs = kSntpTimeoutMs);

// An NTP timestamp (seconds since 1900-01-01 UTC and their binary fraction) as a FILETIME.
// Era 0 only: timestamps from 2036-02-07 on wrap to 1900, as the 32-bit seconds field does.
FILETIME NtpToFileTime(DWORD seconds, DWORD fraction);
