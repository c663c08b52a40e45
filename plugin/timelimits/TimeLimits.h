#pragma once
// The time-limit subsystem's objects for the plug-in core: the activity-log manager, the
// host-firewall thread and the reliable clock.

#include "plugin/services/TimeLimitServices.h"

class IFirewallModule;

class CTimeLimits : public ITimeLimitFactory {
public:
    // The module the host-firewall thread works for; set by the DLL's wiring once both exist
    // (the module takes this factory at its construction). Without it there is no such thread.
    void SetFirewallModule(IFirewallModule* module) noexcept { m_firewallModule = module; }

    IActivityLogManager* CreateLogManager() override;
    // Null until the module is bound, or when the thread cannot start (logged).
    IHostFirewallThread* CreateFirewallThread() override;
    IReliableClock* CreateReliableClock(const wchar_t* timeServer) override;

private:
    IFirewallModule* m_firewallModule = nullptr;
};
