#pragma once
// Orders wide texts ignoring case (_wcsicmp), for std::map and std::set keyed by user names,
// SIDs, zone names and category masks.

#include <cwchar>
#include <string>

struct NoCaseLess {
    bool operator()(const std::wstring& left, const std::wstring& right) const noexcept {
        return ::_wcsicmp(left.c_str(), right.c_str()) < 0;
    }
};
