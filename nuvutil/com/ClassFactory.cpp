#include "nuvutil/com/ClassFactory.h"

namespace NuvCom {

HRESULT GetClassObject(const ClassObjectEntry* entries, std::size_t count, REFCLSID clsid, REFIID riid,
                       void** ppv) noexcept {
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        if (::IsEqualCLSID(entries[i].clsid, clsid)) {
            return entries[i].getClassObject(riid, ppv);
        }
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

}  // namespace NuvCom
