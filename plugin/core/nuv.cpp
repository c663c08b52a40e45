// The Nuv DLL's entry points: the module object's life, the class object of NuvPlugin, COM
// registration, and the problem-report export for the suite's components.
#include "logging/Logging.h"
#include "nuvutil/com/ClassFactory.h"
#include "nuvutil/com/ComBoundary.h"
#include "nuvutil/com/CoInitializeScope.h"
#include "nuvutil/com/Module.h"
#include "plugin/core/NuvModule.h"
#include "plugin/core/NuvPlugin.h"
#include "plugin/core/NuvRegistration.h"
#include "plugin/core/TimeZoneCheck.h"
#include "plugin/filter/WebFilter.h"
#include "plugin/timelimits/TimeLimits.h"

#include <exception>
#include <memory>
#include <string>

namespace {

// Made at process attach so that a failure to build it fails the load instead of the process.
// The subsystems come before the module: its scan queue releases leftover work through web
// filtering when it is destroyed.
struct PluginObjects {
    CTimeZoneCheck timeZoneCheck;
    CWebFilter filter;
    CTimeLimits timeLimits;
    CNuvModule module;

    CNuvModule::Options ModuleOptions() {
        CNuvModule::Options options;
        options.timeZoneCheck = &timeZoneCheck;
        options.filter = &filter;
        options.timeLimits = &timeLimits;
        return options;
    }
    PluginObjects() : module(ModuleOptions()) { timeLimits.SetFirewallModule(&module); }
};

PluginObjects* g_objects = nullptr;

const NuvCom::ClassObjectEntry kClassObjects[] = {
    {CLSID_NuvPlugin, &NuvCom::CClassFactory<CNuvPlugin>::GetClassObject},
};

}  // namespace

CNuvModule& TheNuvModule() noexcept { return g_objects->module; }

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void* reserved) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            try {
                g_objects = new PluginObjects();
            } catch (const std::exception&) {
                return FALSE;
            }
            return g_objects->module.DllMain(instance, reason, reserved);
        case DLL_PROCESS_DETACH: {
            if (g_objects == nullptr) return TRUE;
            const BOOL result = g_objects->module.DllMain(instance, reason, reserved);
            // At process exit the other threads are gone already and nothing needs to be joined;
            // after FreeLibrary the module stops what is still running.
            if (reserved == nullptr) {
                delete g_objects;
                g_objects = nullptr;
            }
            return result;
        }
        default:
            return TRUE;
    }
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    return NuvCom::GetClassObject(kClassObjects, clsid, riid, ppv);
}

STDAPI DllCanUnloadNow() { return NuvCom::CModule::CanUnloadNow(); }

STDAPI DllRegisterServer() {
    return NuvCom::ComBoundary(L"DllRegisterServer", [] {
        const HRESULT hr = RegisterNuvServer(NuvCom::CModule::Path().c_str());
        if (FAILED(hr)) {
            NUV_LOG(ETWLogging::LOG_ERROR, L"Registering the plug-in failed (0x%08X)\r\n", static_cast<unsigned>(hr));
        }
        return hr;
    });
}

STDAPI DllUnregisterServer() {
    return NuvCom::ComBoundary(L"DllUnregisterServer", [] {
        HRESULT hr = UnregisterNuvServer();
        if (SUCCEEDED(hr)) {
            NuvCom::CCoInitialize com;
            hr = registerWithQvProxy(false);
        }
        if (FAILED(hr)) {
            NUV_LOG(ETWLogging::LOG_ERROR, L"Unregistering the plug-in failed (0x%08X)\r\n", static_cast<unsigned>(hr));
        }
        return hr;
    });
}

// The problem-report entry point of the suite's components (the name is historical).
extern "C" __declspec(dllexport) int __cdecl DllCanDefer(int problemId, unsigned char affectsPersonalInfo,
                                                        HRESULT result) {
    if (g_objects != nullptr) {
        try {
            g_objects->module.ReportProblem(problemId, affectsPersonalInfo != 0, result);
        } catch (...) {
            NUV_LOG(ETWLogging::LOG_ERROR, L"Reporting problem %d failed\r\n", problemId);
        }
    }
    return 0;
}
