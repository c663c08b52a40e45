#pragma once
// Leaves HKEY_LOCAL_MACHINE as a test found it: values changed through the guard get their old
// data (or their absence) back, and keys it had to create are deleted with everything below them.
// Test programs have a machine registry of their own (MachineRegistry.h): the guard keeps the
// tests of one program apart.

#include "tests/support/RawRegistryValue.h"
#include "base/UniqueHandle.h"

#include <windows.h>

#include <string>
#include <vector>

namespace NuvTest {

class MachineKeyGuard {
public:
    MachineKeyGuard() = default;
    MachineKeyGuard(const MachineKeyGuard&) = delete;
    MachineKeyGuard& operator=(const MachineKeyGuard&) = delete;

    ~MachineKeyGuard() {
        for (auto saved = m_values.rbegin(); saved != m_values.rend(); ++saved) Restore(*saved);
        for (auto created = m_createdKeys.rbegin(); created != m_createdKeys.rend(); ++created) {
            ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, created->c_str());
            ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, created->c_str());
        }
    }

    static bool KeyExists(const std::wstring& path) {
        Tessal::UniqueHKey key;
        return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.Put()) == ERROR_SUCCESS;
    }

    // Remembers the shallowest key of `path` (below HKLM) that does not exist yet, to delete it
    // afterwards; call before something creates `path`.
    void WillCreate(const std::wstring& path) {
        for (std::size_t at = path.find(L'\\');; at = path.find(L'\\', at + 1)) {
            const std::wstring prefix = path.substr(0, at);
            if (!KeyExists(prefix)) {
                m_createdKeys.push_back(prefix);
                return;
            }
            if (at == std::wstring::npos) return;
        }
    }

    bool CreateKey(const std::wstring& path) {
        WillCreate(path);
        Tessal::UniqueHKey key;
        return ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Put(),
                                 nullptr) == ERROR_SUCCESS;
    }

    // Remembers the value's present state; call before changing it.
    void SaveValue(const std::wstring& path, const std::wstring& name) {
        Saved saved{path, name, false, REG_NONE, {}};
        Tessal::UniqueHKey key;
        DWORD size = 0;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.Put()) == ERROR_SUCCESS &&
            ::RegQueryValueExW(key.Get(), name.c_str(), nullptr, &saved.type, nullptr, &size) == ERROR_SUCCESS) {
            saved.data.resize(size);
            saved.existed = ::RegQueryValueExW(key.Get(), name.c_str(), nullptr, &saved.type, saved.data.data(),
                                               &size) == ERROR_SUCCESS;
            saved.data.resize(size);
        }
        m_values.push_back(saved);
    }

    // Stores exactly the bytes given.
    bool SetValue(const std::wstring& path, const std::wstring& name, DWORD type, const void* data, DWORD size) {
        if (!CreateKey(path)) return false;
        SaveValue(path, name);
        Tessal::UniqueHKey key;
        return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_SET_VALUE, key.Put()) == ERROR_SUCCESS &&
               SetRawValue(key.Get(), name.c_str(), type, data, size) == ERROR_SUCCESS;
    }
    bool SetString(const std::wstring& path, const std::wstring& name, const std::wstring& text, DWORD type = REG_SZ) {
        return SetValue(path, name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }
    bool SetDword(const std::wstring& path, const std::wstring& name, DWORD value) {
        return SetValue(path, name, REG_DWORD, &value, sizeof(value));
    }
    void DeleteValue(const std::wstring& path, const std::wstring& name) {
        SaveValue(path, name);
        Tessal::UniqueHKey key;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_SET_VALUE, key.Put()) == ERROR_SUCCESS) {
            ::RegDeleteValueW(key.Get(), name.c_str());
        }
    }

private:
    struct Saved {
        std::wstring path;
        std::wstring name;
        bool existed;
        DWORD type;
        std::vector<BYTE> data;
    };

    static void Restore(const Saved& saved) {
        Tessal::UniqueHKey key;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, saved.path.c_str(), 0, KEY_SET_VALUE, key.Put()) != ERROR_SUCCESS) {
            return;
        }
        if (saved.existed) {
            SetRawValue(key.Get(), saved.name.c_str(), saved.type, saved.data.data(),
                        static_cast<DWORD>(saved.data.size()));
        } else {
            ::RegDeleteValueW(key.Get(), saved.name.c_str());
        }
    }

    std::vector<Saved> m_values;
    std::vector<std::wstring> m_createdKeys;
};

}  // namespace NuvTest
