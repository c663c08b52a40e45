#include "plugin/timelimits/TimeLimits.h"

#include "plugin/timelimits/ReliableClock.h"
#include "plugin/timelimits/VYXSarvexThread.h"
#include "plugin/timelimits/VYXLogManager.h"
#include "nuvutil/com/ComBoundary.h"

#include <new>

IActivityLogManager* CTimeLimits::CreateLogManager() { return new (std::nothrow) CVYXLogManager(); }

IHostFirewallThread* CTimeLimits::CreateFirewallThread() {
    if (m_firewallModule == nullptr) return nullptr;
    // Without the thread the plug-in still filters; time limits then go unenforced (logged).
    try {
        return new CVYXSarvexThread(*m_firewallModule);
    } catch (...) {
        NuvCom::HResultFromCurrentException(L"CTimeLimits::CreateFirewallThread");
        return nullptr;
    }
}

IReliableClock* CTimeLimits::CreateReliableClock(const wchar_t* timeServer) {
    // The module runs on the PC's clock when this one cannot start.
    try {
        return new CReliableClock(timeServer);
    } catch (...) {
        NuvCom::HResultFromCurrentException(L"CTimeLimits::CreateReliableClock");
        return nullptr;
    }
}
