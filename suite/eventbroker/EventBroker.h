#pragma once
// The broker: hands out the handler registered for the application "NUV" and an interface id, as
// the tests steer it, and records every request.

#include "eventbroker.h"

#include "nuvutil/com/ClassFactory.h"
#include "nuvutil/com/ComObject.h"

#include <windows.h>
#include <unknwn.h>

namespace EventBrokerStandIn {

class CEventBroker final : public NuvCom::CComObjectBase<IEventBroker> {
public:
    STDMETHODIMP GetHandler(LPCWSTR applicationName, LPCWSTR interfaceIdText, void* context, DWORD flags,
                            const IID* interfaceId, IUnknown** handler, DWORD* status) override;
};

// The broker's class object: creation answers the result tests set (SetCreationResult), so
// that a caller can meet a broker that cannot be created.
HRESULT BrokerCreation() noexcept;
using CEventBrokerClassObject = NuvCom::CClassFactory<CEventBroker, &BrokerCreation>;

}  // namespace EventBrokerStandIn
