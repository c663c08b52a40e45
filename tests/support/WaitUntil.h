#pragma once
// Polls a condition until it holds or the time is up; the condition may also act (write a value
// again, post a message) on each round.

#include <windows.h>

namespace NuvTest {

template <typename Condition>
bool WaitUntil(Condition condition, DWORD timeoutMs = 5000, DWORD pollMs = 10) {
    const ULONGLONG end = ::GetTickCount64() + timeoutMs;
    for (;;) {
        if (condition()) return true;
        if (::GetTickCount64() > end) return false;
        ::Sleep(pollMs);
    }
}

}  // namespace NuvTest
