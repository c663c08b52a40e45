#pragma once
// The time-limit subsystem's objects for the plug-in core: the activity-log manager now; the
// host-firewall thread and the reliable clock are not built yet (null: the module runs without).

#include "plugin/services/TimeLimitServices.h"

class CTimeLimits : public ITimeLimitFactory {
public:
    IActivityLogManager* CreateLogManager() override;
    IHostFirewallThread* CreateFirewallThread() override { return nullptr; }
    IReliableClock* CreateReliableClock(const wchar_t*) override { return nullptr; }
};
