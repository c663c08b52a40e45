#pragma once
// The stand-in configuration service's state, one per process. Every configuration object,
// category and test control works on it, the way every client of the real service shares one
// service: a test and the product code under test see the same users and sign-ins.

#include "configservice.h"

#include "base/UniqueHandle.h"
#include "nuvutil/com/Variant.h"

#include <windows.h>
#include <oaidl.h>
#include <wrl/client.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace QvConfigStandIn {

// One settings category: a user's or the product-wide one. Guarded by the service's lock.
struct CategoryData {
    std::wstring name;  // the user id given to AddUser, or "product"; names the category in the call log
    std::map<LONG, NuvCom::CVariant> settings;
    bool removed = false;
};
using CategoryPtr = std::shared_ptr<CategoryData>;

// What an injected failure makes a call answer (see IQvConfigServiceControl::FailCall).
struct Injected {
    bool active = false;
    HRESULT hr = S_OK;
    LONG status = QV_CONFIG_STATUS_OK;
};

class CConfigService {
public:
    static CConfigService& Instance();

    CConfigService(const CConfigService&) = delete;
    CConfigService& operator=(const CConfigService&) = delete;

    // Every call through the service's interfaces starts here: it is logged as
    // "name(arguments) detail" and answered with the injected failure that matches, if any.
    // `arguments` is the argument text; its first argument narrows FailCall and GetCallCount.
    Injected BeginCall(const wchar_t* name, const std::wstring& arguments = {}, const std::wstring& detail = {});

    // Service side.
    CategoryPtr ProductCategory();
    std::vector<CategoryPtr> Users();  // in the order they were added
    // A copy of the setting into `value`; false when the category does not hold it (or is removed).
    bool ReadSetting(const CategoryPtr& category, LONG settingId, VARIANT* value);
    bool IsSignedIn(DWORD sessionId);
    // False for a null, empty or unknown user id. Notifies OnSignIn.
    bool SignIn(DWORD sessionId, const wchar_t* userId);
    // False when nobody was signed in (nothing is notified then). Notifies OnSignOut.
    bool SignOut(DWORD sessionId);
    CategoryPtr SignedInUser(DWORD sessionId);  // null when nobody

    // Subscribers of _IQvPSConfigEvents.
    DWORD Advise(IDispatch* sink);
    HRESULT Unadvise(DWORD cookie);

    // Test control (IQvConfigServiceControl).
    HRESULT Reset();
    HRESULT AddUser(const wchar_t* userId, BSTR userName);
    HRESULT RemoveUser(const wchar_t* userId);
    HRESULT SetUserSetting(const wchar_t* userId, LONG settingId, const VARIANT& value);
    HRESULT SetProductSetting(LONG settingId, const VARIANT& value);
    HRESULT FireEvent(LONG dispId, ULONG argCount, const VARIANT* args);
    HRESULT WaitForEvents(DWORD timeoutMs);
    DWORD EventThreadId();
    ULONG SinkCount();
    HRESULT FailCall(const wchar_t* callName, HRESULT hr, LONG status, LONG times);
    // Every later call of that name crashes (CrashIfAsked).
    void FaultCall(const wchar_t* callName);
    // At the entry of a call, before the service's own exception boundary: raises an access
    // violation when FaultCall asked for it. Calls that can crash: FindConnectionPoint, Advise,
    // IQvConfigCategory.Get.
    void CrashIfAsked(const wchar_t* name);
    std::wstring CallLog();
    ULONG CallCount(const wchar_t* callName);
    std::wstring EventLog();
    void ClearLogs();

private:
    struct LoggedCall {
        std::wstring name;
        std::wstring firstArgument;
        std::wstring line;
    };
    struct FailureRule {
        std::wstring name;
        std::wstring argument;  // empty: any
        HRESULT hr;
        LONG status;
        LONG remaining;  // -1: every call
        bool fault;      // an access violation instead of an answer
    };
    // A notification waiting for the event thread. By-reference arguments point into `storage`.
    struct PendingEvent {
        LONG dispId = 0;
        std::vector<NuvCom::CVariant> args;  // first argument first
        std::vector<std::unique_ptr<NuvCom::CVariant>> storage;
    };

    CConfigService();

    CategoryPtr FindUserLocked(const wchar_t* userId) const;
    void QueueLocked(PendingEvent event);
    void QueueSignInLocked(DWORD sessionId, const std::wstring& userId, LONG dispId);
    bool WaitIdleLocked(std::unique_lock<std::mutex>& lock, DWORD timeoutMs);
    bool OnEventThread() const noexcept { return ::GetCurrentThreadId() == m_eventThreadId; }
    void DeliverEvents();
    static DWORD WINAPI EventThreadMain(void* parameter);

    std::mutex m_lock;
    std::condition_variable m_changed;  // the queue, a delivery or the sinks changed

    CategoryPtr m_product;
    CategoryPtr m_temporaryAdult;  // "adult_temp": signs in, never enumerated
    std::vector<CategoryPtr> m_users;
    std::map<DWORD, CategoryPtr> m_signedIn;

    std::map<DWORD, Microsoft::WRL::ComPtr<IDispatch>> m_sinks;
    DWORD m_nextCookie = 1;

    std::deque<PendingEvent> m_events;
    bool m_delivering = false;       // an event taken off the queue is being delivered
    DWORD m_deliveringCookie = 0;    // the subscriber being called right now
    Tessal::UniqueHandle m_eventThread;
    DWORD m_eventThreadId = 0;

    std::vector<FailureRule> m_failures;
    std::vector<LoggedCall> m_calls;
    std::vector<std::wstring> m_eventLog;
};

}  // namespace QvConfigStandIn
