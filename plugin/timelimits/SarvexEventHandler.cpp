#include "plugin/timelimits/SarvexEventHandler.h"

#include "logging/Logging.h"
#include "plugin/timelimits/PointProduct.h"
#include "plugin/timelimits/TimeRestrictionRuleManager.h"

#include <string>

namespace {

bool Is(const GUID* id, const GUID& expected) { return id != nullptr && ::IsEqualGUID(*id, expected); }

// The firewall gives ports in network order.
WORD HostOrder(WORD port) { return static_cast<WORD>((port >> 8) | (port << 8)); }

std::wstring AddressText(const ZrtFire::Address* address) {
    return address != nullptr ? IpAddressToText(*address) : std::wstring();
}

}  // namespace

void CSarvexEventHandler::OnEvent(ZrtFire::IEvent* event) {
    if (event == nullptr) return;
    try {
        if (!(Is(event->RuleId(), CTimeRestrictionRuleManager::kRuleId) ||
              Is(event->PolicyId(), CTimeRestrictionRuleManager::kPolicyId)) ||
            m_product == nullptr) {
            return;
        }
        m_product->SetVerdict(event->EventKey(), ZrtFire::kVerdictBlock, 0, 0);
        DWORD length = 0;
        const wchar_t* text = event->ApplicationText(&length);
        const std::wstring application = text != nullptr ? std::wstring(text, length) : std::wstring();
        if (m_listener != nullptr) {
            m_listener->OnTrafficBlocked(application.c_str(), event->ProcessId(),
                                         AddressText(event->LocalAddress()).c_str(), HostOrder(event->LocalPort()),
                                         AddressText(event->RemoteAddress()).c_str(), HostOrder(event->RemotePort()));
        }
    } catch (...) {
        // Nothing may reach the firewall's thread.
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to handle a firewall event\r\n");
    }
}
