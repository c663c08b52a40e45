#include "logging/ETWConfigurationListener.h"

#include "base/RegKey.h"

namespace ETWLogging {

CETWConfigurationListener::CETWConfigurationListener(const internal::ETWAppProperties& properties)
    : m_properties(properties) {}

CETWConfigurationListener::~CETWConfigurationListener() = default;

void CETWConfigurationListener::OnConfigChange(DWORD enable, DWORD level, DWORD /*flags*/) {
    if (m_logger == nullptr) return;
    m_logger->SetEnabled(enable);
    m_logger->SetSeverity(level);

    HKEY rootKey = nullptr;
    std::wstring providerKey;
    GetProviderKey(rootKey, providerKey);
    ApplyKeySettings(rootKey, providerKey);
    std::wstring name;
    m_logger->GetComponentName(name);
    ApplyKeySettings(rootKey, providerKey + L"\\" + name);
    name.clear();
    m_logger->GetLogName(name);
    ApplyKeySettings(rootKey, providerKey + L"\\" + name);
}

bool CETWConfigurationListener::SetLogger(CLoggingIf* logger) {
    if (m_logger != nullptr || logger == nullptr) return false;
    m_logger = logger;
    return true;
}

void CETWConfigurationListener::GetProviderKey(HKEY& rootKey, std::wstring& keyPath) {
    rootKey = m_properties.GetRootKey();
    keyPath = m_properties.GetProviderKeyPath();
}

void CETWConfigurationListener::ApplyKeySettings(HKEY rootKey, const std::wstring& keyPath) {
    if (m_logger == nullptr) return;
    Tessal::CRegKey key;
    if (key.Open(rootKey, keyPath.c_str(), KEY_READ) != ERROR_SUCCESS) return;
    DWORD value = 0;
    if (key.QueryDWORDValue(L"Enable", value) == ERROR_SUCCESS) m_logger->SetEnabled(value != 0 ? 1 : 0);
    if (key.QueryDWORDValue(L"Severity", value) == ERROR_SUCCESS) m_logger->SetSeverity(value);
}

}  // namespace ETWLogging
