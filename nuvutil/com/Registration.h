#pragma once
// DllRegisterServer / DllUnregisterServer for in-process servers: class, ProgID, AppID keys under
// HKEY_CLASSES_ROOT and the module's embedded type library (resource 1).
//
//     const NuvCom::ComClassDescription kClasses[] = {{__uuidof(Thing), L"Thing Class", L"Vendor.Thing.1",
//         L"Vendor.Thing", NuvCom::ThreadingModel::Both, kAppId, true}};
//     STDAPI DllRegisterServer() { return NuvCom::RegisterServer(kClasses); }

#include <windows.h>

#include <cstddef>

namespace NuvCom {

enum class ThreadingModel { Apartment, Both, Free, Neutral };

// The "ThreadingModel" value written for a model.
const wchar_t* ThreadingModelName(ThreadingModel model) noexcept;

struct ComClassDescription {
    CLSID clsid;
    const wchar_t* className;                 // default value of the CLSID, ProgID and AppID keys
    const wchar_t* progId;                    // nullptr: none
    const wchar_t* versionIndependentProgId;  // nullptr: none; needs progId (its CurVer)
    ThreadingModel threadingModel;
    GUID appId;                               // GUID_NULL: none
    bool usesTypeLibrary;                     // the module's type library describes this class
};

// Registers the module's type library (when a class uses it) and writes every class's keys, the
// module path taken from the running DLL. On failure, what was written is removed again.
HRESULT RegisterServer(const ComClassDescription* classes, std::size_t count) noexcept;

// Removes exactly the values registration writes, then the keys it created once they are empty,
// and unregisters the type library. A ProgID now naming another CLSID is left alone. What is
// already gone counts as removed.
HRESULT UnregisterServer(const ComClassDescription* classes, std::size_t count) noexcept;

template <std::size_t N>
HRESULT RegisterServer(const ComClassDescription (&classes)[N]) noexcept {
    return RegisterServer(classes, N);
}

template <std::size_t N>
HRESULT UnregisterServer(const ComClassDescription (&classes)[N]) noexcept {
    return UnregisterServer(classes, N);
}

}  // namespace NuvCom
