#include "plugin/core/NuvRegistration.h"

#include "base/RegKey.h"
#include "base/UniqueHandle.h"
#include "logging/Logging.h"
#include "plugin/core/NuvPlugin.h"

#include <objbase.h>

namespace {

constexpr const wchar_t* kPluginsKey = L"Software\\Oberix\\QvProxy\\Plugins";

}  // namespace

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
