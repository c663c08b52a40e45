#include "ConfigObject.h"

#include "Categories.h"
#include "ConfigService.h"

#include "nuvutil/com/Bstr.h"
#include "nuvutil/com/ComBoundary.h"
#include "nuvutil/com/HResultError.h"

#include <olectl.h>

#include <string>

namespace QvConfigStandIn {

namespace {

constexpr LONG kItemProduct = QV_CONFIG_ITEM_PRODUCT;
constexpr LONG kItemUsers = QV_CONFIG_ITEM_USERS;

CConfigService& Service() { return CConfigService::Instance(); }

std::wstring QuotedId(BSTR text) {
    return text == nullptr ? L"null" : L"\"" + std::wstring(text, ::SysStringLen(text)) + L"\"";
}

HRESULT CopyText(const std::wstring& text, BSTR* out) {
    if (out == nullptr) {
        return E_POINTER;
    }
    return NuvCom::CBstr(std::wstring_view(text)).CopyTo(out);
}

}  // namespace

CQvPSConfig::CQvPSConfig() {
    const Injected injected = Service().BeginCall(L"CreateInstance");
    if (injected.active && FAILED(injected.hr)) {
        throw NuvCom::CHResultError(injected.hr, "injected CreateInstance failure");
    }
}

STDMETHODIMP CQvPSConfig::QueryInterface(REFIID riid, void** ppv) {
    const wchar_t* watched = nullptr;
    if (::IsEqualIID(riid, IID_IConnectionPointContainer)) {
        watched = L"IConnectionPointContainer";
    } else if (::IsEqualIID(riid, __uuidof(IConfigSignIn))) {
        watched = L"IConfigSignIn";
    }
    if (watched != nullptr) {
        Injected injected;
        try {
            injected = Service().BeginCall(L"QueryInterface", watched);
        } catch (...) {
            return E_OUTOFMEMORY;
        }
        if (injected.active) {
            if (ppv != nullptr) {
                *ppv = nullptr;
            }
            return FAILED(injected.hr) ? injected.hr : E_NOINTERFACE;
        }
    }
    return CComObjectBase::QueryInterface(riid, ppv);
}

STDMETHODIMP CQvPSConfig::Get(LONG itemId, VARIANT* value, LONG* status) {
    if (value == nullptr || status == nullptr) {
        return E_POINTER;
    }
    ::VariantInit(value);
    Service().CrashIfAsked(L"IQvConfigCategory.Get");
    return NuvCom::ComBoundary(L"IQvConfigCategory::Get", [&]() -> HRESULT {
        const Injected injected = Service().BeginCall(L"IQvConfigCategory.Get", std::to_wstring(itemId));
        if (injected.active && FAILED(injected.hr)) {
            *status = injected.status;
            return injected.hr;
        }
        *status = QV_CONFIG_STATUS_OK;
        if (itemId == kItemProduct) {
            PutCategory(Service().ProductCategory(), value);
        } else if (itemId == kItemUsers) {
            auto users = NuvCom::MakeComObject<CUserCollection>();
            NuvCom::ThrowIfFailed(users->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&value->pdispVal)),
                                  "QueryInterface(IDispatch)");
            value->vt = VT_DISPATCH;
        } else {
            *status = QV_CONFIG_STATUS_FAILED;
        }
        if (injected.active) {
            *status = injected.status;
            return injected.hr;
        }
        return S_OK;
    });
}

STDMETHODIMP CQvPSConfig::IsSignedIn(ULONG sessionId, VARIANT_BOOL* signedIn, LONG* status) {
    if (signedIn == nullptr || status == nullptr) {
        return E_POINTER;
    }
    *signedIn = VARIANT_FALSE;
    return NuvCom::ComBoundary(L"IConfigSignIn::IsSignedIn", [&] {
        const Injected injected = Service().BeginCall(L"IConfigSignIn.IsSignedIn", std::to_wstring(sessionId));
        if (injected.active && FAILED(injected.hr)) {
            *status = injected.status;
            return injected.hr;
        }
        *signedIn = Service().IsSignedIn(sessionId) ? VARIANT_TRUE : VARIANT_FALSE;
        *status = injected.active ? injected.status : QV_CONFIG_STATUS_OK;
        return injected.active ? injected.hr : S_OK;
    });
}

