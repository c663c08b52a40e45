#include "base/TextConversion.h"

#include <windows.h>

#include <climits>

namespace Tessal {

std::string ToUtf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int length = static_cast<int>(text.size());
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return {};
    std::string result(static_cast<std::size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, &result[0], bytes, nullptr, nullptr);
    return result;
}

namespace {

std::wstring ToWide(UINT codePage, std::string_view text) {
    if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) return {};
    const int length = static_cast<int>(text.size());
    const int chars = ::MultiByteToWideChar(codePage, 0, text.data(), length, nullptr, 0);
    if (chars <= 0) return {};
    std::wstring result(static_cast<std::size_t>(chars), L'\0');
    if (::MultiByteToWideChar(codePage, 0, text.data(), length, &result[0], chars) != chars) return {};
    return result;
}

}  // namespace

std::wstring FromUtf8(const std::string& text) { return ToWide(CP_UTF8, text); }

std::wstring FromThreadAnsi(std::string_view text) { return ToWide(CP_THREAD_ACP, text); }

std::string ToThreadAnsi(std::wstring_view text) {
    if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) return {};
    const int length = static_cast<int>(text.size());
    const int bytes = ::WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return {};
    std::string result(static_cast<std::size_t>(bytes), '\0');
    if (::WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), length, &result[0], bytes, nullptr, nullptr) != bytes) {
        return {};
    }
    return result;
}

}  // namespace Tessal
