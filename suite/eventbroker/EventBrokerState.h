#pragma once
// The stand-in's one state per process: what tests asked the broker and the handlers to answer,
// and what they were called with. Every broker, handler and control object reads and writes it.

#include "EventBrokerControl.h"
#include "EventBrokerRecords.h"

#include "base/Sync.h"

#include <windows.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace EventBrokerStandIn {

struct BrokerAnswer {
    HRESULT result;
    DWORD status;
    EventBrokerHandlerKind handler;
};

// What the broker and the handlers were called with: the same values the tests read back.
using StoredBrokerCall = BrokerCallRecord;
using StoredHandlerCall = HandlerCallRecord;

// Orders GUIDs by their bytes; any strict order serves as a map key here.
struct GuidLess {
    bool operator()(const GUID& a, const GUID& b) const noexcept;
};

// True for the five handler interfaces the broker knows.
bool IsHandlerInterface(const IID& iid) noexcept;

class CEventBrokerState {
public:
    static CEventBrokerState& Instance();

    void Reset();

    HRESULT CreationResult();
    void SetCreationResult(HRESULT result);

    void SetBrokerAnswer(const IID& iid, const BrokerAnswer& answer);
    void QueueBrokerAnswer(const IID& iid, const BrokerAnswer& answer);
    // The answer for the next GetHandler of `iid`: its own queue, the queue for any id, its own
    // standing answer, the standing answer for any id, then the default.
    BrokerAnswer TakeBrokerAnswer(const IID& iid);

    void SetHandlerResult(const IID& iid, HRESULT result);
    void QueueHandlerResult(const IID& iid, HRESULT result);
    HRESULT TakeHandlerResult(const IID& iid);

    void RecordBrokerCall(StoredBrokerCall call);
    void RecordHandlerCall(StoredHandlerCall call);
    std::size_t BrokerCallCount();
    std::size_t HandlerCallCount();
    // Copies of one record; std::nullopt when the index is out of range.
    std::optional<StoredBrokerCall> BrokerCall(std::size_t index);
    std::optional<StoredHandlerCall> HandlerCall(std::size_t index);

    // Handler objects: serial numbers start at 1 and never repeat within the process.
    ULONG HandlerCreated() noexcept;
    void HandlerDestroyed() noexcept;
    ULONG LiveHandlers() noexcept;

private:
    CEventBrokerState() = default;

    Tessal::CSRWLock m_lock;
    HRESULT m_creationResult = S_OK;
    std::map<GUID, BrokerAnswer, GuidLess> m_standingAnswers;
    std::map<GUID, std::deque<BrokerAnswer>, GuidLess> m_queuedAnswers;
    std::map<GUID, HRESULT, GuidLess> m_standingResults;
    std::map<GUID, std::deque<HRESULT>, GuidLess> m_queuedResults;
    std::deque<StoredBrokerCall> m_brokerCalls;    // the last kMaxRecordsPerKind
    std::deque<StoredHandlerCall> m_handlerCalls;
    std::atomic<ULONG> m_lastSerial{0};
    std::atomic<ULONG> m_liveHandlers{0};
};

}  // namespace EventBrokerStandIn
