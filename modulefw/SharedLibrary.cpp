#include "modulefw/SharedLibrary.h"

#include "base/LibraryLoading.h"
#include "base/ObfuscatedRegKey.h"
#include "logging/Logging.h"
#include "modulefw/GuardedCall.h"
#include "modulefw/ModuleException.h"

#include <cwctype>
#include <utility>

namespace Korin {

namespace {

// The host's own module DLLs, never checked against the block list (lower case).
const wchar_t* const kAllowList[] = {L"ostrave.dll", L"pellisk.dll", L"vrandon.dll", L"halvex.dll"};

constexpr wchar_t kBlockListKey[] = L"SOFTWARE\\Oberix\\Plexan\\List\\";

std::wstring ToLower(const std::wstring& text) {
    std::wstring lower(text);
    for (wchar_t& c : lower) c = static_cast<wchar_t>(std::towlower(c));
    return lower;
}

std::wstring JoinPath(const std::wstring& folder, const std::wstring& name) { return folder + L"\\" + name; }

// Where LoadLibraryExW would not look relative to the current directory: a drive root or UNC
// path naming the file itself. "C:x.dll", "\x.dll", "x\y.dll" and names with stream colons fail.
bool IsAbsoluteLocation(const std::wstring& folder, const std::wstring& name) {
    std::wstring path(folder);
    if (!path.empty() && path.back() == L'\\') path.pop_back();
    return Tessal::IsQualifiedFilePath(JoinPath(path, name).c_str());
}

template <class Slot>
void StoreEntryPoint(Slot& slot, FARPROC address) {
    slot = reinterpret_cast<Slot>(reinterpret_cast<void*>(address));
}

}  // namespace

SharedLibrary::SharedLibrary(const SharedLibraryInfo& info, std::shared_ptr<DllLoader> loader,
                             std::shared_ptr<PathHelpers> pathHelpers, std::shared_ptr<PathSearch> pathSearch,
                             std::shared_ptr<Tessal::FileVersionInfo> versionInfo,
                             std::shared_ptr<Tessal::CRegKey> blockListKey)
    : m_name(info.name),
      m_searchPaths(info.searchPaths),
      m_loader(loader ? std::move(loader) : std::make_shared<DllLoader>()),
      m_pathHelpers(pathHelpers ? std::move(pathHelpers) : std::make_shared<PathHelpers>()),
      m_pathSearch(pathSearch ? std::move(pathSearch) : std::make_shared<PathSearch>()),
      m_blockListKey(std::move(blockListKey)),
      m_versionInfo(std::move(versionInfo)) {
    if (loadLibrary() != MODULE_STATUS_SUCCESS) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to load library: %ls. Throwing ModuleException.", m_name.c_str());
        throw ModuleException("Failed to load library");
    }
    if (importFunctions() != MODULE_STATUS_SUCCESS) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to import functions from library: %ls. Throwing ModuleException.",
                m_name.c_str());
        try {
            unloadLibrary();
        } catch (...) {
        }
        throw ModuleException("Failed to import functions from library");
    }
}

SharedLibrary::~SharedLibrary() { internal::guardedCall([this] { return unloadLibrary(); }); }

const SharedLibraryFunctions* SharedLibrary::getFunctions() { return &m_functions; }

