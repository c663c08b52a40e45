#include "PacketQueue.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace QvProxyStandIn {

BYTE* CPacketQueue::Add(std::unique_ptr<BYTE[]> bytes, size_t size, bool waiting) {
    Item item;
    item.bytes = std::move(bytes);
    item.size = size;
    item.waiting = waiting;
    BYTE* const identity = item.bytes.get();
    Push(std::move(item), false);
    return identity;
}

BYTE* CPacketQueue::Add(const BYTE* bytes, size_t size, bool waiting) {
    // Never a zero-sized block: every packet needs an address of its own.
    std::unique_ptr<BYTE[]> copy(new (std::nothrow) BYTE[size > 0 ? size : 1]);
    if (!copy) return nullptr;
    if (size > 0) std::memcpy(copy.get(), bytes, size);
    return Add(std::move(copy), size, waiting);
}

void CPacketQueue::Push(Item item, bool beforeWaiting) {
    const size_t size = item.size;
    auto place = m_items.end();
    if (beforeWaiting) {
        place = std::find_if(m_items.begin(), m_items.end(), [](const Item& queued) { return queued.waiting; });
    }
    m_items.insert(place, std::move(item));
    m_bytes += size;
    m_held += size + kPacketOverhead;
}

CPacketQueue::Completion CPacketQueue::Complete(const BYTE* packet, DWORD verdict) {
    const auto found = std::find_if(m_items.begin(), m_items.end(),
                                    [packet](const Item& item) { return item.waiting && item.bytes.get() == packet; });
    if (found == m_items.end()) return Completion::Unknown;
    if (m_sealed) verdict = kVerdictDrop;
    switch (verdict) {
        case kVerdictOk:
        case kVerdictBypass:
            found->waiting = false;
            return Completion::Applied;
        case kVerdictDrop:
            m_bytes -= found->size;
            Forget(*found);
            m_items.erase(found);
            return Completion::Applied;
        default:
            return Completion::Fail;
    }
}

void CPacketQueue::Inject(const BYTE* bytes, size_t size) {
    if (size == 0 || m_sealed) return;
    Item item;
    item.bytes.reset(new BYTE[size]);
    std::memcpy(item.bytes.get(), bytes, size);
    item.size = size;
    item.injected = true;
    Push(std::move(item), true);
}

void CPacketQueue::Seal() {
    m_sealed = true;
    auto item = std::find_if(m_items.begin(), m_items.end(), [](const Item& queued) { return queued.waiting; });
    while (item != m_items.end()) {
        if (item->waiting) {
            ++item;
            continue;
        }
        m_bytes -= item->size - item->sent;
        Forget(*item);
        item = m_items.erase(item);
    }
}

size_t CPacketQueue::Sendable(Chunk* chunks, size_t max) const {
    size_t count = 0;
    for (const Item& item : m_items) {
        if (item.waiting || count == max) break;
        if (item.size == item.sent) continue;
        chunks[count++] = Chunk{item.bytes.get() + item.sent, item.size - item.sent};
    }
    return count;
}

void CPacketQueue::RemoveHead(size_t bytes, bool sent) {
    while (bytes > 0 && !m_items.empty() && !m_items.front().waiting) {
        Item& head = m_items.front();
        const size_t taken = std::min(bytes, head.size - head.sent);
        head.sent += taken;
        bytes -= taken;
        m_bytes -= taken;
        if (sent && taken > 0) m_lastSentInjected = head.injected;
        if (head.sent == head.size) {
            Forget(head);
            m_items.pop_front();
        }
    }
    // Empty packets (nothing to send) leave with whatever preceded them.
    while (!m_items.empty() && !m_items.front().waiting && m_items.front().sent == m_items.front().size) {
        Forget(m_items.front());
        m_items.pop_front();
    }
}

void CPacketQueue::Sent(size_t bytes) { RemoveHead(bytes, true); }

void CPacketQueue::Discard(size_t bytes) { RemoveHead(bytes, false); }

std::string CPacketQueue::PeekSendable(size_t max) const {
    std::string text;
    for (const Item& item : m_items) {
        if (item.waiting || text.size() >= max) break;
        const size_t taken = std::min(max - text.size(), item.size - item.sent);
        text.append(reinterpret_cast<const char*>(item.bytes.get() + item.sent), taken);
    }
    return text;
}

bool CPacketQueue::HasWaiting() const noexcept {
    return std::any_of(m_items.begin(), m_items.end(), [](const Item& item) { return item.waiting; });
}

}  // namespace QvProxyStandIn
