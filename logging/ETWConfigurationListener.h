#pragma once
// Applies a trace session's enable request to the ETW logger, letting the registry override it:
// Enable and Severity under the provider key, then under "<provider key>\<component name>", then
// under "<provider key>\<log name>" (later keys win).

#include "logging/ETWAppProperties.h"
#include "logging/LoggingIf.h"

namespace ETWLogging {

class CETWConfigurationListener : public LoggingConfigListenerIf {
public:
    explicit CETWConfigurationListener(const internal::ETWAppProperties& properties);

    void OnConfigChange(DWORD enable, DWORD level, DWORD flags) override;
    ~CETWConfigurationListener() override;
    // Refused when a logger is set already or the argument is null.
    bool SetLogger(CLoggingIf* logger) override;
    void GetProviderKey(HKEY& rootKey, std::wstring& keyPath) override;
    void ApplyKeySettings(HKEY rootKey, const std::wstring& keyPath) override;

private:
    internal::ETWAppProperties m_properties;
    CLoggingIf* m_logger = nullptr;  // not owned: the logger owns this listener
};

}  // namespace ETWLogging
