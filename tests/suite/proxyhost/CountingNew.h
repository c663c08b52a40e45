#pragma once
// Linking this replaces operator new and delete for the whole test program and keeps count of the
// bytes they hold, so a test can say what the host's objects cost in memory (the allocator's own
// headers aside).

#include <cstddef>

namespace QvProxyTest {

// Bytes allocated through operator new and not yet deleted, on every thread.
long long LiveBytes() noexcept;

}  // namespace QvProxyTest
