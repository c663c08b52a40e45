#pragma once
// Registration with the host firewall as a point product, shared by the rule managers. The
// control library stays loaded for as long as the point product is held: the firewall's objects
// run code inside it.

#include "base/UniqueHandle.h"
#include "suite/interfaces/ZrtFire.h"

#include <windows.h>

#include "nuvutil/NoCaseLess.h"

#include <set>
#include <string>

// A registered point product (one reference) and the control library it came from.
class CHeldPointProduct {
public:
    CHeldPointProduct() = default;
    ~CHeldPointProduct() { Reset(); }
    CHeldPointProduct(const CHeldPointProduct&) = delete;
    CHeldPointProduct& operator=(const CHeldPointProduct&) = delete;

    ZrtFire::IPointProduct* Get() const noexcept { return m_product; }
    explicit operator bool() const noexcept { return m_product != nullptr; }
    // Releases the product, then frees the library.
    void Reset() noexcept;
    void Attach(ZrtFire::IPointProduct* product, Tessal::UniqueHModule library) noexcept;

private:
    ZrtFire::IPointProduct* m_product = nullptr;
    Tessal::UniqueHModule m_library;
};

// Loads the control library, gets its point-product factory and registers `productId`. False
// (logged) when any step fails; `product` is then empty.
bool _RegisterAsPointProduct(CHeldPointProduct& product, const GUID& productId);

// The policy manager of a point product and a fresh policy builder from it, for the rule
// managers; false (logged) when either is refused.
bool _OpenPolicyBuilder(ZrtFire::IPointProduct* product, ZrtFire::Ref<ZrtFire::IPolicyManager>& policies,
                        ZrtFire::Ref<ZrtFire::IPolicyBuilder>& policy);

// A rule builder with the rule `ruleId` created and its match builder (borrowed); false (logged)
// when the firewall refuses one of them.
bool _OpenRuleBuilder(ZrtFire::IPolicyManager* policies, const GUID& ruleId, ZrtFire::Ref<ZrtFire::IRuleBuilder>& rule,
                      ZrtFire::IMatchBuilder*& match);
// Adds the rule to the policy and the policy to the firewall; false (logged) when refused.
bool _CommitRule(ZrtFire::IPolicyManager* policies, ZrtFire::IPolicyBuilder* policy, ZrtFire::IRuleBuilder* rule);
// Deletes a point product's rule through a fresh policy builder; true when the firewall did.
bool _DeleteRule(ZrtFire::IPointProduct* product, const GUID& ruleId);
// Deletes a point product's policy (logged either way).
void _DeletePolicy(ZrtFire::IPointProduct* product, const GUID& policyId);
// The SIDs a rule applies to, one log line each.
void _LogSids(const wchar_t* format, const std::set<std::wstring, NoCaseLess>& sids);

// An endpoint address as text: dotted IPv4, eight groups of four hex digits for IPv6 (no zero
// compression), empty for any other family.
std::wstring IpAddressToText(const ZrtFire::Address& address);

// "{XXXXXXXX-...}" for log lines and tests.
std::wstring GuidText(const GUID& id);
