#pragma once
// A time server for the tests: answers SNTP requests on 127.0.0.1 (a free port) from a thread of
// its own, with the reply the test chose, and counts what it got.

#include "base/UniqueSocket.h"
#include "tests/support/WinsockSession.h"

#include <windows.h>

#include <atomic>
#include <thread>

namespace NuvTest {

class SntpResponder {
public:
    enum class Reply {
        Good,           // a server reply carrying the transmit timestamp
        Silent,         // no answer at all
        Short,          // the good reply cut to 47 bytes
        WrongMode,      // mode 3 (client) instead of 4 (server)
        ZeroTimestamp,  // every field but the transmit timestamp set
    };

    // Throws std::system_error when the socket cannot be bound.
    SntpResponder();
    ~SntpResponder();
    SntpResponder(const SntpResponder&) = delete;
    SntpResponder& operator=(const SntpResponder&) = delete;

    unsigned short Port() const noexcept { return m_port; }

    void SetReply(Reply reply) noexcept { m_reply = reply; }
    // The NTP transmit timestamp of good replies: seconds since 1900 and their binary fraction.
    void SetTransmitTime(DWORD seconds, DWORD fraction) noexcept {
        m_seconds = seconds;
        m_fraction = fraction;
    }

    LONG Requests() const noexcept { return m_requests.load(); }
    // Size and first byte of the last request.
    int LastRequestSize() const noexcept { return m_lastSize.load(); }
    int LastRequestFirstByte() const noexcept { return m_lastFirstByte.load(); }

private:
    void Serve();

    WinsockSession m_winsock;
    Tessal::UniqueSocket m_socket;
    unsigned short m_port = 0;
    std::atomic<Reply> m_reply{Reply::Good};
    std::atomic<DWORD> m_seconds{0};
    std::atomic<DWORD> m_fraction{0};
    std::atomic<LONG> m_requests{0};
    std::atomic<int> m_lastSize{0};
    std::atomic<int> m_lastFirstByte{-1};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

}  // namespace NuvTest
