#include "PluginHost.h"

#include "base/RegKey.h"

#include <objbase.h>

namespace QvProxyStandIn {

std::vector<PluginRegistration> ReadPluginRegistrations() {
    std::vector<PluginRegistration> plugins;
    Tessal::CRegKey list;
    if (list.Open(HKEY_LOCAL_MACHINE, kPluginsKey, KEY_READ) != ERROR_SUCCESS) return plugins;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256] = {};
        DWORD length = 256;
        if (list.EnumKey(index, name, &length) != ERROR_SUCCESS) break;
        PluginRegistration plugin;
        plugin.clsidText = name;
        if (FAILED(::CLSIDFromString(name, &plugin.clsid))) continue;
        Tessal::CRegKey entry;
        if (entry.Open(list, name, KEY_READ) != ERROR_SUCCESS) continue;
        entry.QueryStringValue(L"Name", plugin.name);
        entry.QueryDWORDValue(L"LateInit", plugin.lateInit);
        entry.QueryDWORDValue(L"Protocols", plugin.protocols);
        plugins.push_back(std::move(plugin));
    }
    return plugins;
}

LONG WritePluginRegistration(const std::wstring& clsidText, const std::wstring& name, DWORD protocols) {
    Tessal::CRegKey entry;
    LONG result = entry.Create(HKEY_LOCAL_MACHINE, (std::wstring(kPluginsKey) + L"\\" + clsidText).c_str());
    if (result == ERROR_SUCCESS) result = entry.SetStringValue(L"Name", name.c_str());
    if (result == ERROR_SUCCESS) result = entry.SetDWORDValue(L"LateInit", 0);
    if (result == ERROR_SUCCESS) result = entry.SetDWORDValue(L"Protocols", protocols);
    return result;
}

HRESULT CLoadedPlugin::Create() {
    return ::CoCreateInstance(m_registration.clsid, nullptr, CLSCTX_INPROC_SERVER, __uuidof(IQvPlugin),
                              reinterpret_cast<void**>(m_plugin.ReleaseAndGetAddressOf()));
}

HRESULT CLoadedPlugin::Initialize(DWORD* first, DWORD* second) {
    return m_plugin ? m_plugin->Initialize(first, second) : E_UNEXPECTED;
}

HRESULT CLoadedPlugin::GetProtocolHandler(int protocol, DWORD sessionId, DWORD processId, IUnknown** handler,
                                          DWORD* reserved) {
    return m_plugin ? m_plugin->GetProtocolHandler(protocol, sessionId, processId, handler, reserved) : E_UNEXPECTED;
}

Microsoft::WRL::ComPtr<IQvProxyModuleEventHandler> CLoadedPlugin::ConnectionHandler(DWORD sessionId,
                                                                                     DWORD processId) {
    Microsoft::WRL::ComPtr<IQvProxyModuleEventHandler> handler;
    IUnknown* unknown = nullptr;
    DWORD reserved = 0;
    if (GetProtocolHandler(QV_PROXY_PROTOCOL_HTTP, sessionId, processId, &unknown, &reserved) == S_OK &&
        unknown != nullptr) {
        unknown->QueryInterface(IID_PPV_ARGS(&handler));
    }
    if (unknown != nullptr) unknown->Release();
    return handler;
}

HRESULT CLoadedPlugin::Deinitialize() { return m_plugin ? m_plugin->Deinitialize() : E_UNEXPECTED; }

HMODULE CLoadedPlugin::LoadedModule() const {
    Tessal::CRegKey server;
    const std::wstring key = L"CLSID\\" + m_registration.clsidText + L"\\InprocServer32";
    if (server.Open(HKEY_CLASSES_ROOT, key.c_str(), KEY_READ) != ERROR_SUCCESS) return nullptr;
    std::wstring path;
    if (server.QueryStringValue(nullptr, path) != ERROR_SUCCESS) return nullptr;
    return ::GetModuleHandleW(path.c_str());
}

}  // namespace QvProxyStandIn
