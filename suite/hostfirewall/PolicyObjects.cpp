#include "suite/hostfirewall/PolicyObjects.h"

#include "suite/hostfirewall/FirewallText.h"
#include "suite/hostfirewall/PointProduct.h"

#include <algorithm>
#include <cwchar>

namespace HostFirewallStandIn {

namespace {

bool Same(const GUID& a, const GUID& b) { return ::IsEqualGUID(a, b) != FALSE; }

// Replaces the entry with the same id, else appends: a builder holds one of each.
template <class Record>
void Put(std::vector<Record>& records, Record record) {
    for (Record& existing : records) {
        if (Same(existing.id, record.id)) {
            existing = std::move(record);
            return;
        }
    }
    records.push_back(std::move(record));
}

// The firewall reads `length` characters, never past the terminator.
std::wstring Counted(const wchar_t* text, DWORD length) {
    return text != nullptr ? std::wstring(text, ::wcsnlen(text, length)) : std::wstring();
}

std::wstring Pair(long first, long second) { return Number(first) + L" " + Number(second); }

}  // namespace

CPolicyManager::CPolicyManager(CPointProduct* product) noexcept : m_product(product), m_productId(product->Id()) {
    m_product->AddRef();
}

CPolicyManager::~CPolicyManager() { m_product->Release(); }

ZrtFire::Result CPolicyManager::CreatePolicyBuilder(ZrtFire::IPolicyBuilder** builder) {
    return Guarded([&] {
        CCall call("policies", "CreatePolicyBuilder");
        if (builder == nullptr) return kNullPointer;
        *builder = nullptr;
        if (call.Steered() != 0) return call.Steered();
        *builder = new CPolicyBuilder(m_productId);
        return ZrtFire::Result{0};
    });
}

ZrtFire::Result CPolicyManager::CreateRuleBuilder(ZrtFire::IRuleBuilder** builder) {
    return Guarded([&] {
        CCall call("policies", "CreateRuleBuilder");
        if (builder == nullptr) return kNullPointer;
        *builder = nullptr;
        if (call.Steered() != 0) return call.Steered();
        *builder = new CRuleBuilder();
        return ZrtFire::Result{0};
    });
}

ZrtFire::Result CPolicyManager::CreateAggregateBuilder(ZrtFire::IAggregateBuilder** builder) {
    return Guarded([&] {
        CCall call("policies", "CreateAggregateBuilder");
        if (builder == nullptr) return kNullPointer;
        *builder = nullptr;
        if (call.Steered() != 0) return call.Steered();
        *builder = new CAggregateBuilder();
        return ZrtFire::Result{0};
    });
}

ZrtFire::Result CPolicyManager::AddPolicy(ZrtFire::IPolicyBuilder* policy, ULONGLONG* out1, ULONGLONG* out2) {
    return Guarded([&] {
        CCall call("policies", "AddPolicy");
        if (out1 != nullptr) *out1 = 0;
        if (out2 != nullptr) *out2 = 0;
        if (call.Steered() != 0) return call.Steered();
        const auto* builder = dynamic_cast<const CPolicyBuilder*>(policy);
        if (builder == nullptr || !builder->HasId()) return kInvalidArgument;
        PolicyRecord committed = builder->Policy();
        committed.product = m_productId;
        call.State().CommitPolicyLocked(std::move(committed));
        return ZrtFire::Result{0};
    });
}

ZrtFire::Result CPolicyManager::DeletePolicy(const GUID* policyId) {
    return Guarded([&] {
        CCall call("policies", "DeletePolicy", GuidText(policyId));
        if (call.Steered() != 0) return call.Steered();
        if (policyId == nullptr) return kInvalidArgument;
        // S_FALSE-like: nothing to delete is still a success (>= 0) to the caller.
        return call.State().DeletePolicyLocked(*policyId) ? ZrtFire::Result{0} : ZrtFire::Result{1};
    });
}

ZrtFire::Result CPolicyBuilder::SetEnabled(long value) {
    return Guarded([&] { return CCall("policy", "SetEnabled", Number(value)).Steered(); });
}

ZrtFire::Result CPolicyBuilder::SetPolicyId(const GUID* policyId, long kind) {
    return Guarded([&] {
        CCall call("policy", "SetPolicyId", GuidText(policyId) + L" " + Number(kind));
        if (call.Steered() != 0) return call.Steered();
        if (policyId == nullptr) return kInvalidArgument;
        m_policy.id = *policyId;
        m_policy.kind = kind;
        m_hasId = true;
        return ZrtFire::Result{0};
    });
}

ZrtFire::Result CPolicyBuilder::AddAggregate(const GUID* aggregateId, ZrtFire::IAggregateBuilder* aggregate) {
    return Guarded([&] {
        CCall call("policy", "AddAggregate", GuidText(aggregateId));
        if (call.Steered() != 0) return call.Steered();
        const auto* builder = dynamic_cast<const CAggregateBuilder*>(aggregate);
        if (aggregateId == nullptr || builder == nullptr) return kInvalidArgument;
        Put(m_policy.aggregates, AggregateRecord{*aggregateId, builder->AddressesLocked()});
        return ZrtFire::Result{0};
    });
}

ZrtFire::Result CPolicyBuilder::AddRule(ZrtFire::IRuleBuilder* rule) {
    return Guarded([&] {
        CCall call("policy", "AddRule");
        if (call.Steered() != 0) return call.Steered();
        const auto* builder = dynamic_cast<const CRuleBuilder*>(rule);
        if (builder == nullptr) return kInvalidArgument;
        RuleRecord added = builder->SnapshotLocked();
        if (!added.created) return kInvalidArgument;
        Put(m_policy.rules, std::move(added));
        return ZrtFire::Result{0};
    });
}

ZrtFire::Result CPolicyBuilder::DeleteRule(const GUID* ruleId) {
    return Guarded([&] {
        CCall call("policy", "DeleteRule", GuidText(ruleId));
        if (call.Steered() != 0) return call.Steered();
        if (ruleId == nullptr) return kInvalidArgument;
        auto& rules = m_policy.rules;
        rules.erase(std::remove_if(rules.begin(), rules.end(),
                                   [&](const RuleRecord& rule) { return Same(rule.id, *ruleId); }),
                    rules.end());
        call.State().DeleteRuleLocked(m_policy.product, *ruleId);
        return ZrtFire::Result{0};
    });
}

ZrtFire::Result CPolicyBuilder::SetPrecedence(long first, long second) {
    return Guarded([&] { return CCall("policy", "SetPrecedence", Pair(first, second)).Steered(); });
}

CRuleBuilder::CRuleBuilder() : m_match(new CMatchBuilder()) {}

CRuleBuilder::~CRuleBuilder() { m_match->Release(); }

ZrtFire::Result CRuleBuilder::CreateRule(const GUID* ruleId) {
    return Guarded([&] {
        CCall call("rule", "CreateRule", GuidText(ruleId));
        if (call.Steered() != 0) return call.Steered();
        if (ruleId == nullptr) return kInvalidArgument;
        m_rule.id = *ruleId;
        m_rule.created = true;
        return ZrtFire::Result{0};
    });
}

ZrtFire::Result CRuleBuilder::SetEnabled(long value) {
    return Guarded([&] { return CCall("rule", "SetEnabled", Number(value)).Steered(); });
}

ZrtFire::Result CRuleBuilder::SetAction(long action, const void* argument, long value) {
    return Guarded([&] {
        // The argument's layout is unknown: only whether one was given is kept.
        CCall call("rule", "SetAction",
                   Number(action) + (argument != nullptr ? L" *" : L" 0") + L" " + Number(value));
        if (call.Steered() != 0) return call.Steered();
        m_rule.hasAction = true;
        m_rule.action = action;
        m_rule.actionArgument = argument != nullptr;
        m_rule.actionValue = value;
        return ZrtFire::Result{0};
    });
}

ZrtFire::Result CRuleBuilder::SetName(const wchar_t* name) {
    return Guarded([&] {
        CCall call("rule", "SetName", Text(name));
        if (call.Steered() != 0) return call.Steered();
        m_rule.name = Text(name);
        return ZrtFire::Result{0};
    });
}

ZrtFire::IMatchBuilder* CRuleBuilder::GetMatchBuilder() {
    return GuardedPointer([&]() -> ZrtFire::IMatchBuilder* {
        CCall call("rule", "GetMatchBuilder");
        return call.Steered() != 0 ? nullptr : m_match;
    });
}

RuleRecord CRuleBuilder::SnapshotLocked() const {
    RuleRecord rule = m_rule;
    rule.match = m_match->Match();
    return rule;
}

ZrtFire::Result CMatchBuilder::SetOwner(const wchar_t* owner, DWORD length, long value) {
    return Guarded([&] {
        CCall call("match", "SetOwner", Text(owner) + L" " + UnsignedNumber(length) + L" " + Number(value));
        if (call.Steered() != 0) return call.Steered();
        m_match.owner = Counted(owner, length);
        return ZrtFire::Result{0};
    });
}

ZrtFire::Result CMatchBuilder::AddProtocol(long protocol, long value) {
    return Guarded([&] {
        CCall call("match", "AddProtocol", Pair(protocol, value));
        if (call.Steered() != 0) return call.Steered();
        m_match.protocols.push_back(protocol);
        return ZrtFire::Result{0};
    });
}

ZrtFire::Result CMatchBuilder::SetDirection(long first, long second) {
    return Guarded([&] { return CCall("match", "SetDirection", Pair(first, second)).Steered(); });
}

ZrtFire::Result CMatchBuilder::SetConnectionState(long first, long second) {
    return Guarded([&] { return CCall("match", "SetConnectionState", Pair(first, second)).Steered(); });
}

ZrtFire::Result CMatchBuilder::AddUserSid(const wchar_t* sid, DWORD length, long value) {
    return Guarded([&] {
        CCall call("match", "AddUserSid", Text(sid) + L" " + UnsignedNumber(length) + L" " + Number(value));
        if (call.Steered() != 0) return call.Steered();
        if (sid == nullptr) return kInvalidArgument;
        m_match.users.push_back(Counted(sid, length));
        return ZrtFire::Result{0};
    });
}

ZrtFire::Result CMatchBuilder::AddAggregateMatch(DWORD kind, const GUID* aggregateId, long value) {
    return Guarded([&] {
        CCall call("match", "AddAggregateMatch",
                   UnsignedNumber(kind) + L" " + GuidText(aggregateId) + L" " + Number(value));
        if (call.Steered() != 0) return call.Steered();
        if (aggregateId == nullptr) return kInvalidArgument;
        m_match.aggregates.emplace_back(kind, *aggregateId);
        return ZrtFire::Result{0};
    });
}

ZrtFire::Result CMatchBuilder::AddProcessId(DWORD processId, long value) {
    return Guarded([&] {
        CCall call("match", "AddProcessId", UnsignedNumber(processId) + L" " + Number(value));
        if (call.Steered() != 0) return call.Steered();
        m_match.processes.push_back(processId);
        return ZrtFire::Result{0};
    });
}

CAggregateBuilder::CAggregateBuilder() : m_addresses(new CAddressList()) {}

CAggregateBuilder::~CAggregateBuilder() { m_addresses->Release(); }

ZrtFire::IAddressList* CAggregateBuilder::GetAddressList() {
    return GuardedPointer([&]() -> ZrtFire::IAddressList* {
        CCall call("aggregate", "GetAddressList");
        return call.Steered() != 0 ? nullptr : m_addresses;
    });
}

const std::vector<std::wstring>& CAggregateBuilder::AddressesLocked() const noexcept {
    return m_addresses->Addresses();
}

ZrtFire::Result CAddressList::AddAddress(long kind, const ZrtFire::Address* address, long value) {
    return Guarded([&] {
        CCall call("addresses", "AddAddress", Number(kind) + L" " + AddressText(address) + L" " + Number(value));
        if (call.Steered() != 0) return call.Steered();
        if (address == nullptr) return kInvalidArgument;
        m_addresses.push_back(Number(kind) + L" " + AddressText(address));
        return ZrtFire::Result{0};
    });
}

}  // namespace HostFirewallStandIn
