#include "AlertControlObject.h"

#include "AlertState.h"
#include "alerts.h"

#include "nuvutil/com/Bstr.h"
#include "nuvutil/com/CoInitializeScope.h"
#include "nuvutil/com/ComBoundary.h"
#include "nuvutil/com/Variant.h"

#include <oleauto.h>
#include <wrl/client.h>

#include <cstring>
#include <optional>
#include <string>
#include <thread>

namespace AlertStandIn {

namespace {

using Microsoft::WRL::ComPtr;

HRESULT GetCount(std::size_t count, ULONG* out) {
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = static_cast<ULONG>(count);
    return S_OK;
}

HRESULT CallOnOtherThread(IAlertCallback* callback, BSTR alertId, ULONG sessionId) {
    HRESULT result = E_UNEXPECTED;
    // The component answers on a thread of its own; callbacks are free-threaded, so the pointer
    // is used there as it is.
    std::thread worker([&]() noexcept {
        NuvCom::CCoInitialize com(COINIT_MULTITHREADED);
        result = com.Succeeded() ? callback->OnAlertResponse(alertId, sessionId) : com.Result();
    });
    worker.join();
    return result;
}

// The late-bound road: the callback's dispatch part, described by its type library.
HRESULT CallThroughDispatch(IAlertCallback* callback, BSTR alertId, ULONG sessionId) {
    ComPtr<IDispatch> dispatch;
    HRESULT hr = callback->QueryInterface(IID_PPV_ARGS(&dispatch));
    if (FAILED(hr)) {
        return hr;
    }
    wchar_t name[] = L"OnAlertResponse";
    LPOLESTR names[] = {name};
    DISPID dispId = DISPID_UNKNOWN;
    hr = dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &dispId);
    if (FAILED(hr)) {
        return hr;
    }
    // Arguments go right to left; the BSTR stays the caller's.
    VARIANT arguments[2];
    ::VariantInit(&arguments[0]);
    ::VariantInit(&arguments[1]);
    arguments[0].vt = VT_UI4;
    arguments[0].ulVal = sessionId;
    arguments[1].vt = VT_BSTR;
    arguments[1].bstrVal = alertId;
    DISPPARAMS parameters = {arguments, nullptr, 2, 0};
    NuvCom::CVariant returned;
    EXCEPINFO exception = {};
    UINT argumentError = 0;
    hr = dispatch->Invoke(dispId, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &parameters, returned.Put(),
                          &exception, &argumentError);
    if (hr == DISP_E_EXCEPTION) {
        if (exception.pfnDeferredFillIn != nullptr) {
            exception.pfnDeferredFillIn(&exception);
        }
        NuvCom::CBstr source;
        NuvCom::CBstr description;
        NuvCom::CBstr helpFile;
        source.Reset(exception.bstrSource);
        description.Reset(exception.bstrDescription);
        helpFile.Reset(exception.bstrHelpFile);
        // A failing method comes back as an exception carrying its HRESULT.
        if (FAILED(exception.scode)) {
            hr = exception.scode;
        }
    }
    return hr;
}

}  // namespace

STDMETHODIMP CAlertControlObject::Reset() {
    return NuvCom::ComBoundary(L"CAlertControlObject::Reset", [] {
        CAlertState::Instance().Reset();
        return S_OK;
    });
}

STDMETHODIMP CAlertControlObject::SetCreationResult(HRESULT result) {
    CAlertState::Instance().SetCreationResult(result);
    return S_OK;
}

STDMETHODIMP CAlertControlObject::SetShowResult(HRESULT result) {
    CAlertState::Instance().SetShowResult(result);
    return S_OK;
}

STDMETHODIMP CAlertControlObject::QueueShowResult(HRESULT result) {
    return NuvCom::ComBoundary(L"CAlertControlObject::QueueShowResult", [&] {
        CAlertState::Instance().QueueShowResult(result);
        return S_OK;
    });
}

STDMETHODIMP CAlertControlObject::GetCreationCount(ULONG* count) {
    return GetCount(CAlertState::Instance().CreationCount(), count);
}

