#pragma once
// The proxy host's side of its plug-ins: finds the plug-ins registered under
// HKLM\Software\Oberix\QvProxy\Plugins, creates each by COM, initializes it, asks it for a handler
// per connection, and deinitializes and releases it at the end.

#include <windows.h>
#include <proxyhost.h>
#include <wrl/client.h>

#include <string>
#include <vector>

namespace QvProxyStandIn {

constexpr const wchar_t* kPluginsKey = L"Software\\Oberix\\QvProxy\\Plugins";

struct PluginRegistration {
    CLSID clsid{};
    std::wstring clsidText;
    std::wstring name;
    DWORD lateInit = 0;
    DWORD protocols = 0;
};

// Every well-formed entry of the plug-in list, in registry order.
std::vector<PluginRegistration> ReadPluginRegistrations();
// Writes one entry, as the suite's installer does.
LONG WritePluginRegistration(const std::wstring& clsidText, const std::wstring& name, DWORD protocols);

class CLoadedPlugin {
public:
    explicit CLoadedPlugin(PluginRegistration registration) : m_registration(std::move(registration)) {}

    HRESULT Create();
    HRESULT Initialize(DWORD* first, DWORD* second);
    HRESULT GetProtocolHandler(int protocol, DWORD sessionId, DWORD processId, IUnknown** handler, DWORD* reserved);
    // The plug-in's handler of one HTTP connection; null when it has none for it (S_FALSE, nothing
    // to filter) or refuses.
    Microsoft::WRL::ComPtr<IQvProxyModuleEventHandler> ConnectionHandler(DWORD sessionId, DWORD processId);
    HRESULT Deinitialize();
    void Release() { m_plugin.Reset(); }

    const PluginRegistration& Registration() const noexcept { return m_registration; }
    // The plug-in's DLL as loaded in this process (from its class registration); null when unknown.
    HMODULE LoadedModule() const;

private:
    PluginRegistration m_registration;
    Microsoft::WRL::ComPtr<IQvPlugin> m_plugin;
};

}  // namespace QvProxyStandIn
