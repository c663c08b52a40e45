#pragma once
// The factory the library export hands out, the point products it registers and the inspection
// sink a stream-inspection plug-in gets.

#include "suite/interfaces/ZrtFire.h"
#include "suite/hostfirewall/FirewallObject.h"

#include <windows.h>

#include <vector>

namespace HostFirewallStandIn {

class CInspectionSink;

class CPointProductFactory final : public CCounted<CPointProductFactory, ZrtFire::IPointProductFactory> {
public:
    ZrtFire::Result Register(ZrtFire::IPointProduct** product, const GUID* interfaceId, const GUID* productId) override;
};

class CPointProduct final : public CCounted<CPointProduct, ZrtFire::IPointProduct> {
public:
    explicit CPointProduct(const GUID& productId) noexcept : m_id(productId) {}

    ZrtFire::Result GetInterface(void** out, const GUID* interfaceId) override;
    ZrtFire::Result RegisterNotify(ZrtFire::IPointProductNotify* notify, const GUID* interfaceId) override;
    // Waits for events being delivered on other threads: once it returns, none reaches the notify.
    ZrtFire::Result Shutdown() override;
    // One plug-in per product: a second registration replaces the first. The sink is the
    // product's own, the same for every registration, and is not the caller's to release.
    ZrtFire::Result RegisterPlugin(const GUID* pluginId, ZrtFire::IStreamInspectPlugin* plugin, const GUID* interfaceId,
                                   ZrtFire::IInspectionSink** sink) override;
    // Waits for offers being made on other threads: once it returns, none reaches the plug-in.
    // Another id than the registered one answers kNotFound and forgets nothing.
    ZrtFire::Result UnregisterPlugin(const GUID* pluginId) override;
    ZRT_STANDIN_RESERVED(IPointProduct, 8)
    ZrtFire::Result SetVerdict(ULONGLONG eventKey, long verdict, long, long) override;
    ZRT_STANDIN_RESERVED(IPointProduct, 10)
    ZRT_STANDIN_RESERVED(IPointProduct, 11)
    ZRT_STANDIN_RESERVED(IPointProduct, 12)
    ZRT_STANDIN_RESERVED(IPointProduct, 13)
    ZRT_STANDIN_RESERVED(IPointProduct, 14)
    ZRT_STANDIN_RESERVED(IPointProduct, 15)
    void* GetService(const GUID* serviceId) override;

    // Records "product.Released", leaves the firewall's list and drops its sink.
    void FinalRelease() noexcept;

    // Under the state's lock.
    const GUID& Id() const noexcept { return m_id; }
    bool ShutDown() const noexcept { return m_shutDown; }
    ZrtFire::IPointProductNotify* Notify() const noexcept { return m_shutDown ? nullptr : m_notify; }
    // Orders the products by their latest RegisterNotify.
    ULONGLONG NotifyOrder() const noexcept { return m_notifyOrder; }
    ZrtFire::IStreamInspectPlugin* Plugin() const noexcept { return m_shutDown ? nullptr : m_plugin; }
    // Null when no plug-in is kept (also after a shutdown).
    const GUID* PluginId() const noexcept { return m_plugin != nullptr ? &m_pluginId : nullptr; }
    // Orders the products by their latest RegisterPlugin.
    ULONGLONG PluginOrder() const noexcept { return m_pluginOrder; }
    void DeliveryStartedLocked(DWORD threadId) { m_deliveryThreads.push_back(threadId); }
    void DeliveryEndedLocked(DWORD threadId) noexcept;

private:
    bool DeliveringElsewhereLocked() const noexcept;

    const GUID m_id;
    ZrtFire::IPointProductNotify* m_notify = nullptr;
    ULONGLONG m_notifyOrder = 0;
    ZrtFire::IStreamInspectPlugin* m_plugin = nullptr;
    CInspectionSink* m_sink = nullptr;  // made at the first RegisterPlugin, dropped at the final release
    GUID m_pluginId{};
    ULONGLONG m_pluginOrder = 0;
    bool m_shutDown = false;
    std::vector<DWORD> m_deliveryThreads;
};

// Completes the connections the stand-in offered (see Connection.h): a connection it did not
// offer answers E_INVALIDARG, a second Complete of one kIllegalState. The point product's own:
// the plug-in borrows it, and may only release the references it added (a Release beyond them is
// recorded and counted, and changes nothing). Neither AddRef nor Release is called under the
// state's lock.
class CInspectionSink final : public ZrtFire::IInspectionSink {
public:
    CInspectionSink() noexcept { CFirewallState::Instance().ObjectCreated(); }
    CInspectionSink(const CInspectionSink&) = delete;
    CInspectionSink& operator=(const CInspectionSink&) = delete;

    ULONG AddRef() override;
    ULONG Release() override;
    ZrtFire::Result Complete(ZrtFire::IConnection* connection) override;
    // The point product lets go of its sink as it goes; not under the state's lock.
    void Drop() noexcept;

private:
    ~CInspectionSink() { CFirewallState::Instance().ObjectDestroyed(); }

    // Under the state's lock.
    LONG m_added = 0;    // the plug-in's AddRefs not released yet
    bool m_kept = true;  // the point product's own reference
};

}  // namespace HostFirewallStandIn