STDMETHODIMP CAlertControlObject::GetCreation(ULONG index, QvAlertCreation* creation) {
    if (creation == nullptr) {
        return E_POINTER;
    }
    std::memset(creation, 0, sizeof(*creation));
    return NuvCom::ComBoundary(L"CAlertControlObject::GetCreation", [&] {
        const std::optional<StoredCreation> stored = CAlertState::Instance().Creation(index);
        if (!stored) {
            return E_INVALIDARG;
        }
        creation->path = stored->path;
        creation->interfaceId = stored->interfaceId;
        creation->result = stored->result;
        return S_OK;
    });
}

STDMETHODIMP CAlertControlObject::GetCallCount(ULONG* count) {
    return GetCount(CAlertState::Instance().CallCount(), count);
}

STDMETHODIMP CAlertControlObject::GetCall(ULONG index, QvAlertCall* call) {
    if (call == nullptr) {
        return E_POINTER;
    }
    std::memset(call, 0, sizeof(*call));
    return NuvCom::ComBoundary(L"CAlertControlObject::GetCall", [&] {
        const std::optional<StoredCall> stored = CAlertState::Instance().Call(index);
        if (!stored) {
            return E_INVALIDARG;
        }
        NuvCom::CBstr title(std::wstring_view(stored->title));
        NuvCom::CBstr heading(std::wstring_view(stored->heading));
        NuvCom::CBstr body(std::wstring_view(stored->body));
        NuvCom::CBstr footnote(std::wstring_view(stored->footnote));
        NuvCom::CBstr applicationName(std::wstring_view(stored->applicationName));
        NuvCom::CBstr alertId(std::wstring_view(stored->alertId));
        NuvCom::CBstr buttons = stored->buttons ? NuvCom::CBstr(std::wstring_view(*stored->buttons)) : NuvCom::CBstr();
        NuvCom::CBstr responseText(std::wstring_view(stored->responseText));
        call->method = stored->method;
        call->kind = stored->kind;
        call->count = stored->count;
        call->timeOut = stored->timeOut;
        call->flag1 = stored->flag1;
        call->flag2 = stored->flag2;
        call->callbackPresent = stored->callbackPresent;
        call->result = stored->result;
        call->title = title.Detach();
        call->heading = heading.Detach();
        call->body = body.Detach();
        call->footnote = footnote.Detach();
        call->applicationName = applicationName.Detach();
        call->alertId = alertId.Detach();
        call->buttons = buttons.Detach();
        call->responseText = responseText.Detach();
        return S_OK;
    });
}

STDMETHODIMP CAlertControlObject::InvokeCallback(ULONG callIndex, BSTR alertId, ULONG sessionId,
                                                 QvAlertCallbackPath path, HRESULT* result) {
    if (result == nullptr) {
        return E_POINTER;
    }
    *result = E_UNEXPECTED;
    return NuvCom::ComBoundary(L"CAlertControlObject::InvokeCallback", [&] {
        const std::optional<StoredCall> stored = CAlertState::Instance().Call(callIndex);
        if (!stored || !stored->callback) {
            return E_INVALIDARG;
        }
        const NuvCom::CBstr answeredId = alertId != nullptr ? NuvCom::CBstr(std::wstring_view(alertId, ::SysStringLen(alertId)))
                                                            : NuvCom::CBstr(std::wstring_view(stored->alertId));
        switch (path) {
            case QvAlertCallback_Direct:
                *result = stored->callback->OnAlertResponse(answeredId.Get(), sessionId);
                return S_OK;
            case QvAlertCallback_OtherThread:
                *result = CallOnOtherThread(stored->callback.Get(), answeredId.Get(), sessionId);
                return S_OK;
            case QvAlertCallback_Dispatch:
                *result = CallThroughDispatch(stored->callback.Get(), answeredId.Get(), sessionId);
                return S_OK;
        }
        return E_INVALIDARG;
    });
}

}  // namespace AlertStandIn
