#include "Categories.h"

#include "nuvutil/com/ComBoundary.h"
#include "nuvutil/com/HResultError.h"

#include <algorithm>
#include <string>

namespace QvConfigStandIn {

void PutCategory(const CategoryPtr& data, VARIANT* value) {
    auto category = NuvCom::MakeComObject<CConfigCategory>(data);
    IDispatch* dispatch = nullptr;
    NuvCom::ThrowIfFailed(category->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)),
                          "QueryInterface(IDispatch)");
    value->vt = VT_DISPATCH;
    value->pdispVal = dispatch;
}

STDMETHODIMP CConfigCategory::Get(LONG settingId, VARIANT* value, LONG* status) {
    if (value == nullptr || status == nullptr) {
        return E_POINTER;
    }
    ::VariantInit(value);
    return NuvCom::ComBoundary(L"IConfigSettings::Get", [&] {
        CConfigService& service = CConfigService::Instance();
        const Injected injected = service.BeginCall(L"IConfigSettings.Get", std::to_wstring(settingId), m_data->name);
        if (injected.active && FAILED(injected.hr)) {
            *status = injected.status;
            return injected.hr;
        }
        *status = service.ReadSetting(m_data, settingId, value) ? QV_CONFIG_STATUS_OK : QV_CONFIG_STATUS_FAILED;
        if (injected.active) {
            *status = injected.status;  // the value stays: a caller that ignores the status is caught
            return injected.hr;
        }
        return S_OK;
    });
}

STDMETHODIMP CUserCollection::get__NewEnum(IUnknown** enumerator) {
    if (enumerator == nullptr) {
        return E_POINTER;
    }
    *enumerator = nullptr;
    return NuvCom::ComBoundary(L"IConfigCollection::get__NewEnum", [&] {
        CConfigService& service = CConfigService::Instance();
        const Injected injected = service.BeginCall(L"IConfigCollection._NewEnum");
        if (injected.active && FAILED(injected.hr)) {
            return injected.hr;
        }
        auto users = NuvCom::MakeComObject<CUserEnumerator>(service.Users(), 0);
        const HRESULT hr = users->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(enumerator));
        return FAILED(hr) || !injected.active ? hr : injected.hr;
    });
}

STDMETHODIMP CUserEnumerator::Next(ULONG count, VARIANT* elements, ULONG* fetched) {
    if (elements == nullptr && count != 0) {
        return E_POINTER;
    }
    if (fetched != nullptr) {
        *fetched = 0;
    }
    return NuvCom::ComBoundary(L"IEnumVARIANT::Next", [&]() -> HRESULT {
        const Injected injected = CConfigService::Instance().BeginCall(L"IEnumVARIANT.Next", std::to_wstring(count));
        if (injected.active) {
            return injected.hr;  // as an end (S_FALSE) or an error, nothing handed out
        }
        ULONG done = 0;
        try {
            for (; done < count && m_position < m_users.size(); ++done, ++m_position) {
                ::VariantInit(&elements[done]);
                PutCategory(m_users[m_position], &elements[done]);
            }
        } catch (...) {
            for (ULONG i = 0; i < done; ++i) {
                ::VariantClear(&elements[i]);
            }
            throw;
        }
        if (fetched != nullptr) {
            *fetched = done;
        }
        return done == count ? S_OK : S_FALSE;
    });
}

STDMETHODIMP CUserEnumerator::Skip(ULONG count) {
    const std::size_t left = m_users.size() - m_position;
    m_position += std::min<std::size_t>(count, left);
    return count <= left ? S_OK : S_FALSE;
}

STDMETHODIMP CUserEnumerator::Reset() {
    m_position = 0;
    return S_OK;
}

STDMETHODIMP CUserEnumerator::Clone(IEnumVARIANT** clone) {
    if (clone == nullptr) {
        return E_POINTER;
    }
    *clone = nullptr;
    return NuvCom::ComBoundary(L"IEnumVARIANT::Clone", [&] {
        *clone = NuvCom::MakeComObject<CUserEnumerator>(m_users, m_position).Detach();
        return S_OK;
    });
}

}  // namespace QvConfigStandIn
