#include "AlertState.h"

#include <utility>

namespace AlertStandIn {

CAlertState& CAlertState::Instance() {
    // Never destroyed: at process exit the callbacks kept may belong to modules already torn
    // down, and releasing them then would run their code.
    static CAlertState* const state = new CAlertState();
    return *state;
}

void CAlertState::Reset() {
    std::vector<StoredCall> released;
    {
        Tessal::CExclusiveLock lock(m_lock);
        m_creationResult = S_OK;
        m_showResult = S_OK;
        m_queuedShowResults.clear();
        m_creations.clear();
        released.swap(m_calls);
    }
    // The callbacks are released outside the lock: their destructors may call anything.
}

HRESULT CAlertState::CreationResult() {
    Tessal::CExclusiveLock lock(m_lock);
    return m_creationResult;
}

void CAlertState::SetCreationResult(HRESULT result) {
    Tessal::CExclusiveLock lock(m_lock);
    m_creationResult = result;
}

void CAlertState::RecordCreation(const StoredCreation& creation) {
    Tessal::CExclusiveLock lock(m_lock);
    m_creations.push_back(creation);
}

void CAlertState::SetShowResult(HRESULT result) {
    Tessal::CExclusiveLock lock(m_lock);
    m_showResult = result;
}

void CAlertState::QueueShowResult(HRESULT result) {
    Tessal::CExclusiveLock lock(m_lock);
    m_queuedShowResults.push_back(result);
}

HRESULT CAlertState::TakeShowResult() {
    Tessal::CExclusiveLock lock(m_lock);
    if (m_queuedShowResults.empty()) {
        return m_showResult;
    }
    const HRESULT result = m_queuedShowResults.front();
    m_queuedShowResults.pop_front();
    return result;
}

void CAlertState::RecordCall(StoredCall call) {
    Tessal::CExclusiveLock lock(m_lock);
    m_calls.push_back(std::move(call));
}

std::size_t CAlertState::CreationCount() {
    Tessal::CExclusiveLock lock(m_lock);
    return m_creations.size();
}

std::size_t CAlertState::CallCount() {
    Tessal::CExclusiveLock lock(m_lock);
    return m_calls.size();
}

std::optional<StoredCreation> CAlertState::Creation(std::size_t index) {
    Tessal::CExclusiveLock lock(m_lock);
    if (index >= m_creations.size()) {
        return std::nullopt;
    }
    return m_creations[index];
}

std::optional<StoredCall> CAlertState::Call(std::size_t index) {
    Tessal::CExclusiveLock lock(m_lock);
    if (index >= m_calls.size()) {
        return std::nullopt;
    }
    return m_calls[index];
}

}  // namespace AlertStandIn
