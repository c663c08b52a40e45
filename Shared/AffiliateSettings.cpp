#include "Shared/AffiliateSettings.h"
#include "Shared/ProductKey.h"

#include "base/UniqueHandle.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

constexpr wchar_t kSettingsPath[] = L"" NUV_PRODUCT_KEY "\\Settings";
constexpr wchar_t kSettingsPrefix[] = L"" NUV_PRODUCT_KEY "\\Settings\\";
constexpr wchar_t kDefaultId[] = L"default";
constexpr wchar_t kCategoriesSuffix[] = L"\\Categories";

constexpr DWORD kStringBufferBytes = 522;  // 260 characters and the terminator
constexpr std::uint32_t kEnumDataBufferBytes = 65536;
constexpr DWORD kEnumDataBytes = 32768;
constexpr DWORD kEnumNameChars = 1024;

Tessal::UniqueHKey OpenForReading(HKEY root, const wchar_t* path) {
    Tessal::UniqueHKey key;
    if (::RegOpenKeyExW(root, path, 0, KEY_READ, key.Put()) != ERROR_SUCCESS) key.Reset();
    return key;
}

// The text of REG_SZ data, ending at its first NUL or at the data's end, whichever comes first:
// the registry does not promise a terminator.
std::wstring TextOf(const BYTE* data, DWORD bytes) {
    const auto* text = reinterpret_cast<const wchar_t*>(data);
    return std::wstring(text, ::wcsnlen(text, bytes / sizeof(wchar_t)));
}

// A string value of at most 260 characters. Empty data gives the empty text; other data must be
// whole characters ending in a NUL.
bool QueryShortString(HKEY key, const wchar_t* name, std::wstring& text) {
    wchar_t buffer[kStringBufferBytes / sizeof(wchar_t)] = {};
    DWORD type = REG_NONE;
    DWORD bytes = kStringBufferBytes;
    if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &bytes) != ERROR_SUCCESS) {
        return false;
    }
    if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
    if (bytes == 0) {
        text.clear();
        return true;
    }
    if (bytes % sizeof(wchar_t) != 0 || buffer[bytes / sizeof(wchar_t) - 1] != L'\0') return false;
    text = TextOf(reinterpret_cast<const BYTE*>(buffer), bytes);
    return true;
}

void AddCategories(const std::wstring& id, CategoryMap& table) {
    RegValueList entries;
    EnumRegistryValues(HKEY_LOCAL_MACHINE, (kSettingsPrefix + id + kCategoriesSuffix).c_str(), &entries);
    for (const CRegValueEntry& entry : entries) {
        if (entry.m_dwType != REG_SZ || entry.m_strName.empty()) continue;
        table[entry.m_strName] = ::_wtoi(entry.m_strText.c_str());
    }
}

}  // namespace

CRegValueEntry::CRegValueEntry() : m_dwType(0), m_dwNumber(0), m_data(0, true) {}

void CRegValueEntry::Reset() {
    m_dwType = 0;
    m_strName.clear();
    m_strText.clear();
    m_dwNumber = 0;
    m_data.Free(true);
}

bool ReadRegistryDword(HKEY root, const wchar_t* path, const wchar_t* name, DWORD& value) {
    const Tessal::UniqueHKey key = OpenForReading(root, path);
    if (!key) return false;
    DWORD number = 0;
    DWORD type = REG_NONE;
    DWORD bytes = sizeof(number);
    if (::RegQueryValueExW(key.Get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&number), &bytes) !=
            ERROR_SUCCESS ||
        type != REG_DWORD) {
        return false;
    }
    value = number;
    return true;
}

bool ReadRegistryString(HKEY root, const wchar_t* path, const wchar_t* name, std::wstring& text) {
    const Tessal::UniqueHKey key = OpenForReading(root, path);
    return key && QueryShortString(key.Get(), name, text);
}

