#include "suite/bus/SharedInbox.h"

#include "suite/bus/PipeFrames.h"

#include <algorithm>
#include <cstring>

namespace HalvexBus {

struct InboxRing {
    volatile LONG lock;          // 0 free, 1 taken
    volatile LONG lockOwner;     // process id of the holder
    volatile LONG64 written;     // bytes ever written; advanced after the bytes are in place
    volatile LONG64 read;        // bytes ever read
    volatile LONG sleeping;      // 1: the reader waits for the event (writers set it)
    uint8_t data[kInboxBytes];
};

namespace {

constexpr DWORD kOwnerCheckMs = 10;
// After the last frame the reader watches the ring this long before it sleeps on the event:
// writers then need no event (a round trip to the server under Wine) for a burst of traffic.
constexpr LONG64 kReaderSpinUs = 2000;

LONG64 NowUs() {
    static const LONG64 frequency = [] {
        LARGE_INTEGER value;
        ::QueryPerformanceFrequency(&value);
        return value.QuadPart;
    }();
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    return now.QuadPart * 1000000 / frequency;
}

bool ProcessAlive(DWORD processId) {
    HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, processId);
    if (process == nullptr) return false;
    const bool alive = ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    ::CloseHandle(process);
    return alive;
}

void Lock(InboxRing& ring) {
    const LONG self = static_cast<LONG>(::GetCurrentProcessId());
    ULONGLONG nextCheck = 0;
    for (unsigned spins = 0;; ++spins) {
        if (::InterlockedCompareExchange(&ring.lock, 1, 0) == 0) {
            ring.lockOwner = self;
            return;
        }
        if (spins < 64) {
            YieldProcessor();
            continue;
        }
        ::Sleep(0);
        // The holder copies a frame and leaves: one that stays may have died with it.
        const ULONGLONG now = ::GetTickCount64();
        if (nextCheck == 0) nextCheck = now + kOwnerCheckMs;
        if (now < nextCheck) continue;
        nextCheck = now + kOwnerCheckMs;
        const LONG owner = ring.lockOwner;
        if (owner != 0 && owner != self && !ProcessAlive(static_cast<DWORD>(owner)) &&
            ::InterlockedCompareExchange(&ring.lockOwner, self, owner) == owner) {
            return;  // taken over; the lock word stays 1
        }
    }
}

void Unlock(InboxRing& ring) {
    ring.lockOwner = 0;
    ::InterlockedExchange(&ring.lock, 0);
}

void CopyIn(InboxRing& ring, LONG64 at, const char* bytes, size_t size) {
    const size_t offset = static_cast<size_t>(at % kInboxBytes);
    const size_t first = std::min(size, kInboxBytes - offset);
    memcpy(ring.data + offset, bytes, first);
    memcpy(ring.data, bytes + first, size - first);
}

void CopyOut(const InboxRing& ring, LONG64 at, char* bytes, size_t size) {
    const size_t offset = static_cast<size_t>(at % kInboxBytes);
    const size_t first = std::min(size, kInboxBytes - offset);
    memcpy(bytes, ring.data + offset, first);
    memcpy(bytes + first, ring.data, size - first);
}

}  // namespace

std::wstring InboxName(uint32_t processId) {
    return L"Local\\" + BusScopeName() + L"-inbox-" + std::to_wstring(processId);
}

InboxReader::~InboxReader() {
    if (m_ring != nullptr) ::UnmapViewOfFile(m_ring);
}

bool InboxReader::Create(uint32_t processId) {
    const std::wstring name = InboxName(processId);
    m_mapping.Reset(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(InboxRing),
                                         name.c_str()));
    if (!m_mapping) return false;
    m_ring = static_cast<InboxRing*>(::MapViewOfFile(m_mapping.Get(), FILE_MAP_ALL_ACCESS, 0, 0, sizeof(InboxRing)));
    if (m_ring == nullptr) return false;
    // Still open in another process (this one left the bus a moment ago and writers have not yet
    // heard): what was written for the earlier stay is skipped, under the writers' lock.
    Lock(*m_ring);
    ::InterlockedExchange64(&m_ring->read, ::InterlockedCompareExchange64(&m_ring->written, 0, 0));
    m_ring->sleeping = 0;
    Unlock(*m_ring);
    m_ready.Reset(::CreateEventW(nullptr, FALSE, FALSE, (name + L"-ready").c_str()));
    return m_ready.IsValid();
}

