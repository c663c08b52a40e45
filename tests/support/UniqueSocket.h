#pragma once
// Owner of a Winsock socket.

#include "base/UniqueSocket.h"

namespace NuvTest {

using UniqueSocket = Tessal::UniqueSocket;

}  // namespace NuvTest
