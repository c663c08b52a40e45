#pragma once
// The policy manager of a point product and the builders it creates. Builders keep what they
// are given; only AddPolicy changes the firewall's policies (and DeleteRule, see
// HostFirewallStandIn.h).

#include "suite/interfaces/ZrtFire.h"
#include "suite/hostfirewall/FirewallObject.h"
#include "suite/hostfirewall/FirewallState.h"

#include <windows.h>

namespace HostFirewallStandIn {

class CPointProduct;

class CPolicyManager final : public CCounted<CPolicyManager, ZrtFire::IPolicyManager> {
public:
    // Holds a reference on the product for as long as it lives.
    explicit CPolicyManager(CPointProduct* product) noexcept;
    ~CPolicyManager();

    ZrtFire::Result CreatePolicyBuilder(ZrtFire::IPolicyBuilder** builder) override;
    ZrtFire::Result CreateRuleBuilder(ZrtFire::IRuleBuilder** builder) override;
    ZrtFire::Result CreateAggregateBuilder(ZrtFire::IAggregateBuilder** builder) override;
    ZRT_STANDIN_RESERVED(IPolicyManager, 6)
    ZRT_STANDIN_RESERVED(IPolicyManager, 7)
    ZrtFire::Result AddPolicy(ZrtFire::IPolicyBuilder* policy, ULONGLONG* out1, ULONGLONG* out2) override;
    ZrtFire::Result DeletePolicy(const GUID* policyId) override;

private:
    CPointProduct* m_product;
    GUID m_productId;
};

class CPolicyBuilder final : public CCounted<CPolicyBuilder, ZrtFire::IPolicyBuilder> {
public:
    explicit CPolicyBuilder(const GUID& productId) noexcept { m_policy.product = productId; }

    ZRT_STANDIN_RESERVED(IPolicyBuilder, 3)
    ZRT_STANDIN_RESERVED(IPolicyBuilder, 4)
    ZrtFire::Result SetEnabled(long value) override;
    ZrtFire::Result SetPolicyId(const GUID* policyId, long kind) override;
    ZRT_STANDIN_RESERVED(IPolicyBuilder, 7)
    ZRT_STANDIN_RESERVED(IPolicyBuilder, 8)
    ZrtFire::Result AddAggregate(const GUID* aggregateId, ZrtFire::IAggregateBuilder* aggregate) override;
    ZRT_STANDIN_RESERVED(IPolicyBuilder, 10)
    ZRT_STANDIN_RESERVED(IPolicyBuilder, 11)
    ZrtFire::Result AddRule(ZrtFire::IRuleBuilder* rule) override;
    ZrtFire::Result DeleteRule(const GUID* ruleId) override;
    ZRT_STANDIN_RESERVED(IPolicyBuilder, 14)
    ZrtFire::Result SetPrecedence(long first, long second) override;

    // Under the state's lock.
    bool HasId() const noexcept { return m_hasId; }
    const PolicyRecord& Policy() const noexcept { return m_policy; }

private:
    bool m_hasId = false;
    PolicyRecord m_policy;
};

class CMatchBuilder;

class CRuleBuilder final : public CCounted<CRuleBuilder, ZrtFire::IRuleBuilder> {
public:
    CRuleBuilder();
    ~CRuleBuilder();

    ZRT_STANDIN_RESERVED(IRuleBuilder, 3)
    ZrtFire::Result CreateRule(const GUID* ruleId) override;
    ZrtFire::Result SetEnabled(long value) override;
    ZrtFire::Result SetAction(long action, const void* argument, long value) override;
    ZRT_STANDIN_RESERVED(IRuleBuilder, 7)
    ZRT_STANDIN_RESERVED(IRuleBuilder, 8)
    ZRT_STANDIN_RESERVED(IRuleBuilder, 9)
    ZRT_STANDIN_RESERVED(IRuleBuilder, 10)
    ZrtFire::Result SetName(const wchar_t* name) override;
    ZrtFire::IMatchBuilder* GetMatchBuilder() override;

