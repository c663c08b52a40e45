#pragma once
// The held data of one direction of one connection. The scans read and edit one contiguous,
// 0-terminated copy of the bytes of every packet not yet released; the host gets its own packets
// back one by one, in arrival order, each with a verdict. Same-length edits are written into the
// host's packet bytes; an edit that changes a packet's length makes a replacement copy, injected
// in the packet's place while the host's packet is dropped.
//
// The copy grows in 64 KiB steps with 10 % headroom up to 4 MiB. A packet that does not fit waits
// among the unbuffered packets until the scan releases enough data; a packet that could never
// fit is passed on unscanned with what came before it, so a connection never stalls for good.

#include "base/Sync.h"
#include "base/UniqueHandle.h"
#include "plugin/filter/ScanAlgorithm.h"
#include "plugin/filter/ScanTypes.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

class CSafeStringA;
class IScanWorkSink;

class CScanBuffer : public IReplacementSink {
public:
    static constexpr DWORD kMaxSize = 4194304;   // 4 MiB, the 0 byte included

    // A packet as the buffer keeps it. Its length in the buffer is the replacement's when it has
    // one, else the host's.
    struct Packet {
        BYTE* data = nullptr;  // the host's bytes: not owned, valid until the verdict, writable
        DWORD size = 0;
        bool inbound = false;
        bool modified = false;
        Tessal::UniqueCoTaskMem replacement;
        DWORD replacementSize = 0;
        DWORD verdict = kVerdictOk;  // once processed
        bool injectOnly = false;     // bytes of the plug-in's own: injected, no host packet

        DWORD Length() const noexcept { return replacement ? replacementSize : size; }
        BYTE* Bytes() const noexcept { return replacement ? static_cast<BYTE*>(replacement.Get()) : data; }
    };

    // Empty, without data block, algorithm 0, no state. None of the pointers is owned.
    CScanBuffer(IScannableParent* owner, DWORD processId, IScanWorkSink* scanSink, IResponseSink* responseSink);
    // Packets still held are handed to the host: processed ones with their verdict, the others
    // with OK (FAIL while time-blocked).
    virtual ~CScanBuffer();
    CScanBuffer(const CScanBuffer&) = delete;
    CScanBuffer& operator=(const CScanBuffer&) = delete;

    // A host packet, appended with the lock held; always accepted (the host gets DEFER for it).
    bool AddData(BYTE* data, DWORD size, bool inbound);
    // Hands the processed packets to the host, oldest first, without the buffer's lock (never
    // call it holding that lock). After each scan pass.
    void ReleaseProcessedPackets();
    // Queues the buffer for a scan when it holds data and is not queued (at the connection's end).
    void QueueIfHasData();

    // For the scans, with the lock held: the first `count` bytes are finished; every whole packet
    // among them goes to the host with OK.
    void Consume(DWORD count);
    // Every pending and unbuffered packet goes to the host unscanned (OK) or dropped; these take
    // the lock themselves.
    void PassAll();
    void DropAll() { DropFrom(0); }
    // The first `offset` bytes go to the host (a packet they end inside is replaced by its part
    // before `offset`), every byte from `offset` on is dropped; takes the lock.
    void DropFrom(DWORD offset);
    // Like DropFrom, but the packets from `offset` on get FAIL: the host ends the connection once
    // what was released before them has left. `answer` (bytes toward the client, for the inbound
    // buffer) goes out after the passed bytes and before the failed packets. Parked packets wait
    // until ReleaseParkedSoon: an answer that waits for earlier responses must leave first.
    void FailFrom(DWORD offset, const BYTE* answer = nullptr, DWORD answerSize = 0, bool park = false);
    // The parked packets go to the host with the next release; queues a pass for it. Takes no
    // lock of the buffer, so the other direction's scan may call it.
    void ReleaseParkedSoon();
    // Bytes of the plug-in's own (a block page) sent into the direction in their place among the
    // processed packets: after every packet released before, before every one released after.
    void QueueInjection(const BYTE* bytes, DWORD size, bool inbound);

    // IReplacementSink. `at` must lie in the data. Replace writes within packets; Insert must
    // stay inside one packet (an edit spanning packets is refused with a log line).
    char* GetBase() override { return GetData(); }
    void Replace(char* at, DWORD len, const char* src, DWORD srcLen) override;
    void Insert(char* at, DWORD len, const char* src, DWORD srcLen) override;
    void Replace(char* at, DWORD len, const CSafeStringA& text);
    void Insert(char* at, DWORD len, const CSafeStringA& text);
    IReplacementSink* AsReplacementSink() noexcept { return this; }

