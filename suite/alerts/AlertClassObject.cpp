#include "AlertClassObject.h"

#include "AlertState.h"
#include "QvAlertObject.h"

#include "nuvutil/com/Module.h"

namespace AlertStandIn {

namespace {

HRESULT Create(QvAlertCreationPath path, REFIID riid, void** ppv) noexcept {
    CAlertState& state = CAlertState::Instance();
    HRESULT result = state.CreationResult();
    if (SUCCEEDED(result)) {
        result = NuvCom::CreateComObject<CQvAlertObject>(riid, ppv);
    }
    NuvCom::ComBoundary(L"CAlertClassObject::Create", [&] {
        state.RecordCreation({path, riid, result});
        return S_OK;
    });
    return result;
}

}  // namespace

HRESULT CAlertClassObject::GetClassObject(REFIID riid, void** ppv) noexcept {
    // One stateless instance, alive as long as the module.
    static CAlertClassObject classObject;
    return classObject.QueryInterface(riid, ppv);
}

STDMETHODIMP CAlertClassObject::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) {
        return E_POINTER;
    }
    if (::IsEqualIID(riid, __uuidof(IUnknown)) || ::IsEqualIID(riid, __uuidof(IClassFactory))) {
        *ppv = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    if (::IsEqualIID(riid, __uuidof(IQvAlertFactory))) {
        *ppv = static_cast<IQvAlertFactory*>(this);
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP CAlertClassObject::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    if (outer != nullptr) {
        return CLASS_E_NOAGGREGATION;
    }
    return Create(QvAlertCreation_ClassFactory, riid, ppv);
}

STDMETHODIMP CAlertClassObject::LockServer(BOOL lock) {
    if (lock) {
        NuvCom::CModule::Lock();
    } else {
        NuvCom::CModule::Unlock();
    }
    return S_OK;
}

STDMETHODIMP CAlertClassObject::CreateAlert(REFIID riid, void** alert) {
    if (alert == nullptr) {
        return E_POINTER;
    }
    *alert = nullptr;
    return Create(QvAlertCreation_AlertFactory, riid, alert);
}

}  // namespace AlertStandIn
