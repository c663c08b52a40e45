#include "nuvutil/com/DispatchImpl.h"

#include "nuvutil/com/Module.h"

namespace NuvCom {

HRESULT CTypeInfoHolder::Get(ITypeInfo** typeInfo) noexcept {
    if (typeInfo == nullptr) {
        return E_POINTER;
    }
    *typeInfo = nullptr;
    {
        Tessal::CSharedLock shared(m_lock);
        if (m_typeInfo) {
            return m_typeInfo.CopyTo(typeInfo);
        }
    }
    Tessal::CExclusiveLock exclusive(m_lock);
    if (!m_typeInfo) {
        Microsoft::WRL::ComPtr<ITypeLib> typeLibrary;
        HRESULT hr = CModule::LoadTypeLibrary(&typeLibrary);
        if (FAILED(hr)) {
            return hr;
        }
        hr = typeLibrary->GetTypeInfoOfGuid(m_iid, &m_typeInfo);
        if (FAILED(hr)) {
            return hr;
        }
    }
    return m_typeInfo.CopyTo(typeInfo);
}

}  // namespace NuvCom
