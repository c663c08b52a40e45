#pragma once
// IQvAlertControl over the process's one stand-in state.

#include "AlertControl.h"

#include "nuvutil/com/ComObject.h"

namespace AlertStandIn {

class CAlertControlObject final : public NuvCom::CComObjectBase<IQvAlertControl> {
public:
    STDMETHODIMP Reset() override;
    STDMETHODIMP SetCreationResult(HRESULT result) override;
    STDMETHODIMP SetShowResult(HRESULT result) override;
    STDMETHODIMP QueueShowResult(HRESULT result) override;
    STDMETHODIMP GetCreationCount(ULONG* count) override;
    STDMETHODIMP GetCreation(ULONG index, QvAlertCreation* creation) override;
    STDMETHODIMP GetCallCount(ULONG* count) override;
    STDMETHODIMP GetCall(ULONG index, QvAlertCall* call) override;
    STDMETHODIMP InvokeCallback(ULONG callIndex, BSTR alertId, ULONG sessionId, QvAlertCallbackPath path,
                                HRESULT* result) override;
};

}  // namespace AlertStandIn
