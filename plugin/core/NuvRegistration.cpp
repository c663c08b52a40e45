#include "plugin/core/NuvRegistration.h"

#include "base/RegKey.h"
#include "base/UniqueHandle.h"
#include "logging/Logging.h"
#include "plugin/core/NuvPlugin.h"

#include <objbase.h>

#include <string>
#include <vector>

namespace {

constexpr const wchar_t* kPluginsKey = L"Software\\Oberix\\QvProxy\\Plugins";

std::wstring GuidText(REFGUID guid) {
    wchar_t text[39] = {};
    ::StringFromGUID2(guid, text, 39);
    return text;
}

// One value to write: key below HKEY_CLASSES_ROOT, value name (null: default), text.
struct ScriptValue {
    std::wstring key;
    const wchar_t* name;
    std::wstring data;
};

// The keys registration creates and unregistration removes with everything below them, in order.
std::vector<std::wstring> OwnedKeys() {
    const std::wstring appId = GuidText(APPID_Nuv);
    const std::wstring clsid = GuidText(CLSID_NuvPlugin);
    return {L"AppID\\" + appId, L"AppID\\nuv.DLL", L"CLSID\\" + appId, L"nuv.NuvPlugin.1", L"nuv.NuvPlugin",
            L"CLSID\\" + clsid};
}

std::vector<ScriptValue> Script(const wchar_t* modulePath) {
    const std::wstring appId = GuidText(APPID_Nuv);
    const std::wstring clsid = GuidText(CLSID_NuvPlugin);
    const std::wstring clsidKey = L"CLSID\\" + clsid;
    return {
        {L"AppID\\" + appId, nullptr, L"nuv"},
        {L"AppID\\nuv.DLL", L"AppID", appId},
        // The proxy host finds the module through this pseudo class entry: a named value, not a subkey.
        {L"CLSID\\" + appId, nullptr, L"nuv"},
        {L"CLSID\\" + appId, L"InprocServer32", modulePath},
        {L"nuv.NuvPlugin.1", nullptr, L"NuvPlugin Class"},
        {L"nuv.NuvPlugin.1\\CLSID", nullptr, clsid},
        {L"nuv.NuvPlugin", nullptr, L"NuvPlugin Class"},
        {L"nuv.NuvPlugin\\CLSID", nullptr, clsid},
        {L"nuv.NuvPlugin\\CurVer", nullptr, L"nuv.NuvPlugin.1"},
        {clsidKey, nullptr, L"NuvPlugin Class"},
        {clsidKey, L"AppID", appId},
        {clsidKey + L"\\ProgID", nullptr, L"nuv.NuvPlugin.1"},
        {clsidKey + L"\\VersionIndependentProgID", nullptr, L"nuv.NuvPlugin"},
        {clsidKey + L"\\InprocServer32", nullptr, modulePath},
        {clsidKey + L"\\InprocServer32", L"ThreadingModel", L"Both"},
        {clsidKey + L"\\TypeLib", nullptr, L"{}"},
    };
}

LONG RemoveOwnedKeys() noexcept {
    LONG firstError = ERROR_SUCCESS;
    for (const std::wstring& key : OwnedKeys()) {
        const LONG result = ::RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
        if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND && firstError == ERROR_SUCCESS) {
            firstError = result;
        }
    }
    return firstError;
}

}  // namespace

HRESULT RegisterNuvServer(const wchar_t* modulePath) noexcept {
    try {
        for (const ScriptValue& value : Script(modulePath)) {
            Tessal::CRegKey key;
            LONG result = key.Create(HKEY_CLASSES_ROOT, value.key.c_str());
            if (result == ERROR_SUCCESS) result = key.SetStringValue(value.name, value.data.c_str());
            if (result != ERROR_SUCCESS) {
                RemoveOwnedKeys();
                return HRESULT_FROM_WIN32(static_cast<DWORD>(result));
            }
        }
        return S_OK;
    } catch (...) {
        RemoveOwnedKeys();
        return E_OUTOFMEMORY;
    }
}

HRESULT UnregisterNuvServer() noexcept {
    try {
        const LONG result = RemoveOwnedKeys();
        return result == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(result));
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT registerWithQvProxy(bool add) noexcept {
    Tessal::CRegKey plugins;
    LONG result = plugins.Open(HKEY_LOCAL_MACHINE, kPluginsKey, READ_CONTROL | KEY_SET_VALUE);
    if (result != ERROR_SUCCESS) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to open Plugin CLSID store (Err %d)\r\n", static_cast<int>(result));
        return E_FAIL;
    }
    wchar_t* text = nullptr;
    if (FAILED(::StringFromCLSID(CLSID_NuvPlugin, &text))) return E_FAIL;
    Tessal::UniqueCoTaskMem clsidMemory(text);
    const wchar_t* clsidText = text;
    if (add) {
        Tessal::CRegKey created;
        result = created.Create(plugins, clsidText, nullptr, REG_OPTION_NON_VOLATILE,
                                KEY_READ | KEY_CREATE_SUB_KEY | KEY_SET_VALUE);
        Tessal::CRegKey entry;
        if (result == ERROR_SUCCESS) {
            result = entry.Open(plugins, clsidText, READ_CONTROL | KEY_SET_VALUE | KEY_CREATE_SUB_KEY);
        }
        if (result == ERROR_SUCCESS) result = entry.SetStringValue(L"Name", L"NUV");
        if (result == ERROR_SUCCESS) result = entry.SetDWORDValue(L"LateInit", 0);
        if (result == ERROR_SUCCESS) result = entry.SetDWORDValue(L"Protocols", 1);
        if (result != ERROR_SUCCESS) {
            NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to add Plugin CLSID (Err %d)\r\n", static_cast<int>(result));
            return E_FAIL;
        }
        return S_OK;
    }
    // An entry already gone counts as removed: unregistering twice is not an error.
    result = ::RegDeleteTreeW(plugins, clsidText);
    if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to remove Plugin CLSID (Err %d)\r\n", static_cast<int>(result));
        return E_FAIL;
    }
    return S_OK;
}
