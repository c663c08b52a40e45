#include "nuvutil/com/Registration.h"

#include "base/UniqueHandle.h"
#include "nuvutil/com/Bstr.h"
#include "nuvutil/com/ComBoundary.h"
#include "nuvutil/com/HResultError.h"
#include "nuvutil/com/Module.h"

#include <oaidl.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

namespace NuvCom {

namespace {

using Microsoft::WRL::ComPtr;

struct RegistryValue {
    std::wstring key;   // under the registration root
    std::wstring name;  // empty: the key's default value
    std::wstring data;
    bool keyOnly = false;  // the key alone, no value
};

// Values of one key family. `ownerKey` (when set) names a key whose default value must be our
// CLSID for unregistration to touch the family: a ProgID taken over by another class stays.
struct ValueGroup {
    std::wstring ownerKey;
    std::wstring owner;  // the CLSID ownerKey must name
    std::vector<RegistryValue> values;
};

// What %MODULE%, %APPID% and %CLSID% stand for; an empty one is left as written.
struct Tokens {
    std::wstring module;
    std::wstring appId;
    std::wstring clsid;
};

std::wstring GuidString(REFGUID guid) {
    wchar_t text[40] = {};
    ::StringFromGUID2(guid, text, 40);
    return text;
}

bool IsNull(REFGUID guid) noexcept { return ::IsEqualGUID(guid, GUID_NULL) != FALSE; }

HRESULT FromWin32(LSTATUS status) noexcept { return HRESULT_FROM_WIN32(static_cast<DWORD>(status)); }

bool IsGone(LSTATUS status) noexcept { return status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND; }

bool SameText(const std::wstring& a, const std::wstring& b) noexcept {
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                  TRUE) == CSTR_EQUAL;
}

void ReplaceAll(std::wstring& text, const wchar_t* token, const std::wstring& value) {
    if (value.empty()) {
        return;
    }
    const std::size_t length = std::wcslen(token);
    for (std::size_t at = text.find(token); at != std::wstring::npos; at = text.find(token, at + value.size())) {
        text.replace(at, length, value);
    }
}

std::wstring Expand(const wchar_t* text, const Tokens& tokens) {
    std::wstring result = text;
    ReplaceAll(result, L"%MODULE%", tokens.module);
    ReplaceAll(result, L"%APPID%", tokens.appId);
    ReplaceAll(result, L"%CLSID%", tokens.clsid);
    return result;
}

// "a\\b\\" and "a\\b" are one key.
std::wstring TrimKey(std::wstring key) {
    while (!key.empty() && key.back() == L'\\') {
        key.pop_back();
    }
    return key;
}

RegistryValue Entry(const std::wstring& parent, const ComRegistryEntry& entry, const Tokens& tokens) {
    std::wstring key = Expand(entry.key, tokens);
    if (!parent.empty()) {
        key = key.empty() ? parent : parent + L"\\" + key;
    }
    RegistryValue value{TrimKey(std::move(key)), entry.name ? entry.name : L"", L"", entry.data == nullptr};
    if (entry.data != nullptr) {
        value.data = Expand(entry.data, tokens);
    }
    return value;
}

// Everything registration writes for one class, parents before children.
std::vector<ValueGroup> ClassValues(const ComClassDescription& c, const ComServerDescription& server,
                                    const Tokens& serverTokens, const std::wstring& typeLibraryId) {
    const std::wstring clsid = GuidString(c.clsid);
    const std::wstring clsidKey = L"CLSID\\" + clsid;
    const bool hasAppId = !IsNull(c.appId);
    Tokens tokens = serverTokens;
    tokens.clsid = clsid;

    std::vector<ValueGroup> groups;
    ValueGroup& cls = groups.emplace_back();
    cls.values.push_back({clsidKey, L"", c.className});
    if (hasAppId) {
        cls.values.push_back({clsidKey, L"AppID", GuidString(c.appId)});
    }
    cls.values.push_back({clsidKey + L"\\InprocServer32", L"", tokens.module});
    cls.values.push_back({clsidKey + L"\\InprocServer32", L"ThreadingModel", ThreadingModelName(c.threadingModel)});
    if (c.progId) {
        cls.values.push_back({clsidKey + L"\\ProgID", L"", c.progId});
    }
    if (c.versionIndependentProgId) {
        cls.values.push_back({clsidKey + L"\\VersionIndependentProgID", L"", c.versionIndependentProgId});
    }
    if (HasOption(c.options, ComClassOptions::Programmable)) {
        cls.values.push_back({clsidKey + L"\\Programmable", L"", L"", true});
    }
    if (c.usesTypeLibrary) {
        cls.values.push_back({clsidKey + L"\\TypeLib", L"", typeLibraryId});
    }
    for (const ComRegistryEntry& entry : c.entries) {
        cls.values.push_back(Entry(clsidKey, entry, tokens));
    }
    // The server's own node carries the server's name instead.
    if (hasAppId && !::IsEqualGUID(c.appId, server.appId.id)) {
        cls.values.push_back({L"AppID\\" + GuidString(c.appId), L"", c.className});
    }

    if (c.progId) {
        const std::wstring key = c.progId;
        groups.push_back({key + L"\\CLSID", clsid, {{key, L"", c.className}, {key + L"\\CLSID", L"", clsid}}});
    }
    if (c.versionIndependentProgId) {
        const std::wstring key = c.versionIndependentProgId;
        groups.push_back({key + L"\\CLSID", clsid,
                          {{key, L"", c.className},
                           {key + L"\\CLSID", L"", clsid},
                           {key + L"\\CurVer", L"", c.progId}}});
    }
    return groups;
}

// Everything registration writes for the server: its AppID node, its classes, its own entries.
std::vector<ValueGroup> ServerValues(const ComServerDescription& server, const Tokens& tokens,
                                     const std::wstring& typeLibraryId) {
    std::vector<ValueGroup> groups;
    if (!IsNull(server.appId.id)) {
        ValueGroup& node = groups.emplace_back();
        node.values.push_back({L"AppID\\" + tokens.appId, L"", server.appId.name});
        if (server.appId.moduleKey != nullptr) {
            node.values.push_back({L"AppID\\" + std::wstring(server.appId.moduleKey), L"AppID", tokens.appId});
        }
    }
    for (const ComClassDescription& c : server.classes) {
        for (ValueGroup& group : ClassValues(c, server, tokens, typeLibraryId)) {
            groups.push_back(std::move(group));
        }
    }
    if (server.entries.count != 0) {
        ValueGroup& own = groups.emplace_back();
        for (const ComRegistryEntry& entry : server.entries) {
            own.values.push_back(Entry(L"", entry, tokens));
        }
    }
    return groups;
}

// Keys removed whole, the classes' own among them.
std::vector<std::wstring> ForceRemovedKeys(const ComServerDescription& server, const Tokens& tokens) {
    std::vector<std::wstring> keys;
    for (const ComClassDescription& c : server.classes) {
        if (HasOption(c.options, ComClassOptions::ForceRemove)) {
            keys.push_back(L"CLSID\\" + GuidString(c.clsid));
        }
    }
    for (const wchar_t* key : server.forceRemovedKeys) {
        keys.push_back(TrimKey(Expand(key, tokens)));
    }
    return keys;
}

Tokens ServerTokens(const ComServerDescription& server, std::wstring modulePath) {
    Tokens tokens;
    tokens.module = std::move(modulePath);
    if (!IsNull(server.appId.id)) {
        tokens.appId = GuidString(server.appId.id);
    }
    return tokens;
}

HRESULT WriteValue(HKEY root, const RegistryValue& value) noexcept {
    Tessal::UniqueHKey key;
    LSTATUS status = ::RegCreateKeyExW(root, value.key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                                       nullptr, key.Put(), nullptr);
    if (status != ERROR_SUCCESS || value.keyOnly) {
        return FromWin32(status);
    }
    const DWORD bytes = static_cast<DWORD>((value.data.size() + 1) * sizeof(wchar_t));
    status = ::RegSetValueExW(key.Get(), value.name.empty() ? nullptr : value.name.c_str(), 0, REG_SZ,
                              reinterpret_cast<const BYTE*>(value.data.c_str()), bytes);
    return FromWin32(status);
}

HRESULT DeleteValue(HKEY root, const RegistryValue& value) noexcept {
    if (value.keyOnly) {
        return S_OK;
    }
    Tessal::UniqueHKey key;
    LSTATUS status = ::RegOpenKeyExW(root, value.key.c_str(), 0, KEY_SET_VALUE, key.Put());
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
HRESULT DeleteKeyIfEmpty(HKEY root, const std::wstring& path) noexcept {
    Tessal::UniqueHKey key;
    LSTATUS status = ::RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE, key.Put());
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
    status = ::RegDeleteKeyW(root, path.c_str());
    return IsGone(status) ? S_OK : FromWin32(status);
}

HRESULT DeleteTree(HKEY root, const std::wstring& path) noexcept {
    // An empty path would empty the root itself.
    if (path.empty()) {
        return E_INVALIDARG;
    }
    const LSTATUS status = ::RegDeleteTreeW(root, path.c_str());
    return IsGone(status) ? S_OK : FromWin32(status);
}

bool OwnedBy(HKEY root, const std::wstring& ownerKey, const std::wstring& clsid) noexcept {
    wchar_t value[64] = {};
    DWORD bytes = sizeof(value);
    const LSTATUS status = ::RegGetValueW(root, ownerKey.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value, &bytes);
    if (status != ERROR_SUCCESS) {
        // A missing owner value is a half-written registration: ours to clean.
        return IsGone(status);
    }
    return ::CompareStringOrdinal(value, -1, clsid.c_str(), -1, TRUE) == CSTR_EQUAL;
}

std::size_t Depth(const std::wstring& key) noexcept {
    return static_cast<std::size_t>(std::count(key.begin(), key.end(), L'\\'));
}

// The written keys and their parents, deepest first, without the ones that stay.
std::vector<std::wstring> KeysToRemoveWhenEmpty(const std::vector<std::wstring>& written,
                                                const std::vector<std::wstring>& kept) {
    std::vector<std::wstring> keys;
    auto listed = [&keys](const std::wstring& key) {
        return std::any_of(keys.begin(), keys.end(), [&](const std::wstring& k) { return SameText(k, key); });
    };
    for (std::wstring key : written) {
        while (!key.empty()) {
            const bool stays =
                std::any_of(kept.begin(), kept.end(), [&](const std::wstring& k) { return SameText(k, key); });
            if (!stays && !listed(key)) {
                keys.push_back(key);
            }
            const std::size_t parent = key.rfind(L'\\');
            key.resize(parent == std::wstring::npos ? 0 : parent);
        }
    }
    std::stable_sort(keys.begin(), keys.end(),
                     [](const std::wstring& a, const std::wstring& b) { return Depth(a) > Depth(b); });
    return keys;
}

// Sets the thread locale for its lifetime; 0 leaves it alone.
class CThreadLocaleScope {
public:
    explicit CThreadLocaleScope(LCID locale) noexcept : m_previous(::GetThreadLocale()) {
        m_changed = locale != 0 && ::SetThreadLocale(locale) != FALSE;
    }
    ~CThreadLocaleScope() {
        if (m_changed) {
            ::SetThreadLocale(m_previous);
        }
    }
    CThreadLocaleScope(const CThreadLocaleScope&) = delete;
    CThreadLocaleScope& operator=(const CThreadLocaleScope&) = delete;

private:
    LCID m_previous;
    bool m_changed = false;
};

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

bool ValidEntry(const ComRegistryEntry& entry, bool keyMayBeEmpty) noexcept {
    if (entry.key == nullptr || (!keyMayBeEmpty && entry.key[0] == L'\0')) {
        return false;
    }
    return entry.data != nullptr || entry.name == nullptr;
}

bool ValidKeys(const ComTable<const wchar_t*>& keys) noexcept {
    return std::all_of(keys.begin(), keys.end(), [](const wchar_t* key) { return key != nullptr && key[0] != L'\0'; });
}

HRESULT Validate(const ComServerDescription& server) noexcept {
    if ((server.classes.items == nullptr && server.classes.count != 0) ||
        (server.entries.items == nullptr && server.entries.count != 0) ||
        (server.keptKeys.items == nullptr && server.keptKeys.count != 0) ||
        (server.forceRemovedKeys.items == nullptr && server.forceRemovedKeys.count != 0)) {
        return E_POINTER;
    }
    for (const ComClassDescription& c : server.classes) {
        // CurVer of the version-independent ProgID names the versioned one.
        if (c.className == nullptr || (c.versionIndependentProgId != nullptr && c.progId == nullptr)) {
            return E_INVALIDARG;
        }
        if (c.entries.items == nullptr && c.entries.count != 0) {
            return E_POINTER;
        }
        if (!std::all_of(c.entries.begin(), c.entries.end(), [](const ComRegistryEntry& e) { return ValidEntry(e, true); })) {
            return E_INVALIDARG;
        }
    }
    const ComAppIdDescription& appId = server.appId;
    if (IsNull(appId.id) ? (appId.name != nullptr || appId.moduleKey != nullptr)
                         : (appId.name == nullptr || (appId.moduleKey != nullptr && appId.moduleKey[0] == L'\0'))) {
        return E_INVALIDARG;
    }
    if (!std::all_of(server.entries.begin(), server.entries.end(),
                     [](const ComRegistryEntry& e) { return ValidEntry(e, false); }) ||
        !ValidKeys(server.keptKeys) || !ValidKeys(server.forceRemovedKeys)) {
        return E_INVALIDARG;
    }
    return S_OK;
}

bool UsesTypeLibrary(const ComServerDescription& server) noexcept {
    return std::any_of(server.classes.begin(), server.classes.end(),
                       [](const ComClassDescription& c) { return c.usesTypeLibrary; });
}

HRESULT Unregister(const ComServerDescription& server, HKEY root) noexcept {
    HRESULT hr = S_OK;
    // Keep going after a failure: remove as much as possible, report the first error.
    auto keep = [&hr](HRESULT result) {
        if (FAILED(result) && SUCCEEDED(hr)) {
            hr = result;
        }
    };
    keep(ComBoundary(L"UnregisterServer", [&] {
        // Only names matter for removal: path and LIBID stay empty.
        const Tokens tokens = ServerTokens(server, L"");
        std::vector<std::wstring> written;
        for (const ValueGroup& group : ServerValues(server, tokens, L"")) {
            if (!group.ownerKey.empty() && !OwnedBy(root, group.ownerKey, group.owner)) {
                continue;
            }
            for (const RegistryValue& value : group.values) {
                keep(DeleteValue(root, value));
                written.push_back(value.key);
            }
        }
        std::vector<std::wstring> kept = {L"CLSID", L"AppID"};
        for (const wchar_t* key : server.keptKeys) {
            kept.push_back(TrimKey(Expand(key, tokens)));
        }
        for (const std::wstring& key : KeysToRemoveWhenEmpty(written, kept)) {
            keep(DeleteKeyIfEmpty(root, key));
        }
        for (const std::wstring& key : ForceRemovedKeys(server, tokens)) {
            keep(DeleteTree(root, key));
        }
        return S_OK;
    }));
    if (UsesTypeLibrary(server)) {
        keep(UnregisterTypeLibrary());
    }
    return hr;
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

HRESULT RegisterServer(const ComServerDescription& server, HKEY root) noexcept {
    HRESULT hr = Validate(server);
    if (FAILED(hr)) {
        return hr;
    }
    const CThreadLocaleScope locale(server.registrationLocale);
    hr = ComBoundary(L"RegisterServer", [&] {
        const Tokens tokens = ServerTokens(server, CModule::Path());
        for (const std::wstring& key : ForceRemovedKeys(server, tokens)) {
            ThrowIfFailed(DeleteTree(root, key), "RegisterServer: removing a key before writing it again");
        }
        const std::wstring typeLibraryId = UsesTypeLibrary(server) ? RegisterTypeLibrary(tokens.module) : L"";
        for (const ValueGroup& group : ServerValues(server, tokens, typeLibraryId)) {
            for (const RegistryValue& value : group.values) {
                ThrowIfFailed(WriteValue(root, value), "RegisterServer: writing a registry value");
            }
        }
        return S_OK;
    });
    if (FAILED(hr)) {
        // Leave no half-registered class behind; the first error is the one to report.
        Unregister(server, root);
    }
    return hr;
}

HRESULT UnregisterServer(const ComServerDescription& server, HKEY root) noexcept {
    const HRESULT hr = Validate(server);
    if (FAILED(hr)) {
        return hr;
    }
    const CThreadLocaleScope locale(server.registrationLocale);
    return Unregister(server, root);
}

HRESULT RegisterServer(const ComClassDescription* classes, std::size_t count) noexcept {
    return RegisterServer(ComServerDescription{{classes, count}});
}

HRESULT UnregisterServer(const ComClassDescription* classes, std::size_t count) noexcept {
    return UnregisterServer(ComServerDescription{{classes, count}});
}

}  // namespace NuvCom
