#pragma once
// The firewall rule "VYX Time Restriction": one policy with one rule blocking the TCP (and by
// default UDP) traffic of the users whose SIDs the time-restriction enforcement wants cut off.
// Registered as a point product while at least one user is blocked. Used on the host-firewall
// thread only; the firewall's events arrive on its own threads (CSarvexEventHandler).

#include "nuvutil/NoCaseLess.h"
#include "plugin/timelimits/FirewallListeners.h"
#include "plugin/timelimits/PointProduct.h"

#include <memory>
#include <set>
#include <string>

class CSarvexEventHandler;

class CTimeRestrictionRuleManager {
public:
    // {448B74DD-D792-4B03-A61D-773F059C1C50}
    static constexpr GUID kProductId = {0x448B74DD, 0xD792, 0x4B03, {0xA6, 0x1D, 0x77, 0x3F, 0x05, 0x9C, 0x1C, 0x50}};
    // {F2BB6CE4-DCD1-4A1A-86EB-4B2D19DCA36F}
    static constexpr GUID kPolicyId = {0xF2BB6CE4, 0xDCD1, 0x4A1A, {0x86, 0xEB, 0x4B, 0x2D, 0x19, 0xDC, 0xA3, 0x6F}};
    // {23402C5D-17F6-4A34-A69D-66E731F6E2FC}
    static constexpr GUID kRuleId = {0x23402C5D, 0x17F6, 0x4A34, {0xA6, 0x9D, 0x66, 0xE7, 0x31, 0xF6, 0xE2, 0xFC}};
    static constexpr const wchar_t* kRuleName = L"VYX Time Restriction";
    static constexpr const wchar_t* kOwner = L"Oberix";
    static constexpr long kActionArgument = 30;

    using SidSet = std::set<std::wstring, NoCaseLess>;

    // Reads ApplyTimeRestrictionToUDP (1 when it cannot be read; any non-zero value blocks UDP too).
    CTimeRestrictionRuleManager();
    virtual ~CTimeRestrictionRuleManager();
    CTimeRestrictionRuleManager(const CTimeRestrictionRuleManager&) = delete;
    CTimeRestrictionRuleManager& operator=(const CTimeRestrictionRuleManager&) = delete;

    // Used by the next registration.
    void SetListener(CTimeRestrictionListener* listener) noexcept { m_listener = listener; }
    // An empty SID names nobody and is skipped.
    void AddUser(const std::wstring& sid);
    void RemoveUser(const std::wstring& sid);
    // Pushes the wanted SIDs to the firewall: registers and builds the rule for the first users,
    // rebuilds it for a changed or repeated set, deletes rule and policy and unregisters when no
    // user is left. False when the firewall refused a step (logged).
    bool Apply();

    bool IsRegistered() const noexcept { return m_registered; }
    // Users wait to be blocked and no registration holds (the firewall refused it): Apply tries
    // again.
    bool AwaitsRegistration() const noexcept { return !m_registered && !m_pending.empty(); }
    bool BlocksUdp() const noexcept { return m_udp; }

private:
    struct HandlerDestroyer {
        void operator()(CSarvexEventHandler* handler) const noexcept;
    };

    bool _Register();
    bool _SetupRules();
    bool _DeleteRules();
    bool _Unregister();
    void _ReleaseRegistration() noexcept;

    bool m_registered = false;
    CHeldPointProduct m_product;
    std::unique_ptr<CSarvexEventHandler, HandlerDestroyer> m_eventHandler;
    SidSet m_applied;
    SidSet m_pending;
    CTimeRestrictionListener* m_listener = nullptr;
    bool m_udp = true;
};
