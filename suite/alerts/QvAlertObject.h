#pragma once
// The alert object: records every show call and answers the result tests steer.

#include "alerts.h"

#include "nuvutil/com/ComObject.h"
#include "nuvutil/com/DispatchImpl.h"

namespace AlertStandIn {

class CQvAlertObject final : public NuvCom::CComObjectBase<NuvCom::CDispatchImpl<IQvAlert>> {
public:
    STDMETHODIMP ShowAlert(BSTR title, BSTR heading, BSTR body, BSTR footnote, BSTR applicationName, BSTR alertId,
                           LONG kind, LONG count, LONG timeOut, VARIANT_BOOL flag1, VARIANT_BOOL flag2) override;
    STDMETHODIMP ShowAlertWithButtons(BSTR title, BSTR heading, BSTR body, BSTR footnote, BSTR applicationName,
                                      BSTR alertId, LONG kind, LONG count, LONG timeOut, VARIANT* buttons,
                                      VARIANT_BOOL flag1, VARIANT_BOOL flag2) override;
    STDMETHODIMP ShowAlertWithCallback(BSTR title, BSTR heading, BSTR body, BSTR footnote, BSTR applicationName,
                                       BSTR alertId, LONG kind, LONG count, LONG timeOut, VARIANT_BOOL flag1,
                                       VARIANT_BOOL flag2, IAlertCallback* callback, BSTR responseText) override;
};

}  // namespace AlertStandIn
