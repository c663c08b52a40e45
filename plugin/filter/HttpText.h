#pragma once
// Small text tests the HTTP scans and the block decision share: ASCII case, blanks, and narrow
// texts cut to what a CSafeStringA holds.

#include "nuvutil/SafeString.h"

#include <algorithm>
#include <cstring>
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
    target.Assign(text.data(), static_cast<int>(std::min<std::size_t>(text.size(), CSafeStringA::kMaxLength)));
}

}  // namespace HttpText
