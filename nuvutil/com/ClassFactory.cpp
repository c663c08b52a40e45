#include "nuvutil/com/ClassFactory.h"

namespace NuvCom {

HRESULT GetClassObject(const ComServerDescription& server, REFCLSID clsid, REFIID riid, void** ppv) noexcept {
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    for (const ComClassDescription& c : server.classes) {
        if (::IsEqualCLSID(c.clsid, clsid)) {
            return c.getClassObject != nullptr ? c.getClassObject(riid, ppv) : CLASS_E_CLASSNOTAVAILABLE;
        }
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

}  // namespace NuvCom
