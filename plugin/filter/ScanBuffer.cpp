#include "plugin/filter/ScanBuffer.h"

#include "logging/Logging.h"
#include "plugin/filter/BufferGrowth.h"
#include "nuvutil/SafeString.h"
#include "plugin/services/FilterServices.h"

#include <objbase.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

// The low 32 bits of an address, as the log lines show it.
unsigned Low32(const void* p) noexcept { return static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(p)); }

// `count` bytes of `src` repeated from its start, beginning `phase` bytes into the repetition.
void FillRepeated(BYTE* dest, DWORD count, const char* src, DWORD srcLen, DWORD phase) noexcept {
    for (DWORD i = 0; i < count; ++i) dest[i] = static_cast<BYTE>(src[(phase + i) % srcLen]);
}

}  // namespace

CScanBuffer::CScanBuffer(IScannableParent* owner, DWORD processId, IScanWorkSink* scanSink,
                         IResponseSink* responseSink)
    : m_owner(owner), m_processId(processId), m_scanSink(scanSink), m_responseSink(responseSink) {}

CScanBuffer::~CScanBuffer() {
    // Every packet the host gave must get an answer, or the host keeps it for good: what the last
    // pass finished goes with its verdict, the rest unscanned.
    ReleaseProcessedPackets();
    // Packets parked behind an answer that never went out still end the connection.
    for (Packet& packet : m_parked) {
        if (m_responseSink != nullptr) m_responseSink->Forward(packet.data, packet.size, packet.inbound, packet.verdict);
    }
    m_parked.clear();
    ForwardLeftovers(m_pending, L"Ignoring %d unprocessed packet%c\r\n");
    ForwardLeftovers(m_unbuffered, L"Ignoring %d unprocessed & unbuffered packet%c\r\n");
    m_state.reset();
    ::CoTaskMemFree(m_pBuffer);
}

void CScanBuffer::ForwardLeftovers(std::deque<Packet>& packets, const wchar_t* format) {
    if (packets.empty()) return;
    const int count = static_cast<int>(packets.size());
    NUV_LOG(ETWLogging::LOG_WARNING, format, count, count == 1 ? L' ' : L's');
    const DWORD verdict = IsTimeBlocked() ? kVerdictFail : kVerdictOk;
    for (Packet& packet : packets) {
        if (m_responseSink != nullptr) m_responseSink->Forward(packet.data, packet.size, packet.inbound, verdict);
    }
    packets.clear();
}

bool CScanBuffer::growBuffer(std::uint64_t need) {
    const DWORD capacity = BufferGrowth::NewCapacity(need, kMaxSize);
    if (capacity == 0) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"Request would cause ScanBuffer to exceed the maximum allowed size\r\n");
        return false;
    }
    void* const block = ::CoTaskMemRealloc(m_pBuffer, capacity);
    if (block == nullptr) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to reallocate ScanBuffer to hold new request\r\n");
        return false;
    }
    m_pBuffer = static_cast<char*>(block);
    m_capacity = capacity;
    return true;
}

void CScanBuffer::AppendToData(const Packet& packet) {
    if (packet.Length() != 0) std::memcpy(m_pBuffer + m_cbBuffer, packet.Bytes(), packet.Length());
    m_cbBuffer += packet.Length();
    m_pBuffer[m_cbBuffer] = '\0';
}

bool CScanBuffer::AddData(BYTE* data, DWORD size, bool inbound) {
    Tessal::CAutoLock lock(m_lock);
    Packet packet;
    packet.data = data;
    packet.size = size;
    packet.inbound = inbound;

    if (static_cast<std::uint64_t>(size) + 1 > kMaxSize) {
        // It could never enter the data, and the scan could never get past it.
        NUV_LOG(ETWLogging::LOG_WARNING,
                L"A packet of %lu bytes cannot be scanned; passing it and what came before it unscanned\r\n",
                static_cast<unsigned long>(size));
        MarkAll(kVerdictOk);
        MoveAllToProcessed();
        m_processed.push_back(std::move(packet));
        QueueIfReady();
        return true;
    }
    // Packets are never reordered: behind a waiting packet every new one waits too.
    if (m_unbuffered.empty()) {
        const std::uint64_t need = std::uint64_t{m_cbBuffer} + m_unbufferedBytes + size + 1;
        if (need <= m_capacity || growBuffer(need)) {
            AppendToData(packet);
            m_pending.push_back(std::move(packet));
            NoteData();
            QueueIfReady();
            return true;
        }
    }
    m_unbufferedBytes += size;
    m_unbuffered.push_back(std::move(packet));
    NoteData();
    return true;
}

