#pragma once
// The categories scan (algorithm 4): run by the request scan once per request, on the sub-state
// it owns, after the site lists and before the block decision. It classifies the URL, compares
// the URL's mask with the user's category setting, and leaves its verdict and the category found
// in the sub-state, where the request scan and the block decision read them.

#include "Shared/AffiliateSettings.h"
#include "nuvutil/SafeString.h"
#include "plugin/filter/ScanAlgorithm.h"

#include <windows.h>

#include <string>

class COutboundCategoriesScan : public IScanAlgorithm {
public:
    class CState;

    // Name id of a category without one of its own.
    static constexpr LONG kUnknownCategoryNameId = 20115;

    // The category names come from the product settings' Categories keys (read once).
    COutboundCategoriesScan();
    // A given table of names (mask text -> string-resource id).
    explicit COutboundCategoriesScan(CategoryMap names);

    void Scan(CScanAlgorithmState& state) override;

    // The name id stored for the mask text; 0 when none is.
    LONG GetCategoryNameId(const std::wstring& mask) const;
    // The first name whose key intersects the URL's mask (in key order) gives its key in `matched`
    // and its id; 20115 when none does or its id is 0.
    LONG FindCategoryNameId(const std::wstring& urlMask, CSafeStringW& matched) const;

    // The image path of a process; empty when it cannot be opened.
    static std::wstring ProcessImagePath(DWORD processId);

private:
    CategoryMap m_names;
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
    // The connection's process does not change: its image path is looked up once.
    std::wstring m_processPath;
    bool m_bProcessPathKnown = false;
    std::wstring m_wideUrl;  // the URL as the look-up takes it, kept for its room
};
