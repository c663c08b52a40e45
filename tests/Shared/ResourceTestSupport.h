#pragma once
// Scratch folders, copies of the build's resource DLLs and MUI runtime stand-ins, the stand-in's
// call record and environment variables changed for one test.

#include "base/TextConversion.h"
#include "base/UniqueHandle.h"
#include "suite/rtmui/QvRtMuiStandIn.h"
#include "tests/support/ScratchFolder.h"
#include "tests/support/TestPaths.h"

#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace NuvTest {

inline std::wstring RuntimeStandIn() { return ExeFolder() + L"\\rtmui\\QvRtMui.dll"; }
inline std::wstring IncompleteRuntimeStandIn() { return ExeFolder() + L"\\rtmui-incomplete\\QvRtMui.dll"; }

inline std::string Utf8(const std::wstring& text) { return Tessal::ToUtf8(text); }

// Copies `source` to `folder\name`, creating the folder.
inline bool CopyInto(const std::wstring& source, const std::wstring& folder, const std::wstring& name) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    return ::CopyFileW(source.c_str(), (folder + L"\\" + name).c_str(), FALSE) != FALSE;
}

// The build's "NuvRes2.dll" and, unless left out, "nuvuc.dll" into the folder.
inline bool CopyResourceDlls(const std::wstring& folder, bool withCustom = true) {
    return CopyInto(ExeFolder() + L"\\NuvRes2.dll", folder, L"NuvRes2.dll") &&
           (!withCustom || CopyInto(ExeFolder() + L"\\custom\\nuvuc.dll", folder, L"nuvuc.dll"));
}

// The lines of a UTF-8 file with "\r\n" line ends; none when it does not exist.
inline std::vector<std::string> ReadLines(const std::wstring& path) {
    std::vector<std::string> lines;
    Tessal::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
    if (!file) return lines;
    std::string text(::GetFileSize(file.Get(), nullptr), '\0');
    DWORD read = 0;
    if (!text.empty() && !::ReadFile(file.Get(), &text[0], static_cast<DWORD>(text.size()), &read, nullptr)) {
        return lines;
    }
    for (std::size_t start = 0, end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

// Sets (or, with nullopt, removes) a variable of this process; the old state comes back at
// destruction. Child processes inherit the changed environment.
class CScopedEnvironmentVariable {
public:
    CScopedEnvironmentVariable(const wchar_t* name, const std::optional<std::wstring>& value) : m_name(name) {
        std::wstring old(32767, L'\0');
        const DWORD length = ::GetEnvironmentVariableW(name, &old[0], static_cast<DWORD>(old.size()));
        if (length > 0 && length < old.size()) m_old = old.substr(0, length);
        ::SetEnvironmentVariableW(name, value ? value->c_str() : nullptr);
    }
    ~CScopedEnvironmentVariable() { ::SetEnvironmentVariableW(m_name.c_str(), m_old ? m_old->c_str() : nullptr); }
    CScopedEnvironmentVariable(const CScopedEnvironmentVariable&) = delete;
    CScopedEnvironmentVariable& operator=(const CScopedEnvironmentVariable&) = delete;

private:
    std::wstring m_name;
    std::optional<std::wstring> m_old;
};

}  // namespace NuvTest
