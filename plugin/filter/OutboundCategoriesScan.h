#pragma once
// The per-request state of the categories scan (algorithm 4), owned by the request scan: the URL
// to classify, the user's category setting, and the verdict and category the block decision
// reads. The scan itself arrives with the category masks and the URL classification; until then
// the table has no algorithm 4 and the request scan lets every URL pass as far as categories go.

#include "nuvutil/SafeString.h"
#include "plugin/filter/ScanAlgorithm.h"

#include <windows.h>

class COutboundCategoriesScan {
public:
    class CState;
};

// Implemented by the request scan's state, which forwards to the connection's handler.
class IOutboundCategoriesScanCallback {
public:
    virtual void OnOutboundURLCategories(COutboundCategoriesScan::CState& state) = 0;
    // Links in the allowed page become temporarily allowed for the session.
    virtual void EnableEmbeddedUrlScan() = 0;

protected:
    ~IOutboundCategoriesScanCallback() = default;
};

class COutboundCategoriesScan::CState : public CScanAlgorithmState {
public:
    CState(IOutboundCategoriesScanCallback* callback, const char* userMask, LONG categoryMode, DWORD processId)
        : m_callback(callback), m_strUserMask(userMask), m_nCategoryMode(categoryMode), m_processId(processId) {}

    void Reset() override { SetPosition(0); }

    CSafeStringA m_strUrl;  // host + request target with its query
    IOutboundCategoriesScanCallback* m_callback;
    bool m_bPassed = false;  // the verdict: the URL may be reached as far as categories go
    CSafeStringA m_strUserMask;
    LONG m_nCategoryMode;    // 0: the mask lists what to block; 1: the only categories allowed
    bool m_bAllowedByList = false;
    LONG m_nCategoryNameId = 0;
    CSafeStringW m_strMatchedMask;
    DWORD m_processId;
};
