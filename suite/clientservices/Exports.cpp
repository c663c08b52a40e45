// The four entry points of the in-process server: the SDK's client class (the suite's class id)
// and the tests' control class.
#include "LumoObjects.h"

#include "nuvutil/com/ServerExports.h"

namespace {

using ClientServicesStandIn::CLumoClassObject;
using ClientServicesStandIn::CLumoControlObject;

// Both: callers in either apartment get the objects directly, without marshaling.
const NuvCom::ComClassDescription kClasses[] = {
    {__uuidof(QvLumoClient), L"QvLumoClient Class", nullptr, nullptr, NuvCom::ThreadingModel::Both, GUID_NULL, false,
     &CLumoClassObject::GetClassObject},
    {__uuidof(QvLumoClientControl), L"QvLumoClientControl Class", nullptr, nullptr, NuvCom::ThreadingModel::Both,
     GUID_NULL, false, &NuvCom::CClassFactory<CLumoControlObject>::GetClassObject},
};

const NuvCom::ComServerDescription kServer = {kClasses};

}  // namespace

NUVCOM_SERVER_EXPORTS(kServer)
