#pragma once
// The stand-in message bus "Halvex.dll" for tests: put where the product looks for it (the
// registry value "Install Dir" of HKLM\SOFTWARE\OBERIX\PLEXAN, in the test program's own machine
// registry) and loaded, with a bus scope of the program's own so that programs running side by
// side never share a broker. Child processes inherit the scope and join the same bus.
// Also: an open handle that is released by its destructor, a recording subscriber whose static
// callbacks go straight into the bus's table, and a bounded wait for N messages.

#include "suite/interfaces/HalvexBus.h"

#include <windows.h>

#include <array>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace NuvTest {

using BusHeader = std::array<uint8_t, Halvex::kHeaderSizeV2>;

// A version-2 header as a client builds it for these strings.
BusHeader MakeBusHeader(const std::wstring& name, const std::wstring& sender, const std::wstring& payload);

class StandInBus {
public:
    // registerFolder false: leave the registry alone (a child process adopting its parent's).
    explicit StandInBus(bool registerFolder = true);
    ~StandInBus();
    StandInBus(const StandInBus&) = delete;
    StandInBus& operator=(const StandInBus&) = delete;

    // Where the build puts Halvex.dll and its broker.
    static std::wstring Folder();

    bool Loaded() const { return m_functions != nullptr; }
    HMODULE Module() const { return m_module; }
    const Korin::MessageBusFunctions& Functions() const { return *m_functions; }

private:
    HMODULE m_module = nullptr;
    const Korin::MessageBusFunctions* m_functions = nullptr;
};

// An open bus handle; Release() (or the destructor) closes it.
class OpenBus {
public:
    explicit OpenBus(const StandInBus& bus);
    ~OpenBus() { Release(); }
    OpenBus(const OpenBus&) = delete;
    OpenBus& operator=(const OpenBus&) = delete;

    Halvex::BusHandle Get() const { return m_handle; }
    const Korin::MessageBusFunctions& Functions() const { return m_functions; }
    uint32_t Release();

    uint32_t Publish(const std::wstring& name, const std::wstring& payload, const std::wstring& sender = L"test");
    // Publishes a reply to a delivered request: its header with the reply flag set.
    uint32_t Reply(const BusHeader& requestHeader, const std::wstring& name, const std::wstring& payload,
                   const std::wstring& sender = L"test");

private:
    const Korin::MessageBusFunctions& m_functions;
    Halvex::BusHandle m_handle = nullptr;
};

struct RecordedMessage {
    BusHeader header = {};
    std::wstring name;
    std::wstring sender;
    std::wstring payload;
    DWORD threadId = 0;
    // Replies only.
    void* context = nullptr;
    uint64_t replyIndex = 0;
    uint32_t status = 0;
};

// Records what the bus delivers to it; `context` of subscriptions and requests is the recorder.
class RecordingSubscriber {
public:
    static uint32_t OnMessage(void* context, const void* header, const wchar_t* name, const wchar_t* sender,
                              const wchar_t* payload);
    static uint32_t OnReply(void* context, uint64_t replyIndex, const void* header, const wchar_t* name,
                            const wchar_t* sender, const wchar_t* payload, uint32_t status);

    // Runs in the bus's thread after the message is recorded (answer it, block, unsubscribe...).
    void SetAction(std::function<void(const RecordedMessage&)> action);

    size_t Count() const;
    std::vector<RecordedMessage> Messages() const;
    // True once at least `count` messages arrived; false when the time is up first.
    bool WaitForCount(size_t count, DWORD timeoutMs = 10000) const;

private:
    void Record(RecordedMessage message);

    mutable std::mutex m_lock;
    mutable std::condition_variable m_arrived;
    std::vector<RecordedMessage> m_messages;
    std::function<void(const RecordedMessage&)> m_action;
};

inline bool WaitForMessages(const RecordingSubscriber& recorder, size_t count, DWORD timeoutMs = 10000) {
    return recorder.WaitForCount(count, timeoutMs);
}

}  // namespace NuvTest
