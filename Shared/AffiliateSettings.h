#pragma once
// Product settings that belong to no user: written by the installer under
// HKLM\Software\Oberix\NUV\Settings, once per affiliate id with `default` as the fall-back.
// Nothing here logs or throws (but allocation failures); a failed read leaves every output as it
// was and each caller applies its own default.

#include "nuvutil/ByteBuffer.h"
#include "nuvutil/NoCaseLess.h"

#include <windows.h>

#include <map>
#include <string>
#include <vector>

// Category mask text -> category number.
using CategoryMap = std::map<std::wstring, int, NoCaseLess>;

// One enumerated registry value: text for REG_SZ, number for REG_DWORD, bytes for REG_BINARY.
class CRegValueEntry {
public:
    CRegValueEntry();
    CRegValueEntry(const CRegValueEntry& other) = default;
    CRegValueEntry& operator=(const CRegValueEntry& other) = default;

    void Reset();

    DWORD m_dwType;
    std::wstring m_strName;
    std::wstring m_strText;
    DWORD m_dwNumber;
    CByteBuffer m_data;
};

using RegValueList = std::vector<CRegValueEntry>;

// True only for a REG_DWORD value.
bool ReadRegistryDword(HKEY root, const wchar_t* path, const wchar_t* name, DWORD& value);
// True for a REG_SZ or REG_EXPAND_SZ value (not expanded) of at most 260 characters.
bool ReadRegistryString(HKEY root, const wchar_t* path, const wchar_t* name, std::wstring& text);
// Appends the REG_SZ, REG_DWORD and REG_BINARY values of the key in enumeration order; stops at
// the first value that cannot be read (data above 32768 bytes, name above 1023 characters).
void EnumRegistryValues(HKEY root, const wchar_t* path, RegValueList* entries);
// Replaces the list by the key's subkey names in enumeration order.
void EnumRegistrySubkeys(HKEY root, const wchar_t* path, std::vector<std::wstring>* names);

class CAffiliateSettings {
public:
    // The installed affiliate id into `id` ("default" when none is set); false only when the
    // settings key does not open, and then `id` is empty.
    bool LoadAffiliateId(std::wstring& id);

    // From the affiliate's key, else from `default`.
    bool ReadDword(const wchar_t* name, DWORD& value);
    bool ReadString(const wchar_t* name, std::wstring& text);

    // The `Categories` table of `default` with the affiliate's entries on top.
    void LoadCategorySettings(CategoryMap& table);

private:
    bool HaveAffiliateId();

    std::wstring m_strAffiliateId;
};
