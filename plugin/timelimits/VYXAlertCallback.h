#pragma once
// The answer channel of the "blocked due to time restriction" alert: the user can silence further
// alerts of the session until the next restriction is applied. The alert component calls it from
// its own threads; the object lives in the host-firewall thread's multithreaded apartment.

#include "alerts.h"

#include "nuvutil/com/ComObject.h"
#include "plugin/services/FirewallModule.h"

#include <windows.h>
#include <oaidl.h>

class CVYXAlertCallback final : public NuvCom::CComObjectBase<NuvCom::InterfaceChain<IAlertCallback, IDispatch>> {
public:
    // The alert id of the "do not show again" answer.
    static constexpr const wchar_t* kSilenceAlertsId = L"FC7D8764-3A40-4e61-B6A6-E1C9BCCB0710";

    explicit CVYXAlertCallback(IFirewallModule& module) noexcept : m_module(module) {}

    // The component answers through the vtable; the plug-in embeds no AlerterLib type library,
    // so late binding is not offered.
    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT index, LCID locale, ITypeInfo** typeInfo) override;
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID locale, DISPID* ids) override;
    STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID locale, WORD flags, DISPPARAMS* parameters, VARIANT* result,
                        EXCEPINFO* exception, UINT* argumentError) override;

    // The silence answer sets the session's flag to 0: S_OK. Any other alert id: E_NOTIMPL.
    STDMETHODIMP OnAlertResponse(BSTR alertId, ULONG sessionId) override;

private:
    IFirewallModule& m_module;
};