    // Under the state's lock: the rule with what its match builder holds now.
    RuleRecord SnapshotLocked() const;

private:
    RuleRecord m_rule;
    CMatchBuilder* m_match;  // one reference
};

class CMatchBuilder final : public CCounted<CMatchBuilder, ZrtFire::IMatchBuilder> {
public:
    ZRT_STANDIN_RESERVED(IMatchBuilder, 3)
    ZrtFire::Result SetOwner(const wchar_t* owner, DWORD length, long value) override;
    ZRT_STANDIN_RESERVED(IMatchBuilder, 5)
    ZrtFire::Result AddProtocol(long protocol, long value) override;
    ZRT_STANDIN_RESERVED(IMatchBuilder, 7)
    ZRT_STANDIN_RESERVED(IMatchBuilder, 8)
    ZRT_STANDIN_RESERVED(IMatchBuilder, 9)
    ZRT_STANDIN_RESERVED(IMatchBuilder, 10)
    ZRT_STANDIN_RESERVED(IMatchBuilder, 11)
    ZRT_STANDIN_RESERVED(IMatchBuilder, 12)
    ZrtFire::Result SetDirection(long first, long second) override;
    ZrtFire::Result SetConnectionState(long first, long second) override;
    ZRT_STANDIN_RESERVED(IMatchBuilder, 15)
    ZRT_STANDIN_RESERVED(IMatchBuilder, 16)
    ZrtFire::Result AddUserSid(const wchar_t* sid, DWORD length, long value) override;
    ZRT_STANDIN_RESERVED(IMatchBuilder, 18)
    ZRT_STANDIN_RESERVED(IMatchBuilder, 19)
    ZRT_STANDIN_RESERVED(IMatchBuilder, 20)
    ZRT_STANDIN_RESERVED(IMatchBuilder, 21)
    ZRT_STANDIN_RESERVED(IMatchBuilder, 22)
    ZRT_STANDIN_RESERVED(IMatchBuilder, 23)
    ZRT_STANDIN_RESERVED(IMatchBuilder, 24)
    ZRT_STANDIN_RESERVED(IMatchBuilder, 25)
    ZRT_STANDIN_RESERVED(IMatchBuilder, 26)
    ZRT_STANDIN_RESERVED(IMatchBuilder, 27)
    ZRT_STANDIN_RESERVED(IMatchBuilder, 28)
    ZRT_STANDIN_RESERVED(IMatchBuilder, 29)
    ZRT_STANDIN_RESERVED(IMatchBuilder, 30)
    ZRT_STANDIN_RESERVED(IMatchBuilder, 31)
    ZRT_STANDIN_RESERVED(IMatchBuilder, 32)
    ZRT_STANDIN_RESERVED(IMatchBuilder, 33)
    ZRT_STANDIN_RESERVED(IMatchBuilder, 34)
    ZRT_STANDIN_RESERVED(IMatchBuilder, 35)
    ZrtFire::Result AddAggregateMatch(DWORD kind, const GUID* aggregateId, long value) override;
    ZrtFire::Result AddProcessId(DWORD processId, long value) override;

    // Under the state's lock.
    const MatchRecord& Match() const noexcept { return m_match; }

private:
    MatchRecord m_match;
};

class CAddressList;

class CAggregateBuilder final : public CCounted<CAggregateBuilder, ZrtFire::IAggregateBuilder> {
public:
    CAggregateBuilder();
    ~CAggregateBuilder();

    ZRT_STANDIN_RESERVED(IAggregateBuilder, 3)
    ZRT_STANDIN_RESERVED(IAggregateBuilder, 4)
    ZrtFire::IAddressList* GetAddressList() override;

    // Under the state's lock.
    const std::vector<std::wstring>& AddressesLocked() const noexcept;

private:
    CAddressList* m_addresses;  // one reference
};

class CAddressList final : public CCounted<CAddressList, ZrtFire::IAddressList> {
public:
    ZRT_STANDIN_RESERVED(IAddressList, 3)
    ZRT_STANDIN_RESERVED(IAddressList, 4)
    ZRT_STANDIN_RESERVED(IAddressList, 5)
    ZRT_STANDIN_RESERVED(IAddressList, 6)
    ZRT_STANDIN_RESERVED(IAddressList, 7)
    ZrtFire::Result AddAddress(long kind, const ZrtFire::Address* address, long value) override;

    // Under the state's lock.
    const std::vector<std::wstring>& Addresses() const noexcept { return m_addresses; }

private:
    std::vector<std::wstring> m_addresses;  // "<kind> <address>"
};

}  // namespace HostFirewallStandIn
