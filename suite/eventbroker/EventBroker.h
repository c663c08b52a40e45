#pragma once
// The broker: hands out the handler registered for the application "NUV" and an interface id, as
// the tests steer it, and records every request.

#include "eventbroker.h"

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
class CEventBrokerClassObject final : public IClassFactory {
public:
    static HRESULT GetClassObject(REFIID riid, void** ppv) noexcept;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    STDMETHODIMP LockServer(BOOL lock) override;

private:
    constexpr CEventBrokerClassObject() noexcept = default;
};

}  // namespace EventBrokerStandIn
