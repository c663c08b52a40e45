#include "plugin/core/TimeZoneCheck.h"

#include "Shared/NUVAlertManager.h"
#include "Shared/NuvTimeBlocksWeek.h"
#include "Shared/TimeZoneManager.h"
#include "logging/Logging.h"
#include "nuvutil/com/Bstr.h"
#include "nuvutil/com/Variant.h"

#include <objbase.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <memory>
#include <new>
#include <string_view>
#include <utility>

using Microsoft::WRL::ComPtr;
using NuvCom::CBstr;
using NuvCom::CVariant;

namespace {

// CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER, as the configuration client creates it.
constexpr DWORD kConfigClassContext = 3;

constexpr LONG kTimeBlocksSetting = 210;
constexpr LONG kProtectedSetting = 315;

// The service's status carries its verdict in the low 17 bits. Callers start from a failed
// status, so a service that never writes it has not said success.
constexpr LONG kUnwrittenStatus = QV_CONFIG_STATUS_FAILED;
bool Counts(HRESULT hr, LONG status) noexcept {
    return SUCCEEDED(hr) && (static_cast<ULONG>(status) & 0x1FFFF) == 0;
}

// The object an item or element is handed out as; null for any other value.
IUnknown* ObjectOf(const CVariant& value) noexcept {
    const VARIANT& v = *value.Get();
    if (v.vt == VT_DISPATCH) return v.pdispVal;
    if (v.vt == VT_UNKNOWN) return v.punkVal;
    return nullptr;
}

// Setting 315 read as VT_BOOL FALSE; any failed read or other type keeps the user protected.
bool IsUnprotected(IConfigSettings* user) noexcept {
    CVariant value;
    LONG status = kUnwrittenStatus;
    const HRESULT hr = user->Get(kProtectedSetting, value.Put(), &status);
    return Counts(hr, status) && value.Type() == VT_BOOL && value.Get()->boolVal == VARIANT_FALSE;
}

bool HasRestrictedWeek(IConfigSettings* user) noexcept {
    CVariant value;
    LONG status = kUnwrittenStatus;
    const HRESULT hr = user->Get(kTimeBlocksSetting, value.Put(), &status);
    if (!Counts(hr, status) || value.Type() != VT_BSTR || value.Get()->bstrVal == nullptr) return false;
    // A week that cannot even be allocated counts as restricted: limits are better kept than
    // silently dropped.
    const std::unique_ptr<CNuvTimeBlocksWeek> week(new (std::nothrow) CNuvTimeBlocksWeek(value.Get()->bstrVal));
    return week == nullptr || !week->IsUnrestricted();
}

// The stored name of setting 337. Only a non-empty BSTR is a name: a failed read, another type
// or the empty text means no zone was ever stored, and the schedule then runs in the PC's own
// zone (CTimeZoneManager::ConvertToLocalTime), so nothing can be out of sync. Alerting there
// would nag the user at every log-on about a mismatch that does not exist.
bool ReadStoredTimeZone(IQvConfigCategory* config, CBstr& name) {
    CVariant product;
    LONG status = kUnwrittenStatus;
    HRESULT hr = config->Get(CTimeZoneCheck::kProductItem, product.Put(), &status);
    IUnknown* const productObject = Counts(hr, status) ? ObjectOf(product) : nullptr;
    if (productObject == nullptr) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to read the product settings (hr 0x%08X, status 0x%08X)\r\n", hr,
                status);
        return false;
    }
    ComPtr<IConfigSettings> settings;
    hr = productObject->QueryInterface(IID_IConfigSettings, reinterpret_cast<void**>(settings.GetAddressOf()));
    if (FAILED(hr)) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Product settings without IConfigSettings (0x%08X)\r\n", hr);
        return false;
    }
    CVariant value;
    status = kUnwrittenStatus;
    hr = settings->Get(CTimeZoneCheck::kStoredTimeZoneSetting, value.Put(), &status);
    if (!Counts(hr, status) || value.Type() != VT_BSTR || ::SysStringLen(value.Get()->bstrVal) == 0) {
        NUV_LOG(ETWLogging::LOG_INFORMATION,
                L"No stored time zone name (hr 0x%08X, status 0x%08X, type %u): nothing to compare\r\n", hr, status,
                static_cast<unsigned>(value.Type()));
        return false;
    }
    const BSTR text = value.Get()->bstrVal;
    name = CBstr(std::wstring_view(text, ::SysStringLen(text)));
    return true;
}

}  // namespace

