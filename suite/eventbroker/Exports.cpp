// The four entry points of the in-process server: the broker class (the suite's class id) and
// the tests' control class.
#include "EventBroker.h"
#include "EventBrokerControl.h"
#include "EventBrokerControlObject.h"
#include "eventbroker.h"

#include "nuvutil/com/ServerExports.h"

namespace {

using EventBrokerStandIn::CEventBrokerClassObject;
using EventBrokerStandIn::CEventBrokerControlObject;

// Both: the plug-in's event threads (multithreaded apartment) and tests in any apartment get
// the objects directly; the interfaces are local and have no proxies.
const NuvCom::ComClassDescription kClasses[] = {
    {__uuidof(EventBroker), L"EventBroker Class", nullptr, nullptr, NuvCom::ThreadingModel::Both, GUID_NULL, false,
     &CEventBrokerClassObject::GetClassObject},
    {__uuidof(EventBrokerControl), L"EventBrokerControl Class", nullptr, nullptr, NuvCom::ThreadingModel::Both,
     GUID_NULL, false, &NuvCom::CClassFactory<CEventBrokerControlObject>::GetClassObject},
};

const NuvCom::ComServerDescription kServer = {kClasses};

}  // namespace

NUVCOM_SERVER_EXPORTS(kServer)
