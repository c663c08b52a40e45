#include "base/FileSystem.h"

#include "base/Format.h"
#include "base/UniqueHandle.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cwchar>

namespace Tessal {
namespace {

constexpr wchar_t kLongPathPrefix[] = L"\\\\?\\";
constexpr std::size_t kLongPathPrefixLength = 4;
// No module path or current directory is longer than the long-path limit.
constexpr DWORD kMaxPathCharacters = 32768;

bool IsEmpty(const wchar_t* s) { return s == nullptr || s[0] == 0; }
bool IsDotOrDotDot(const wchar_t* s) { return std::wcscmp(s, L".") == 0 || std::wcscmp(s, L"..") == 0; }
bool HasLongPathPrefix(const std::wstring& path) { return path.compare(0, kLongPathPrefixLength, kLongPathPrefix) == 0; }
bool IsUncPath(const std::wstring& path) { return path.size() > 2 && path[0] == L'\\' && path[1] == L'\\'; }

DWORD AttributesOf(const wchar_t* path) { return IsEmpty(path) ? INVALID_FILE_ATTRIBUTES : ::GetFileAttributesW(path); }

void ClearReadOnly(const wchar_t* path, DWORD attributes) {
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        ::SetFileAttributesW(path, attributes & ~FILE_ATTRIBUTE_READONLY);
    }
}

// A junction or directory symbolic link: removing it must not touch what it points to.
bool RemoveDirectoryLink(const wchar_t* path, DWORD attributes) {
    ClearReadOnly(path, attributes);
    return ::RemoveDirectoryW(path) != FALSE;
}

// The reparse tag of a path's own entry; 0 when it cannot be read.
DWORD ReparseTagOf(const wchar_t* path) {
    WIN32_FIND_DATAW entry;
    UniqueFindHandle found(::FindFirstFileW(path, &entry));
    return found && (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? entry.dwReserved0 : 0;
}

}  // namespace

namespace internal {

bool IsDirectoryLink(DWORD attributes, DWORD reparseTag) {
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        return false;
    }
    // Junctions, symbolic links and the like stand for another name; other reparse points (cloud
    // placeholders, deduplicated folders) are real folders. An unknown tag is taken as a link.
    return reparseTag == 0 || IsReparseTagNameSurrogate(reparseTag);
}

}  // namespace internal

bool DeleteFiles(const wchar_t* pattern, bool recursive) {
    if (IsEmpty(pattern) || IsDotOrDotDot(pattern)) return false;
    const std::wstring text(pattern);
    const std::size_t slash = text.rfind(L'\\');
    if (slash == std::wstring::npos || slash + 1 == text.size()) return false;
    const std::wstring folder = text.substr(0, slash + 1);

    WIN32_FIND_DATAW entry;
    UniqueFindHandle search(::FindFirstFileW(pattern, &entry));
    if (!search) return false;

    bool result = true;
    do {
        const std::wstring path = folder + entry.cFileName;
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            if (IsDotOrDotDot(entry.cFileName) || !recursive) continue;
            const bool removed = internal::IsDirectoryLink(entry.dwFileAttributes, entry.dwReserved0)
                                     ? RemoveDirectoryLink(path.c_str(), entry.dwFileAttributes)
                                     : RemoveDirectoryTree(path.c_str());
            if (!removed) result = false;
        } else {
            ClearReadOnly(path.c_str(), entry.dwFileAttributes);
            if (!::DeleteFileW(path.c_str())) result = false;
        }
    } while (::FindNextFileW(search.Get(), &entry));
    return result;
}

bool RemoveDirectoryTree(const wchar_t* folder) {
    if (IsEmpty(folder) || IsDotOrDotDot(folder) || !DirectoryExists(folder)) return false;
    const DWORD attributes = ::GetFileAttributesW(folder);
    if (internal::IsDirectoryLink(attributes, ReparseTagOf(folder))) return RemoveDirectoryLink(folder, attributes);

    if (!DeleteFiles(Format(L"%s\\*.*", folder).c_str(), true)) return false;
    ClearReadOnly(folder, ::GetFileAttributesW(folder));
    return ::RemoveDirectoryW(folder) != FALSE;
}

