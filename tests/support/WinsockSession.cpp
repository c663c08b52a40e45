#include "tests/support/WinsockSession.h"

#include <winsock2.h>

#include <system_error>

namespace NuvTest {

WinsockSession::WinsockSession() {
    WSADATA data{};
    const int error = ::WSAStartup(MAKEWORD(2, 2), &data);
    if (error != 0) throw std::system_error(error, std::system_category(), "WSAStartup");
}

WinsockSession::~WinsockSession() { ::WSACleanup(); }

}  // namespace NuvTest
