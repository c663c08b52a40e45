#pragma once
// Registration with the host firewall as a point product, shared by the rule managers. The
// control library stays loaded for as long as the point product is held: the firewall's objects
// run code inside it.

#include "base/UniqueHandle.h"
#include "plugin/timelimits/ZrtFire.h"

#include <windows.h>

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

// An endpoint address as text: dotted IPv4, eight groups of four hex digits for IPv6 (no zero
// compression), empty for any other family.
std::wstring IpAddressToText(const ZrtFire::Address& address);

// "{XXXXXXXX-...}" for log lines and tests.
std::wstring GuidText(const GUID& id);