void CScanBuffer::QueueIfReady() {
    if (m_state && !m_queued && !m_held && m_scanSink != nullptr) m_scanSink->PutScanWork(this);
}

void CScanBuffer::QueueIfHasData() {
    Tessal::CAutoLock lock(m_lock);
    if ((m_cbBuffer != 0 || !m_unbuffered.empty()) && m_state && !m_queued && m_scanSink != nullptr) {
        m_scanSink->PutScanWork(this);
    }
}

void CScanBuffer::Resume() {
    // Without the lock: a sign-in resumes under the session's lock, which a scan callback takes
    // inside the buffer's. Queued once more at worst, which costs one scan pass.
    if (!m_held.exchange(false)) return;
    if (m_state && m_scanSink != nullptr && m_holdsData) m_scanSink->PutScanWork(this);
}

void CScanBuffer::Consume(DWORD count) {
    DWORD released = 0;
    while (!m_pending.empty() && m_pending.front().Length() <= count) {
        Packet& front = m_pending.front();
        const DWORD length = front.Length();
        count -= length;
        released += length;
        if (m_state) m_state->AdjustPosition(-static_cast<LONG>(length));
        front.verdict = kVerdictOk;
        m_processed.push_back(std::move(front));
        m_pending.pop_front();
    }
    if (released != 0) {
        std::memmove(m_pBuffer, m_pBuffer + released, m_cbBuffer - released + 1);
        m_cbBuffer -= released;
    }
    addUnbufferedPackets();
    NoteData();
}

void CScanBuffer::addUnbufferedPackets() {
    bool moved = false;
    while (!m_unbuffered.empty()) {
        Packet& next = m_unbuffered.front();
        const std::uint64_t need = std::uint64_t{m_cbBuffer} + next.size + 1;
        // Grown up to the cap as the data leaves; beyond it the packet waits for more to leave.
        if (need > kMaxSize || (need > m_capacity && !growBuffer(need))) break;
        AppendToData(next);
        m_unbufferedBytes -= next.size;
        m_pending.push_back(std::move(next));
        m_unbuffered.pop_front();
        moved = true;
    }
    if (moved) QueueIfReady();
}

void CScanBuffer::MarkAll(DWORD verdict) {
    for (std::deque<Packet>* packets : {&m_pending, &m_unbuffered}) {
        for (Packet& packet : *packets) packet.verdict = verdict;
    }
}

void CScanBuffer::MoveAllToProcessed() {
    for (std::deque<Packet>* packets : {&m_pending, &m_unbuffered}) {
        for (Packet& packet : *packets) m_processed.push_back(std::move(packet));
        packets->clear();
    }
    m_cbBuffer = 0;
    if (m_pBuffer != nullptr) m_pBuffer[0] = '\0';
    m_unbufferedBytes = 0;
    NoteData();
    ResetPosition();
}

void CScanBuffer::NoteData() noexcept { m_holdsData = m_cbBuffer != 0 || !m_unbuffered.empty(); }

void CScanBuffer::ResetPosition() noexcept {
    if (m_state) m_state->AdjustPosition(-m_state->GetPosition());
}

bool CScanBuffer::MakeInjection(const BYTE* bytes, DWORD size, bool inbound, Packet& packet) {
    packet.inbound = inbound;
    packet.injectOnly = true;
    packet.replacement.Reset(::CoTaskMemAlloc(size));
    if (!packet.replacement) return false;
    std::memcpy(packet.replacement.Get(), bytes, size);
    packet.replacementSize = size;
    return true;
}

void CScanBuffer::QueueInjection(const BYTE* bytes, DWORD size, bool inbound) {
    if (bytes == nullptr || size == 0) return;
    Packet packet;
    if (!MakeInjection(bytes, size, inbound, packet)) return;
    Tessal::CAutoLock lock(m_lock);
    m_processed.push_back(std::move(packet));
}

void CScanBuffer::PassAll() {
    Tessal::CAutoLock lock(m_lock);
    MarkAll(kVerdictOk);
    MoveAllToProcessed();
}

void CScanBuffer::DropFrom(DWORD offset) { EndFrom(offset, kVerdictDrop, nullptr, 0, false); }

void CScanBuffer::FailFrom(DWORD offset, const BYTE* answer, DWORD answerSize, bool park) {
    EndFrom(offset, kVerdictFail, answer, answerSize, park);
}

