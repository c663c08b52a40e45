#pragma once
// Owner of a Winsock socket (link ws2_32).

#include <winsock2.h>

#include "base/UniqueHandle.h"

namespace Tessal {

namespace handle_traits {
struct Socket {
    using Type = SOCKET;
    static Type Invalid() { return INVALID_SOCKET; }
    static bool IsValid(Type s) { return s != INVALID_SOCKET; }
    static void Close(Type s) { ::closesocket(s); }
};
}  // namespace handle_traits

using UniqueSocket = UniqueAny<handle_traits::Socket>;

}  // namespace Tessal
