// The entry points of the NuvConfig stand-in's in-process server.
#include "LegacyConfigObject.h"
#include "nuvconfig.h"

#include "nuvutil/com/ServerExports.h"

namespace {

// The component's ProgIDs are not known; these are ours. Threading model Both: the settings
// server calls the object from its task threads without marshalling it.
const NuvCom::ComClassDescription kClasses[] = {
    {__uuidof(NuvConfig), L"NuvConfig Class", L"Nuv.NuvConfig.1", L"Nuv.NuvConfig", NuvCom::ThreadingModel::Both,
     GUID_NULL, true, &NuvCom::CClassFactory<CLegacyConfigObject>::GetClassObject},
};

const NuvCom::ComServerDescription kServer = {kClasses};

}  // namespace

NUVCOM_SERVER_EXPORTS(kServer)
