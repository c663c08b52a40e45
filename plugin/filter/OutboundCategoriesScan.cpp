#include "plugin/filter/OutboundCategoriesScan.h"

#include "base/TextConversion.h"
#include "base/UniqueHandle.h"
#include "logging/Logging.h"
#include "plugin/filter/CategoryMasks.h"
#include "plugin/filter/UrlClassification.h"

#include <psapi.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr DWORD kResultSize = 65;
// Links of an allowed page are not allowed along with it when the page is of this category.
constexpr wchar_t kNoEmbeddedUrlsMask[] = L"00000000000000000000040000000000";

CategoryMap ReadCategoryNames() {
    CategoryMap names;
    CAffiliateSettings().LoadCategorySettings(names);
    return names;
}

std::wstring Wide(const CSafeStringA& text) {
    return text.m_pBuffer != nullptr ? Tessal::FromThreadAnsi(std::string_view(text.m_pBuffer, text.m_nLength)) : L"";
}

// As Wide, into `wide`, whose room serves the next request. ASCII reads alike in every ANSI code
// page, so a URL of ASCII alone (nearly every one) needs no conversion call.
void WidenInto(const CSafeStringA& text, std::wstring& wide) {
    const std::size_t length = text.m_pBuffer != nullptr ? text.m_nLength : 0;
    const unsigned char* const bytes = reinterpret_cast<const unsigned char*>(text.m_pBuffer);
    if (!std::all_of(bytes, bytes + length, [](unsigned char c) { return c < 0x80; })) {
        wide = Wide(text);
        return;
    }
    wide.resize(length);
    std::copy(bytes, bytes + length, wide.begin());
}

}  // namespace

COutboundCategoriesScan::COutboundCategoriesScan() : m_names(ReadCategoryNames()) {}

COutboundCategoriesScan::COutboundCategoriesScan(CategoryMap names) : m_names(std::move(names)) {}

std::wstring COutboundCategoriesScan::ProcessImagePath(DWORD processId) {
    Tessal::UniqueHandle process(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId));
    if (!process) return {};
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameExW(process.Get(), nullptr, path, MAX_PATH);
    return std::wstring(path, length);
}

LONG COutboundCategoriesScan::GetCategoryNameId(const std::wstring& mask) const {
    const auto found = m_names.find(mask);
    return found != m_names.end() ? found->second : 0;
}

LONG COutboundCategoriesScan::FindCategoryNameId(const std::wstring& urlMask, CSafeStringW& matched) const {
    for (const auto& entry : m_names) {
        if (IsCategoryInList(urlMask.c_str(), entry.first.c_str(), nullptr)) {
            matched.Assign(entry.first.c_str());
            return entry.second != 0 ? entry.second : kUnknownCategoryNameId;
        }
    }
    return kUnknownCategoryNameId;
}

void COutboundCategoriesScan::Scan(CScanAlgorithmState& baseState) {
    CState& state = static_cast<CState&>(baseState);
    state.m_bPassed = true;
    const bool blocksNothing = state.m_nCategoryMode == 0 && state.m_strUserMask.m_pBuffer != nullptr &&
                               std::strcmp(state.m_strUserMask.m_pBuffer, kNoCategoryMask) == 0;
    if (!state.m_bAllowedByList && blocksNothing) return;  // no look-up for a user who blocks no category

    char result[kResultSize] = {};
    DWORD size = kResultSize;
    if (!state.m_bProcessPathKnown) {
        state.m_processPath = ProcessImagePath(state.m_processId);
        state.m_bProcessPathKnown = true;
    }
    NUV_LOG(ETWLogging::LOG_NORMAL, L"%s", state.m_processPath.c_str());
    WidenInto(state.m_strUrl, state.m_wideUrl);
    if (GetUrlClassification(state.m_wideUrl.c_str(), result, &size, state.m_processPath.c_str()) == 0) return;

    const std::wstring urlMask = Tessal::FromThreadAnsi(std::string_view(result, ::strnlen(result, kResultSize)));
    if (!state.m_bAllowedByList) {
        const std::wstring userMask = Wide(state.m_strUserMask);
        CSafeStringW matched;
        const bool inList = IsCategoryInList(urlMask.c_str(), userMask.c_str(), &matched);
        if ((inList && state.m_nCategoryMode == 0) || (!inList && state.m_nCategoryMode == 1)) {
            state.m_bPassed = false;
            state.m_nCategoryNameId = inList ? GetCategoryNameId(matched.GetString()) : FindCategoryNameId(urlMask, matched);
            state.m_strMatchedMask = matched;
            return;
        }
        if (state.m_nCategoryMode != 1) return;
    }
    // Allowed by the list, or of a category the user may reach in mode 1: the page's links become
    // reachable too, unless the page is of the category that never lends its links.
    if (!IsCategoryInList(urlMask.c_str(), kNoEmbeddedUrlsMask, nullptr) && state.m_callback != nullptr) {
        state.m_callback->EnableEmbeddedUrlScan();
    }
}
