#pragma once
// The time-limit subsystem's objects for the plug-in core: the activity-log manager and the
// reliable clock; the host-firewall thread is not built yet (null: the module runs without).

#include "plugin/services/TimeLimitServices.h"

class CTimeLimits : public ITimeLimitFactory {
public:
    IActivityLogManager* CreateLogManager() override;
    IHostFirewallThread* CreateFirewallThread() override { return nullptr; }
    IReliableClock* CreateReliableClock(const wchar_t* timeServer) override;
};
