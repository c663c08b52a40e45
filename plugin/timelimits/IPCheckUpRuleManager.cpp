#include "plugin/timelimits/IPCheckUpRuleManager.h"

#include "logging/Logging.h"

#include <cwchar>

using ZrtFire::Ref;

CIPCheckUpRuleManager::CIPCheckUpRuleManager() = default;

CIPCheckUpRuleManager::~CIPCheckUpRuleManager() {
    _Unregister();
    _ReleaseRegistration();
}

void CIPCheckUpRuleManager::AddUser(const std::wstring& sid) {
    if (sid.empty()) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"Ignoring a user without a SID\r\n");
        return;
    }
    m_pending.insert(sid);
}

void CIPCheckUpRuleManager::RemoveUser(const std::wstring& sid) { m_pending.erase(sid); }

bool CIPCheckUpRuleManager::Apply() {
    // The same users (letter case ignored): the firewall is left alone.
    if (m_applied.size() == m_pending.size() && std::equal(m_applied.begin(), m_applied.end(), m_pending.begin(),
                                                          [](const std::wstring& a, const std::wstring& b) {
                                                              return ::_wcsicmp(a.c_str(), b.c_str()) == 0;
                                                          })) {
        return true;
    }
    const SidSet old = m_applied;
    m_applied = m_pending;
    if (old.empty()) {
        if (m_applied.empty()) return true;
        NUV_LOG(ETWLogging::LOG_NORMAL, L"Registering sarvex rule to apply IP Checkup\r\n");
        _LogSids(L"IP Checkup monitoring user with SID: %s\r\n", m_applied);
        return _Register();
    }
    if (!m_applied.empty()) {
        NUV_LOG(ETWLogging::LOG_NORMAL, L"Updating sarvex rule to apply IP Checkup\r\n");
        _LogSids(L"IP Checkup monitoring user with SID: %s\r\n", m_applied);
        // A registration that failed earlier is tried again: users are waiting to be checked.
        return m_registered ? _SetupRules() : _Register();
    }
    NUV_LOG(ETWLogging::LOG_NORMAL, L"Unregistering sarvex rule to lift IP Checkup for all users\r\n");
    return _Unregister();
}

void CIPCheckUpRuleManager::_ReleasePluginAndResolver() noexcept {
    m_plugin.Teardown();
    if (m_resolver != nullptr) {
        m_resolver->SetActive(0);
        m_resolver->Release();
        m_resolver = nullptr;
    }
}

void CIPCheckUpRuleManager::_ReleaseRegistration() noexcept {
    _ReleasePluginAndResolver();
    m_product.Reset();
    m_registered = false;
}

bool CIPCheckUpRuleManager::_Register() {
    _ReleaseRegistration();
    if (!_RegisterAsPointProduct(m_product, kProductId)) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to register as point product");
        return false;
    }
    NUV_LOG(ETWLogging::LOG_NORMAL, L"Registered as point product");
    m_resolver = static_cast<ZrtFire::INameResolver*>(m_product.Get()->GetService(&ZrtFire::kNameResolverService));
    if (m_resolver != nullptr) m_resolver->SetActive(1);
    const ZrtFire::Result registered = m_plugin.Register(m_product.Get(), m_listener);
    if (registered != 0) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to register user mode plugin (0x%08X)", static_cast<unsigned>(registered));
        return false;
    }
    _SetupRules();
    m_registered = true;
    return true;
}

bool CIPCheckUpRuleManager::_SetupRules() {
    if (!m_product) {
        NUV_LOG(ETWLogging::LOG_NORMAL, L"Not initialized - Rule building deferred");
        return false;
    }
    if (m_applied.empty()) return _DeleteRules();
    NUV_LOG(ETWLogging::LOG_NORMAL, L"Creating policies & rules");
    Ref<ZrtFire::IPolicyManager> policies;
    Ref<ZrtFire::IPolicyBuilder> policy;
    if (!_OpenPolicyBuilder(m_product.Get(), policies, policy)) return false;
    policy->SetPolicyId(&kPolicyId, 4);
    policy->SetPrecedence(1, 0);
    policy->SetEnabled(1);
    Ref<ZrtFire::IRuleBuilder> rule;
    ZrtFire::IMatchBuilder* match = nullptr;
    if (!_OpenRuleBuilder(policies.Get(), kRuleId, rule, match)) return false;
    rule->SetName(kRuleName);
    rule->SetEnabled(1);
    const ZrtFire::Result action = rule->SetAction(10, m_plugin.PluginId(), kActionArgument);
    if (action != 0) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"Failure to SetAction for rule (0x%08X)", static_cast<unsigned>(action));
    }
    match->AddProtocol(ZrtFire::kProtocolTcp, 0);
    match->SetDirection(2, 0);
    match->SetConnectionState(2, 0);
    {
        Ref<ZrtFire::IAggregateBuilder> aggregate;
        const ZrtFire::Result made = policies->CreateAggregateBuilder(aggregate.Put());
        if (!aggregate) {
            NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to get aggregate builder (0x%08X)", static_cast<unsigned>(made));
            return false;
        }
        const ZrtFire::Address loopback4 = {{127, 0, 0, 1}, 4};
        const ZrtFire::Address loopback6 = {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 6};
        for (const ZrtFire::Address* address : {&loopback4, &loopback6}) {
            if (ZrtFire::IAddressList* list = aggregate->GetAddressList()) list->AddAddress(4, address, 0);
        }
        const ZrtFire::Result added = policy->AddAggregate(&kAggregateId, aggregate.Get());
        if (added != 0) {
            NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to add the aggregate match to the policy (0x%08X)",
                    static_cast<unsigned>(added));
        }
        const ZrtFire::Result matched = match->AddAggregateMatch(0x10002, &kAggregateId, 1);
        if (matched != 0) {
            NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to add the aggregate match to the rule (0x%08X)",
                    static_cast<unsigned>(matched));
        }
    }
    match->AddProcessId(::GetCurrentProcessId(), 1);
    for (const std::wstring& sid : m_applied) match->AddUserSid(sid.c_str(), static_cast<DWORD>(sid.size()), 0);
    match->SetOwner(kOwner, static_cast<DWORD>(std::wcslen(kOwner)), 1);
    return _CommitRule(policies.Get(), policy.Get(), rule.Get());
}

