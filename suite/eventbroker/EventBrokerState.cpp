#include "EventBrokerState.h"

#include "eventbroker.h"

#include <cstring>
#include <utility>

namespace EventBrokerStandIn {

namespace {

template <class Map>
auto* FindEntry(Map& map, const IID& iid) {
    const auto found = map.find(iid);
    return found == map.end() ? nullptr : &found->second;
}

// Pops the front of the queue kept for `iid`, dropping the queue once empty.
template <class Value>
std::optional<Value> PopQueued(std::map<GUID, std::deque<Value>, GuidLess>& queues, const IID& iid) {
    const auto found = queues.find(iid);
    if (found == queues.end()) {
        return std::nullopt;
    }
    Value value = found->second.front();
    found->second.pop_front();
    if (found->second.empty()) {
        queues.erase(found);
    }
    return value;
}

}  // namespace

bool GuidLess::operator()(const GUID& a, const GUID& b) const noexcept {
    return std::memcmp(&a, &b, sizeof(GUID)) < 0;
}

bool IsHandlerInterface(const IID& iid) noexcept {
    return ::IsEqualIID(iid, __uuidof(ISignInEventHandler)) || ::IsEqualIID(iid, __uuidof(ISignOutEventHandler)) ||
           ::IsEqualIID(iid, __uuidof(ISignInRequiredEventHandler)) ||
           ::IsEqualIID(iid, __uuidof(IUrlVisitedEventHandler)) ||
           ::IsEqualIID(iid, __uuidof(IAccessDeniedEventHandler));
}

CEventBrokerState& CEventBrokerState::Instance() {
    static CEventBrokerState state;
    return state;
}

void CEventBrokerState::Reset() {
    Tessal::CExclusiveLock lock(m_lock);
    m_creationResult = S_OK;
    m_standingAnswers.clear();
    m_queuedAnswers.clear();
    m_standingResults.clear();
    m_queuedResults.clear();
    m_brokerCalls.clear();
    m_handlerCalls.clear();
}

HRESULT CEventBrokerState::CreationResult() {
    Tessal::CExclusiveLock lock(m_lock);
    return m_creationResult;
}

void CEventBrokerState::SetCreationResult(HRESULT result) {
    Tessal::CExclusiveLock lock(m_lock);
    m_creationResult = result;
}

void CEventBrokerState::SetBrokerAnswer(const IID& iid, const BrokerAnswer& answer) {
    Tessal::CExclusiveLock lock(m_lock);
    m_standingAnswers[iid] = answer;
}

void CEventBrokerState::QueueBrokerAnswer(const IID& iid, const BrokerAnswer& answer) {
    Tessal::CExclusiveLock lock(m_lock);
    m_queuedAnswers[iid].push_back(answer);
}

BrokerAnswer CEventBrokerState::TakeBrokerAnswer(const IID& iid) {
    Tessal::CExclusiveLock lock(m_lock);
    if (auto queued = PopQueued(m_queuedAnswers, iid)) {
        return *queued;
    }
    if (auto queued = PopQueued(m_queuedAnswers, GUID_NULL)) {
        return *queued;
    }
    if (const BrokerAnswer* standing = FindEntry(m_standingAnswers, iid)) {
        return *standing;
    }
    if (const BrokerAnswer* standing = FindEntry(m_standingAnswers, GUID_NULL)) {
        return *standing;
    }
    if (IsHandlerInterface(iid)) {
        return {S_OK, 0, EventBrokerHandler_Recording};
    }
    return {REGDB_E_CLASSNOTREG, ERROR_NOT_FOUND, EventBrokerHandler_None};
}

void CEventBrokerState::SetHandlerResult(const IID& iid, HRESULT result) {
    Tessal::CExclusiveLock lock(m_lock);
    m_standingResults[iid] = result;
}

void CEventBrokerState::QueueHandlerResult(const IID& iid, HRESULT result) {
    Tessal::CExclusiveLock lock(m_lock);
    m_queuedResults[iid].push_back(result);
}

HRESULT CEventBrokerState::TakeHandlerResult(const IID& iid) {
    Tessal::CExclusiveLock lock(m_lock);
    if (auto queued = PopQueued(m_queuedResults, iid)) {
        return *queued;
    }
    if (auto queued = PopQueued(m_queuedResults, GUID_NULL)) {
        return *queued;
    }
    if (const HRESULT* standing = FindEntry(m_standingResults, iid)) {
        return *standing;
    }
    if (const HRESULT* standing = FindEntry(m_standingResults, GUID_NULL)) {
        return *standing;
    }
    return S_OK;
}

void CEventBrokerState::RecordBrokerCall(StoredBrokerCall call) {
    Tessal::CExclusiveLock lock(m_lock);
    m_brokerCalls.push_back(std::move(call));
    if (m_brokerCalls.size() > kMaxRecordsPerKind) m_brokerCalls.pop_front();
}

void CEventBrokerState::RecordHandlerCall(StoredHandlerCall call) {
    Tessal::CExclusiveLock lock(m_lock);
    m_handlerCalls.push_back(std::move(call));
    if (m_handlerCalls.size() > kMaxRecordsPerKind) m_handlerCalls.pop_front();
}

std::size_t CEventBrokerState::BrokerCallCount() {
    Tessal::CExclusiveLock lock(m_lock);
    return m_brokerCalls.size();
}

std::size_t CEventBrokerState::HandlerCallCount() {
    Tessal::CExclusiveLock lock(m_lock);
    return m_handlerCalls.size();
}

std::optional<StoredBrokerCall> CEventBrokerState::BrokerCall(std::size_t index) {
    Tessal::CExclusiveLock lock(m_lock);
    if (index >= m_brokerCalls.size()) {
        return std::nullopt;
    }
    return m_brokerCalls[index];
}

std::optional<StoredHandlerCall> CEventBrokerState::HandlerCall(std::size_t index) {
    Tessal::CExclusiveLock lock(m_lock);
    if (index >= m_handlerCalls.size()) {
        return std::nullopt;
    }
    return m_handlerCalls[index];
}

ULONG CEventBrokerState::HandlerCreated() noexcept {
    ++m_liveHandlers;
    return ++m_lastSerial;
}

void CEventBrokerState::HandlerDestroyed() noexcept { --m_liveHandlers; }

ULONG CEventBrokerState::LiveHandlers() noexcept { return m_liveHandlers.load(); }

}  // namespace EventBrokerStandIn
