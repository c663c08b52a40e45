// The Nuv DLL's entry points: the module object's life, the class object of NuvPlugin, COM
// registration, and the problem-report export for the suite's components.
#include "logging/Logging.h"
#include "nuvutil/com/ComBoundary.h"
#include "nuvutil/com/CoInitializeScope.h"
#include "nuvutil/com/Module.h"
#include "nuvutil/com/ServerExports.h"
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
// That runs under the loader lock: the constructors only set up memory, locks and events; what
// reads the registry or files, loads libraries, starts threads or uses COM waits for first use.
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

// Nothing escapes: an exception fails the load (logged) or, at unload, is logged and ignored.
BOOL Attach(HINSTANCE instance, void* reserved) noexcept {
    // Names only: the logger itself is made by the first line logged.
    ETWLogging::ConfigureLogging(nullptr, L"Nuv", nullptr, nullptr, 0);
    try {
        auto objects = std::make_unique<PluginObjects>();
        if (!objects->module.DllMain(instance, DLL_PROCESS_ATTACH, reserved)) return FALSE;
        g_objects = objects.release();
        return TRUE;
    } catch (...) {
        NUV_LOG(ETWLogging::LOG_CRITICAL, L"The plug-in's objects could not be made (%hs); the load fails\r\n",
                NuvCom::CurrentExceptionText());
        return FALSE;
    }
}

BOOL Detach(HINSTANCE instance, void* reserved) noexcept {
    if (g_objects == nullptr) return TRUE;
    BOOL result = TRUE;
    try {
        result = g_objects->module.DllMain(instance, DLL_PROCESS_DETACH, reserved);
    } catch (...) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Unloading the plug-in failed (%hs)\r\n", NuvCom::CurrentExceptionText());
    }
    // At process exit the other threads are gone already and nothing needs to be joined;
    // after FreeLibrary the module stops what is still running.
    if (reserved == nullptr) {
        delete g_objects;
        g_objects = nullptr;
    }
    return result;
}

// Every export but DllCanUnloadNow (which COM calls on its own) starts with this.
void OnCallIntoDll() noexcept {
    if (g_objects != nullptr) g_objects->module.OnCallIntoDll();
}

// No type library: the TypeLib key holds "{}", as the plug-in has always registered it.
const NuvCom::ComRegistryEntry kNuvClassEntries[] = {
    {L"TypeLib", nullptr, L"{}"},
};

const NuvCom::ComClassDescription kNuvClasses[] = {
    {CLSID_NuvPlugin, L"NuvPlugin Class", L"nuv.NuvPlugin.1", L"nuv.NuvPlugin", NuvCom::ThreadingModel::Both,
     APPID_Nuv, false, &NuvCom::CClassFactory<CNuvPlugin>::GetClassObject, NuvCom::ComClassOptions::ForceRemove,
     kNuvClassEntries},
};

// The proxy host finds the module through this pseudo class entry: a named value, not a subkey.
const NuvCom::ComRegistryEntry kNuvEntries[] = {
    {L"CLSID\\%APPID%", nullptr, L"nuv"},
    {L"CLSID\\%APPID%", L"InprocServer32", L"%MODULE%"},
};

// Every key of the plug-in goes whole, whatever was added below it.
const wchar_t* const kNuvForceRemoved[] = {
    L"AppID\\%APPID%", L"AppID\\nuv.DLL", L"CLSID\\%APPID%", L"nuv.NuvPlugin.1", L"nuv.NuvPlugin",
};

const NuvCom::ComServerDescription kNuvServer = {
    kNuvClasses, {APPID_Nuv, L"nuv", L"nuv.DLL"}, kNuvEntries, {}, kNuvForceRemoved};

}  // namespace

CNuvModule& TheNuvModule() noexcept { return g_objects->module; }

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void* reserved) {
    switch (reason) {
        case DLL_PROCESS_ATTACH: return Attach(instance, reserved);
        case DLL_PROCESS_DETACH: return Detach(instance, reserved);
        default: return TRUE;
    }
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    OnCallIntoDll();
    return NuvCom::GetClassObject(kNuvServer, clsid, riid, ppv);
}

STDAPI DllCanUnloadNow() { return NuvCom::CModule::CanUnloadNow(); }

STDAPI DllRegisterServer() {
    OnCallIntoDll();
    return NuvCom::ComBoundary(L"DllRegisterServer", [] {
        const HRESULT hr = NuvCom::RegisterServer(kNuvServer);
        if (FAILED(hr)) {
            NUV_LOG(ETWLogging::LOG_ERROR, L"Registering the plug-in failed (0x%08X)\r\n", static_cast<unsigned>(hr));
        }
        return hr;
    });
}

STDAPI DllUnregisterServer() {
    OnCallIntoDll();
    return NuvCom::ComBoundary(L"DllUnregisterServer", [] {
        HRESULT hr = NuvCom::UnregisterServer(kNuvServer);
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
    OnCallIntoDll();
    if (g_objects != nullptr) {
        try {
            g_objects->module.ReportProblem(problemId, affectsPersonalInfo != 0, result);
        } catch (...) {
            NUV_LOG(ETWLogging::LOG_ERROR, L"Reporting problem %d failed\r\n", problemId);
        }
    }
    return 0;
}
