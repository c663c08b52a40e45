#include "plugin/timelimits/NotComDll.h"

#include "base/RegKey.h"

#include <new>

namespace {

constexpr const wchar_t kPlatformKey[] = L"Software\\Oberix\\Kernova";
constexpr const wchar_t kInstallDirValue[] = L"szInstallDir64";
constexpr DWORD kInstallDirChars = 262;

bool FileExists(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The folder of a module, with its final backslash; empty when it cannot be read.
std::wstring ModuleFolder(HMODULE module) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(module, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

}  // namespace

bool GetPlatformInstallDir(std::wstring& folder) {
    Tessal::CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, kPlatformKey, KEY_READ | KEY_WOW64_32KEY) != ERROR_SUCCESS) return false;
    wchar_t buffer[kInstallDirChars] = {};
    ULONG chars = kInstallDirChars;
    if (key.QueryStringBuffer(kInstallDirValue, buffer, &chars) != ERROR_SUCCESS || buffer[0] == L'\0') return false;
    folder = buffer;
    return true;
}

DWORD CNotComDll::Load() {
    if (m_name.size() >= MAX_PATH) return ERROR_INVALID_PARAMETER;
    try {
        const bool asGiven = m_name.size() < 3 || m_name[0] == L'\\' || m_name[1] == L':';
        if (asGiven) {
            m_path = m_name;
        } else {
            std::wstring folder;
            if (GetPlatformInstallDir(folder)) {
                m_path = folder + L"\\" + m_name;
            }
            if (m_path.empty() || !FileExists(m_path)) {
                ::OutputDebugStringW(
                    L"NotComDllGetInterface: DLL not found in install location, looking in the executable's folder\n");
                const std::wstring executableFolder = ModuleFolder(m_module);
                // A bare name would let the loader search the current directory.
                if (executableFolder.empty()) return ERROR_SUCCESS;
                m_path = executableFolder + m_name;
            }
        }
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    m_library.Reset(::LoadLibraryExW(m_path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    return ERROR_SUCCESS;
}
