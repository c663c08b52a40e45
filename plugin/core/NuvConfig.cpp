#include "plugin/core/NuvConfig.h"

#include "plugin/core/PluginResults.h"
#include "logging/Logging.h"
#include "nuvutil/com/Bstr.h"
#include "nuvutil/com/Variant.h"
#include "plugin/services/ModuleServices.h"
#include "plugin/core/NuvConfigEventSink.h"
#include "plugin/core/NuvException.h"
#include "plugin/core/QvPermissionsHelper.h"
#include "plugin/core/Session.h"

#include <ocidl.h>

using Microsoft::WRL::ComPtr;

namespace {

constexpr int kProblemConfigCreation = 40;
constexpr int kProblemConfigEvents = 41;

constexpr DISPID kOnConfigChanged = 1;
constexpr DISPID kOnSignIn = 2;
constexpr DISPID kOnSignOut = 3;
constexpr DISPID kOnReset = 4;
constexpr DISPID kOnFolderPermissions = 5;
constexpr DISPID kOnReloadSearchEngines = 6;
constexpr DISPID kOnQueryStatus = 9;

constexpr HRESULT kHasProblem = static_cast<HRESULT>(0x80040206);
constexpr HRESULT kStatusNotOk = E_UNEXPECTED;                  // 0x8000FFFF
constexpr HRESULT kNotDispatch = DISP_E_TYPEMISMATCH;           // 0x80020005

// How long unsubscribing waits for a notification still being handled.
constexpr DWORD kDetachWaitMs = 10000;

// Arguments arrive last first: the first argument is rgvarg[cArgs - 1].
const VARIANTARG& Argument(const DISPPARAMS& parameters, UINT index) {
    return parameters.rgvarg[parameters.cArgs - 1 - index];
}

// The argument checks of Invoke, made before anything else.
HRESULT CheckParameters(DISPID dispId, const DISPPARAMS* parameters) {
    auto expectTwo = [&](VARTYPE first, VARTYPE second) -> HRESULT {
        if (parameters == nullptr || parameters->cArgs != 2 || parameters->cNamedArgs != 0) {
            return DISP_E_BADPARAMCOUNT;
        }
        if (parameters->rgvarg == nullptr) return E_POINTER;
        if (Argument(*parameters, 0).vt != first || Argument(*parameters, 1).vt != second) {
            return DISP_E_BADVARTYPE;
        }
        return S_OK;
    };
    switch (dispId) {
    case kOnSignIn:
    case kOnSignOut: return expectTwo(VT_UI4, VT_BSTR);
    case kOnQueryStatus: return expectTwo(VT_BSTR, VT_BYREF | VT_UI4);
    default:
        if (parameters != nullptr && (parameters->cArgs != 0 || parameters->cNamedArgs != 0)) {
            return DISP_E_BADPARAMCOUNT;
        }
        return S_OK;
    }
}

// A null BSTR is the empty text: it never equals a non-empty id or name.
bool TextEquals(const CSafeStringW& text, BSTR value) { return text.Compare(value != nullptr ? value : L"") == 0; }

}  // namespace

CNuvConfig::CNuvConfig(IModuleServices& module) : m_module(module) {
    const HRESULT hr = ::CoCreateInstance(CLSID_QvPSConfig, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER,
                                          IID_IQvConfigCategory, reinterpret_cast<void**>(m_config.GetAddressOf()));
    if (FAILED(hr) || !m_config) {
        NUV_LOG(ETWLogging::LOG_CRITICAL, L"Failed to create NUV config (0x%08X)\r\n", static_cast<unsigned>(hr));
        m_module.ReportProblem(kProblemConfigCreation, true, hr);
        throw CNuvException(CNuvException::kNotInitialized);
    }
    m_sink = NuvCom::MakeComObject<CNuvConfigEventSink>(this);
    RebuildSessionFlags();
}

CNuvConfig::~CNuvConfig() {
    UnsubscribeFromComEvents();
    {
        Tessal::CAutoLock lock(m_flagsLock);
        m_flags.Clear();
    }
    m_config.Reset();
}

