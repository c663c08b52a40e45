// The four entry points of the in-process server: the alert class (the suite's class id, with
// its own class object) and the tests' control class.
#include "AlertClassObject.h"
#include "AlertControl.h"
#include "AlertControlObject.h"
#include "alerts.h"

#include "nuvutil/com/ClassFactory.h"
#include "nuvutil/com/Module.h"
#include "nuvutil/com/Registration.h"

namespace {

using AlertStandIn::CAlertClassObject;
using AlertStandIn::CAlertControlObject;

const NuvCom::ClassObjectEntry kClassObjects[] = {
    {__uuidof(QvAlert), &CAlertClassObject::GetClassObject},
    {__uuidof(QvAlertControl), &NuvCom::CClassFactory<CAlertControlObject>::GetClassObject},
};

// Both: callers in any apartment get the objects directly. Registering the type library
// (AlerterLib, resource 1) also gives IQvAlert and IAlertCallback their automation marshaling.
const NuvCom::ComClassDescription kClasses[] = {
    {__uuidof(QvAlert), L"QvAlert Class", nullptr, nullptr, NuvCom::ThreadingModel::Both, GUID_NULL, true},
    {__uuidof(QvAlertControl), L"QvAlertControl Class", nullptr, nullptr, NuvCom::ThreadingModel::Both, GUID_NULL,
     false},
};

}  // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    return NuvCom::GetClassObject(kClassObjects, clsid, riid, ppv);
}

STDAPI DllCanUnloadNow() { return NuvCom::CModule::CanUnloadNow(); }

STDAPI DllRegisterServer() { return NuvCom::RegisterServer(kClasses); }

STDAPI DllUnregisterServer() { return NuvCom::UnregisterServer(kClasses); }
