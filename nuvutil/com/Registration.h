#pragma once
// One table per in-process server drives DllGetClassObject, DllRegisterServer and
// DllUnregisterServer: class, ProgID and AppID keys under HKEY_CLASSES_ROOT, the module's embedded
// type library (resource 1), extra entries, keys that stay and keys removed whole.
//
//     const NuvCom::ComClassDescription kClasses[] = {{__uuidof(Thing), L"Thing Class", L"Vendor.Thing.1",
//         L"Vendor.Thing", NuvCom::ThreadingModel::Both, kAppId, true,
//         &NuvCom::CClassFactory<CThing>::GetClassObject, NuvCom::ComClassOptions::Programmable}};
//     const NuvCom::ComServerDescription kServer = {kClasses, {kAppId, L"Thing", L"Thing.DLL"}};
//     NUVCOM_SERVER_EXPORTS(kServer)   // nuvutil/com/ServerExports.h
//
// In the text of extra entries and key lists, %MODULE% stands for the module path, %APPID% for
// the server's AppID and, in a class's own entries, %CLSID% for the class.

#include <windows.h>

#include <cstddef>

namespace NuvCom {

enum class ThreadingModel { Apartment, Both, Free, Neutral };

// The "ThreadingModel" value written for a model.
const wchar_t* ThreadingModelName(ThreadingModel model) noexcept;

// A fixed array seen through a pointer and a count, so descriptions stay constant data.
template <class T>
struct ComTable {
    const T* items = nullptr;
    std::size_t count = 0;

    constexpr ComTable() noexcept = default;
    constexpr ComTable(const T* first, std::size_t n) noexcept : items(first), count(n) {}
    template <std::size_t N>
    constexpr ComTable(const T (&array)[N]) noexcept : items(array), count(N) {}

    constexpr const T* begin() const noexcept { return items; }
    constexpr const T* end() const noexcept { return items + count; }
};

// One registry entry beyond the standard ones, a REG_SZ value or a key alone.
struct ComRegistryEntry {
    const wchar_t* key;
    const wchar_t* name;  // nullptr: the default value
    const wchar_t* data;  // nullptr: the key alone (name must be nullptr too)
};

enum class ComClassOptions : unsigned {
    None = 0,
    Programmable = 1 << 0,  // the empty subkey "Programmable"
    // The class key goes with everything below it: before registration writes it again, and on
    // unregistration, whatever else is there.
    ForceRemove = 1 << 1,
};

constexpr ComClassOptions operator|(ComClassOptions a, ComClassOptions b) noexcept {
    return static_cast<ComClassOptions>(static_cast<unsigned>(a) | static_cast<unsigned>(b));
}

constexpr bool HasOption(ComClassOptions options, ComClassOptions option) noexcept {
    return (static_cast<unsigned>(options) & static_cast<unsigned>(option)) != 0;
}

using GetClassObjectFunction = HRESULT (*)(REFIID riid, void** ppv);

struct ComClassDescription {
    CLSID clsid;
    const wchar_t* className;                 // default value of the CLSID and ProgID keys
    const wchar_t* progId;                    // nullptr: none
    const wchar_t* versionIndependentProgId;  // nullptr: none; needs progId (its CurVer)
    ThreadingModel threadingModel;
    // The class key's AppID value; GUID_NULL: none. An AppID the server does not describe gets
    // its node with the class name.
    GUID appId;
    bool usesTypeLibrary;                     // TypeLib names the module's embedded type library
    GetClassObjectFunction getClassObject = nullptr;  // nullptr: not handed out by DllGetClassObject
    ComClassOptions options = ComClassOptions::None;
    ComTable<ComRegistryEntry> entries = {};  // keys relative to the class key ("" is the key itself)
};

// The server's node under HKCR\AppID.
struct ComAppIdDescription {
    GUID id = {};                       // GUID_NULL: none
    const wchar_t* name = nullptr;      // default value of AppID\{id}
    const wchar_t* moduleKey = nullptr; // nullptr: none; else AppID\<moduleKey> with value AppID = {id}
};

struct ComServerDescription {
    ComTable<ComClassDescription> classes;
    ComAppIdDescription appId = {};
    ComTable<ComRegistryEntry> entries = {};  // keys below HKEY_CLASSES_ROOT
    // Unregistration removes the keys it wrote once they are empty, and their parents likewise;
    // these stay even when empty. CLSID and AppID always stay.
    ComTable<const wchar_t*> keptKeys = {};
    // Removed with everything below them before registration and on unregistration.
    ComTable<const wchar_t*> forceRemovedKeys = {};
    LCID registrationLocale = 0;  // thread locale while registering and unregistering; 0: unchanged
};

// Registers the module's type library (when a class uses it) and writes every key of the server,
// the module path taken from the running DLL. On failure, what was written is removed again.
// `root` stands for HKEY_CLASSES_ROOT (tests give a private key); the type library always goes
// where RegisterTypeLib puts it.
HRESULT RegisterServer(const ComServerDescription& server, HKEY root = HKEY_CLASSES_ROOT) noexcept;

// Removes exactly the values registration writes, then the keys it created once they are empty,
// the force-removed keys whole, and unregisters the type library. A ProgID now naming another
// CLSID is left alone. What is already gone counts as removed.
HRESULT UnregisterServer(const ComServerDescription& server, HKEY root = HKEY_CLASSES_ROOT) noexcept;

// A server described by its classes alone.
HRESULT RegisterServer(const ComClassDescription* classes, std::size_t count) noexcept;
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