void CNuvConfig::SubscribeToComEvents() {
    if (m_cookie != 0) return;
    m_sink->Attach(this);

    ComPtr<IConnectionPointContainer> container;
    HRESULT hr = m_config.As(&container);
    if (FAILED(hr)) {
        NUV_LOG(ETWLogging::LOG_CRITICAL, L"Failed to get ConnectionPointContainer (0x%08X)\r\n",
                static_cast<unsigned>(hr));
        m_module.ReportProblem(kProblemConfigEvents, false, hr);
        return;
    }
    ComPtr<IConnectionPoint> point;
    hr = container->FindConnectionPoint(DIID__IQvPSConfigEvents, point.GetAddressOf());
    if (FAILED(hr)) {
        NUV_LOG(ETWLogging::LOG_CRITICAL, L"Failed to find ConnectionPoint (0x%08X)\r\n", static_cast<unsigned>(hr));
        m_module.ReportProblem(kProblemConfigEvents, false, hr);
        return;
    }
    DWORD cookie = 0;
    hr = point->Advise(static_cast<IDispatch*>(m_sink.Get()), &cookie);
    if (FAILED(hr)) {
        NUV_LOG(ETWLogging::LOG_CRITICAL, L"Failed to Advise ConnectionPoint (0x%08X)\r\n",
                static_cast<unsigned>(hr));
        m_module.ReportProblem(kProblemConfigEvents, false, hr);
        return;
    }
    m_cookie = cookie;
}

void CNuvConfig::UnsubscribeFromComEvents() {
    if (m_cookie != 0) {
        ComPtr<IConnectionPointContainer> container;
        ComPtr<IConnectionPoint> point;
        if (SUCCEEDED(m_config.As(&container)) &&
            SUCCEEDED(container->FindConnectionPoint(DIID__IQvPSConfigEvents, point.GetAddressOf()))) {
            point->Unadvise(m_cookie);  // the service answers for its own failures
        }
        m_cookie = 0;
    }
    // The service may still be calling (or call later, against the contract): from now on the
    // sink refuses, and this object must not go away while a handler is still running in it.
    if (m_sink && !m_sink->Detach(kDetachWaitMs)) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"A configuration notification is still being handled\r\n");
    }
}

IDispatch* CNuvConfig::GetEventSink() const noexcept { return m_sink.Get(); }

HRESULT CNuvConfig::Invoke(DISPID dispId, DISPPARAMS* parameters) {
    const HRESULT checked = CheckParameters(dispId, parameters);
    if (FAILED(checked)) return checked;

    if (m_module.IsShuttingDown()) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"Refused to handle Invoke(%d) because NUV is shutting down\r\n",
                static_cast<int>(dispId));
        return NuvResult::kShuttingDown;
    }
    if (!m_module.WaitForInitialization()) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"Refused to handle Invoke(%d) because NUV failed to initializer\n",
                static_cast<int>(dispId));
        return NuvResult::kShuttingDown;
    }
    const int problem = m_module.GetCurrentProblem();
    if (problem != 0) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"Refused to handle Invoke(%d) because NUV has problem %d\r\n",
                static_cast<int>(dispId), problem);
        return kHasProblem;
    }

    switch (dispId) {
    case kOnConfigChanged: return OnConfigChanged();
    case kOnSignIn:
        return OnSignIn(Argument(*parameters, 0).ulVal, Argument(*parameters, 1).bstrVal);
    case kOnSignOut: return OnSignOut(Argument(*parameters, 0).ulVal);
    case kOnReset: return OnReset();
    case kOnFolderPermissions: return OnFolderPermissions();
    case kOnReloadSearchEngines: return OnReloadSearchEngines();
    default: return DISP_E_MEMBERNOTFOUND;
    }
}

HRESULT CNuvConfig::OnConfigChanged() {
    m_module.UpdateUsers();
    RebuildSessionFlags();
    return S_OK;
}

namespace {

// Runs `change` on the session under the session manager's lock and then the session's; false
// when the manager does not hold the session.
template <class Change>
bool ChangeHeldSession(IModuleServices& module, DWORD sessionId, Change&& change) {
    Tessal::CCriticalSection* const managerLock = module.GetSessionLock();
    if (managerLock == nullptr) return false;
    Tessal::CAutoLock lock(*managerLock);
    if (!module.SessionExists(sessionId)) return false;
    CSession* session = nullptr;
    try {
        session = module.GetSession(sessionId);
    } catch (const CNuvException&) {
        return false;  // the manager went away meanwhile
    }
    Tessal::CAutoLock sessionLock(session->GetLock());
    change(*session);
    return true;
}

}  // namespace