void EnumRegistryValues(HKEY root, const wchar_t* path, RegValueList* entries) {
    if (entries == nullptr) return;
    const Tessal::UniqueHKey key = OpenForReading(root, path);
    if (!key) return;
    CByteBuffer data(0, true);
    if (!data.Allocate(kEnumDataBufferBytes)) return;

    for (DWORD index = 0;; ++index) {
        wchar_t name[kEnumNameChars];
        DWORD nameChars = kEnumNameChars;
        DWORD type = REG_NONE;
        DWORD bytes = kEnumDataBytes;
        if (::RegEnumValueW(key.Get(), index, name, &nameChars, nullptr, &type, data.GetData(), &bytes) !=
            ERROR_SUCCESS) {
            break;
        }
        CRegValueEntry entry;
        entry.m_dwType = type;
        entry.m_strName.assign(name, nameChars);
        // Every read below stays within the bytes this value returned: the buffer still holds
        // the previous value's bytes beyond them.
        switch (type) {
            case REG_SZ:
                entry.m_strText = TextOf(data.GetData(), bytes);
                break;
            case REG_DWORD:
                std::memcpy(&entry.m_dwNumber, data.GetData(), bytes < sizeof(DWORD) ? bytes : sizeof(DWORD));
                break;
            case REG_BINARY:
                if (!entry.m_data.SetData(data.GetData(), bytes)) continue;
                break;
            default:
                continue;
        }
        entries->push_back(entry);
    }
}

void EnumRegistrySubkeys(HKEY root, const wchar_t* path, std::vector<std::wstring>* names) {
    if (names == nullptr) return;
    names->clear();
    const Tessal::UniqueHKey key = OpenForReading(root, path);
    if (!key) return;
    DWORD count = 0;
    DWORD longest = 0;
    if (::RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, &count, &longest, nullptr, nullptr, nullptr, nullptr,
                           nullptr, nullptr) != ERROR_SUCCESS ||
        count == 0) {
        return;
    }
    std::wstring name(static_cast<std::size_t>(longest) + 1, L'\0');
    for (DWORD index = 0; index < count; ++index) {
        DWORD chars = longest + 1;
        if (::RegEnumKeyExW(key.Get(), index, &name[0], &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
            chars == 0) {
            continue;
        }
        names->emplace_back(name.c_str(), chars);
    }
}

bool CAffiliateSettings::LoadAffiliateId(std::wstring& id) {
    id.clear();
    const Tessal::UniqueHKey key = OpenForReading(HKEY_LOCAL_MACHINE, kSettingsPath);
    if (!key) return false;
    // Any failure to read (missing, wrong type, longer than 260 characters) leaves the id empty.
    if (!QueryShortString(key.Get(), L"affid", id)) id.clear();
    if (id.empty() || id == L"0") id = kDefaultId;
    return true;
}

bool CAffiliateSettings::HaveAffiliateId() {
    return !m_strAffiliateId.empty() || LoadAffiliateId(m_strAffiliateId);
}

bool CAffiliateSettings::ReadDword(const wchar_t* name, DWORD& value) {
    if (name == nullptr || !HaveAffiliateId()) return false;
    return ReadRegistryDword(HKEY_LOCAL_MACHINE, (kSettingsPrefix + m_strAffiliateId).c_str(), name, value) ||
           ReadRegistryDword(HKEY_LOCAL_MACHINE, (kSettingsPrefix + std::wstring(kDefaultId)).c_str(), name, value);
}

bool CAffiliateSettings::ReadString(const wchar_t* name, std::wstring& text) {
    if (name == nullptr || !HaveAffiliateId()) return false;
    return ReadRegistryString(HKEY_LOCAL_MACHINE, (kSettingsPrefix + m_strAffiliateId).c_str(), name, text) ||
           ReadRegistryString(HKEY_LOCAL_MACHINE, (kSettingsPrefix + std::wstring(kDefaultId)).c_str(), name, text);
}

void CAffiliateSettings::LoadCategorySettings(CategoryMap& table) {
    table.clear();
    AddCategories(kDefaultId, table);
    if (LoadAffiliateId(m_strAffiliateId)) AddCategories(m_strAffiliateId, table);
}
