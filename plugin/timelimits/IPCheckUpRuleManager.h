#pragma once
// The firewall rule "VYX IP Checkup": the outbound TCP connections of the users with web
// restrictions are held by the host firewall and offered to an inspection plug-in of ours, which
// queues them for the host-firewall thread; the thread judges each remote host as a visited site
// would be judged and answers block or allow. Registered while at least one user needs it. Used
// on the host-firewall thread; ConnectOutbound runs on the firewall's threads.

#include "nuvutil/NoCaseLess.h"
#include "plugin/timelimits/FirewallListeners.h"
#include "plugin/timelimits/PointProduct.h"

#include <atomic>
#include <set>
#include <string>

class CIPCheckUpRuleManager {
public:
    // {B6CBE347-5A36-40C9-95CC-DAB6F0C3EFDB}
    static constexpr GUID kProductId = {0xB6CBE347, 0x5A36, 0x40C9, {0x95, 0xCC, 0xDA, 0xB6, 0xF0, 0xC3, 0xEF, 0xDB}};
    // {5C7F8B66-BBA4-4FC6-B91B-517B962B5428}
    static constexpr GUID kPolicyId = {0x5C7F8B66, 0xBBA4, 0x4FC6, {0xB9, 0x1B, 0x51, 0x7B, 0x96, 0x2B, 0x54, 0x28}};
    // {C890594E-3FD1-4DF1-B0B7-5D7B8D0FB0D5}
    static constexpr GUID kRuleId = {0xC890594E, 0x3FD1, 0x4DF1, {0xB0, 0xB7, 0x5D, 0x7B, 0x8D, 0x0F, 0xB0, 0xD5}};
    // {787FC04D-B406-446D-85B8-FDA770A4ED76}
    static constexpr GUID kAggregateId = {0x787FC04D, 0xB406, 0x446D, {0x85, 0xB8, 0xFD, 0xA7, 0x70, 0xA4, 0xED, 0x76}};
    // {05135811-8CE4-427E-8FC4-C5271157F6FD}
    static constexpr GUID kPluginId = {0x05135811, 0x8CE4, 0x427E, {0x8F, 0xC4, 0xC5, 0x27, 0x11, 0x57, 0xF6, 0xFD}};
    static constexpr const wchar_t* kRuleName = L"VYX IP Checkup";
    static constexpr const wchar_t* kOwner = L"Oberix";
    static constexpr long kActionArgument = 30;

    using SidSet = std::set<std::wstring, NoCaseLess>;

    CIPCheckUpRuleManager();
    virtual ~CIPCheckUpRuleManager();
    CIPCheckUpRuleManager(const CIPCheckUpRuleManager&) = delete;
    CIPCheckUpRuleManager& operator=(const CIPCheckUpRuleManager&) = delete;

    // Given to the plug-in at the next registration.
    void SetListener(CIPCheckUpListener* listener) noexcept { m_listener = listener; }
    // An empty SID names nobody and is skipped.
    void AddUser(const std::wstring& sid);
    void RemoveUser(const std::wstring& sid);
    void ClearUsers() { m_pending.clear(); }
    // The same users as applied already: nothing happens. Otherwise as the time-restriction rule:
    // register, rebuild, or unregister. False when the firewall refused a step (logged).
    bool Apply();
    // Answers a held connection (6 block, 1 allow) and hands it back to the firewall; true when
    // the firewall took it back.
    bool NotifyCompletion(ZrtFire::IConnection* connection, bool block);
    // The remote end's name from the firewall's resolver, else its address text.
    void ReverseDNSLookUp(const ZrtFire::Address& address, std::wstring& host, std::wstring& addressText);

    bool IsRegistered() const noexcept { return m_registered; }

private:
    // The inspection plug-in the firewall offers the held connections to.
    class CStreamPlugin final : public ZrtFire::IStreamInspectPlugin {
    public:
        ZrtFire::Result Operation1() override { return 0; }
        ZrtFire::Result Operation2() override { return 0; }
        ZrtFire::Result Operation3() override { return 0; }
        ZrtFire::Result ConnectOutbound(ZrtFire::IConnection* connection) override;
        void Operation5() override {}
        ZrtFire::Result Operation6() override { return 0; }
        void Operation7() override {}
        const GUID* PluginId() override { return &kPluginId; }
        ZrtFire::Result Operation9() override { return 0; }
        // Embedded in the manager: only the registration goes.
        void Destroy(bool) override { Teardown(); }

        ZrtFire::Result Register(ZrtFire::IPointProduct* product, CIPCheckUpListener* listener);
        void Teardown() noexcept;
        ZrtFire::IInspectionSink* Sink() const noexcept { return m_sink; }

    private:
        ZrtFire::IPointProduct* m_product = nullptr;  // one reference while registered
        // Lent by the firewall for as long as the point product is held: never released here.
        ZrtFire::IInspectionSink* m_sink = nullptr;
        std::atomic<CIPCheckUpListener*> m_listener{nullptr};
    };

    bool _Register();
    bool _SetupRules();
    bool _DeleteRules();
    bool _Unregister();
    void _ReleasePluginAndResolver() noexcept;
    void _ReleaseRegistration() noexcept;

    bool m_registered = false;
    CHeldPointProduct m_product;
    SidSet m_applied;
    SidSet m_pending;
    CIPCheckUpListener* m_listener = nullptr;
    ZrtFire::INameResolver* m_resolver = nullptr;
    CStreamPlugin m_plugin;
};