HRESULT CNuvConfig::OnSignIn(DWORD sessionId, const wchar_t* userId) {
    if (!ChangeHeldSession(m_module, sessionId, [&](CSession& session) { session.Logon(CSafeStringW(userId)); })) {
        return S_FALSE;
    }
    // Both locks are free again: the collection takes them in its own order.
    UpdateSessionFlags(sessionId);
    return S_OK;
}

HRESULT CNuvConfig::OnSignOut(DWORD sessionId) {
    return ChangeHeldSession(m_module, sessionId, [](CSession& session) { session.Logoff(); }) ? S_OK : S_FALSE;
}

HRESULT CNuvConfig::OnReset() { return S_OK; }

HRESULT CNuvConfig::OnFolderPermissions() {
    setFoldersPermission();
    SignalFolderPermissionsEvent();
    return S_OK;
}

HRESULT CNuvConfig::OnReloadSearchEngines() {
    m_module.ReloadSearchEngines();
    return S_OK;
}

HRESULT CNuvConfig::GetItem(LONG id, ComPtr<IDispatch>& item) {
    NuvCom::CVariant value;
    LONG status = QV_CONFIG_STATUS_OK;
    const HRESULT hr = m_config->Get(id, value.Put(), &status);
    if (FAILED(hr)) return hr;
    if (status != QV_CONFIG_STATUS_OK) return kStatusNotOk;
    if (value.Type() != VT_DISPATCH || value.Get()->pdispVal == nullptr) return kNotDispatch;
    item = value.Get()->pdispVal;
    return S_OK;
}

bool CNuvConfig::getConfig(LONG id, ComPtr<IConfigCollection>& collection) {
    return GetItemAs(id, __uuidof(IConfigCollection), reinterpret_cast<void**>(collection.ReleaseAndGetAddressOf()),
                     L"Failed to get Config collection %d (0x%08X)\r\n");
}

bool CNuvConfig::getConfig(LONG id, ComPtr<IConfigSettings>& category) {
    return GetItemAs(id, __uuidof(IConfigSettings), reinterpret_cast<void**>(category.ReleaseAndGetAddressOf()),
                     L"Failed to get Config category %d (0x%08X)\r\n");
}

bool CNuvConfig::GetItemAs(LONG id, REFIID iid, void** object, const wchar_t* failureFormat) {
    ComPtr<IDispatch> item;
    HRESULT hr = GetItem(id, item);
    if (SUCCEEDED(hr)) hr = item->QueryInterface(iid, object);
    if (FAILED(hr)) {
        NUV_LOG(ETWLogging::LOG_ERROR, failureFormat, static_cast<int>(id), static_cast<unsigned>(hr));
        return false;
    }
    return true;
}

std::unique_ptr<CUserSettings> CNuvConfig::GetSignedInUserSettings(DWORD sessionId) {
    ComPtr<IConfigSignIn> signIn;
    if (FAILED(m_config.As(&signIn))) return nullptr;
    NuvCom::CVariant user;
    LONG status = 0;
    const HRESULT hr = signIn->GetSignedInUser(sessionId, user.Put(), &status);
    if (FAILED(hr) || status != QV_CONFIG_STATUS_OK || user.Type() != VT_DISPATCH || user.Get()->pdispVal == nullptr) {
        return nullptr;
    }
    ComPtr<IConfigSettings> category;
    if (FAILED(user.Get()->pdispVal->QueryInterface(IID_IConfigSettings,
                                                     reinterpret_cast<void**>(category.GetAddressOf())))) {
        return nullptr;
    }
    return std::make_unique<CUserSettings>(category.Get());
}

std::unique_ptr<CUserSettings> CNuvConfig::GetUserSettingsById(const CSafeStringW& userId) {
    if (userId.IsEqual(CUserSettings::kTemporaryAdult)) return CUserSettings::CreateTemporaryAdultSettings();
    return FindUser(CUserSettings::kUserId, userId);
}

std::unique_ptr<CUserSettings> CNuvConfig::GetUserSettingsByUserName(const CSafeStringW& userName) {
    return FindUser(CUserSettings::kUserName, userName);
}

