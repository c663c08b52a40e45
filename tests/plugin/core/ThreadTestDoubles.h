#pragma once
// Recording stand-ins of the worker threads' owners, shared by the thread tests.

#include "base/Sync.h"
#include "tests/support/LogRecorder.h"
#include "tests/support/WaitUntil.h"

#include <windows.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace NuvTest {

// Calls as text ("logon 3", "scan 2", ...) in the order they came, from any thread.
class CallLog {
public:
    void Add(std::wstring call) {
        Tessal::CAutoLock lock(m_lock);
        m_calls.push_back(std::move(call));
    }
    std::vector<std::wstring> Calls() {
        Tessal::CAutoLock lock(m_lock);
        return m_calls;
    }
    void Clear() {
        Tessal::CAutoLock lock(m_lock);
        m_calls.clear();
    }
    size_t Count(const std::wstring& call) {
        size_t n = 0;
        for (const auto& c : Calls()) n += c == call ? 1 : 0;
        return n;
    }
    // Polls until the call has been seen `times` times or the time is up.
    bool WaitFor(const std::wstring& call, size_t times = 1, DWORD timeoutMs = 5000) {
        return WaitUntil([&] { return Count(call) >= times; }, timeoutMs);
    }

private:
    Tessal::CCriticalSection m_lock;
    std::vector<std::wstring> m_calls;
};

// Log lines collected across polls (TakeLoggedLines empties the recorder).
class LogLines {
public:
    std::vector<LoggedLine>& All() {
        for (auto& line : TakeLoggedLines()) m_lines.push_back(std::move(line));
        return m_lines;
    }
    size_t Count(DWORD level, const std::wstring& text) {
        size_t n = 0;
        for (const auto& line : All()) n += line.level == level && line.text == text ? 1 : 0;
        return n;
    }
    bool Has(DWORD level, const std::wstring& text) { return Count(level, text) > 0; }
    // Polls until the line has been logged `times` times or the time is up.
    bool WaitFor(DWORD level, const std::wstring& text, size_t times, DWORD timeoutMs = 5000) {
        return WaitUntil([&] { return Count(level, text) >= times; }, timeoutMs);
    }

private:
    std::vector<LoggedLine> m_lines;
};

}  // namespace NuvTest
