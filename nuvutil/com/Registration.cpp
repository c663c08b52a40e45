#include "nuvutil/com/Registration.h"

#include "base/UniqueHandle.h"
#include "nuvutil/com/Bstr.h"
#include "nuvutil/com/ComBoundary.h"
#include "nuvutil/com/HResultError.h"
#include "nuvutil/com/Module.h"

#include <oaidl.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <string>
#include <vector>

namespace NuvCom {

namespace {

using Microsoft::WRL::ComPtr;

struct RegistryValue {
    std::wstring key;   // under HKEY_CLASSES_ROOT
    std::wstring name;  // empty: the key's default value
    std::wstring data;
};

// Values of one key family. `ownerKey` (when set) names a key whose default value must be our
// CLSID for unregistration to touch the family: a ProgID taken over by another class stays.
struct ValueGroup {
    std::wstring ownerKey;
    std::vector<RegistryValue> values;
};

std::wstring GuidString(REFGUID guid) {
    wchar_t text[40] = {};
    ::StringFromGUID2(guid, text, 40);
    return text;
}

HRESULT FromWin32(LSTATUS status) noexcept { return HRESULT_FROM_WIN32(static_cast<DWORD>(status)); }

bool IsGone(LSTATUS status) noexcept { return status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND; }

// Everything registration writes for one class, parents before children.
std::vector<ValueGroup> ClassValues(const ComClassDescription& c, const std::wstring& modulePath,
                                    const std::wstring& typeLibraryId) {
    const std::wstring clsid = GuidString(c.clsid);
    const std::wstring clsidKey = L"CLSID\\" + clsid;
    const bool hasAppId = !::IsEqualGUID(c.appId, GUID_NULL);

    std::vector<ValueGroup> groups;
    ValueGroup& cls = groups.emplace_back();
    cls.values.push_back({clsidKey, L"", c.className});
    if (hasAppId) {
        cls.values.push_back({clsidKey, L"AppID", GuidString(c.appId)});
    }
    cls.values.push_back({clsidKey + L"\\InprocServer32", L"", modulePath});
    cls.values.push_back({clsidKey + L"\\InprocServer32", L"ThreadingModel", ThreadingModelName(c.threadingModel)});
    if (c.progId) {
        cls.values.push_back({clsidKey + L"\\ProgID", L"", c.progId});
    }
    if (c.versionIndependentProgId) {
        cls.values.push_back({clsidKey + L"\\VersionIndependentProgID", L"", c.versionIndependentProgId});
    }
    if (c.usesTypeLibrary) {
        cls.values.push_back({clsidKey + L"\\TypeLib", L"", typeLibraryId});
    }
    if (hasAppId) {
        cls.values.push_back({L"AppID\\" + GuidString(c.appId), L"", c.className});
    }

    if (c.progId) {
        const std::wstring key = c.progId;
        groups.push_back({key + L"\\CLSID", {{key, L"", c.className}, {key + L"\\CLSID", L"", clsid}}});
    }
    if (c.versionIndependentProgId) {
        const std::wstring key = c.versionIndependentProgId;
        groups.push_back({key + L"\\CLSID",
                          {{key, L"", c.className},
                           {key + L"\\CLSID", L"", clsid},
                           {key + L"\\CurVer", L"", c.progId}}});
    }
    return groups;
}

HRESULT WriteValue(const RegistryValue& value) noexcept {
    Tessal::UniqueHKey key;
    LSTATUS status = ::RegCreateKeyExW(HKEY_CLASSES_ROOT, value.key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                       KEY_SET_VALUE, nullptr, key.Put(), nullptr);
    if (status != ERROR_SUCCESS) {
        return FromWin32(status);
    }
    const DWORD bytes = static_cast<DWORD>((value.data.size() + 1) * sizeof(wchar_t));
    status = ::RegSetValueExW(key.Get(), value.name.empty() ? nullptr : value.name.c_str(), 0, REG_SZ,
                              reinterpret_cast<const BYTE*>(value.data.c_str()), bytes);
    return FromWin32(status);
}

HRESULT DeleteValue(const RegistryValue& value) noexcept {
    Tessal::UniqueHKey key;
    LSTATUS status = ::RegOpenKeyExW(HKEY_CLASSES_ROOT, value.key.c_str(), 0, KEY_SET_VALUE, key.Put());
    if (IsGone(status)) {
        return S_OK;
    }
    if (status != ERROR_SUCCESS) {
        return FromWin32(status);
    }
    status = ::RegDeleteValueW(key.Get(), value.name.empty() ? nullptr : value.name.c_str());
    return IsGone(status) ? S_OK : FromWin32(status);
}

// Deletes a key that holds no values and no subkeys; anything else there is not ours to remove.
HRESULT DeleteKeyIfEmpty(const std::wstring& path) noexcept {
    Tessal::UniqueHKey key;
    LSTATUS status = ::RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_QUERY_VALUE, key.Put());
    if (IsGone(status)) {
        return S_OK;
    }
    if (status != ERROR_SUCCESS) {
        return FromWin32(status);
    }
    DWORD subKeys = 0;
    DWORD values = 0;
    status = ::RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values, nullptr,
                                nullptr, nullptr, nullptr);
    if (status != ERROR_SUCCESS) {
        return FromWin32(status);
    }
    key.Reset();
    if (subKeys != 0 || values != 0) {
        return S_OK;
    }
    status = ::RegDeleteKeyW(HKEY_CLASSES_ROOT, path.c_str());
    return IsGone(status) ? S_OK : FromWin32(status);
}