STDMETHODIMP CQvPSConfig::SignIn(ULONG sessionId, BSTR userId, LONG flags, LONG* status) {
    if (status == nullptr) {
        return E_POINTER;
    }
    return NuvCom::ComBoundary(L"IConfigSignIn::SignIn", [&] {
        const Injected injected = Service().BeginCall(
            L"IConfigSignIn.SignIn", std::to_wstring(sessionId) + L", " + QuotedId(userId) + L", " + std::to_wstring(flags));
        // An injected failure changes nothing, whatever the HRESULT says.
        if (injected.active) {
            *status = injected.status;
            return injected.hr;
        }
        *status = Service().SignIn(sessionId, userId) ? QV_CONFIG_STATUS_OK : QV_CONFIG_STATUS_FAILED;
        return S_OK;
    });
}

STDMETHODIMP CQvPSConfig::SignOut(ULONG sessionId, LONG* status) {
    if (status == nullptr) {
        return E_POINTER;
    }
    return NuvCom::ComBoundary(L"IConfigSignIn::SignOut", [&] {
        const Injected injected = Service().BeginCall(L"IConfigSignIn.SignOut", std::to_wstring(sessionId));
        if (injected.active) {
            *status = injected.status;
            return injected.hr;
        }
        // Nobody signed in is no failure: the session ends up signed out either way.
        Service().SignOut(sessionId);
        *status = QV_CONFIG_STATUS_OK;
        return S_OK;
    });
}

STDMETHODIMP CQvPSConfig::GetSignedInUser(ULONG sessionId, VARIANT* user, LONG* status) {
    if (user == nullptr || status == nullptr) {
        return E_POINTER;
    }
    ::VariantInit(user);
    return NuvCom::ComBoundary(L"IConfigSignIn::GetSignedInUser", [&] {
        const Injected injected = Service().BeginCall(L"IConfigSignIn.GetSignedInUser", std::to_wstring(sessionId));
        if (injected.active && FAILED(injected.hr)) {
            *status = injected.status;
            return injected.hr;
        }
        const CategoryPtr signedIn = Service().SignedInUser(sessionId);
        if (signedIn) {
            PutCategory(signedIn, user);
        }
        *status = signedIn ? QV_CONFIG_STATUS_OK : QV_CONFIG_STATUS_FAILED;
        if (injected.active) {
            *status = injected.status;
            return injected.hr;
        }
        return S_OK;
    });
}

STDMETHODIMP CQvPSConfig::EnumConnectionPoints(IEnumConnectionPoints** points) {
    if (points != nullptr) {
        *points = nullptr;
    }
    return E_NOTIMPL;  // nobody enumerates: the one point is found by its IID
}

STDMETHODIMP CQvPSConfig::FindConnectionPoint(REFIID riid, IConnectionPoint** point) {
    if (point == nullptr) {
        return E_POINTER;
    }
    *point = nullptr;
    Service().CrashIfAsked(L"FindConnectionPoint");
    return NuvCom::ComBoundary(L"IConnectionPointContainer::FindConnectionPoint", [&] {
        const Injected injected = Service().BeginCall(L"FindConnectionPoint");
        if (injected.active && FAILED(injected.hr)) {
            return injected.hr;
        }
        if (!::IsEqualIID(riid, DIID__IQvPSConfigEvents)) {
            return CONNECT_E_NOCONNECTION;
        }
        *point = NuvCom::MakeComObject<CConfigConnectionPoint>(this).Detach();
        return S_OK;
    });
}

STDMETHODIMP CQvPSConfig::Reset() {
    return NuvCom::ComBoundary(L"IQvConfigServiceControl::Reset", [&] { return Service().Reset(); });
}

STDMETHODIMP CQvPSConfig::AddUser(BSTR userId, BSTR userName) {
    return NuvCom::ComBoundary(L"IQvConfigServiceControl::AddUser",
                               [&] { return Service().AddUser(userId, userName); });
}

STDMETHODIMP CQvPSConfig::RemoveUser(BSTR userId) {
    return NuvCom::ComBoundary(L"IQvConfigServiceControl::RemoveUser", [&] { return Service().RemoveUser(userId); });
}

STDMETHODIMP CQvPSConfig::SetUserSetting(BSTR userId, LONG settingId, VARIANT value) {
    return NuvCom::ComBoundary(L"IQvConfigServiceControl::SetUserSetting",
                               [&] { return Service().SetUserSetting(userId, settingId, value); });
}

STDMETHODIMP CQvPSConfig::SetProductSetting(LONG settingId, VARIANT value) {
    return NuvCom::ComBoundary(L"IQvConfigServiceControl::SetProductSetting",
                               [&] { return Service().SetProductSetting(settingId, value); });
}

STDMETHODIMP CQvPSConfig::SignInUser(ULONG sessionId, BSTR userId) {
    return NuvCom::ComBoundary(L"IQvConfigServiceControl::SignInUser", [&] {
        return Service().SignIn(sessionId, userId) ? S_OK : HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    });
}

