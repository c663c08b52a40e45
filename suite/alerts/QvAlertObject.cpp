#include "QvAlertObject.h"

#include "AlertState.h"
#include "VariantText.h"

#include "nuvutil/com/ComBoundary.h"

#include <oleauto.h>

#include <string>
#include <utility>

namespace AlertStandIn {

namespace {

// The text with its BSTR length: a plain wide string passed where a BSTR belongs shows up.
std::wstring Text(BSTR text) { return std::wstring(text ? text : L"", ::SysStringLen(text)); }

StoredCall CommonArguments(QvAlertMethod method, BSTR title, BSTR heading, BSTR body, BSTR footnote,
                           BSTR applicationName, BSTR alertId, LONG kind, LONG count, LONG timeOut,
                           VARIANT_BOOL flag1, VARIANT_BOOL flag2) {
    StoredCall call;
    call.method = method;
    call.title = Text(title);
    call.heading = Text(heading);
    call.body = Text(body);
    call.footnote = Text(footnote);
    call.applicationName = Text(applicationName);
    call.alertId = Text(alertId);
    call.kind = kind;
    call.count = count;
    call.timeOut = timeOut;
    call.flag1 = flag1;
    call.flag2 = flag2;
    return call;
}

HRESULT Record(StoredCall call) {
    CAlertState& state = CAlertState::Instance();
    call.result = state.TakeShowResult();
    if (FAILED(call.result)) {
        call.callback.Reset();  // an alert that was not shown is never answered
    }
    const HRESULT result = call.result;
    state.RecordCall(std::move(call));
    return result;
}

}  // namespace

STDMETHODIMP CQvAlertObject::ShowAlert(BSTR title, BSTR heading, BSTR body, BSTR footnote, BSTR applicationName,
                                       BSTR alertId, LONG kind, LONG count, LONG timeOut, VARIANT_BOOL flag1,
                                       VARIANT_BOOL flag2) {
    return NuvCom::ComBoundary(L"CQvAlertObject::ShowAlert", [&] {
        return Record(CommonArguments(QvAlertMethod_ShowAlert, title, heading, body, footnote, applicationName,
                                      alertId, kind, count, timeOut, flag1, flag2));
    });
}

STDMETHODIMP CQvAlertObject::ShowAlertWithButtons(BSTR title, BSTR heading, BSTR body, BSTR footnote,
                                                  BSTR applicationName, BSTR alertId, LONG kind, LONG count,
                                                  LONG timeOut, VARIANT* buttons, VARIANT_BOOL flag1,
                                                  VARIANT_BOOL flag2) {
    return NuvCom::ComBoundary(L"CQvAlertObject::ShowAlertWithButtons", [&] {
        StoredCall call = CommonArguments(QvAlertMethod_ShowAlertWithButtons, title, heading, body, footnote,
                                          applicationName, alertId, kind, count, timeOut, flag1, flag2);
        if (buttons != nullptr) {
            call.buttons = DescribeVariant(*buttons);
        }
        return Record(std::move(call));
    });
}

STDMETHODIMP CQvAlertObject::ShowAlertWithCallback(BSTR title, BSTR heading, BSTR body, BSTR footnote,
                                                   BSTR applicationName, BSTR alertId, LONG kind, LONG count,
                                                   LONG timeOut, VARIANT_BOOL flag1, VARIANT_BOOL flag2,
                                                   IAlertCallback* callback, BSTR responseText) {
    return NuvCom::ComBoundary(L"CQvAlertObject::ShowAlertWithCallback", [&] {
        StoredCall call = CommonArguments(QvAlertMethod_ShowAlertWithCallback, title, heading, body, footnote,
                                          applicationName, alertId, kind, count, timeOut, flag1, flag2);
        call.callbackPresent = callback != nullptr;
        call.callback = callback;
        call.responseText = Text(responseText);
        return Record(std::move(call));
    });
}

}  // namespace AlertStandIn
