#pragma once
// The time-restriction point product's event sink: the firewall reports every connection its rule
// blocked; the handler confirms the block and tells the host-firewall thread which application it
// was (for the alert and the activity record).

#include "plugin/timelimits/FirewallListeners.h"
#include "suite/interfaces/ZrtFire.h"

class CSarvexEventHandler final : public ZrtFire::IPointProductNotify {
public:
    // Neither pointer is owned; the point product outlives the handler (no reference is taken).
    CSarvexEventHandler(ZrtFire::IPointProduct* product, CTimeRestrictionListener* listener)
        : m_product(product), m_listener(listener) {}

    void Operation1() override {}
    // On a firewall thread.
    void OnEvent(ZrtFire::IEvent* event) override;
    void Operation3() override {}
    void Operation4() override {}
    void Destroy() override { delete this; }

private:
    ~CSarvexEventHandler() = default;

    ZrtFire::IPointProduct* m_product;
    CTimeRestrictionListener* m_listener;
};
