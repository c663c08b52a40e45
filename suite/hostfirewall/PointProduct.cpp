#include "suite/hostfirewall/PointProduct.h"

#include "suite/hostfirewall/Connection.h"
#include "suite/hostfirewall/FirewallText.h"
#include "suite/hostfirewall/NameResolver.h"
#include "suite/hostfirewall/PolicyObjects.h"

#include <algorithm>

namespace HostFirewallStandIn {

namespace {

bool Is(const GUID* id, const GUID& expected) { return id != nullptr && ::IsEqualGUID(*id, expected); }

// Orders RegisterNotify calls across products; guarded by the state's lock.
ULONGLONG g_notifyCount = 0;
// Orders RegisterPlugin calls across products; guarded by the state's lock.
ULONGLONG g_pluginCount = 0;

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
        if (m_sink == nullptr) m_sink = new CInspectionSink();
        m_plugin = plugin;
        m_pluginId = *pluginId;
        m_pluginOrder = ++g_pluginCount;
        *sink = m_sink;
        call.State().PublishLocked();
        return ZrtFire::Result{0};
    });
}

ZrtFire::Result CPointProduct::UnregisterPlugin(const GUID* pluginId) {
    return Guarded([&] {
        CCall call("product", "UnregisterPlugin", GuidText(pluginId));
        if (call.Steered() != 0) return call.Steered();
        if (m_plugin == nullptr || !Is(pluginId, m_pluginId)) return kNotFound;
        m_plugin = nullptr;
        call.State().PublishLocked();
        call.State().DeliveryEnded().wait(call.Lock(), [&] { return !DeliveringElsewhereLocked(); });
        return ZrtFire::Result{0};
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
        if (call.Steered() != 0 || !Is(serviceId, ZrtFire::kNameResolverService)) return nullptr;
        return static_cast<ZrtFire::INameResolver*>(new CNameResolver());
    });
}

void CPointProduct::FinalRelease() noexcept {
    CFirewallState& state = CFirewallState::Instance();
    CInspectionSink* sink = nullptr;
    {
        std::lock_guard<std::mutex> lock(state.Mutex());
        try {
            state.RecordLocked("product", "Released", std::wstring());
        } catch (...) {
            // The log misses a line; the list must still lose the product.
        }
        state.RemoveProductLocked(this);
        sink = m_sink;
        m_sink = nullptr;
    }
    if (sink != nullptr) sink->Drop();
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

ULONG CInspectionSink::AddRef() {
    CFirewallState& state = CFirewallState::Instance();
    std::lock_guard<std::mutex> lock(state.Mutex());
    return static_cast<ULONG>(++m_added + (m_kept ? 1 : 0));
}

ULONG CInspectionSink::Release() {
    CFirewallState& state = CFirewallState::Instance();
    ULONG left = 0;
    {
        std::lock_guard<std::mutex> lock(state.Mutex());
        if (m_added == 0) {
            // The firewall's own reference is not the plug-in's to release.
            state.ForeignSinkReleaseLocked();
            try {
                state.RecordLocked(nullptr, "unexpected sink.Release", std::wstring());
            } catch (...) {
                // Counted all the same.
            }
            return m_kept ? 1 : 0;
        }
        left = static_cast<ULONG>(--m_added + (m_kept ? 1 : 0));
    }
    if (left == 0) delete this;
    return left;
}

void CInspectionSink::Drop() noexcept {
    CFirewallState& state = CFirewallState::Instance();
    bool last = false;
    {
        std::lock_guard<std::mutex> lock(state.Mutex());
        m_kept = false;
        last = m_added == 0;
    }
    if (last) delete this;
}

ZrtFire::Result CInspectionSink::Complete(ZrtFire::IConnection* connection) {
    return Guarded([&] {
        CFirewallState& state = CFirewallState::Instance();
        std::lock_guard<std::mutex> lock(state.Mutex());
        CConnection* const kept = state.FindConnectionLocked(connection);
        // The line names the connection: "sink.Complete <n>", "<n> again" or "unknown".
        std::wstring arguments = L"unknown";
        if (kept != nullptr) arguments = Number(kept->Number()) + (kept->CompletesLocked() != 0 ? L" again" : L"");
        const ZrtFire::Result steered = state.RecordLocked("sink", "Complete", arguments);
        if (steered != 0) return steered;
        if (kept == nullptr) return kInvalidArgument;
        const bool first = kept->CompletesLocked() == 0;
        kept->CompletedLocked();
        state.ConnectionCompletedLocked();
        return first ? ZrtFire::Result{0} : kIllegalState;
    });
}

}  // namespace HostFirewallStandIn
