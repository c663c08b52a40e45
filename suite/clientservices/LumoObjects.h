#pragma once
// The SDK's client object (GetAppInfo answers what the tests steer), its class object (creation
// can be made to fail) and the tests' control object.

#include "ClientServicesControl.h"
#include "clientservices.h"

#include "nuvutil/com/ClassFactory.h"
#include "nuvutil/com/ComObject.h"

namespace ClientServicesStandIn {

class CLumoClientObject final : public NuvCom::CComObjectBase<IQvLumoClient> {
public:
    STDMETHODIMP GetAppInfo(BSTR request, BSTR* reply) override;
};

// Creation answers the result tests set (SetCreationResult) and is counted.
HRESULT LumoCreation() noexcept;
using CLumoClassObject = NuvCom::CClassFactory<CLumoClientObject, &LumoCreation>;

class CLumoControlObject final : public NuvCom::CComObjectBase<IQvLumoClientControl> {
public:
    STDMETHODIMP Reset() override;
    STDMETHODIMP SetCreationResult(HRESULT result) override;
    STDMETHODIMP SetCallResult(HRESULT result) override;
    STDMETHODIMP SetReply(BSTR reply) override;
    STDMETHODIMP GetCreationCount(ULONG* count) override;
    STDMETHODIMP GetCallCount(ULONG* count) override;
    STDMETHODIMP GetRequest(ULONG index, BSTR* request) override;
};

}  // namespace ClientServicesStandIn