bool OwnedBy(const std::wstring& ownerKey, const std::wstring& clsid) noexcept {
    wchar_t value[64] = {};
    DWORD bytes = sizeof(value);
    const LSTATUS status =
        ::RegGetValueW(HKEY_CLASSES_ROOT, ownerKey.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value, &bytes);
    if (status != ERROR_SUCCESS) {
        // A missing owner value is a half-written registration: ours to clean.
        return IsGone(status);
    }
    return ::CompareStringOrdinal(value, -1, clsid.c_str(), -1, TRUE) == CSTR_EQUAL;
}

class CLibraryAttributes {
public:
    explicit CLibraryAttributes(ITypeLib* library) : m_library(library) {
        ThrowIfFailed(library->GetLibAttr(&m_attributes), "ITypeLib::GetLibAttr");
    }
    ~CLibraryAttributes() { m_library->ReleaseTLibAttr(m_attributes); }
    CLibraryAttributes(const CLibraryAttributes&) = delete;
    CLibraryAttributes& operator=(const CLibraryAttributes&) = delete;

    const TLIBATTR* operator->() const noexcept { return m_attributes; }

private:
    ITypeLib* m_library;
    TLIBATTR* m_attributes = nullptr;
};

// Registers the embedded type library; returns its LIBID as text.
std::wstring RegisterTypeLibrary(const std::wstring& modulePath) {
    ComPtr<ITypeLib> library;
    ThrowIfFailed(CModule::LoadTypeLibrary(&library), "LoadTypeLibEx");
    // RegisterTypeLib takes a non-const path.
    std::wstring path = modulePath;
    ThrowIfFailed(::RegisterTypeLib(library.Get(), &path[0], nullptr), "RegisterTypeLib");
    CLibraryAttributes attributes(library.Get());
    return GuidString(attributes->guid);
}

HRESULT UnregisterTypeLibrary() noexcept {
    return ComBoundary(L"UnregisterTypeLibrary", [] {
        ComPtr<ITypeLib> library;
        ThrowIfFailed(CModule::LoadTypeLibrary(&library), "LoadTypeLibEx");
        CLibraryAttributes a(library.Get());
        CBstr registeredPath;
        if (FAILED(::QueryPathOfRegTypeLib(a->guid, a->wMajorVerNum, a->wMinorVerNum, a->lcid, registeredPath.Put()))) {
            return S_OK;  // not registered (any more)
        }
        return ::UnRegisterTypeLib(a->guid, a->wMajorVerNum, a->wMinorVerNum, a->lcid, a->syskind);
    });
}

HRESULT Validate(const ComClassDescription* classes, std::size_t count) noexcept {
    if (classes == nullptr && count != 0) {
        return E_POINTER;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const ComClassDescription& c = classes[i];
        // CurVer of the version-independent ProgID names the versioned one.
        if (c.className == nullptr || (c.versionIndependentProgId != nullptr && c.progId == nullptr)) {
            return E_INVALIDARG;
        }
    }
    return S_OK;
}

bool UsesTypeLibrary(const ComClassDescription* classes, std::size_t count) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        if (classes[i].usesTypeLibrary) {
            return true;
        }
    }
    return false;
}

}  // namespace

const wchar_t* ThreadingModelName(ThreadingModel model) noexcept {
    switch (model) {
        case ThreadingModel::Apartment:
            return L"Apartment";
        case ThreadingModel::Both:
            return L"Both";
        case ThreadingModel::Free:
            return L"Free";
        case ThreadingModel::Neutral:
            return L"Neutral";
    }
    return L"Apartment";
}

HRESULT RegisterServer(const ComClassDescription* classes, std::size_t count) noexcept {
    HRESULT hr = Validate(classes, count);
    if (FAILED(hr)) {
        return hr;
    }
    hr = ComBoundary(L"RegisterServer", [&] {
        const std::wstring modulePath = CModule::Path();
        const std::wstring typeLibraryId = UsesTypeLibrary(classes, count) ? RegisterTypeLibrary(modulePath) : L"";
        for (std::size_t i = 0; i < count; ++i) {
            for (const ValueGroup& group : ClassValues(classes[i], modulePath, typeLibraryId)) {
                for (const RegistryValue& value : group.values) {
                    ThrowIfFailed(WriteValue(value), "RegisterServer: writing a registry value");
                }
            }
        }
        return S_OK;
    });
    if (FAILED(hr)) {
        // Leave no half-registered class behind; the first error is the one to report.
        UnregisterServer(classes, count);
    }
    return hr;
}

HRESULT UnregisterServer(const ComClassDescription* classes, std::size_t count) noexcept {
    HRESULT hr = Validate(classes, count);
    if (FAILED(hr)) {
        return hr;
    }
    // Keep going after a failure: remove as much as possible, report the first error.
    auto keep = [&hr](HRESULT result) {
        if (FAILED(result) && SUCCEEDED(hr)) {
            hr = result;
        }
    };
    keep(ComBoundary(L"UnregisterServer", [&] {
        for (std::size_t i = 0; i < count; ++i) {
            const std::wstring clsid = GuidString(classes[i].clsid);
            // Only names matter for removal: path and LIBID stay empty.
            for (const ValueGroup& group : ClassValues(classes[i], L"", L"")) {
                if (!group.ownerKey.empty() && !OwnedBy(group.ownerKey, clsid)) {
                    continue;
                }
                for (const RegistryValue& value : group.values) {
                    keep(DeleteValue(value));
                }
                // Children were listed after their parents.
                for (auto it = group.values.rbegin(); it != group.values.rend(); ++it) {
                    keep(DeleteKeyIfEmpty(it->key));
                }
            }
        }
        return S_OK;
    }));
    if (UsesTypeLibrary(classes, count)) {
        keep(UnregisterTypeLibrary());
    }
    return hr;
}

}  // namespace NuvCom