void CScanBuffer::EndFrom(DWORD offset, DWORD verdict, const BYTE* answer, DWORD answerSize, bool park) {
    Tessal::CAutoLock lock(m_lock);
    std::deque<Packet> ended;
    DWORD start = 0;
    for (Packet& packet : m_pending) {
        const DWORD length = packet.Length();
        if (start + std::uint64_t{length} <= offset) {
            packet.verdict = kVerdictOk;
            m_processed.push_back(std::move(packet));
        } else {
            if (start < offset) {
                // Its passed part leaves in its place, as the data holds it (edits included).
                const DWORD kept = offset - start;
                Packet part;
                if (MakeInjection(reinterpret_cast<const BYTE*>(m_pBuffer) + start, kept, packet.inbound, part)) {
                    m_processed.push_back(std::move(part));
                } else {
                    NUV_LOG(ETWLogging::LOG_ERROR, L"Dropping %lu passed bytes: no memory for their copy\r\n", kept);
                }
            }
            // The host's own bytes go nowhere: a replacement made by an edit goes with them.
            packet.replacement.Reset();
            packet.replacementSize = 0;
            packet.verdict = verdict;
            ended.push_back(std::move(packet));
        }
        start += length;
    }
    for (Packet& packet : m_unbuffered) {
        packet.verdict = verdict;
        ended.push_back(std::move(packet));
    }
    m_pending.clear();
    m_unbuffered.clear();
    Packet reply;
    // An answer goes to the client.
    if (answer != nullptr && answerSize != 0 && MakeInjection(answer, answerSize, true, reply)) {
        m_processed.push_back(std::move(reply));
    }
    std::deque<Packet>& to = park ? m_parked : m_processed;
    for (Packet& packet : ended) to.push_back(std::move(packet));
    MoveAllToProcessed();
}

void CScanBuffer::ReleaseParkedSoon() {
    m_releaseParked = true;
    // One more pass hands them over; a second queued pass costs nothing but the pass.
    if (m_scanSink != nullptr && m_state) m_scanSink->PutScanWork(this);
}

void CScanBuffer::ReleaseProcessedPackets() {
    // One release at a time keeps the host's packets in order; the host is called without the
    // buffer's lock, so its answer may bring the next packet in at once.
    Tessal::CAutoLock releasing(m_releaseLock);
    std::deque<Packet> released;
    {
        Tessal::CAutoLock lock(m_lock);
        released.swap(m_processed);
        if (m_releaseParked.exchange(false)) {
            for (Packet& packet : m_parked) released.push_back(std::move(packet));
            m_parked.clear();
        }
    }
    if (m_responseSink == nullptr) return;
    for (Packet& packet : released) {
        if (packet.injectOnly) {
            m_responseSink->Inject(packet.Bytes(), packet.replacementSize, packet.inbound);
            continue;
        }
        DWORD verdict = packet.verdict;
        if (packet.replacement) {
            m_responseSink->Inject(packet.Bytes(), packet.replacementSize, packet.inbound);
            verdict = kVerdictDrop;
        }
        if (IsTimeBlocked()) verdict = kVerdictFail;
        m_responseSink->Forward(packet.data, packet.size, packet.inbound, verdict);
    }
}

bool CScanBuffer::InData(const char* at, DWORD len) const noexcept {
    if (m_pBuffer == nullptr || at == nullptr) return false;
    const auto base = reinterpret_cast<std::uintptr_t>(m_pBuffer);
    const auto where = reinterpret_cast<std::uintptr_t>(at);
    return where >= base && where - base < m_cbBuffer && (where - base) + std::uint64_t{len} <= m_cbBuffer;
}

bool CScanBuffer::FindPacket(DWORD offset, std::size_t& index, DWORD& start) const noexcept {
    DWORD packetStart = 0;
    for (std::size_t i = 0; i < m_pending.size(); ++i) {
        const DWORD length = m_pending[i].Length();
        if (offset < packetStart + length) {
            index = i;
            start = packetStart;
            return true;
        }
        packetStart += length;
    }
    return false;
}

void CScanBuffer::Replace(char* at, DWORD len, const char* src, DWORD srcLen) {
    if (!InData(at, len) || (len != 0 && (src == nullptr || srcLen == 0))) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"Invalid replacement at 0x%08X [%lu bytes] with 0x%08X [%lu bytes]\r\n",
                Low32(at), static_cast<unsigned long>(len), Low32(src), static_cast<unsigned long>(srcLen));
        return;
    }
    const DWORD offset = static_cast<DWORD>(at - m_pBuffer);
    std::size_t index = 0;
    DWORD start = 0;
    if (len == 0 || !FindPacket(offset, index, start)) return;
    // Each packet gets its own part of the range: into its replacement when it has one, else into
    // the host's bytes.
    DWORD done = 0;
    for (std::size_t i = index; done < len && i < m_pending.size(); ++i) {
        Packet& packet = m_pending[i];
        const DWORD within = i == index ? offset - start : 0;
        const DWORD n = std::min(packet.Length() - within, len - done);
        FillRepeated(packet.Bytes() + within, n, src, srcLen, done);
        packet.modified = true;
        done += n;
    }
    replace(offset, len, src, srcLen);
}

