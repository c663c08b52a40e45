// The entry points of the NuvConfig stand-in's in-process server.
#include "LegacyConfigObject.h"
#include "nuvconfig.h"

#include "nuvutil/com/ClassFactory.h"
#include "nuvutil/com/Module.h"
#include "nuvutil/com/Registration.h"

namespace {

const NuvCom::ClassObjectEntry kClassObjects[] = {
    {__uuidof(NuvConfig), &NuvCom::CClassFactory<CLegacyConfigObject>::GetClassObject},
};

// The component's ProgIDs are not known; these are ours. Threading model Both: the settings
// server calls the object from its task threads without marshalling it.
const NuvCom::ComClassDescription kClasses[] = {
    {__uuidof(NuvConfig), L"NuvConfig Class", L"Nuv.NuvConfig.1", L"Nuv.NuvConfig", NuvCom::ThreadingModel::Both,
     GUID_NULL, true},
};

}  // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    return NuvCom::GetClassObject(kClassObjects, clsid, riid, ppv);
}

STDAPI DllCanUnloadNow() { return NuvCom::CModule::CanUnloadNow(); }

STDAPI DllRegisterServer() { return NuvCom::RegisterServer(kClasses); }

STDAPI DllUnregisterServer() { return NuvCom::UnregisterServer(kClasses); }
