#include "suite/hostfirewall/NameResolver.h"

#include "suite/hostfirewall/FirewallText.h"

namespace HostFirewallStandIn {

ZrtFire::Result CNameResolver::SetActive(long value) {
    return Guarded([&] {
        CCall call("resolver", "SetActive", Number(value));
        return call.Steered();
    });
}

ZrtFire::Result CNameResolver::OnLookupFailed() {
    return Guarded([&] {
        CCall call("resolver", "OnLookupFailed");
        return call.Steered();
    });
}

ZrtFire::Result CNameResolver::Lookup(ZrtFire::ILookupResult** result, const ZrtFire::Address* address, long value) {
    return Guarded([&] {
        CCall call("resolver", "Lookup", AddressText(address) + L" " + Number(value));
        if (result == nullptr) return kNullPointer;
        *result = nullptr;
        if (call.Steered() != 0) return call.Steered();
        if (address == nullptr) return kInvalidArgument;
        const std::wstring* const name = call.State().ReverseNameLocked(*address);
        if (name == nullptr) return kNotFound;
        *result = new CLookupResult(*name);
        return ZrtFire::Result{0};
    });
}

}  // namespace HostFirewallStandIn
