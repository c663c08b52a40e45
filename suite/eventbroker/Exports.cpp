// The four entry points of the in-process server: the broker class (the suite's class id) and
// the tests' control class.
#include "EventBroker.h"
#include "EventBrokerControl.h"
#include "EventBrokerControlObject.h"
#include "eventbroker.h"

#include "nuvutil/com/ClassFactory.h"
#include "nuvutil/com/Module.h"
#include "nuvutil/com/Registration.h"

namespace {

using EventBrokerStandIn::CEventBrokerClassObject;
using EventBrokerStandIn::CEventBrokerControlObject;

const NuvCom::ClassObjectEntry kClassObjects[] = {
    {__uuidof(EventBroker), &CEventBrokerClassObject::GetClassObject},
    {__uuidof(EventBrokerControl), &NuvCom::CClassFactory<CEventBrokerControlObject>::GetClassObject},
};

// Both: the plug-in's event threads (multithreaded apartment) and tests in any apartment get
// the objects directly; the interfaces are local and have no proxies.
const NuvCom::ComClassDescription kClasses[] = {
    {__uuidof(EventBroker), L"EventBroker Class", nullptr, nullptr, NuvCom::ThreadingModel::Both, GUID_NULL, false},
    {__uuidof(EventBrokerControl), L"EventBrokerControl Class", nullptr, nullptr, NuvCom::ThreadingModel::Both,
     GUID_NULL, false},
};

}  // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    return NuvCom::GetClassObject(kClassObjects, clsid, riid, ppv);
}

STDAPI DllCanUnloadNow() { return NuvCom::CModule::CanUnloadNow(); }

STDAPI DllRegisterServer() { return NuvCom::RegisterServer(kClasses); }

STDAPI DllUnregisterServer() { return NuvCom::UnregisterServer(kClasses); }
