#pragma once
// The SDK's client object (GetAppInfo answers what the tests steer), its class object (creation
// can be made to fail) and the tests' control object.

#include "ClientServicesControl.h"
#include "clientservices.h"

#include "nuvutil/com/ComObject.h"

namespace ClientServicesStandIn {

class CLumoClientObject final : public NuvCom::CComObjectBase<IQvLumoClient> {
public:
    STDMETHODIMP GetAppInfo(BSTR request, BSTR* reply) override;
};

class CLumoClassObject final : public IClassFactory {
public:
    static HRESULT GetClassObject(REFIID riid, void** ppv) noexcept;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    STDMETHODIMP LockServer(BOOL lock) override;
};

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
