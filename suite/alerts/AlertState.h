#pragma once
// The alert stand-in's one state per process: the results tests asked for and every creation and
// show call, with the callbacks the calls carried.

#include "AlertControl.h"
#include "AlertRecords.h"
#include "alerts.h"

#include "base/Sync.h"

#include <windows.h>
#include <wrl/client.h>

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace AlertStandIn {

struct StoredCreation {
    QvAlertCreationPath path;
    IID interfaceId;
    HRESULT result;
};

// What the tests read back, and the callback the call carried: kept until Reset when the call
// succeeded, as the component keeps it until the user answers.
struct StoredCall : CallRecord {
    Microsoft::WRL::ComPtr<IAlertCallback> callback;
};

class CAlertState {
public:
    static CAlertState& Instance();

    void Reset();

    HRESULT CreationResult();
    void SetCreationResult(HRESULT result);
    void RecordCreation(const StoredCreation& creation);

    void SetShowResult(HRESULT result);
    void QueueShowResult(HRESULT result);
    HRESULT TakeShowResult();
    void RecordCall(StoredCall call);

    std::size_t CreationCount();
    std::size_t CallCount();
    // Copies of one record; std::nullopt when the index is out of range.
    std::optional<StoredCreation> Creation(std::size_t index);
    std::optional<StoredCall> Call(std::size_t index);

private:
    CAlertState() = default;

    Tessal::CSRWLock m_lock;
    HRESULT m_creationResult = S_OK;
    HRESULT m_showResult = S_OK;
    std::deque<HRESULT> m_queuedShowResults;
    std::vector<StoredCreation> m_creations;
    std::vector<StoredCall> m_calls;
};

}  // namespace AlertStandIn
