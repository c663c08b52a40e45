#pragma once
// Class objects handed out by DllGetClassObject. A class object does not keep the module loaded by
// itself (COM's rule): clients that keep one call LockServer(TRUE).
//
//     STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
//         return NuvCom::GetClassObject(kServer, clsid, riid, ppv);  // the server's table (Registration.h)
//     }

#include "nuvutil/com/ComObject.h"
#include "nuvutil/com/Module.h"
#include "nuvutil/com/Registration.h"

#include <windows.h>
#include <unknwn.h>

#include <cstddef>

namespace NuvCom {

inline HRESULT AlwaysCreate() noexcept { return S_OK; }

// T: default-constructible, reference-counted (CComObjectBase). Aggregation is refused.
// Gate: asked before each creation; its failure is returned instead of an object (the suite's
// stand-ins let tests make creation fail through it).
template <class T, HRESULT (*Gate)() noexcept = &AlwaysCreate>
class CClassFactory final : public IClassFactory {
public:
    static HRESULT GetClassObject(REFIID riid, void** ppv) noexcept {
        // One stateless instance per class, alive as long as the module.
        static CClassFactory factory;
        return factory.QueryInterface(riid, ppv);
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        if (::IsEqualIID(riid, __uuidof(IUnknown)) || ::IsEqualIID(riid, __uuidof(IClassFactory))) {
            *ppv = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        if (outer != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        const HRESULT gate = Gate();
        if (FAILED(gate)) {
            return gate;
        }
        return CreateComObject<T>(riid, ppv);
    }

    STDMETHODIMP LockServer(BOOL lock) override {
        if (lock) {
            CModule::Lock();
        } else {
            CModule::Unlock();
        }
        return S_OK;
    }

private:
    constexpr CClassFactory() noexcept = default;
};

// The class object of a class of the server's table; CLASS_E_CLASSNOTAVAILABLE for a class it
// does not hand out.
HRESULT GetClassObject(const ComServerDescription& server, REFCLSID clsid, REFIID riid, void** ppv) noexcept;

}  // namespace NuvCom