    // The data: null until the first packet, always followed by a 0 byte.
    char* GetData() const noexcept { return m_pBuffer; }
    char* GetLast() const noexcept { return m_pBuffer + m_cbBuffer - 1; }
    DWORD GetLength() const noexcept { return m_cbBuffer; }
    DWORD GetCapacity() const noexcept { return m_capacity; }
    DWORD GetProcessId() const noexcept { return m_processId; }
    std::size_t PendingPacketCount() const noexcept { return m_pending.size(); }
    std::size_t UnbufferedPacketCount() const noexcept { return m_unbuffered.size(); }

    // Held: no scan until Resume (queued again when it holds data). Neither takes the lock.
    void Hold() noexcept { m_held = true; }
    void Resume();
    bool IsHeld() const noexcept { return m_held; }
    void SetEnded() noexcept { m_ended = true; }
    bool IsEnded() const noexcept { return m_ended; }
    bool IsQueued() const noexcept { return m_queued; }
    void SetQueued(bool queued) noexcept { m_queued = queued; }
    // From now on every packet released gets FAIL.
    void SetTimeBlocked() noexcept { m_timeBlocked.exchange(1); }
    bool IsTimeBlocked() const noexcept { return m_timeBlocked.load() != 0; }

    // Recursive; the data callbacks and every scan of this buffer hold it.
    Tessal::CCriticalSection& GetLock() noexcept { return m_lock; }
    CScanAlgorithmState* GetState() const noexcept { return m_state.get(); }
    // Deletes the current state. A buffer without a state is never queued.
    void SetState(std::unique_ptr<CScanAlgorithmState> state);
    int GetAlgorithm() const noexcept { return m_algorithm; }
    void SetAlgorithm(int id) noexcept { m_algorithm = id; }

    // The reference a queued buffer holds on its owner.
    void AddRefOwner();
    void ReleaseOwner();

private:
    bool growBuffer(std::uint64_t need);
    // Moves waiting packets into the data as long as they fit (growing up to the cap).
    void addUnbufferedPackets();
    void AppendToData(const Packet& packet);
    void replace(DWORD offset, DWORD len, const char* src, DWORD srcLen) noexcept;
    // Every pending and unbuffered packet, with its verdict as set, to the processed ones.
    void MoveAllToProcessed();
    void MarkAll(DWORD verdict);
    void ResetPosition() noexcept;
    // Keeps m_holdsData in step; with the lock held.
    void NoteData() noexcept;
    void QueueIfReady();
    // The pending packet holding `offset` and that packet's start; false when none does.
    bool FindPacket(DWORD offset, std::size_t& index, DWORD& start) const noexcept;
    bool InData(const char* at, DWORD len) const noexcept;
    void ForwardLeftovers(std::deque<Packet>& packets, const wchar_t* format);
    void EndFrom(DWORD offset, DWORD verdict, const BYTE* answer, DWORD answerSize, bool park);
    // `packet` becomes a copy of bytes of the plug-in's own; false when there is no memory for it.
    static bool MakeInjection(const BYTE* bytes, DWORD size, bool inbound, Packet& packet);

    IScannableParent* m_owner;
    char* m_pBuffer = nullptr;  // CoTaskMemRealloc'ed, owned
    DWORD m_cbBuffer = 0;
    DWORD m_capacity = 0;
    DWORD m_processId;
    std::unique_ptr<CScanAlgorithmState> m_state;
    int m_algorithm = kScanInvalid;
    Tessal::CCriticalSection m_lock;
    Tessal::CCriticalSection m_releaseLock;  // one release at a time; taken before m_lock
    std::atomic<bool> m_queued{false};
    std::atomic<bool> m_ended{false};
    std::atomic<bool> m_held{false};
    std::atomic<LONG> m_timeBlocked{0};
    std::atomic<bool> m_holdsData{false};  // data or waiting packets, for Resume without the lock
    std::deque<Packet> m_pending;     // bytes in the data, back to back, oldest at offset 0
    std::deque<Packet> m_unbuffered;  // waiting for room
    std::uint64_t m_unbufferedBytes = 0;
    std::deque<Packet> m_processed;   // waiting for ReleaseProcessedPackets
    std::deque<Packet> m_parked;      // FAILed, waiting for an answer in the other direction
    std::atomic<bool> m_releaseParked{false};
    IScanWorkSink* m_scanSink;
    IResponseSink* m_responseSink;
};