bool CIPCheckUpRuleManager::_DeleteRules() {
    if (!m_product) {
        NUV_LOG(ETWLogging::LOG_NORMAL, L"Not initialized - Rule building deferred");
        return false;
    }
    return _DeleteRule(m_product.Get(), kRuleId);
}

bool CIPCheckUpRuleManager::_Unregister() {
    if (!m_product) return false;
    _DeleteRules();
    _DeletePolicy(m_product.Get(), kPolicyId);
    // The plug-in and the resolver go before the product is shut down; the product, and the
    // library its code lives in, last.
    _ReleasePluginAndResolver();
    m_product.Get()->Shutdown();
    _ReleaseRegistration();
    return true;
}

bool CIPCheckUpRuleManager::NotifyCompletion(ZrtFire::IConnection* connection, bool block) {
    NUV_LOG(ETWLogging::LOG_NORMAL, L"Notify action on traffic 0x%08X: %s",
            static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(connection)), block ? L"Block" : L"Allow");
    if (connection == nullptr || connection->Info() == nullptr) return false;
    if (ZrtFire::IAction* action = connection->Action()) {
        action->SetVerdict(block ? ZrtFire::kVerdictBlock : ZrtFire::kVerdictAllow, 0, 0, 0);
    }
    ZrtFire::IInspectionSink* const sink = m_plugin.Sink();
    return sink != nullptr && sink->Complete(connection) == 0;
}

void CIPCheckUpRuleManager::ReverseDNSLookUp(const ZrtFire::Address& address, std::wstring& host,
                                             std::wstring& addressText) {
    addressText = IpAddressToText(address);
    host = addressText;
    if (m_resolver == nullptr) return;
    Ref<ZrtFire::ILookupResult> result;
    if (m_resolver->Lookup(result.Put(), &address, 0) == 0 && result && result->HasName() != 0) {
        const wchar_t* const name = result->Name(0);
        if (name != nullptr && *name != L'\0') {
            host = name;
            NUV_LOG(ETWLogging::LOG_NORMAL, L"Reverse DNS look up result for %s: %s\r\n", addressText.c_str(), host.c_str());
            return;
        }
    }
    m_resolver->OnLookupFailed();
    NUV_LOG(ETWLogging::LOG_WARNING, L"Reverse DNS look up failed for %s\r\n", addressText.c_str());
}

ZrtFire::Result CIPCheckUpRuleManager::CStreamPlugin::Register(ZrtFire::IPointProduct* product,
                                                               CIPCheckUpListener* listener) {
    if (product == nullptr) return static_cast<ZrtFire::Result>(0x80000005);
    Teardown();
    product->AddRef();
    ZrtFire::IInspectionSink* sink = nullptr;
    const ZrtFire::Result result =
        product->RegisterPlugin(&kPluginId, this, &ZrtFire::kPluginRegistrationInterface, &sink);
    if (result != 0) {
        product->Release();
        return result;
    }
    m_product = product;
    m_sink = sink;
    m_listener.store(listener);
    return 0;
}

void CIPCheckUpRuleManager::CStreamPlugin::Teardown() noexcept {
    m_listener.store(nullptr);
    // Taken first: the firewall may call Destroy while we unregister.
    ZrtFire::IPointProduct* const product = m_product;
    m_product = nullptr;
    // The sink is the firewall's own and goes with the point product: forgotten, not released.
    m_sink = nullptr;
    if (product != nullptr) {
        product->UnregisterPlugin(&kPluginId);
        product->Release();
    }
}

ZrtFire::Result CIPCheckUpRuleManager::CStreamPlugin::ConnectOutbound(ZrtFire::IConnection* connection) {
    if (connection == nullptr) return 0;
    try {
        if (ZrtFire::IProcess* process = connection->Process()) process->Prepare();
        ZrtFire::IConnectionInfo* const info = connection->Info();
        if (info == nullptr) return 0;
        if (info->Protocol() != ZrtFire::kProtocolTcp) {
            NUV_LOG(ETWLogging::LOG_WARNING, L"Invalid protocol received!");
            return 0;
        }
        if (info->State() != ZrtFire::kConnectionOutboundOpen) {
            NUV_LOG(ETWLogging::LOG_WARNING, L"Invalid connection state received!");
            return 0;
        }
        CIPCheckUpListener* const listener = m_listener.load();
        if (listener == nullptr) return 0;
        listener->OnConnect(connection);
        return 1;
    } catch (...) {
        // Nothing may reach the firewall's thread; the connection is not taken.
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to take an outbound connection\r\n");
        return 0;
    }
}
