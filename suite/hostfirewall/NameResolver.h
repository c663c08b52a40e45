#pragma once
// The firewall's name resolver service (GetService) and its look-up results: names come from
// the control's SetReverseName, nothing is asked of a real resolver.

#include "suite/interfaces/ZrtFire.h"
#include "suite/hostfirewall/FirewallObject.h"

#include <string>

namespace HostFirewallStandIn {

class CNameResolver final : public CCounted<CNameResolver, ZrtFire::INameResolver> {
public:
    ZrtFire::Result SetActive(long value) override;
    ZrtFire::Result OnLookupFailed() override;
    ZRT_STANDIN_RESERVED(INameResolver, 5)
    ZRT_STANDIN_RESERVED(INameResolver, 6)
    // An address without a configured name answers kNotFound and a null result.
    ZrtFire::Result Lookup(ZrtFire::ILookupResult** result, const ZrtFire::Address* address, long value) override;
};

// Keeps its own copy of the name: the control may change it while the result is held.
class CLookupResult final : public CCounted<CLookupResult, ZrtFire::ILookupResult> {
public:
    explicit CLookupResult(std::wstring name) : m_name(std::move(name)) {}
    ZRT_STANDIN_RESERVED(ILookupResult, 3)
    long HasName() override { return 1; }
    const wchar_t* Name(long) override { return m_name.c_str(); }

private:
    const std::wstring m_name;
};

}  // namespace HostFirewallStandIn
