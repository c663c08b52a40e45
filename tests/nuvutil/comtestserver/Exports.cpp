// The four entry points of an in-process server, from its one table.
#include "ComTestObject.h"
#include "NuvComTest.h"
#include "nuvutil/com/ServerExports.h"

namespace {

// {765ea576-5b2a-4e59-a7c2-475ec3089374}
constexpr GUID kAppId = {0x765ea576, 0x5b2a, 0x4e59, {0xa7, 0xc2, 0x47, 0x5e, 0xc3, 0x08, 0x93, 0x74}};

const NuvCom::ComClassDescription kClasses[] = {
    {__uuidof(NuvComTest), L"NuvComTest Class", L"NuvTest.ComTest.1", L"NuvTest.ComTest",
     NuvCom::ThreadingModel::Both, kAppId, true, &NuvCom::CClassFactory<CComTestObject>::GetClassObject},
};

const NuvCom::ComServerDescription kServer = {kClasses, {kAppId, L"NuvComTest Class"}};

}  // namespace

NUVCOM_SERVER_EXPORTS(kServer)
