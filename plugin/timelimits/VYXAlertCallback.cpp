#include "plugin/timelimits/VYXAlertCallback.h"

#include "nuvutil/com/Bstr.h"
#include "plugin/services/SessionAlertFlags.h"

#include <oleauto.h>

STDMETHODIMP CVYXAlertCallback::GetTypeInfoCount(UINT* count) {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    return S_OK;
}

STDMETHODIMP CVYXAlertCallback::GetTypeInfo(UINT, LCID, ITypeInfo** typeInfo) {
    if (typeInfo != nullptr) *typeInfo = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP CVYXAlertCallback::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return E_NOTIMPL; }

STDMETHODIMP CVYXAlertCallback::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) {
    return E_NOTIMPL;
}

STDMETHODIMP CVYXAlertCallback::OnAlertResponse(BSTR alertId, ULONG sessionId) {
    return NuvCom::ComBoundary(L"CVYXAlertCallback::OnAlertResponse", [&]() -> HRESULT {
        const NuvCom::CBstr silence(kSilenceAlertsId);
        if (::VarBstrCmp(alertId, silence.Get(), LOCALE_USER_DEFAULT, 0) != VARCMP_EQ) return E_NOTIMPL;
        if (CSessionAlertFlags* flags = m_module.GetSessionAlertFlags()) flags->Set(sessionId, 0);
        return S_OK;
    });
}
