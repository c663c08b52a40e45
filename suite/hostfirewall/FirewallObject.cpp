#include "suite/hostfirewall/FirewallObject.h"

namespace HostFirewallStandIn {

ZrtFire::Result Unexpected(const char* slot) noexcept {
    Guarded([&] {
        CCall call(nullptr, (std::string("unexpected ") + slot).c_str());
        return call.Steered();
    });
    return kUnexpected;
}

}  // namespace HostFirewallStandIn
