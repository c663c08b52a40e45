#pragma once
// The stand-in's one state per process: the call log, steered results, live objects, the
// registered point products and the committed policies. One lock guards it all; it is never
// held while the product is called back.

#include "suite/interfaces/ZrtFire.h"

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace HostFirewallStandIn {

class CConnection;
class CPointProduct;

// What a match builder was given.
struct MatchRecord {
    std::vector<long> protocols;
    std::vector<std::wstring> users;
    std::wstring owner;
    std::vector<DWORD> processes;
    std::vector<std::pair<DWORD, GUID>> aggregates;
};

struct RuleRecord {
    GUID id{};
    bool created = false;
    std::wstring name;
    bool hasAction = false;
    long action = 0;
    bool actionArgument = false;
    long actionValue = 0;
    MatchRecord match;
};

struct AggregateRecord {
    GUID id{};
    std::vector<std::wstring> addresses;  // "<kind> <address>"
};

struct PolicyRecord {
    GUID id{};
    long kind = 0;
    GUID product{};
    std::vector<RuleRecord> rules;
    std::vector<AggregateRecord> aggregates;
};

class CFirewallState {
public:
    static CFirewallState& Instance();

    std::mutex& Mutex() noexcept { return m_mutex; }

    // Callers hold Mutex().
    // Appends the call's line; the result steered for "object.operation" or "operation", else 0.
    ZrtFire::Result RecordLocked(const char* object, const char* operation, const std::wstring& arguments);
    void AddProductLocked(CPointProduct* product);
    void RemoveProductLocked(CPointProduct* product) noexcept;
    void CommitPolicyLocked(PolicyRecord policy);
    bool DeletePolicyLocked(const GUID& policyId);
    void DeleteRuleLocked(const GUID& productId, const GUID& ruleId);
    // Writes the state to the file of kStateFileVariable, when one is named.
    void PublishLocked() const;
    // The product an event goes to: the live owner of `policyId` with a notify, else the last
    // product that registered one; null when none has.
    CPointProduct* EventTargetLocked(const GUID* policyId) const;
    CPointProduct* FindProductLocked(const GUID& productId) const;
    // The live product whose plug-in registered last; null when none is kept.
    CPointProduct* PluginTargetLocked() const;
    // Numbers the connection and keeps it until Reset or unload.
    void AddConnectionLocked(CConnection* connection);
    // Null for a connection the stand-in did not offer (or freed by a Reset since).
    CConnection* FindConnectionLocked(const ZrtFire::IConnection* connection) const;
    // Wakes WaitForCompletions.
    void ConnectionCompletedLocked() noexcept { m_completed.notify_all(); }
    // Null when no name is set for the address.
    const std::wstring* ReverseNameLocked(const ZrtFire::Address& address) const;
    // Woken whenever an event delivery ends.
    std::condition_variable& DeliveryEnded() noexcept { return m_deliveryEnded; }

    void Reset();
    std::wstring Calls();
    void ClearCalls();
    std::wstring RulesNow();
    // For a process the test cannot reach in (the proxy host with the plug-in): when the
    // variable names a file, the state as RulesNow gives it is written there after every change.
    static constexpr const wchar_t* kStateFileVariable = L"ZRTFW_STANDIN_STATE";
    void SetResult(const std::string& operation, ZrtFire::Result result);
    void ResetResults();
    void SetReverseName(const ZrtFire::Address& address, const wchar_t* name);
    std::wstring ConnectionOutcomes();
    long OpenConnections();
    bool WaitForCompletions(long count, DWORD timeoutMs);
    // At module unload: frees the connections unless another thread died holding the lock.
    void FreeConnectionsAtUnload() noexcept;

    // A call held for a test (see IHostFirewallControl::HoldCall).
    void HoldCall(const std::string& operation);
    bool WaitForHeldCall(DWORD timeoutMs);
    void ReleaseHeldCall();
    // `lock` holds Mutex(): when the call "object.operation" is the one to hold, waits until it
    // is let go, with the lock released meanwhile.
    void HoldIfAskedLocked(const char* object, const char* operation, std::unique_lock<std::mutex>& lock);

    void ForeignSinkReleaseLocked() noexcept { ++m_foreignSinkReleases; }
    long ForeignSinkReleases();

    void ObjectCreated() noexcept { ++m_liveObjects; }
    void ObjectDestroyed() noexcept { --m_liveObjects; }
    long LiveObjects() const noexcept { return m_liveObjects; }

private:
    CFirewallState() = default;

    std::mutex m_mutex;
    std::condition_variable m_deliveryEnded;
    std::condition_variable m_completed;
    std::wstring RulesTextLocked() const;
    long CompletedConnectionsLocked() const;
    void FreeConnectionsLocked() noexcept;

    std::wstring m_calls;
    std::map<std::string, ZrtFire::Result> m_results;
    std::vector<CPointProduct*> m_products;
    std::vector<PolicyRecord> m_policies;
    std::vector<CConnection*> m_connections;  // owned
    long m_connectionCount = 0;
    std::map<std::wstring, std::wstring> m_reverseNames;  // by AddressText
    std::atomic<long> m_liveObjects{0};
    long m_foreignSinkReleases = 0;
    std::string m_holdOperation;  // empty: no call to hold
    bool m_holding = false;       // a call waits now
    ULONGLONG m_holdRound = 0;    // a release or Reset lets the held call go
    std::condition_variable m_holdChanged;
};

}  // namespace HostFirewallStandIn