void InboxReader::Run(HANDLE stop, const std::function<void(const std::string& body)>& frame) {
    std::string body;
    for (;;) {
        const LONG64 written = ::InterlockedCompareExchange64(&m_ring->written, 0, 0);
        LONG64 read = m_ring->read;
        while (read < written) {
            uint32_t length = 0;
            CopyOut(*m_ring, read, reinterpret_cast<char*>(&length), sizeof(length));
            body.resize(length);
            CopyOut(*m_ring, read + sizeof(length), &body[0], length);
            read += sizeof(length) + length;
            ::InterlockedExchange64(&m_ring->read, read);  // the space is free again
            frame(body);
        }
        const LONG64 until = NowUs() + kReaderSpinUs;
        while (::InterlockedCompareExchange64(&m_ring->written, 0, 0) == read && NowUs() < until &&
               ::WaitForSingleObject(stop, 0) == WAIT_TIMEOUT) {
            ::SwitchToThread();  // polite on a busy machine; no server round trip
        }
        if (::InterlockedCompareExchange64(&m_ring->written, 0, 0) != read) continue;
        // Either a writer sees the flag, or this sees its frame: both sides use full barriers.
        ::InterlockedExchange(&m_ring->sleeping, 1);
        if (::InterlockedCompareExchange64(&m_ring->written, 0, 0) == read) {
            HANDLE handles[] = {stop, m_ready.Get()};
            const DWORD woken = ::WaitForMultipleObjects(2, handles, FALSE, INFINITE);
            ::InterlockedExchange(&m_ring->sleeping, 0);
            if (woken != WAIT_OBJECT_0 + 1) return;
        } else {
            ::InterlockedExchange(&m_ring->sleeping, 0);
        }
    }
}

InboxWriter::~InboxWriter() {
    if (m_ring != nullptr) ::UnmapViewOfFile(m_ring);
}

bool InboxWriter::Open(uint32_t processId) {
    const std::wstring name = InboxName(processId);
    m_process.Reset(::OpenProcess(SYNCHRONIZE, FALSE, processId));
    m_mapping.Reset(::OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, name.c_str()));
    if (!m_mapping || !m_process) return false;
    m_ring = static_cast<InboxRing*>(::MapViewOfFile(m_mapping.Get(), FILE_MAP_ALL_ACCESS, 0, 0, sizeof(InboxRing)));
    m_ready.Reset(::OpenEventW(EVENT_MODIFY_STATE, FALSE, (name + L"-ready").c_str()));
    return m_ring != nullptr && m_ready.IsValid();
}

bool InboxWriter::OwnerAlive() const { return ::WaitForSingleObject(m_process.Get(), 0) == WAIT_TIMEOUT; }

bool InboxWriter::Write(const std::string& frameBytes) {
    if (m_ring == nullptr || frameBytes.size() > kInboxBytes / 2) return false;
    ULONGLONG nextCheck = 0;
    for (;;) {
        Lock(*m_ring);
        const LONG64 written = m_ring->written;
        const LONG64 read = ::InterlockedCompareExchange64(&m_ring->read, 0, 0);
        if (kInboxBytes - static_cast<size_t>(written - read) >= frameBytes.size()) {
            CopyIn(*m_ring, written, frameBytes.data(), frameBytes.size());
            ::InterlockedExchange64(&m_ring->written, written + static_cast<LONG64>(frameBytes.size()));
            Unlock(*m_ring);
            if (::InterlockedCompareExchange(&m_ring->sleeping, 0, 0) != 0) ::SetEvent(m_ready.Get());
            return true;
        }
        Unlock(*m_ring);
        ::SetEvent(m_ready.Get());
        // Full: its reader only moves frames into memory, so this passes unless it is gone.
        const ULONGLONG now = ::GetTickCount64();
        if (now >= nextCheck) {
            if (!OwnerAlive()) return false;
            nextCheck = now + kOwnerCheckMs;
        }
        ::Sleep(1);
    }
}

}  // namespace HalvexBus
