#include "LoggingTestSupport.h"

#include "base/FileSystem.h"
#include "base/Format.h"
#include "base/ObfuscatedIniReader.h"
#include "base/ObfuscatedRegKey.h"
#include "base/UniqueHandle.h"

#include <atomic>
#include <cstring>

namespace NuvTest {
namespace {

constexpr wchar_t kLoggingKey[] = L"SOFTWARE\\Oberix\\Logging";
constexpr wchar_t kMechanismValue[] = L"Logging Mechanism";

}  // namespace

HRESULT FakeEnvironment::GetProgramDataFolder(std::wstring& path) {
    if (FAILED(folderResult)) return folderResult;
    path = dataRoot;
    return S_OK;
}

void FakeEnvironment::GetLocalTime(SYSTEMTIME& time) {
    if (fixedClock) {
        time = now;
    } else {
        ::GetLocalTime(&time);
    }
}

std::vector<BYTE> ReadBytes(const std::wstring& path) {
    Tessal::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return {};
    LARGE_INTEGER size = {};
    if (!::GetFileSizeEx(file.Get(), &size)) return {};
    std::vector<BYTE> bytes(static_cast<std::size_t>(size.QuadPart));
    DWORD read = 0;
    if (!bytes.empty() && !::ReadFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr)) {
        return {};
    }
    bytes.resize(read);
    return bytes;
}

std::wstring ReadLogText(const std::wstring& path, bool* hasBom) {
    const std::vector<BYTE> bytes = ReadBytes(path);
    const bool bom = bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE;
    if (hasBom != nullptr) *hasBom = bom;
    const std::size_t offset = bom ? 2 : 0;
    std::wstring text((bytes.size() - offset) / sizeof(wchar_t), L'\0');
    if (!text.empty()) std::memcpy(&text[0], bytes.data() + offset, text.size() * sizeof(wchar_t));
    return text;
}

std::vector<std::wstring> SplitLines(const std::wstring& text) {
    std::vector<std::wstring> lines;
    std::size_t begin = 0;
    while (begin < text.size()) {
        const std::size_t end = text.find(L"\r\n", begin);
        if (end == std::wstring::npos) {
            lines.push_back(text.substr(begin));
            break;
        }
        lines.push_back(text.substr(begin, end + 2 - begin));
        begin = end + 2;
    }
    return lines;
}

void WriteFilledLog(const std::wstring& path, DWORD size) {
    std::vector<BYTE> bytes(size, 0);
    for (DWORD i = 2; i + 1 < size; i += 2) bytes[i] = 'x';
    if (size >= 2) {
        bytes[0] = 0xFF;
        bytes[1] = 0xFE;
    }
    Tessal::UniqueHandle file(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (file) ::WriteFile(file.Get(), bytes.data(), size, &written, nullptr);
}

bool WriteIniInt(const std::wstring& path, const wchar_t* key, int value) {
    Tessal::CObfuscatedIniReader reader;
    reader.Load(path);
    return reader.WriteIntValue(L"Config", key, value);
}

bool ReadIniInt(const std::wstring& path, const wchar_t* key, int& value) {
    Tessal::CObfuscatedIniReader reader;
    return reader.Load(path) && reader.GetValue(L"Config", key, value);
}

ScopedLoggingMechanism::ScopedLoggingMechanism() {
    Tessal::UniqueHKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kLoggingKey, 0, KEY_QUERY_VALUE, key.Put()) != ERROR_SUCCESS) return;
    m_keyExisted = true;
    DWORD size = 0;
    if (::RegQueryValueExW(key.Get(), kMechanismValue, nullptr, &m_type, nullptr, &size) != ERROR_SUCCESS) return;
    m_data.resize(size);
    if (::RegQueryValueExW(key.Get(), kMechanismValue, nullptr, &m_type, m_data.data(), &size) == ERROR_SUCCESS) {
        m_data.resize(size);
        m_valueExisted = true;
    }
}

ScopedLoggingMechanism::~ScopedLoggingMechanism() {
    if (!m_keyExisted) {
        Tessal::UniqueHKey key;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kLoggingKey, 0, KEY_SET_VALUE, key.Put()) == ERROR_SUCCESS) {
            ::RegDeleteValueW(key.Get(), kMechanismValue);
        }
        RemoveKeyIfOnlyValue();
        return;
    }
    Tessal::UniqueHKey key;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kLoggingKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.Put(),
                          nullptr) != ERROR_SUCCESS) {
        return;
    }
    if (m_valueExisted) {
        ::RegSetValueExW(key.Get(), kMechanismValue, 0, m_type, m_data.data(), static_cast<DWORD>(m_data.size()));
    } else {
        ::RegDeleteValueW(key.Get(), kMechanismValue);
    }
}

bool ScopedLoggingMechanism::Set(DWORD mechanism) {
    Tessal::CObfuscatedRegKey key;
    return key.Create(HKEY_LOCAL_MACHINE, kLoggingKey) == ERROR_SUCCESS &&
           key.SetDWORDValue(kMechanismValue, mechanism) == ERROR_SUCCESS;
}

bool ScopedLoggingMechanism::RemoveValue() {
    Tessal::UniqueHKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kLoggingKey, 0, KEY_SET_VALUE, key.Put()) != ERROR_SUCCESS) return true;
    const LONG result = ::RegDeleteValueW(key.Get(), kMechanismValue);
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

bool ScopedLoggingMechanism::RemoveKeyIfOnlyValue() {
    Tessal::UniqueHKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kLoggingKey, 0, KEY_READ, key.Put()) != ERROR_SUCCESS) return true;
    DWORD subKeys = 0;
    DWORD values = 0;
    if (::RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values, nullptr,
                           nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    if (subKeys != 0 || values > 1) return false;
    if (values == 1) {
        DWORD type = 0;
        if (::RegQueryValueExW(key.Get(), kMechanismValue, nullptr, &type, nullptr, nullptr) != ERROR_SUCCESS) {
            return false;
        }
    }
    key.Reset();
    return ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kLoggingKey) == ERROR_SUCCESS;
}

}  // namespace NuvTest