bool IsRegularFile(const wchar_t* path) {
    if (IsEmpty(path)) return false;
    struct _stat info;
    return ::_wstat(path, &info) == 0 && (info.st_mode & _S_IFREG) != 0;
}

bool DirectoryExists(const wchar_t* path) {
    const DWORD attributes = AttributesOf(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool FileExists(const wchar_t* path) {
    const DWORD attributes = AttributesOf(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool GetModuleFolderAndName(HMODULE module, std::wstring& folder, bool withBackslash, std::wstring& name) {
    const std::wstring path = GetModuleFileNameString(module);
    const std::size_t slash = path.rfind(L'\\');
    if (slash == std::wstring::npos) return false;
    folder = path.substr(0, withBackslash ? slash + 1 : slash);
    name = path.substr(withBackslash ? slash : slash + 1);
    return true;
}

bool CreateDirectoryPath(const wchar_t* path, DWORD* error) {
    DWORD ignored = 0;
    DWORD& result = error != nullptr ? *error : ignored;
    if (IsEmpty(path)) {
        result = ERROR_INVALID_PARAMETER;
        return false;
    }
    if (DirectoryExists(path)) {
        result = ERROR_ALREADY_EXISTS;
        return true;
    }

    std::wstring absolute(path);
    if (!HasLongPathPrefix(absolute) && !IsUncPath(absolute)) {
        // Relative, drive-relative ("C:x") and rooted ("\x") paths resolve as Windows resolves them.
        const DWORD needed = ::GetFullPathNameW(path, 0, nullptr, nullptr);
        if (needed == 0) {
            result = ::GetLastError();
            return false;
        }
        absolute.assign(needed, L'\0');
        const DWORD written = ::GetFullPathNameW(path, needed, &absolute[0], nullptr);
        if (written == 0 || written >= needed) {
            result = written == 0 ? ::GetLastError() : ERROR_BUFFER_OVERFLOW;
            return false;
        }
        absolute.resize(written);
    }

    result = CreateDirectoryTree(absolute);
    return result == ERROR_SUCCESS;
}

DWORD CreateDirectoryTree(const std::wstring& absolutePath) {
    if (DirectoryExists(absolutePath.c_str())) return ERROR_SUCCESS;

    const bool prefixed = HasLongPathPrefix(absolutePath);
    const std::wstring path = prefixed ? absolutePath.substr(kLongPathPrefixLength) : absolutePath;
    const std::size_t last = path.rfind(L'\\');
    if (last == std::wstring::npos) return ERROR_SUCCESS;

    if (last != path.find(L'\\')) {
        const std::wstring parent = (prefixed ? std::wstring(kLongPathPrefix) : std::wstring()) + path.substr(0, last);
        const DWORD parentError = CreateDirectoryTree(parent);
        if (parentError != ERROR_SUCCESS) return parentError;
    }

    if (!::CreateDirectoryW(absolutePath.c_str(), nullptr)) {
        const DWORD error = ::GetLastError();
        // A folder made meanwhile is what was asked for; a file of that name is not.
        if (error != ERROR_ALREADY_EXISTS || !DirectoryExists(absolutePath.c_str())) return error;
    }
    return ERROR_SUCCESS;
}

std::wstring GetCurrentDirectoryString() {
    std::wstring directory;
    DWORD needed = ::GetCurrentDirectoryW(0, nullptr);
    // The directory can change between the two calls: retry until it fits.
    while (needed != 0 && needed <= kMaxPathCharacters) {
        directory.assign(needed, L'\0');
        const DWORD written = ::GetCurrentDirectoryW(needed, &directory[0]);
        if (written == 0) break;
        if (written < needed) {
            directory.resize(written);
            return directory;
        }
        needed = written;
    }
    return {};
}

std::wstring GetModuleFileNameString(HMODULE module) {
    std::wstring path;
    for (DWORD capacity = 255; capacity <= kMaxPathCharacters; capacity += 255) {
        path.assign(capacity, L'\0');
        const DWORD length = ::GetModuleFileNameW(module, &path[0], capacity);
        if (length == 0) return {};
        if (length < capacity) {
            path.resize(length);
            return path;
        }
    }
    return {};
}

}  // namespace Tessal