ModuleStatus SharedLibrary::loadLibrary() {
    std::vector<std::wstring> absoluteFolders;
    for (std::wstring& folder : m_searchPaths) {
        if (!m_pathHelpers->replaceTokens(folder)) {
            NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to resolve file path, %ls, for library: %ls.", folder.c_str(),
                    m_name.c_str());
            return MODULE_STATUS_NOT_FOUND;
        }
        if (IsAbsoluteLocation(folder, m_name)) {
            absoluteFolders.push_back(folder);
        } else {
            NUV_LOG(ETWLogging::LOG_WARNING, L"Skipping search folder %ls for library %ls: not an absolute path.",
                    folder.c_str(), m_name.c_str());
        }
    }
    m_pathSearch->addSearchPaths(absoluteFolders);

    std::wstring folder;
    if (!m_pathSearch->findFilePath(m_name, folder)) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to find valid path for library: %ls.", m_name.c_str());
        return MODULE_STATUS_NOT_FOUND;
    }
    // A search list handed in may hold folders added by others; they get the same test.
    if (!IsAbsoluteLocation(folder, m_name)) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Refusing library %ls found in %ls: not an absolute path.", m_name.c_str(),
                folder.c_str());
        return MODULE_STATUS_NOT_FOUND;
    }
    NUV_LOG(ETWLogging::LOG_NORMAL, L"Loading %ls from %ls.", m_name.c_str(), folder.c_str());

    const std::wstring fullPath = JoinPath(folder, m_name);
    if (isLibraryBlocked(folder, m_name)) {
        NUV_LOG(ETWLogging::LOG_INFORMATION, L"Blocked library: %ls.", fullPath.c_str());
        return MODULE_STATUS_NOT_SUPPORTED;
    }
    if (!m_loader->loadDLL(fullPath, &m_module)) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to load library: %ls.", m_name.c_str());
        return MODULE_STATUS_UNSUCCESSFUL;
    }
    return MODULE_STATUS_SUCCESS;
}

ModuleStatus SharedLibrary::importFunctions() {
    const auto import = [this](auto& slot, const char* name) {
        StoreEntryPoint(slot, m_loader->getProcAddress(m_module, name));
        if (slot != nullptr) return true;
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to load %hs function from library: %ls.", name, m_name.c_str());
        return false;
    };
    const bool imported = import(m_functions.createObject, "CreateObject") &&
                          import(m_functions.releaseObject, "ReleaseObject") &&
                          import(m_functions.getVersionStr, "GetVersionStr") &&
                          import(m_functions.getVersionNum, "GetVersionNum");
    return imported ? MODULE_STATUS_SUCCESS : MODULE_STATUS_NOT_FOUND;
}

ModuleStatus SharedLibrary::unloadLibrary() {
    try {
        if (m_module == nullptr) return MODULE_STATUS_SUCCESS;
        if (m_loader->freeDLL(m_module)) {
            m_module = nullptr;
            return MODULE_STATUS_SUCCESS;
        }
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to free library: %ls.", m_name.c_str());
        return MODULE_STATUS_UNSUCCESSFUL;
    } catch (...) {
        return MODULE_STATUS_UNKNOWN_EXCEPTION;
    }
}

bool SharedLibrary::isLibraryBlocked(const std::wstring& folder, const std::wstring& name) {
    if (name.empty() || folder.empty()) return false;
    const std::wstring lowerName = ToLower(name);
    for (const wchar_t* allowed : kAllowList) {
        if (lowerName == allowed) return false;
    }
    return isVersionBlocked(ToLower(folder), lowerName);
}

bool SharedLibrary::isVersionBlocked(const std::wstring& folder, const std::wstring& name) {
    const std::shared_ptr<Tessal::FileVersionInfo> versionInfo =
        m_versionInfo ? m_versionInfo : std::make_shared<Tessal::FileVersionInfo>();
    // A library without a version resource cannot be on the list.
    if (!versionInfo->Load(JoinPath(folder, name))) return false;
    const std::wstring version = versionInfo->GetValue(L"FileVersion");

    const std::shared_ptr<Tessal::CRegKey> key =
        m_blockListKey ? m_blockListKey : std::make_shared<Tessal::CObfuscatedRegKey>();
    if (key->Open(HKEY_LOCAL_MACHINE, (kBlockListKey + name).c_str(), KEY_READ) != ERROR_SUCCESS) return false;
    // A missing or unreadable value reads as empty: a library without "FileVersion" is refused
    // when its key exists and the default value is missing or empty.
    std::wstring listed;
    key->QueryStringValue(version.c_str(), listed);
    return listed == version;
}

}  // namespace Korin