STDMETHODIMP CQvPSConfig::SignOutUser(ULONG sessionId) {
    return NuvCom::ComBoundary(L"IQvConfigServiceControl::SignOutUser",
                               [&] { return Service().SignOut(sessionId) ? S_OK : S_FALSE; });
}

STDMETHODIMP CQvPSConfig::FireEvent(LONG dispId, ULONG argCount, const VARIANT* args) {
    return NuvCom::ComBoundary(L"IQvConfigServiceControl::FireEvent",
                               [&] { return Service().FireEvent(dispId, argCount, args); });
}

STDMETHODIMP CQvPSConfig::WaitForEvents(ULONG timeoutMs) {
    return NuvCom::ComBoundary(L"IQvConfigServiceControl::WaitForEvents",
                               [&] { return Service().WaitForEvents(timeoutMs); });
}

STDMETHODIMP CQvPSConfig::GetEventThreadId(ULONG* threadId) {
    if (threadId == nullptr) {
        return E_POINTER;
    }
    *threadId = Service().EventThreadId();
    return S_OK;
}

STDMETHODIMP CQvPSConfig::GetSinkCount(ULONG* count) {
    if (count == nullptr) {
        return E_POINTER;
    }
    *count = Service().SinkCount();
    return S_OK;
}

STDMETHODIMP CQvPSConfig::FailCall(BSTR callName, HRESULT hr, LONG status, LONG times) {
    return NuvCom::ComBoundary(L"IQvConfigServiceControl::FailCall",
                               [&] { return Service().FailCall(callName, hr, status, times); });
}

STDMETHODIMP CQvPSConfig::GetCallLog(BSTR* log) {
    return NuvCom::ComBoundary(L"IQvConfigServiceControl::GetCallLog",
                               [&] { return CopyText(Service().CallLog(), log); });
}

STDMETHODIMP CQvPSConfig::GetCallCount(BSTR callName, ULONG* count) {
    if (count == nullptr) {
        return E_POINTER;
    }
    return NuvCom::ComBoundary(L"IQvConfigServiceControl::GetCallCount", [&] {
        *count = Service().CallCount(callName);
        return S_OK;
    });
}

STDMETHODIMP CQvPSConfig::GetEventLog(BSTR* log) {
    return NuvCom::ComBoundary(L"IQvConfigServiceControl::GetEventLog",
                               [&] { return CopyText(Service().EventLog(), log); });
}

STDMETHODIMP CQvPSConfig::ClearLogs() {
    Service().ClearLogs();
    return S_OK;
}

STDMETHODIMP CConfigConnectionPoint::GetConnectionInterface(IID* iid) {
    if (iid == nullptr) {
        return E_POINTER;
    }
    *iid = DIID__IQvPSConfigEvents;
    return S_OK;
}

STDMETHODIMP CConfigConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** container) {
    if (container == nullptr) {
        return E_POINTER;
    }
    return m_container.CopyTo(container);
}

STDMETHODIMP CConfigConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
    if (cookie == nullptr) {
        return E_POINTER;
    }
    *cookie = 0;
    if (sink == nullptr) {
        return E_POINTER;
    }
    Service().CrashIfAsked(L"Advise");
    return NuvCom::ComBoundary(L"IConnectionPoint::Advise", [&] {
        const Injected injected = Service().BeginCall(L"Advise");
        if (injected.active && FAILED(injected.hr)) {
            return injected.hr;
        }
        Microsoft::WRL::ComPtr<IDispatch> events;
        if (FAILED(sink->QueryInterface(DIID__IQvPSConfigEvents, reinterpret_cast<void**>(events.GetAddressOf())))) {
            return CONNECT_E_CANNOTCONNECT;
        }
        *cookie = Service().Advise(events.Get());
        return S_OK;
    });
}

STDMETHODIMP CConfigConnectionPoint::Unadvise(DWORD cookie) {
    return NuvCom::ComBoundary(L"IConnectionPoint::Unadvise", [&] {
        const Injected injected = Service().BeginCall(L"Unadvise", std::to_wstring(cookie));
        if (injected.active && FAILED(injected.hr)) {
            return injected.hr;
        }
        return Service().Unadvise(cookie);
    });
}

STDMETHODIMP CConfigConnectionPoint::EnumConnections(IEnumConnections** connections) {
    if (connections != nullptr) {
        *connections = nullptr;
    }
    return E_NOTIMPL;
}

}  // namespace QvConfigStandIn
