#include "base/LibraryLoading.h"

#include "base/Format.h"
#include "base/ShlObjAPI.h"
#include "base/UniqueHandle.h"

#include <string>
#include <string_view>

namespace Tessal {

namespace {

bool IsSeparator(wchar_t c) noexcept { return c == L'\\' || c == L'/'; }

bool IsDriveLetter(wchar_t c) noexcept { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

// "X:" followed by a separator.
bool IsDriveRoot(std::wstring_view path, bool slashAllowed) noexcept {
    return path.size() >= 3 && IsDriveLetter(path[0]) && path[1] == L':' &&
           (path[2] == L'\\' || (slashAllowed && path[2] == L'/'));
}

// The text after the root: a last element that is a file name with an extension. A ':' here
// would be a stream name or a second root.
bool EndsInFileWithExtension(std::wstring_view rest) noexcept {
    if (rest.empty() || IsSeparator(rest.back())) return false;
    if (rest.find(L':') != std::wstring_view::npos) return false;
    const std::size_t lastSeparator = rest.find_last_of(L"\\/");
    const std::wstring_view file =
        lastSeparator == std::wstring_view::npos ? rest : rest.substr(lastSeparator + 1);
    if (file == L"." || file == L"..") return false;
    return file.find(L'.') != std::wstring_view::npos;
}

// "server<sep>share<sep>" at the start of `path`; returns what follows, or false.
bool SkipServerAndShare(std::wstring_view path, bool slashAllowed, std::wstring_view& rest) noexcept {
    auto isSep = [slashAllowed](wchar_t c) { return c == L'\\' || (slashAllowed && c == L'/'); };
    std::size_t position = 0;
    for (int part = 0; part < 2; ++part) {
        const std::size_t start = position;
        while (position < path.size() && !isSep(path[position])) ++position;
        if (position == start || position == path.size()) return false;
        const std::wstring_view name = path.substr(start, position - start);
        // "\\.\" and "\\?\" are device prefixes, not servers.
        if (part == 0 && (name == L"." || name == L"?")) return false;
        if (name.find(L':') != std::wstring_view::npos) return false;
        ++position;
    }
    rest = path.substr(position);
    return true;
}

}  // namespace

bool IsQualifiedFilePath(LPCWSTR name) {
    if (name == nullptr) return false;
    const std::wstring_view path(name);
    std::wstring_view rest;

    if (path.substr(0, 4) == L"\\\\?\\") {
        // No normalisation happens after "\\?\": '/' is no separator there.
        std::wstring_view literal = path.substr(4);
        if (literal.find(L'/') != std::wstring_view::npos) return false;
        if (literal.substr(0, 4) == L"UNC\\") {
            if (!SkipServerAndShare(literal.substr(4), false, rest)) return false;
        } else if (IsDriveRoot(literal, false)) {
            rest = literal.substr(3);
        } else {
            return false;
        }
    } else if (path.size() > 2 && IsSeparator(path[0]) && IsSeparator(path[1]) && !IsSeparator(path[2])) {
        if (!SkipServerAndShare(path.substr(2), true, rest)) return false;
    } else if (IsDriveRoot(path, true)) {
        rest = path.substr(3);
    } else {
        return false;
    }
    return EndsInFileWithExtension(rest);
}

HMODULE LoadSystemLibrary(ShlObjAPI& shell, LPCWSTR name, HANDLE /*reserved*/, DWORD flags) {
    if (name == nullptr) return nullptr;
    PWSTR systemFolder = nullptr;
    const HRESULT hr = shell.GetKnownFolderPath(FOLDERID_System, 0, nullptr, &systemFolder);
    const UniqueCoTaskMem folderOwner(systemFolder);
    if (FAILED(hr) || systemFolder == nullptr) return nullptr;
    const std::wstring path = Format(L"%s\\%s", systemFolder, name);
    if (path.empty()) return nullptr;
    return ::LoadLibraryExW(path.c_str(), nullptr, flags & ~static_cast<DWORD>(LOAD_WITH_ALTERED_SEARCH_PATH));
}

HMODULE LoadSystemLibrary(LPCWSTR name, HANDLE reserved, DWORD flags) {
    ShlObjAPI shell;
    return LoadSystemLibrary(shell, name, reserved, flags);
}

HMODULE LoadSystemLibrary(LPCWSTR name) { return LoadSystemLibrary(name, nullptr, 0); }

HMODULE SafeLoadLibraryEx(LPCWSTR name, HANDLE /*reserved*/, DWORD flags) {
    if (name == nullptr || !IsQualifiedFilePath(name)) return nullptr;
    return ::LoadLibraryExW(name, nullptr, flags);
}

HMODULE SafeLoadLibrary(LPCWSTR name) { return SafeLoadLibraryEx(name, nullptr, 0); }

}  // namespace Tessal
