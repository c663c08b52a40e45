#pragma once
// What the bus library and its broker say to each other: length-prefixed frames. Between a
// process and the broker they travel over a named pipe (who is on the bus); between processes
// through each process's shared inbox (messages and replies, see SharedInbox.h).

#include "base/UniqueHandle.h"

#include <windows.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace HalvexBus {

enum class FrameType : uint8_t {
    Hello = 1,     // process -> broker: processId is the sender's, its inbox exists
    Welcome = 2,   // broker -> process: registered; processes: the others on the bus
    Publish = 3,   // process -> inboxes of the others: a message for their subscribers
    Reply = 4,     // process -> inbox of the requester (processId): a reply
    Peers = 7,     // broker -> process: processes: the others on the bus now; processId: its number
    PeersAck = 8,  // process -> broker: Peers number processId seen; a newcomer waits for these
};

struct Frame {
    FrameType type = FrameType::Hello;
    uint32_t processId = 0;
    std::array<uint8_t, 108> header = {};
    std::wstring name;
    std::wstring sender;
    std::wstring payload;
    std::vector<uint32_t> processes;  // Welcome and Peers
};

// A frame longer than this is a broken stream, not a message.
inline constexpr uint32_t kMaxFrameBytes = 64u * 1024 * 1024;

std::string EncodeFrame(const Frame& frame);
bool DecodeFrame(const std::string& body, Frame& frame);

// One bus per Windows session and scope; the scope (environment variable HALVEX_BUS_SCOPE) keeps
// test programs running side by side apart. Names the broker's pipe and the inboxes.
std::wstring BusScopeName();
std::wstring BrokerPipeName();
inline constexpr wchar_t kScopeVariable[] = L"HALVEX_BUS_SCOPE";
inline constexpr wchar_t kBrokerFileName[] = L"HalvexBroker.exe";

class PipeChannel {
public:
    explicit PipeChannel(HANDLE pipe);
    PipeChannel(const PipeChannel&) = delete;
    PipeChannel& operator=(const PipeChannel&) = delete;

    // One reader and one writer may run at the same time.
    bool ReadFrame(Frame& frame);
    bool Write(const std::string& bytes);
    // Makes the running and every later read and write fail.
    void Cancel();
    HANDLE Get() const { return m_pipe.Get(); }

private:
    bool Transfer(bool read, char* data, DWORD size);

    Tessal::UniqueHandle m_pipe;
    Tessal::UniqueHandle m_readEvent;
    Tessal::UniqueHandle m_writeEvent;
    std::atomic<bool> m_cancelled{false};
};

}  // namespace HalvexBus
