#include "suite/hostfirewall/BlockEvent.h"

#include "suite/hostfirewall/PointProduct.h"

#include <thread>

namespace HostFirewallStandIn {

namespace {

WORD NetworkOrder(WORD port) { return static_cast<WORD>((port >> 8) | (port << 8)); }

}  // namespace

CBlockEvent::CBlockEvent(const BlockEvent& event)
    : m_hasRuleId(event.ruleId != nullptr),
      m_hasPolicyId(event.policyId != nullptr),
      m_eventKey(event.eventKey),
      m_hasApplication(event.application != nullptr),
      m_application(event.application != nullptr ? event.application : L""),
      m_processId(event.processId),
      m_localAddress(event.localAddress),
      m_remoteAddress(event.remoteAddress),
      m_localPort(NetworkOrder(event.localPort)),
      m_remotePort(NetworkOrder(event.remotePort)) {
    if (m_hasRuleId) m_ruleId = *event.ruleId;
    if (m_hasPolicyId) m_policyId = *event.policyId;
}

const wchar_t* CBlockEvent::ApplicationText(DWORD* length) {
    if (length != nullptr) *length = static_cast<DWORD>(m_application.size());
    return m_hasApplication ? m_application.c_str() : nullptr;
}

ZrtFire::Result DeliverBlockEvent(const BlockEvent& event) {
    CBlockEvent blocked(event);
    CFirewallState& state = CFirewallState::Instance();
    CPointProduct* target = nullptr;
    {
        std::lock_guard<std::mutex> lock(state.Mutex());
        target = state.EventTargetLocked(event.policyId);
        // A product whose last reference is gone is still listed until it leaves: no event for it.
        if (target == nullptr || !target->TryAddRef()) return kNotFound;
    }
    ZrtFire::Result result = kNotFound;
    // The thread counts as delivering before it calls the product, so that a Shutdown on another
    // thread waits for it, and one from inside OnEvent does not wait for itself.
    const auto deliver = [&] {
        const DWORD self = ::GetCurrentThreadId();
        ZrtFire::IPointProductNotify* notify = nullptr;
        {
            std::lock_guard<std::mutex> lock(state.Mutex());
            try {
                target->DeliveryStartedLocked(self);
            } catch (...) {
                result = E_OUTOFMEMORY;
                return;
            }
            // Shut down since it was chosen: the event is dropped.
            notify = target->Notify();
        }
        if (notify != nullptr) {
            try {
                notify->OnEvent(&blocked);
                result = 0;
            } catch (...) {
                // The firewall's threads survive a faulty notify.
                result = E_UNEXPECTED;
            }
        }
        std::lock_guard<std::mutex> lock(state.Mutex());
        target->DeliveryEndedLocked(self);
        state.DeliveryEnded().notify_all();
    };
    try {
        std::thread firewallThread(deliver);
        firewallThread.join();
    } catch (...) {
        result = E_FAIL;
    }
    target->Release();
    return result;
}

}  // namespace HostFirewallStandIn
