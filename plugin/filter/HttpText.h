#pragma once
// Small text tests the HTTP scans and the block decision share: ASCII case, blanks, and narrow
// texts cut to what a CSafeStringA holds.

#include "nuvutil/SafeString.h"
#include "plugin/filter/HttpBytes.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string_view>

namespace HttpText {

inline bool IsBlank(char c) noexcept { return c == ' ' || c == '\t'; }
inline bool IsDigit(char c) noexcept { return c >= '0' && c <= '9'; }

inline bool EqualsNoCase(std::string_view a, std::string_view b) noexcept {
    return a.size() == b.size() && ::_strnicmp(a.data(), b.data(), a.size()) == 0;
}
inline bool StartsNoCase(std::string_view text, std::string_view prefix) noexcept {
    return text.size() >= prefix.size() && ::_strnicmp(text.data(), prefix.data(), prefix.size()) == 0;
}
inline bool EndsNoCase(std::string_view text, std::string_view suffix) noexcept {
    return text.size() >= suffix.size() &&
           ::_strnicmp(text.data() + text.size() - suffix.size(), suffix.data(), suffix.size()) == 0;
}

inline std::string_view TrimBlanks(std::string_view text) noexcept {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

inline void AssignCut(CSafeStringA& target, std::string_view text) {
    const std::size_t n = std::min<std::size_t>(text.size(), CSafeStringA::kMaxLength);
    const char* const from = text.data();
    const bool inside = from != nullptr && target.m_pBuffer != nullptr && !std::less<const char*>()(from, target.m_pBuffer) &&
                        std::less<const char*>()(from, target.m_pBuffer + target.m_nBufferSize);
    if (inside || HttpBytes::FindByte(from, n, '\0') != n) {
        target.Assign(from, static_cast<int>(n));
        return;
    }
    // What Assign does for a text without a NUL, without its search for one byte by byte: every
    // request's method, URLs and host pass here.
    if (target.m_nBufferSize < n + 1) target.SetBufferSize(static_cast<int>(n + 1));
    if (n != 0) std::memcpy(target.m_pBuffer, from, n);
    target.m_nLength = static_cast<std::uint16_t>(n);
    target.m_pBuffer[n] = '\0';
}

}  // namespace HttpText