bool HasUserWithTimeLimits(IQvConfigCategory* config, bool skipUnprotected) {
    if (config == nullptr) return false;
    const ComPtr<IQvConfigCategory> held(config);  // the caller's object stays alive for the walk

    CVariant users;
    LONG status = kUnwrittenStatus;
    HRESULT hr = config->Get(QV_CONFIG_ITEM_USERS, users.Put(), &status);
    IUnknown* const usersObject = Counts(hr, status) ? ObjectOf(users) : nullptr;
    if (usersObject == nullptr) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to read the user collection (hr 0x%08X, status 0x%08X)\r\n", hr,
                status);
        return false;
    }
    ComPtr<IConfigCollection> collection;
    ComPtr<IUnknown> enumeratorObject;
    ComPtr<IEnumVARIANT> enumerator;
    hr = usersObject->QueryInterface(IID_IConfigCollection, reinterpret_cast<void**>(collection.GetAddressOf()));
    if (SUCCEEDED(hr)) hr = collection->get__NewEnum(enumeratorObject.GetAddressOf());
    if (SUCCEEDED(hr)) hr = enumeratorObject ? enumeratorObject.As(&enumerator) : E_POINTER;
    if (FAILED(hr)) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to enumerate the users (0x%08X)\r\n", hr);
        return false;
    }

    for (;;) {
        CVariant element;
        ULONG fetched = 0;
        hr = enumerator->Next(1, element.Put(), &fetched);
        if (FAILED(hr) || fetched < 1) break;
        IUnknown* const userObject = ObjectOf(element);
        ComPtr<IConfigSettings> user;
        if (userObject == nullptr ||
            FAILED(userObject->QueryInterface(IID_IConfigSettings, reinterpret_cast<void**>(user.GetAddressOf())))) {
            continue;
        }
        if (skipUnprotected && IsUnprotected(user.Get())) continue;
        if (HasRestrictedWeek(user.Get())) return true;
    }
    return false;
}

bool HasUserWithTimeLimits(bool skipUnprotected, const wchar_t* purpose) {
    ComPtr<IQvConfigCategory> config;
    const HRESULT hr = ::CoCreateInstance(CLSID_QvPSConfig, nullptr, kConfigClassContext, IID_IQvConfigCategory,
                                          reinterpret_cast<void**>(config.GetAddressOf()));
    if (FAILED(hr)) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"%s: failed to create the configuration object (0x%08X)\r\n", purpose, hr);
        return false;
    }
    return HasUserWithTimeLimits(config.Get(), skipUnprotected);
}

CTimeZoneCheck::CTimeZoneCheck(CAlertBindSeam* alertSeam, HKEY zoneDatabaseRoot, std::wstring zoneDatabasePath)
    : m_alertSeam(alertSeam), m_zoneDatabaseRoot(zoneDatabaseRoot), m_zoneDatabasePath(std::move(zoneDatabasePath)) {}

bool CTimeZoneCheck::ReadLocalTimeZone(std::wstring& name) const {
    // Built per check: a changed database (an OS update) is seen without a restart.
    if (m_zoneDatabaseRoot == nullptr) return CTimeZoneManager().GetLocalTimeZone(name);
    return CTimeZoneManager(m_zoneDatabaseRoot, m_zoneDatabasePath.c_str()).GetLocalTimeZone(name);
}

void CTimeZoneCheck::CheckTimeZone() {
    ComPtr<IQvConfigCategory> config;
    const HRESULT hr = ::CoCreateInstance(CLSID_QvPSConfig, nullptr, kConfigClassContext, IID_IQvConfigCategory,
                                          reinterpret_cast<void**>(config.GetAddressOf()));
    if (FAILED(hr)) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Time zone check: failed to create the configuration object (0x%08X)\r\n", hr);
        return;
    }
    if (!HasUserWithTimeLimits(config.Get(), false)) return;

    CBstr stored;
    if (!ReadStoredTimeZone(config.Get(), stored)) return;
    std::wstring local;
    if (!ReadLocalTimeZone(local)) return;

    const CBstr localName(std::wstring_view{local});
    const HRESULT compared = ::VarBstrCmp(stored.Get(), localName.Get(), LOCALE_USER_DEFAULT, 0);
    NUV_LOG(ETWLogging::LOG_NORMAL, L"Stored time zone \"%s\", local time zone \"%s\" (compare %d)\r\n", stored.Get(),
            local.c_str(), compared);
    if (compared == VARCMP_EQ) return;

    CNUVAlertManager alerts(m_alertSeam);
    alerts.ShowTimeZoneOutOfSync(CNUVAlertManager::kConsoleSession);
}
