#pragma once
// The process-wide state of the NuvConfig stand-in. Every instance in the process reads and
// writes the same users, settings and values, as instances of the real component share its
// storage; the store also keeps the call log and the failures a test planned.

#include "nuvconfig.h"

#include "base/Sync.h"
#include "nuvutil/com/Variant.h"

#include <windows.h>

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct CLegacyConfigState {
    struct User {
        bool known = false;  // AddUser ran; settings may exist for users not (yet) known
        bool isProtected = false;
        std::map<LONG, NuvCom::CVariant> settings;
    };

    std::map<std::wstring, User> users;  // by user id, compared exactly
    NuvCom::CVariant windowsUsers;       // what GetVORLUserList returns
    NuvCom::CVariant categories;         // what GetCategoryList returns
    std::map<LONG, NuvCom::CVariant> productValues;
    std::map<LONG, NuvCom::CVariant> adminValues;
    std::map<std::pair<LONG, LONG>, NuvCom::CVariant> defaults;  // (age group, id)
    bool adminPasswordPrepared = false;
};

// Administrator value ids.
constexpr LONG kAdminPasswordId = 200;
constexpr LONG kAdminHintId = 201;

class CLegacyConfigStore {
public:
    struct PlannedAnswer {
        HRESULT hr;
        LONG result;
        // A planned answer that only replaces the result of a call that otherwise works.
        bool Fails() const noexcept { return FAILED(hr) || (result & 0x1FFFF) != 0; }
    };

    // The one store of the process, in its initial state on first use.
    static CLegacyConfigStore& Instance();

    CLegacyConfigStore(const CLegacyConfigStore&) = delete;
    CLegacyConfigStore& operator=(const CLegacyConfigStore&) = delete;

    Tessal::CCriticalSection& Lock() noexcept { return m_lock; }

    // Everything below with Lock() held.
    CLegacyConfigState& State() noexcept { return m_state; }
    // Back to the initial state; planned failures and the call log are dropped.
    void Reset();

    // Logs one call and counts it; gives the answer planned for it, if any.
    std::optional<PlannedAnswer> RecordCall(NuvConfigOperation operation, std::wstring line);
    void PlanFailure(NuvConfigOperation operation, HRESULT hr, LONG result, LONG count);
    LONG CallCount(NuvConfigOperation operation) const;
    std::wstring CallLog() const;
    void ClearCallLog();

private:
    struct Plan {
        PlannedAnswer answer;
        LONG remaining;  // NUVCONFIG_FAIL_ALWAYS: never runs out
    };

    CLegacyConfigStore();

    Tessal::CCriticalSection m_lock;
    CLegacyConfigState m_state;
    std::map<NuvConfigOperation, Plan> m_plans;
    std::map<NuvConfigOperation, LONG> m_callCounts;
    std::vector<std::wstring> m_calls;
};

// A VT_ARRAY | VT_VARIANT of copies of `elements`.
NuvCom::CVariant MakeVariantArray(std::vector<NuvCom::CVariant>& elements);

// The state Reset restores: the age-group defaults and the category list below, nothing else.
void FillInitialState(CLegacyConfigState& state);
