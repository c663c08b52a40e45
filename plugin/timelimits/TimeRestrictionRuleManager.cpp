#include "plugin/timelimits/TimeRestrictionRuleManager.h"

#include "Shared/AffiliateSettings.h"
#include "logging/Logging.h"
#include "plugin/timelimits/SarvexEventHandler.h"

#include <cwchar>

using ZrtFire::Ref;

void CTimeRestrictionRuleManager::HandlerDestroyer::operator()(CSarvexEventHandler* handler) const noexcept {
    handler->Destroy();
}

CTimeRestrictionRuleManager::CTimeRestrictionRuleManager() {
    DWORD udp = 1;
    CAffiliateSettings settings;
    if (!settings.ReadDword(L"ApplyTimeRestrictionToUDP", udp)) udp = 1;
    m_udp = udp != 0;
}

CTimeRestrictionRuleManager::~CTimeRestrictionRuleManager() {
    _Unregister();
    _ReleaseRegistration();
}

void CTimeRestrictionRuleManager::AddUser(const std::wstring& sid) {
    if (sid.empty()) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"Ignoring a user without a SID\r\n");
        return;
    }
    m_pending.insert(sid);
}

void CTimeRestrictionRuleManager::RemoveUser(const std::wstring& sid) { m_pending.erase(sid); }

bool CTimeRestrictionRuleManager::Apply() {
    const SidSet old = m_applied;
    m_applied = m_pending;
    const auto logUsers = [this] {
        for (const std::wstring& sid : m_applied) NUV_LOG(ETWLogging::LOG_NORMAL, L"Blocking user with SID: %s\r\n", sid.c_str());
    };
    if (old.empty()) {
        if (m_applied.empty()) return true;
        NUV_LOG(ETWLogging::LOG_NORMAL, L"Registering sarvex rule to apply time restriction\r\n");
        logUsers();
        return _Register();
    }
    if (!m_applied.empty()) {
        NUV_LOG(ETWLogging::LOG_NORMAL, L"Updating sarvex rule to apply time restriction\r\n");
        logUsers();
        // A registration that failed earlier is tried again: users are waiting to be blocked.
        return m_registered ? _SetupRules() : _Register();
    }
    NUV_LOG(ETWLogging::LOG_NORMAL, L"Unregistering sarvex rule to lift time restriction for all users\r\n");
    return _Unregister();
}

void CTimeRestrictionRuleManager::_ReleaseRegistration() noexcept {
    m_eventHandler.reset();
    m_product.Reset();
    m_registered = false;
}

bool CTimeRestrictionRuleManager::_Register() {
    // What a failed attempt left behind.
    _ReleaseRegistration();
    if (!_RegisterAsPointProduct(m_product, kProductId)) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to register as point product");
        return false;
    }
    NUV_LOG(ETWLogging::LOG_NORMAL, L"Registered as point product");
    m_eventHandler.reset(new CSarvexEventHandler(m_product.Get(), m_listener));
    const ZrtFire::Result notify = m_product.Get()->RegisterNotify(m_eventHandler.get(), &ZrtFire::kNotifyInterface);
    if (notify != 0) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to register for notifications (%d)", static_cast<int>(notify));
        return false;
    }
    _SetupRules();
    m_registered = true;
    return true;
}

bool CTimeRestrictionRuleManager::_SetupRules() {
    if (!m_product) {
        NUV_LOG(ETWLogging::LOG_NORMAL, L"Not initialized - Rule building deferred");
        return false;
    }
    if (m_applied.empty()) return _DeleteRules();
    NUV_LOG(ETWLogging::LOG_NORMAL, L"Creating policies & rules");
    Ref<ZrtFire::IPolicyManager> policies;
    Ref<ZrtFire::IPolicyBuilder> policy;
    if (!_OpenPolicyBuilder(m_product.Get(), policies, policy)) return false;
    policy->SetPolicyId(&kPolicyId, 2);
    policy->Operation15(1, 0);
    policy->Operation5(1);
    Ref<ZrtFire::IRuleBuilder> rule;
    const ZrtFire::Result ruleBuilder = policies->CreateRuleBuilder(rule.Put());
    if (!rule) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to get rule builder (0x%08X)", static_cast<unsigned>(ruleBuilder));
        return false;
    }
    const ZrtFire::Result created = rule->CreateRule(&kRuleId);
    if (created < 0) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"Failed to create rule (0x%08X)", static_cast<unsigned>(created));
        return false;
    }
    ZrtFire::IMatchBuilder* const match = rule->GetMatchBuilder();
    if (match == nullptr) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to get match builder");
        return false;
    }
    rule->SetName(kRuleName);
    rule->Operation5(1);
    const ZrtFire::Result action = rule->SetAction(2, nullptr, kActionArgument);
    if (action != 0) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"Failure to SetAction for rule (0x%08X)", static_cast<unsigned>(action));
    }
    match->AddProtocol(ZrtFire::kProtocolTcp, 0);
    if (m_udp) match->AddProtocol(ZrtFire::kProtocolUdp, 0);
    for (const std::wstring& sid : m_applied) match->AddUserSid(sid.c_str(), static_cast<DWORD>(sid.size()), 0);
    match->Operation4(kOwner, static_cast<DWORD>(std::wcslen(kOwner)), 1);
    if (policy->AddRule(rule.Get()) != 0) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Unable to add rule into rule builder");
        return false;
    }
    ULONGLONG out1 = 0, out2 = 0;
    const ZrtFire::Result added = policies->AddPolicy(policy.Get(), &out1, &out2);
    if (added != 0) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to get add builder to policy (0x%08X)", static_cast<unsigned>(added));
        return false;
    }
    return true;
}

bool CTimeRestrictionRuleManager::_DeleteRules() {
    if (!m_product) {
        NUV_LOG(ETWLogging::LOG_NORMAL, L"Not initialized - Rule building deferred");
        return false;
    }
    NUV_LOG(ETWLogging::LOG_NORMAL, L"Delete rules");
    Ref<ZrtFire::IPolicyManager> policies;
    Ref<ZrtFire::IPolicyBuilder> policy;
    if (!_OpenPolicyBuilder(m_product.Get(), policies, policy)) return false;
    return policy->DeleteRule(&kRuleId) == 0;
}

bool CTimeRestrictionRuleManager::_Unregister() {
    if (!m_product) return false;
    _DeleteRules();
    {
        Ref<ZrtFire::IPolicyManager> policies;
        const ZrtFire::Result got = m_product.Get()->GetInterface(policies.PutVoid(), &ZrtFire::kPolicyManagerInterface);
        if (got == 0 && policies) {
            const ZrtFire::Result deleted = policies->DeletePolicy(&kPolicyId);
            if (deleted < 0) {
                NUV_LOG(ETWLogging::LOG_WARNING, L"Failed to delete policy (0x%08X)", static_cast<unsigned>(deleted));
            } else {
                NUV_LOG(ETWLogging::LOG_NORMAL, L"Deleted Sarvex policy successfully");
            }
        } else {
            NUV_LOG(ETWLogging::LOG_ERROR, L"Unable to get policy manager from Sarvex (0x%08X)", static_cast<unsigned>(got));
        }
    }
    m_product.Get()->Shutdown();
    // The handler goes before the product: no event can reach it once the product is shut down.
    _ReleaseRegistration();
    return true;
}