void CScanBuffer::replace(DWORD offset, DWORD len, const char* src, DWORD srcLen) noexcept {
    FillRepeated(reinterpret_cast<BYTE*>(m_pBuffer) + offset, len, src, srcLen, 0);
}

void CScanBuffer::Insert(char* at, DWORD len, const char* src, DWORD srcLen) {
    const auto base = reinterpret_cast<std::uintptr_t>(m_pBuffer);
    const auto where = reinterpret_cast<std::uintptr_t>(at);
    // An empty range may sit at the very end of the data (an insertion behind the last byte).
    const bool valid = m_pBuffer != nullptr && at != nullptr && where >= base &&
                       (where - base) + std::uint64_t{len} <= m_cbBuffer && (src != nullptr || srcLen == 0);
    if (!valid) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"Invalid insertion at 0x%08X [%lu bytes] with 0x%08X [%lu bytes]\r\n",
                Low32(at), static_cast<unsigned long>(len), Low32(src), static_cast<unsigned long>(srcLen));
        return;
    }
    const DWORD offset = static_cast<DWORD>(where - base);

    // The packet holding the whole range; an edit across a packet boundary would have to change
    // two host packets as one.
    std::size_t index = m_pending.size();
    DWORD start = 0;
    for (std::size_t i = 0, packetStart = 0; i < m_pending.size(); packetStart += m_pending[i].Length(), ++i) {
        const DWORD end = static_cast<DWORD>(packetStart) + m_pending[i].Length();
        if (offset >= packetStart && offset + std::uint64_t{len} <= end) {
            index = i;
            start = static_cast<DWORD>(packetStart);
            break;
        }
    }
    if (index == m_pending.size()) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"Refusing an insertion at 0x%08X [%lu bytes] that spans packets\r\n",
                Low32(at), static_cast<unsigned long>(len));
        return;
    }

    Packet& packet = m_pending[index];
    const DWORD within = offset - start;
    const DWORD length = packet.Length();
    const std::uint64_t newLength = std::uint64_t{length} - len + srcLen;
    const std::uint64_t need = std::uint64_t{m_cbBuffer} - len + srcLen + 1;
    // Room first: a failed growth must leave the packet and the data as they were.
    if (need > kMaxSize || newLength > kMaxSize || (need > m_capacity && !growBuffer(need))) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to grow ScanBuffer to hold text to Insert\r\n");
        return;
    }
    Tessal::UniqueCoTaskMem replacement(::CoTaskMemAlloc(newLength != 0 ? static_cast<SIZE_T>(newLength) : 1));
    if (!replacement) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to allocate buffer to hold text to Insert\r\n");
        return;
    }
    BYTE* const bytes = static_cast<BYTE*>(replacement.Get());
    const BYTE* const old = packet.Bytes();
    std::memcpy(bytes, old, within);
    if (srcLen != 0) std::memcpy(bytes + within, src, srcLen);
    std::memcpy(bytes + within + srcLen, old + within + len, length - within - len);
    packet.replacement = std::move(replacement);
    packet.replacementSize = static_cast<DWORD>(newLength);
    packet.modified = true;

    std::memmove(m_pBuffer + offset + srcLen, m_pBuffer + offset + len, m_cbBuffer - offset - len + 1);
    if (srcLen != 0) std::memcpy(m_pBuffer + offset, src, srcLen);
    m_cbBuffer = static_cast<DWORD>(std::uint64_t{m_cbBuffer} - len + srcLen);
    NoteData();
}

void CScanBuffer::Replace(char* at, DWORD len, const CSafeStringA& text) {
    Replace(at, len, text.m_pBuffer, text.m_nLength);
}

void CScanBuffer::Insert(char* at, DWORD len, const CSafeStringA& text) {
    Insert(at, len, text.m_pBuffer, text.m_nLength);
}

void CScanBuffer::SetState(std::unique_ptr<CScanAlgorithmState> state) { m_state = std::move(state); }

void CScanBuffer::AddRefOwner() {
    if (m_owner != nullptr) m_owner->AddRef();
}

void CScanBuffer::ReleaseOwner() {
    if (m_owner != nullptr) m_owner->Release();
}
