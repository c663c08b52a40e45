// The four entry points of the in-process server: the alert class (the suite's class id, with
// its own class object) and the tests' control class.
#include "AlertClassObject.h"
#include "AlertControl.h"
#include "AlertControlObject.h"
#include "alerts.h"

#include "nuvutil/com/ServerExports.h"

namespace {

using AlertStandIn::CAlertClassObject;
using AlertStandIn::CAlertControlObject;

// Both: callers in any apartment get the objects directly. Registering the type library
// (AlerterLib, resource 1) also gives IQvAlert and IAlertCallback their automation marshaling.
const NuvCom::ComClassDescription kClasses[] = {
    {__uuidof(QvAlert), L"QvAlert Class", nullptr, nullptr, NuvCom::ThreadingModel::Both, GUID_NULL, true,
     &CAlertClassObject::GetClassObject},
    {__uuidof(QvAlertControl), L"QvAlertControl Class", nullptr, nullptr, NuvCom::ThreadingModel::Both, GUID_NULL,
     false, &NuvCom::CClassFactory<CAlertControlObject>::GetClassObject},
};

const NuvCom::ComServerDescription kServer = {kClasses};

}  // namespace

NUVCOM_SERVER_EXPORTS(kServer)
