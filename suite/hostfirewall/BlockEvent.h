#pragma once
// A blocked connection as the firewall reports it to a point product's notify, and its delivery
// from a thread of the stand-in's own, as the firewall's events come.

#include "suite/interfaces/ZrtFire.h"
#include "suite/hostfirewall/FirewallObject.h"
#include "suite/hostfirewall/HostFirewallStandIn.h"

#include <windows.h>

#include <string>

namespace HostFirewallStandIn {

// Lives for one OnEvent call; keeps copies, so the test's values may go once it is built.
class CBlockEvent final : public ZrtFire::IEvent {
public:
    explicit CBlockEvent(const BlockEvent& event);

    const GUID* RuleId() override { return m_hasRuleId ? &m_ruleId : nullptr; }
    const GUID* PolicyId() override { return m_hasPolicyId ? &m_policyId : nullptr; }
    ZRT_STANDIN_RESERVED(IEvent, 3)
    ZRT_STANDIN_RESERVED(IEvent, 4)
    ULONGLONG EventKey() override { return m_eventKey; }
    ZRT_STANDIN_RESERVED(IEvent, 6)
    ZRT_STANDIN_RESERVED(IEvent, 7)
    ZRT_STANDIN_RESERVED(IEvent, 8)
    const ZrtFire::Address* LocalAddress() override { return &m_localAddress; }
    const ZrtFire::Address* RemoteAddress() override { return &m_remoteAddress; }
    ZRT_STANDIN_RESERVED(IEvent, 11)
    WORD LocalPort() override { return m_localPort; }
    WORD RemotePort() override { return m_remotePort; }
    DWORD ProcessId() override { return m_processId; }
    ZRT_STANDIN_RESERVED(IEvent, 15)
    ZRT_STANDIN_RESERVED(IEvent, 16)
    ZRT_STANDIN_RESERVED(IEvent, 17)
    ZRT_STANDIN_RESERVED(IEvent, 18)
    ZRT_STANDIN_RESERVED(IEvent, 19)
    ZRT_STANDIN_RESERVED(IEvent, 20)
    ZRT_STANDIN_RESERVED(IEvent, 21)
    const wchar_t* ApplicationText(DWORD* length) override;

private:
    bool m_hasRuleId;
    GUID m_ruleId{};
    bool m_hasPolicyId;
    GUID m_policyId{};
    ULONGLONG m_eventKey;
    bool m_hasApplication;
    std::wstring m_application;
    DWORD m_processId;
    ZrtFire::Address m_localAddress;
    ZrtFire::Address m_remoteAddress;
    WORD m_localPort;   // network order
    WORD m_remotePort;  // network order
};

// See IHostFirewallControl::FireBlockEvent.
ZrtFire::Result DeliverBlockEvent(const BlockEvent& event);

}  // namespace HostFirewallStandIn
