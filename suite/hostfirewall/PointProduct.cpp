#include "suite/hostfirewall/PointProduct.h"

#include "suite/hostfirewall/FirewallText.h"
#include "suite/hostfirewall/PolicyObjects.h"

#include <algorithm>

namespace HostFirewallStandIn {

namespace {

bool Is(const GUID* id, const GUID& expected) { return id != nullptr && ::IsEqualGUID(*id, expected); }

// Orders RegisterNotify calls across products; guarded by the state's lock.
ULONGLONG g_notifyCount = 0;

}  // namespace

ZrtFire::Result CPointProductFactory::Register(ZrtFire::IPointProduct** product, const GUID* interfaceId,
                                               const GUID* productId) {
    return Guarded([&] {
        CCall call("factory", "Register", GuidText(interfaceId) + L" " + GuidText(productId));
        if (product == nullptr) return kNullPointer;
        *product = nullptr;
        if (call.Steered() != 0) return call.Steered();
        if (!Is(interfaceId, ZrtFire::kPointProductInterface)) return kNoInterface;
        if (productId == nullptr) return kInvalidArgument;
        auto* registered = new CPointProduct(*productId);
        call.State().AddProductLocked(registered);
        *product = registered;
        return ZrtFire::Result{0};
    });
}

ZrtFire::Result CPointProduct::GetInterface(void** out, const GUID* interfaceId) {
    return Guarded([&] {
        CCall call("product", "GetInterface", GuidText(interfaceId));
        if (out == nullptr) return kNullPointer;
        *out = nullptr;
        if (call.Steered() != 0) return call.Steered();
        if (!Is(interfaceId, ZrtFire::kPolicyManagerInterface)) return kNoInterface;
        *out = static_cast<ZrtFire::IPolicyManager*>(new CPolicyManager(this));
        return ZrtFire::Result{0};
    });
}

ZrtFire::Result CPointProduct::RegisterNotify(ZrtFire::IPointProductNotify* notify, const GUID* interfaceId) {
    return Guarded([&] {
        CCall call("product", "RegisterNotify", GuidText(interfaceId));
        if (call.Steered() != 0) return call.Steered();
        if (!Is(interfaceId, ZrtFire::kNotifyInterface)) return kNoInterface;
        if (notify == nullptr) return kInvalidArgument;
        m_notify = notify;
        m_notifyOrder = ++g_notifyCount;
        call.State().PublishLocked();
        return ZrtFire::Result{0};
    });
}

ZrtFire::Result CPointProduct::Shutdown() {
    return Guarded([&] {
        CCall call("product", "Shutdown");
        if (call.Steered() != 0) return call.Steered();
        m_shutDown = true;
        call.State().PublishLocked();
        call.State().DeliveryEnded().wait(call.Lock(), [&] { return !DeliveringElsewhereLocked(); });
        return ZrtFire::Result{0};
    });
}

ZrtFire::Result CPointProduct::RegisterPlugin(const GUID* pluginId, ZrtFire::IStreamInspectPlugin* plugin,
                                              const GUID* interfaceId, ZrtFire::IInspectionSink** sink) {
    return Guarded([&] {
        CCall call("product", "RegisterPlugin", GuidText(pluginId) + L" " + GuidText(interfaceId));
        if (sink == nullptr) return kNullPointer;
        *sink = nullptr;
        if (call.Steered() != 0) return call.Steered();
        if (!Is(interfaceId, ZrtFire::kPluginRegistrationInterface)) return kNoInterface;
        if (plugin == nullptr || pluginId == nullptr) return kInvalidArgument;
        // The plug-in is never called yet: connections are not inspected by the stand-in.
        *sink = new CInspectionSink();
        return ZrtFire::Result{0};
    });
}

ZrtFire::Result CPointProduct::UnregisterPlugin(const GUID* pluginId) {
    return Guarded([&] {
        CCall call("product", "UnregisterPlugin", GuidText(pluginId));
        return call.Steered();
    });
}

ZrtFire::Result CPointProduct::SetVerdict(ULONGLONG eventKey, long verdict, long second, long third) {
    return Guarded([&] {
        CCall call("product", "SetVerdict",
                   UnsignedNumber(eventKey) + L" " + Number(verdict) + L" " + Number(second) + L" " + Number(third));
        return call.Steered();
    });
}

void* CPointProduct::GetService(const GUID* serviceId) {
    return GuardedPointer([&]() -> void* {
        CCall call("product", "GetService", GuidText(serviceId));
        // No service is offered yet: the caller must cope with null, as with an older firewall.
        return nullptr;
    });
}

void CPointProduct::FinalRelease() noexcept {
    CFirewallState& state = CFirewallState::Instance();
    std::lock_guard<std::mutex> lock(state.Mutex());
    try {
        state.RecordLocked("product", "Released", std::wstring());
    } catch (...) {
        // The log misses a line; the list must still lose the product.
    }
    state.RemoveProductLocked(this);
}

void CPointProduct::DeliveryEndedLocked(DWORD threadId) noexcept {
    const auto found = std::find(m_deliveryThreads.begin(), m_deliveryThreads.end(), threadId);
    if (found != m_deliveryThreads.end()) m_deliveryThreads.erase(found);
}

bool CPointProduct::DeliveringElsewhereLocked() const noexcept {
    const DWORD self = ::GetCurrentThreadId();
    return std::any_of(m_deliveryThreads.begin(), m_deliveryThreads.end(),
                       [self](DWORD thread) { return thread != self; });
}

ZrtFire::Result CInspectionSink::Complete(ZrtFire::IConnection*) {
    return Guarded([&] {
        CCall call("sink", "Complete");
        return call.Steered();
    });
}

}  // namespace HostFirewallStandIn
