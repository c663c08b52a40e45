#pragma once
// IDispatch for a dual interface, answered from the type library embedded in the module
// (resource 1). Use it as an entry of CComObjectBase:
//
//     class CThing final : public NuvCom::CComObjectBase<NuvCom::CDispatchImpl<IThing>> {...};


#include "base/Sync.h"

#include <windows.h>
#include <oaidl.h>
#include <oleauto.h>
#include <wrl/client.h>

namespace NuvCom {

// The ITypeInfo of one interface from the module's type library, loaded on first use and kept.
// A failed load is not kept: the next call tries again.
class CTypeInfoHolder {
public:
    explicit CTypeInfoHolder(const IID& iid) noexcept : m_iid(iid) {}
    CTypeInfoHolder(const CTypeInfoHolder&) = delete;
    CTypeInfoHolder& operator=(const CTypeInfoHolder&) = delete;

    // AddRef'd type information; TYPE_E_ELEMENTNOTFOUND when the library does not describe the interface.
    HRESULT Get(ITypeInfo** typeInfo) noexcept;

private:
    IID m_iid;
    Tessal::CSRWLock m_lock;
    Microsoft::WRL::ComPtr<ITypeInfo> m_typeInfo;
};

template <class DualInterface>
class CDispatchImpl : public DualInterface {
public:
    using ComInterface = DualInterface;
    static bool AnswersFor(REFIID riid) noexcept {
        return ::IsEqualIID(riid, __uuidof(DualInterface)) || ::IsEqualIID(riid, __uuidof(IDispatch));
    }

    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        if (count == nullptr) {
            return E_POINTER;
        }
        *count = 1;
        return S_OK;
    }

    STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** typeInfo) override {
        if (typeInfo == nullptr) {
            return E_POINTER;
        }
        *typeInfo = nullptr;
        if (index != 0) {
            return DISP_E_BADINDEX;
        }
        return Holder().Get(typeInfo);
    }

    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* dispIds) override {
        if (!::IsEqualIID(riid, IID_NULL)) {
            return DISP_E_UNKNOWNINTERFACE;
        }
        Microsoft::WRL::ComPtr<ITypeInfo> typeInfo;
        const HRESULT hr = Holder().Get(&typeInfo);
        if (FAILED(hr)) {
            return hr;
        }
        return ::DispGetIDsOfNames(typeInfo.Get(), names, count, dispIds);
    }

    STDMETHODIMP Invoke(DISPID dispId, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* excepInfo, UINT* argError) override {
        if (!::IsEqualIID(riid, IID_NULL)) {
            return DISP_E_UNKNOWNINTERFACE;
        }
        Microsoft::WRL::ComPtr<ITypeInfo> typeInfo;
        const HRESULT hr = Holder().Get(&typeInfo);
        if (FAILED(hr)) {
            return hr;
        }
        return ::DispInvoke(static_cast<DualInterface*>(this), typeInfo.Get(), dispId, flags, params, result,
                            excepInfo, argError);
    }

private:
    static CTypeInfoHolder& Holder() noexcept {
        static CTypeInfoHolder holder(__uuidof(DualInterface));
        return holder;
    }
};

}  // namespace NuvCom
