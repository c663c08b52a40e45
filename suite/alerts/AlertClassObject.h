#pragma once
// The class object of QvAlert. Besides IClassFactory it answers IQvAlertFactory, which callers
// reach by binding a session moniker to the class ("Session:<n>!clsid:<class>"). Both creation
// roads are recorded and answer the creation result tests steer.

#include "alerts.h"

#include <windows.h>
#include <unknwn.h>

namespace AlertStandIn {

class CAlertClassObject final : public IClassFactory, public IQvAlertFactory {
public:
    static HRESULT GetClassObject(REFIID riid, void** ppv) noexcept;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    STDMETHODIMP LockServer(BOOL lock) override;

    STDMETHODIMP CreateAlert(REFIID riid, void** alert) override;

private:
    constexpr CAlertClassObject() noexcept = default;
};

}  // namespace AlertStandIn
