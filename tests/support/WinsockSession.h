#pragma once
// Keeps Winsock initialised for the owner's lifetime (WSAStartup counts its callers).

namespace NuvTest {

class WinsockSession {
public:
    WinsockSession();  // throws std::system_error when Winsock cannot start
    ~WinsockSession();
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;
};

}  // namespace NuvTest
