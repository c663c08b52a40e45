#pragma once
// Owner of a Winsock socket.

#include <winsock2.h>

#include "base/UniqueHandle.h"

namespace NuvTest {

namespace socket_traits {
struct Socket {
    using Type = SOCKET;
    static Type Invalid() { return INVALID_SOCKET; }
    static bool IsValid(Type s) { return s != INVALID_SOCKET; }
    static void Close(Type s) { ::closesocket(s); }
};
}  // namespace socket_traits

using UniqueSocket = Tessal::UniqueAny<socket_traits::Socket>;

}  // namespace NuvTest
