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
    if (old.empty()) {
        if (m_applied.empty()) return true;
        NUV_LOG(ETWLogging::LOG_NORMAL, L"Registering sarvex rule to apply time restriction\r\n");
        _LogSids(L"Blocking user with SID: %s\r\n", m_applied);
        return _Register();
    }
    if (!m_applied.empty()) {
        NUV_LOG(ETWLogging::LOG_NORMAL, L"Updating sarvex rule to apply time restriction\r\n");
        _LogSids(L"Blocking user with SID: %s\r\n", m_applied);
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
    policy->SetPrecedence(1, 0);
    policy->SetEnabled(1);
    Ref<ZrtFire::IRuleBuilder> rule;
    ZrtFire::IMatchBuilder* match = nullptr;
    if (!_OpenRuleBuilder(policies.Get(), kRuleId, rule, match)) return false;
    rule->SetName(kRuleName);
    rule->SetEnabled(1);
    const ZrtFire::Result action = rule->SetAction(2, nullptr, kActionArgument);
    if (action != 0) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"Failure to SetAction for rule (0x%08X)", static_cast<unsigned>(action));
    }
    match->AddProtocol(ZrtFire::kProtocolTcp, 0);
    if (m_udp) match->AddProtocol(ZrtFire::kProtocolUdp, 0);
    for (const std::wstring& sid : m_applied) match->AddUserSid(sid.c_str(), static_cast<DWORD>(sid.size()), 0);
    match->SetOwner(kOwner, static_cast<DWORD>(std::wcslen(kOwner)), 1);
    return _CommitRule(policies.Get(), policy.Get(), rule.Get());
}

bool CTimeRestrictionRuleManager::_DeleteRules() {
    if (!m_product) {
        NUV_LOG(ETWLogging::LOG_NORMAL, L"Not initialized - Rule building deferred");
        return false;
    }
    return _DeleteRule(m_product.Get(), kRuleId);
}

bool CTimeRestrictionRuleManager::_Unregister() {
    if (!m_product) return false;
    _DeleteRules();
    _DeletePolicy(m_product.Get(), kPolicyId);
    m_product.Get()->Shutdown();
    // The handler goes before the product: no event can reach it once the product is shut down.
    _ReleaseRegistration();
    return true;
}
