#include "plugin/core/UserSettings.h"

#include "nuvutil/com/Variant.h"

#include <new>
#include <string>
#include <string_view>
#include <utility>

namespace {

// A read counts only when the call succeeds and the service's status says so.
bool ReadSetting(IConfigSettings* category, LONG id, NuvCom::CVariant& value) {
    LONG status = 0;  // a service that leaves the status unwritten has not said success
    const HRESULT hr = category->Get(id, value.Put(), &status);
    if (FAILED(hr) || status != QV_CONFIG_STATUS_OK) {
        value.Clear();
        return false;
    }
    return true;
}

// Texts are taken only from a BSTR (a null one is the empty text); any other type is a failed
// read.
bool ReadText(IConfigSettings* category, LONG id, NuvCom::CVariant& value, const wchar_t*& text) {
    if (!ReadSetting(category, id, value) || value.Type() != VT_BSTR) return false;
    text = value.Get()->bstrVal;
    return true;
}

// Numbers and booleans are taken from any integer type (VT_BOOL included); a text, a floating
// value or anything else is a failed read.
bool ReadInteger(IConfigSettings* category, LONG id, LONGLONG& number) {
    NuvCom::CVariant value;
    if (!ReadSetting(category, id, value)) return false;
    const VARIANT& v = *value.Get();
    switch (v.vt) {
    case VT_I1: number = v.cVal; return true;
    case VT_UI1: number = v.bVal; return true;
    case VT_I2: number = v.iVal; return true;
    case VT_UI2: number = v.uiVal; return true;
    case VT_BOOL: number = v.boolVal; return true;
    case VT_I4: number = v.lVal; return true;
    case VT_UI4: number = v.ulVal; return true;
    case VT_INT: number = v.intVal; return true;
    case VT_UINT: number = v.uintVal; return true;
    case VT_I8: number = v.llVal; return true;
    case VT_UI8: number = static_cast<LONGLONG>(v.ullVal); return true;
    default: return false;
    }
}

// A boolean setting is judged by its 16-bit value, whatever integer type carries it.
SHORT As16Bit(LONGLONG number) noexcept { return static_cast<SHORT>(static_cast<USHORT>(number & 0xFFFF)); }

}  // namespace

CUserSettings::CUserSettings() = default;

CUserSettings::CUserSettings(IConfigSettings* category) {
    if (category == nullptr) {
        m_bProtected = 1;  // as a failed read of 315
        return;
    }
    NuvCom::CVariant value;
    const wchar_t* text = nullptr;

    if (ReadText(category, kUserId, value, text)) m_strUserId.Append(text, -1);
    if (ReadText(category, kUserName, value, text)) m_strUserName.Append(text, -1);

    if (ReadSetting(category, kProtected, value) && value.Type() == VT_BOOL &&
        value.Get()->boolVal == VARIANT_FALSE) {
        ApplyUnprotectedDefaults();
        return;
    }
    m_bProtected = 1;

    LONGLONG number = 0;
    if (ReadInteger(category, kAgeGroup, number)) m_nAgeGroup = static_cast<LONG>(number);
    if (ReadInteger(category, kAllowedListOnly, number)) m_bAllowedListOnly = As16Bit(number) != 0 ? 1 : 0;

    if (ReadSetting(category, kTimeBlocks, value) && value.Type() == VT_BSTR && value.Get()->bstrVal != nullptr) {
        std::unique_ptr<CNuvTimeBlocksWeek> week(new (std::nothrow) CNuvTimeBlocksWeek(value.Get()->bstrVal));
        // A week whose blocks could not be allocated cannot say anything: no week.
        std::wstring probe;
        if (week && week->ToString(probe)) m_pTimeBlocks = std::move(week);
    }
    m_bTimeRestricted = m_pTimeBlocks && !m_pTimeBlocks->IsUnrestricted() ? 1 : 0;

    if (ReadInteger(category, kSafeSearch, number)) m_bSafeSearch = As16Bit(number) == VARIANT_TRUE ? 1 : 0;
    if (ReadText(category, kCategoryMask, value, text)) m_strCategoryMask.Append(text, -1);
    if (ReadInteger(category, kCategoryMode, number)) m_nCategoryMode = static_cast<LONG>(number);
    m_bNoCategoryFiltering = m_nCategoryMode == 0 && m_strCategoryMask.IsEqual(kNoCategories) ? 1 : 0;

    if (ReadText(category, kBlockedSites, value, text)) ParseSiteList(text, m_blockedSites);
    m_bBlockedListEmpty = m_blockedSites.empty() ? 1 : 0;
    if (ReadText(category, kAllowedSites, value, text)) ParseSiteList(text, m_allowedSites);
}

std::unique_ptr<CUserSettings> CUserSettings::CreateTemporaryAdultSettings() {
    auto settings = std::make_unique<CUserSettings>();
    settings->m_strUserId.Assign(kTemporaryAdult);
    settings->m_strUserName.Assign(kTemporaryAdult);
    settings->ApplyUnprotectedDefaults();
    return settings;
}

void CUserSettings::ApplyUnprotectedDefaults() {
    m_bTimeRestricted = 0;
    m_bAllowedListOnly = 0;
    m_nAgeGroup = kDefaultAgeGroup;
    m_bSafeSearch = 0;
    m_strCategoryMask.Assign(kNoCategories);
    m_nCategoryMode = 0;
    m_bNoCategoryFiltering = 1;
    m_bBlockedListEmpty = 1;
    m_bProtected = 0;
    if (m_pTimeBlocks) m_pTimeBlocks->AllowAll();
}

bool CUserSettings::GetTimeBlocks(CSafeStringW& text) const {
    if (!m_pTimeBlocks) return false;
    std::wstring blocks;
    if (!m_pTimeBlocks->ToString(blocks)) return false;
    text.Assign(blocks.c_str());
    return true;
}

bool CUserSettings::IsOnAllowedList(const wchar_t* url, CSafeStringW& matched) const {
    return MatchSiteList(url, m_allowedSites, matched);
}

bool CUserSettings::IsOnBlockedList(const wchar_t* url, CSafeStringW& matched) const {
    return MatchSiteList(url, m_blockedSites, matched);
}

void CUserSettings::ParseSiteList(const wchar_t* text, CSiteList& list) {
    if (text == nullptr) return;
    list.clear();
    // Every blank separates, and an empty word is no entry: a leading blank or two blanks in a row
    // must not end the list and leave the rest of the user's sites unblocked.
    const std::wstring_view all(text);
    std::size_t start = 0;
    while (start < all.size()) {
        const std::size_t blank = all.find(L' ', start);
        const std::size_t end = blank == std::wstring_view::npos ? all.size() : blank;
        if (end > start) list.emplace_back(std::wstring(all.substr(start, end - start)).c_str());
        start = end + 1;
    }
    // Now, while the settings are read, rather than in the first request of the user.
    list.Index();
}
