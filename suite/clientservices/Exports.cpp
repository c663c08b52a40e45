// The four entry points of the in-process server: the SDK's client class (the suite's class id)
// and the tests' control class.
#include "LumoObjects.h"

#include "nuvutil/com/ClassFactory.h"
#include "nuvutil/com/Module.h"
#include "nuvutil/com/Registration.h"

namespace {

using ClientServicesStandIn::CLumoClassObject;
using ClientServicesStandIn::CLumoControlObject;

const NuvCom::ClassObjectEntry kClassObjects[] = {
    {__uuidof(QvLumoClient), &CLumoClassObject::GetClassObject},
    {__uuidof(QvLumoClientControl), &NuvCom::CClassFactory<CLumoControlObject>::GetClassObject},
};

// Both: callers in either apartment get the objects directly, without marshaling.
const NuvCom::ComClassDescription kClasses[] = {
    {__uuidof(QvLumoClient), L"QvLumoClient Class", nullptr, nullptr, NuvCom::ThreadingModel::Both, GUID_NULL, false},
    {__uuidof(QvLumoClientControl), L"QvLumoClientControl Class", nullptr, nullptr, NuvCom::ThreadingModel::Both,
     GUID_NULL, false},
};

}  // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    return NuvCom::GetClassObject(kClassObjects, clsid, riid, ppv);
}

STDAPI DllCanUnloadNow() { return NuvCom::CModule::CanUnloadNow(); }

STDAPI DllRegisterServer() { return NuvCom::RegisterServer(kClasses); }

STDAPI DllUnregisterServer() { return NuvCom::UnregisterServer(kClasses); }
