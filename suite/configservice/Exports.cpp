// The entry points of the stand-in configuration service, an in-process COM server.
#include "ConfigObject.h"
#include "StateFile.h"
#include "configservice.h"

#include "nuvutil/com/ServerExports.h"

namespace {

// The ProgIDs are ours: the suite's clients create the class by CLSID.
const NuvCom::ComClassDescription kClasses[] = {
    {__uuidof(QvPSConfig), L"QvPSConfig Class", L"QvPSConfig.QvPSConfig.1", L"QvPSConfig.QvPSConfig",
     NuvCom::ThreadingModel::Both, GUID_NULL, true,
     &NuvCom::CClassFactory<QvConfigStandIn::CQvPSConfig>::GetClassObject},
};

const NuvCom::ComServerDescription kServer = {kClasses};

}  // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    if (QvConfigStandIn::IsServiceUnavailable()) {
        if (ppv != nullptr) *ppv = nullptr;
        return REGDB_E_CLASSNOTREG;
    }
    return NuvCom::GetClassObject(kServer, clsid, riid, ppv);
}

// Never unloaded: the service's users, sign-ins and subscribers live as long as the process, like
// those of the real service, and its notification thread runs code of this DLL.
STDAPI DllCanUnloadNow() { return S_FALSE; }

STDAPI DllRegisterServer() { return NuvCom::RegisterServer(kServer); }

STDAPI DllUnregisterServer() { return NuvCom::UnregisterServer(kServer); }
