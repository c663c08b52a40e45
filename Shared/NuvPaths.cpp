#include "Shared/NuvPaths.h"
#include "Shared/ProductKey.h"

#include "base/RegKey.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <cwchar>

namespace {

constexpr const wchar_t* kInstallDirValue = L"Install Dir";
constexpr DWORD kPathChars = MAX_PATH + 1;

// Copies at most size - 1 characters and terminates; callers checked buffer and size.
void CopyCut(wchar_t* buffer, DWORD size, const wchar_t* text) {
    const std::size_t length = ::wcsnlen(text, size - 1);
    std::wmemcpy(buffer, text, length);
    buffer[length] = L'\0';
}

}  // namespace

bool GetNuvInstallDir(wchar_t* buffer, DWORD size) {
    if (buffer == nullptr || size == 0) return false;
    buffer[0] = L'\0';

    Tessal::CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, kNuvProductKey, KEY_READ) != ERROR_SUCCESS) return false;
    wchar_t folder[kPathChars] = {};
    DWORD type = REG_NONE;
    ULONG bytes = sizeof(folder);
    if (key.QueryValue(kInstallDirValue, &type, folder, &bytes) != ERROR_SUCCESS) return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
    if (bytes == 0) return true;
    if (bytes % sizeof(wchar_t) != 0 || folder[bytes / sizeof(wchar_t) - 1] != L'\0') return false;
    CopyCut(buffer, size, folder);
    return true;
}

bool QueryNuvInstallDir(wchar_t* buffer, DWORD size) {
    if (buffer == nullptr || size == 0) return false;
    return GetNuvInstallDir(buffer, size);
}

bool GetNuvResourceDllPath(wchar_t* buffer, DWORD size) {
    if (buffer == nullptr || size == 0) return false;
    buffer[0] = L'\0';
    wchar_t path[kPathChars + 1 + 11] = {};  // the folder, "\" and "NuvRes2.dll"
    if (!GetNuvInstallDir(path, kPathChars)) return false;
    std::wcscat(path, L"\\");
    std::wcscat(path, L"NuvRes2.dll");
    CopyCut(buffer, size, path);
    return true;
}

bool GetNuvDataFolder(wchar_t* buffer, DWORD size) {
    if (buffer == nullptr || size == 0) return false;
    wchar_t folder[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder))) return false;
    ::PathAppendW(folder, L"Oberix\\NUV");
    CopyCut(buffer, size, folder);
    return true;
}
