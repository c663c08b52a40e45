#pragma once
// One direction of a proxied connection: the packets read from one side, in arrival order, on
// their way to the other side. A packet handed to the plug-in waits here until its verdict; what
// has its verdict leaves in order, so a late verdict holds back every later packet. Bytes the
// plug-in injects go after everything already released and before the first packet still waiting.
// Once sealed (the connection failed) only what was sendable then may still leave. Not locked:
// the connection owning it serialises every call.

#include <windows.h>

#include <cstddef>
#include <deque>
#include <memory>
#include <string>

namespace QvProxyStandIn {

// The plug-in's packet verdicts.
enum : DWORD { kVerdictOk = 0, kVerdictFail = 1, kVerdictBypass = 2, kVerdictDefer = 3, kVerdictDrop = 4 };

class CPacketQueue {
public:
    struct Chunk {
        const BYTE* data;
        size_t size;
    };
    enum class Completion { Applied, Fail, Unknown };

    // Appends a packet of exactly `size` bytes; `waiting` when it still needs its verdict. The
    // returned pointer is the packet's identity and stays valid until the packet leaves.
    BYTE* Add(std::unique_ptr<BYTE[]> bytes, size_t size, bool waiting);
    // The same with a right-sized copy of the bytes (a receive buffer stays its owner's); null
    // when there is no memory for it.
    BYTE* Add(const BYTE* bytes, size_t size, bool waiting);
    // The verdict of a waiting packet: OK and BYPASS let it go, DROP discards it, FAIL (and any
    // verdict the host does not know) asks the caller to fail the connection. Unknown when no
    // waiting packet has that address (given twice, or after a Clear). Once sealed, any verdict
    // discards the packet.
    Completion Complete(const BYTE* packet, DWORD verdict);
    // A copy of bytes of the plug-in's own; nothing once sealed.
    void Inject(const BYTE* bytes, size_t size);
    // The connection fails: the sendable head stays, released packets behind the first waiting
    // one go at once, and waiting packets go with their verdict (the plug-in owns their bytes
    // until then), whatever it is.
    void Seal();

    // The leading bytes that may leave now, at most `max` pieces; returns how many were written.
    size_t Sendable(Chunk* chunks, size_t max) const;
    // `bytes` of the sendable head have left.
    void Sent(size_t bytes);
    // Discards `bytes` of the sendable head (never more than is sendable).
    void Discard(size_t bytes);
    // Up to `max` leading sendable bytes as one text, for a look at what leaves first.
    std::string PeekSendable(size_t max) const;

    void Clear() { m_items.clear(); m_bytes = 0; m_held = 0; }
    bool Empty() const noexcept { return m_items.empty(); }
    // Bytes held and not yet sent, waiting or sendable.
    size_t Bytes() const noexcept { return m_bytes; }
    // Memory the held packets take: their whole allocations until they leave, and each packet's
    // own bookkeeping. What the reader's back-pressure looks at: a flood of one-byte packets
    // weighs what it costs, not what it carries.
    size_t Held() const noexcept { return m_held; }
    bool HasWaiting() const noexcept;
    // Whether the last bytes that left (Sent) were injected ones: the plug-in's own answer.
    bool LastSentInjected() const noexcept { return m_lastSentInjected; }

private:
    struct Item {
        std::unique_ptr<BYTE[]> bytes;
        size_t size = 0;
        size_t sent = 0;
        bool waiting = false;
        bool injected = false;
    };
    // The queue's slot and the allocator's header of one packet, besides its bytes.
    static constexpr size_t kPacketOverhead = sizeof(Item) + 32;

    void RemoveHead(size_t bytes, bool sent);
    void Push(Item item, bool beforeWaiting);
    void Forget(const Item& item) { m_held -= item.size + kPacketOverhead; }

    std::deque<Item> m_items;
    size_t m_bytes = 0;
    size_t m_held = 0;
    bool m_sealed = false;
    bool m_lastSentInjected = false;
};

}  // namespace QvProxyStandIn
