#include "base/FileVersionInfo.h"

#include "base/Format.h"
#include "base/ShlObjAPI.h"
#include "base/UniqueHandle.h"

#include <utility>

namespace Tessal {

FileVersionInfo::FileVersionInfo() = default;
FileVersionInfo::~FileVersionInfo() = default;

bool FileVersionInfo::Load(const std::wstring& path) {
    if (m_loaded) return false;
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) return false;
    m_data.assign(size, 0);
    m_loaded = ::GetFileVersionInfoW(path.c_str(), 0, size, m_data.data()) == TRUE;
    return m_loaded;
}

std::wstring FileVersionInfo::GetValue(const std::wstring& name) const {
    if (!m_loaded) return {};

    struct Translation {
        WORD language;
        WORD codePage;
    };
    void* table = nullptr;
    UINT tableBytes = 0;
    if (!::VerQueryValueW(m_data.data(), L"\\VarFileInfo\\Translation", &table, &tableBytes) ||
        table == nullptr) {
        return {};
    }
    const auto* pairs = static_cast<const Translation*>(table);
    const UINT count = tableBytes / sizeof(Translation);
    for (UINT i = 0; i < count; ++i) {
        const std::wstring query = Format(L"\\StringFileInfo\\%04X%04X\\%s", pairs[i].language,
                                          pairs[i].codePage, name.c_str());
        void* value = nullptr;
        UINT length = 0;
        if (::VerQueryValueW(m_data.data(), query.c_str(), &value, &length) && value != nullptr) {
            return static_cast<const wchar_t*>(value);
        }
    }
    return {};
}

SystemFileVersionInfo::SystemFileVersionInfo(std::shared_ptr<ShlObjAPI> shell)
    : m_shell(shell ? std::move(shell) : std::make_shared<ShlObjAPI>()) {}

SystemFileVersionInfo::~SystemFileVersionInfo() = default;

bool SystemFileVersionInfo::Load(const std::wstring& fileName) {
    return FileVersionInfo::Load(SystemFolder() + fileName);
}

std::wstring SystemFileVersionInfo::SystemFolder() {
    if (m_systemFolder.empty()) {
        PWSTR raw = nullptr;
        const HRESULT hr = m_shell->GetKnownFolderPath(FOLDERID_System, 0, nullptr, &raw);
        const UniqueCoTaskMem owner(raw);
        if (SUCCEEDED(hr) && raw != nullptr) {
            m_systemFolder = raw;
            m_systemFolder += L'\\';
        }
    }
    // A failure is not cached: the next load asks again.
    return m_systemFolder.empty() ? std::wstring(L"\\") : m_systemFolder;
}

}  // namespace Tessal