std::unique_ptr<CUserSettings> CNuvConfig::FindUser(LONG settingId, const CSafeStringW& text) {
    ComPtr<IConfigCollection> users;
    if (!getConfig(QV_CONFIG_ITEM_USERS, users)) return nullptr;
    ComPtr<IUnknown> enumeratorObject;
    ComPtr<IEnumVARIANT> enumerator;
    if (FAILED(users->get__NewEnum(enumeratorObject.GetAddressOf())) || !enumeratorObject ||
        FAILED(enumeratorObject.As(&enumerator))) {
        return nullptr;
    }
    for (;;) {
        NuvCom::CVariant item;
        ULONG fetched = 0;
        // S_OK without an item would never end the walk.
        if (enumerator->Next(1, item.Put(), &fetched) != S_OK || fetched != 1) return nullptr;
        if (item.Type() != VT_DISPATCH || item.Get()->pdispVal == nullptr) continue;
        ComPtr<IConfigSettings> category;
        if (FAILED(item.Get()->pdispVal->QueryInterface(IID_IConfigSettings,
                                                         reinterpret_cast<void**>(category.GetAddressOf())))) {
            continue;
        }
        NuvCom::CVariant value;
        LONG status = 0;
        const HRESULT hr = category->Get(settingId, value.Put(), &status);
        if (FAILED(hr) || status != QV_CONFIG_STATUS_OK || value.Type() != VT_BSTR) continue;
        if (TextEquals(text, value.Get()->bstrVal)) return std::make_unique<CUserSettings>(category.Get());
    }
}

void CNuvConfig::GetStoredTimeZone(CSafeStringW& text) {
    ComPtr<IConfigSettings> product;
    if (!getConfig(QV_CONFIG_ITEM_PRODUCT, product)) return;
    NuvCom::CVariant value;
    LONG status = 0;
    const HRESULT hr = product->Get(CUserSettings::kStoredTimeZone, value.Put(), &status);
    if (FAILED(hr) || status != QV_CONFIG_STATUS_OK || value.Type() != VT_BSTR || value.Get()->bstrVal == nullptr) {
        return;
    }
    text.Append(value.Get()->bstrVal, static_cast<int>(::SysStringLen(value.Get()->bstrVal)));
}

bool CNuvConfig::SignIn(DWORD sessionId, const wchar_t* userId) {
    ComPtr<IConfigSignIn> signIn;
    if (FAILED(m_config.As(&signIn))) return false;
    const NuvCom::CBstr id(userId);
    LONG status = 0;
    const HRESULT hr = signIn->SignIn(sessionId, id.Get(), 0, &status);
    return SUCCEEDED(hr) && status == QV_CONFIG_STATUS_OK;
}

void CNuvConfig::SignOut(DWORD sessionId) {
    ComPtr<IConfigSignIn> signIn;
    HRESULT hr = m_config.As(&signIn);
    LONG status = 0;
    if (SUCCEEDED(hr)) hr = signIn->SignOut(sessionId, &status);
    // A call counts only with both results: a refusal by status is logged with the status.
    if (FAILED(hr) || status != QV_CONFIG_STATUS_OK) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"Failed to sign out user in session %d (0x%08X)\r\n",
                static_cast<int>(sessionId), static_cast<unsigned>(FAILED(hr) ? hr : status));
    }
}

void CNuvConfig::UpdateSessionFlags(DWORD sessionId) {
    // Collected without m_flagsLock: the collection takes the manager's and the session's locks,
    // and m_flagsLock comes after them in every thread's order.
    SessionFilterFlags collected;
    m_module.UpdateSessionFilterState(sessionId, collected);
    SessionFilterState state;
    if (!collected.Find(sessionId, state)) return;
    Tessal::CAutoLock lock(m_flagsLock);
    m_flags.Set(sessionId, state);
}

void CNuvConfig::RebuildSessionFlags() {
    SessionFilterFlags collected;
    m_module.UpdateAllSessionFilterState(collected);
    Tessal::CAutoLock lock(m_flagsLock);
    std::swap(m_flags, collected);
}

bool CNuvConfig::GetSessionFilterState(DWORD sessionId, SessionFilterState& state) const {
    Tessal::CAutoLock lock(m_flagsLock);
    if (m_flags.Find(sessionId, state)) return true;
    state = SessionFilterState{};
    return false;
}
