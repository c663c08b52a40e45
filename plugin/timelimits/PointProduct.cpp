#include "plugin/timelimits/PointProduct.h"

#include "logging/Logging.h"
#include "plugin/timelimits/NotComDll.h"

#include <objbase.h>

#include <cwchar>

void CHeldPointProduct::Reset() noexcept {
    if (m_product != nullptr) {
        m_product->Release();
        m_product = nullptr;
    }
    m_library.Reset();
}

void CHeldPointProduct::Attach(ZrtFire::IPointProduct* product, Tessal::UniqueHModule library) noexcept {
    Reset();
    m_product = product;
    m_library = std::move(library);
}

bool _RegisterAsPointProduct(CHeldPointProduct& product, const GUID& productId) {
    product.Reset();
    DWORD error = ERROR_SUCCESS;
    ZrtFire::IPointProductFactory* factory = nullptr;
    CNotComDll library(ZrtFire::kControlLibrary);
    error = library.Load();
    if (error == ERROR_SUCCESS) {
        if (library.Handle() != nullptr) {
            const auto getInterface = reinterpret_cast<ZrtFire::NotComDllGetInterfaceFunction>(
                reinterpret_cast<void*>(::GetProcAddress(library.Handle(), ZrtFire::kGetInterfaceExport)));
            if (getInterface == nullptr) {
                error = ::GetLastError();
            } else {
                void* out = nullptr;
                error = static_cast<DWORD>(getInterface(ZrtFire::kPointProductFactoryName, &out));
                factory = error == ERROR_SUCCESS ? static_cast<ZrtFire::IPointProductFactory*>(out) : nullptr;
                if (error == ERROR_SUCCESS && factory == nullptr) error = ERROR_INVALID_FUNCTION;
            }
        } else {
            error = ::GetLastError();
            if (error == ERROR_SUCCESS) error = ERROR_FILE_NOT_FOUND;
        }
    }
    if (error != ERROR_SUCCESS) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"SarvexRegisterPointProductCreate failed (0x%08X)", error);
        return false;
    }
    ZrtFire::IPointProduct* registered = nullptr;
    const ZrtFire::Result result = factory->Register(&registered, &ZrtFire::kPointProductInterface, &productId);
    factory->Release();
    if (result != 0 || registered == nullptr) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Registration failed (0x%08X)", static_cast<unsigned>(result));
        if (registered != nullptr) registered->Release();
        return false;
    }
    product.Attach(registered, library.Detach());
    return true;
}

bool _OpenPolicyBuilder(ZrtFire::IPointProduct* product, ZrtFire::Ref<ZrtFire::IPolicyManager>& policies,
                        ZrtFire::Ref<ZrtFire::IPolicyBuilder>& policy) {
    const ZrtFire::Result got = product->GetInterface(policies.PutVoid(), &ZrtFire::kPolicyManagerInterface);
    if (!policies) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to get policy manager (0x%08X)", static_cast<unsigned>(got));
        return false;
    }
    policies->CreatePolicyBuilder(policy.Put());
    if (!policy) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to create policy builder");
        return false;
    }
    return true;
}

bool _OpenRuleBuilder(ZrtFire::IPolicyManager* policies, const GUID& ruleId, ZrtFire::Ref<ZrtFire::IRuleBuilder>& rule,
                      ZrtFire::IMatchBuilder*& match) {
    match = nullptr;
    const ZrtFire::Result made = policies->CreateRuleBuilder(rule.Put());
    if (!rule) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to get rule builder (0x%08X)", static_cast<unsigned>(made));
        return false;
    }
    const ZrtFire::Result created = rule->CreateRule(&ruleId);
    if (created < 0) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"Failed to create rule (0x%08X)", static_cast<unsigned>(created));
        return false;
    }
    match = rule->GetMatchBuilder();
    if (match == nullptr) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to get match builder");
        return false;
    }
    return true;
}

bool _CommitRule(ZrtFire::IPolicyManager* policies, ZrtFire::IPolicyBuilder* policy, ZrtFire::IRuleBuilder* rule) {
    if (policy->AddRule(rule) != 0) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Unable to add rule into rule builder");
        return false;
    }
    ULONGLONG out1 = 0, out2 = 0;
    const ZrtFire::Result added = policies->AddPolicy(policy, &out1, &out2);
    if (added != 0) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to get add builder to policy (0x%08X)", static_cast<unsigned>(added));
        return false;
    }
    return true;
}

bool _DeleteRule(ZrtFire::IPointProduct* product, const GUID& ruleId) {
    NUV_LOG(ETWLogging::LOG_NORMAL, L"Delete rules");
    ZrtFire::Ref<ZrtFire::IPolicyManager> policies;
    ZrtFire::Ref<ZrtFire::IPolicyBuilder> policy;
    if (!_OpenPolicyBuilder(product, policies, policy)) return false;
    return policy->DeleteRule(&ruleId) == 0;
}

void _DeletePolicy(ZrtFire::IPointProduct* product, const GUID& policyId) {
    ZrtFire::Ref<ZrtFire::IPolicyManager> policies;
    const ZrtFire::Result got = product->GetInterface(policies.PutVoid(), &ZrtFire::kPolicyManagerInterface);
    if (got != 0 || !policies) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Unable to get policy manager from Sarvex (0x%08X)", static_cast<unsigned>(got));
        return;
    }
    const ZrtFire::Result deleted = policies->DeletePolicy(&policyId);
    if (deleted < 0) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"Failed to delete policy (0x%08X)", static_cast<unsigned>(deleted));
    } else {
        NUV_LOG(ETWLogging::LOG_NORMAL, L"Deleted Sarvex policy successfully");
    }
}

void _LogSids(const wchar_t* format, const std::set<std::wstring, NoCaseLess>& sids) {
    for (const std::wstring& sid : sids) NUV_LOG(ETWLogging::LOG_NORMAL, format, sid.c_str());
}

std::wstring IpAddressToText(const ZrtFire::Address& address) {
    wchar_t text[48] = {};
    const BYTE* b = address.bytes;
    if (address.family == 4) {
        std::swprintf(text, 48, L"%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    } else if (address.family == 6) {
        std::swprintf(text, 48, L"%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x", b[0], b[1],
                      b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    }
    return text;
}

std::wstring GuidText(const GUID& id) {
    wchar_t text[40] = {};
    ::StringFromGUID2(id, text, 40);
    return text;
}
