#pragma once
// The inbox of a process on the bus: a ring of frames in shared memory that every other process
// of the bus writes into directly, and an event that wakes its reader. Under Wine a pipe costs a
// request several times a bare event round trip; a shared ring costs one event per hop.
//
// Writers take a small lock in the shared memory (never held while waiting). A writer that dies
// holding it is detected by its process id and the lock is taken over; a frame is visible only
// once complete, so a half-written one is simply overwritten.

#include "base/UniqueHandle.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

namespace HalvexBus {

// Frames larger than half the ring are not sent to other processes.
inline constexpr uint32_t kInboxBytes = 4u * 1024 * 1024;

struct InboxRing;

std::wstring InboxName(uint32_t processId);

class InboxReader {
public:
    InboxReader() = default;
    ~InboxReader();
    InboxReader(const InboxReader&) = delete;
    InboxReader& operator=(const InboxReader&) = delete;

    bool Create(uint32_t processId);
    // Hands every complete frame (without its length) to `frame`, oldest first, until `stop` is
    // set; waits for the event between rounds.
    void Run(HANDLE stop, const std::function<void(const std::string& body)>& frame);

private:
    Tessal::UniqueHandle m_mapping;
    Tessal::UniqueHandle m_ready;
    InboxRing* m_ring = nullptr;
};

class InboxWriter {
public:
    InboxWriter() = default;
    ~InboxWriter();
    InboxWriter(const InboxWriter&) = delete;
    InboxWriter& operator=(const InboxWriter&) = delete;

    bool Open(uint32_t processId);
    // Appends one encoded frame (length included). Waits while the ring is full; false when the
    // owner has ended (or the frame can never fit).
    bool Write(const std::string& frameBytes);

private:
    bool OwnerAlive() const;

    Tessal::UniqueHandle m_mapping;
    Tessal::UniqueHandle m_ready;
    Tessal::UniqueHandle m_process;
    InboxRing* m_ring = nullptr;
};

}  // namespace HalvexBus
