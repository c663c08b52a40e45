// The library's exports: the firewall's own NotComDllGetInterface, and the tests' control.
#include "suite/hostfirewall/BlockEvent.h"
#include "suite/hostfirewall/Connection.h"
#include "suite/hostfirewall/FirewallObject.h"
#include "suite/hostfirewall/FirewallState.h"
#include "suite/hostfirewall/FirewallText.h"
#include "suite/hostfirewall/HostFirewallStandIn.h"
#include "suite/hostfirewall/PointProduct.h"

#include <oleauto.h>

#include <cstring>
#include <string>

namespace HostFirewallStandIn {

namespace {

BSTR NewBstr(const std::wstring& text) noexcept {
    return ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

class CControl final : public IHostFirewallControl {
public:
    void Reset() override {
        Guarded([] {
            CFirewallState::Instance().Reset();
            return ZrtFire::Result{0};
        });
    }

    BSTR Calls() override {
        return GuardedPointer([] { return NewBstr(CFirewallState::Instance().Calls()); });
    }

    void ClearCalls() override { CFirewallState::Instance().ClearCalls(); }

    BSTR RulesNow() override {
        return GuardedPointer([] { return NewBstr(CFirewallState::Instance().RulesNow()); });
    }

    void SetResult(const char* operation, long result) override {
        if (operation == nullptr) return;
        Guarded([&] {
            CFirewallState::Instance().SetResult(operation, result);
            return ZrtFire::Result{0};
        });
    }

    void ResetResults() override { CFirewallState::Instance().ResetResults(); }

    long LiveObjects() override { return CFirewallState::Instance().LiveObjects(); }

    ZrtFire::IPointProductNotify* RegisteredNotify(const GUID* productId) override {
        if (productId == nullptr) return nullptr;
        CFirewallState& state = CFirewallState::Instance();
        std::lock_guard<std::mutex> lock(state.Mutex());
        const CPointProduct* product = state.FindProductLocked(*productId);
        return product != nullptr ? product->Notify() : nullptr;
    }

    ZrtFire::Result FireBlockEvent(const BlockEvent& event) override {
        return Guarded([&] { return DeliverBlockEvent(event); });
    }

    void SetReverseName(const ZrtFire::Address& address, const wchar_t* name) override {
        Guarded([&] {
            CFirewallState::Instance().SetReverseName(address, name);
            return ZrtFire::Result{0};
        });
    }

    ZrtFire::Result OfferConnection(const OfferedConnection& connection, long* number) override {
        if (number != nullptr) *number = 0;
        return Guarded([&] { return HostFirewallStandIn::OfferConnection(connection, number); });
    }

    BSTR ConnectionOutcomes() override {
        return GuardedPointer([] { return NewBstr(CFirewallState::Instance().ConnectionOutcomes()); });
    }

    long OpenConnections() override {
        try {
            return CFirewallState::Instance().OpenConnections();
        } catch (...) {
            return -1;
        }
    }

    bool WaitForCompletions(long count, DWORD timeoutMs) override {
        try {
            return CFirewallState::Instance().WaitForCompletions(count, timeoutMs);
        } catch (...) {
            return false;
        }
    }

    long ForeignSinkReleases() override { return CFirewallState::Instance().ForeignSinkReleases(); }

    void HoldCall(const char* operation) override {
        if (operation == nullptr) return;
        Guarded([&] {
            CFirewallState::Instance().HoldCall(operation);
            return ZrtFire::Result{0};
        });
    }

    bool WaitForHeldCall(DWORD timeoutMs) override {
        try {
            return CFirewallState::Instance().WaitForHeldCall(timeoutMs);
        } catch (...) {
            return false;
        }
    }

    void ReleaseHeldCall() override { CFirewallState::Instance().ReleaseHeldCall(); }
};

}  // namespace

}  // namespace HostFirewallStandIn

extern "C" ZrtFire::Result NotComDllGetInterface(const char* name, void** out) {
    using namespace HostFirewallStandIn;
    return Guarded([&] {
        CCall call(nullptr, "NotComDllGetInterface", Widen(name));
        if (out == nullptr) return kNullPointer;
        *out = nullptr;
        if (call.Steered() != 0) return call.Steered();
        if (name == nullptr || std::strcmp(name, ZrtFire::kPointProductFactoryName) != 0) return kNoInterface;
        *out = static_cast<ZrtFire::IPointProductFactory*>(new CPointProductFactory());
        return ZrtFire::Result{0};
    });
}

extern "C" HostFirewallStandIn::IHostFirewallControl* ZrtStandInControl() {
    static HostFirewallStandIn::CControl control;
    return &control;
}
