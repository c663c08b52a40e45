#pragma once
// One loaded module DLL of the module-core host: found by file name in an ordered list of folders
// (which may hold path tokens), refused when the host has put its version on the block list, and
// bound to the four entry points every such DLL exports. Exists only loaded and bound: the
// constructor throws ModuleException otherwise, having freed what it loaded.
//
// No library is ever loaded relative to the current directory: a folder that is not an absolute
// path once its tokens are expanded (an unknown token, a relative folder) is skipped.

#include "base/FileVersionInfo.h"
#include "base/RegKey.h"
#include "modulefw/DllLoader.h"
#include "modulefw/ModuleStatus.h"
#include "modulefw/PathHelpers.h"
#include "modulefw/PathSearch.h"

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Korin {

struct SharedLibraryInfo {
    std::wstring name;                      // file name, e.g. L"Halvex.dll"
    std::vector<std::wstring> searchPaths;  // searched in this order; may hold "$(...)" tokens
};

// The entry points, in the order the library binds them. Only createObject is ever called.
struct SharedLibraryFunctions {
    using CreateObjectFn = void* (*)(std::uint32_t interfaceVersion);
    using ReleaseObjectFn = void (*)();
    using GetVersionStrFn = const char* (*)();
    using GetVersionNumFn = std::uint32_t (*)();

    CreateObjectFn createObject = nullptr;
    ReleaseObjectFn releaseObject = nullptr;
    GetVersionStrFn getVersionStr = nullptr;
    GetVersionNumFn getVersionNum = nullptr;
};

class SharedLibrary {
public:
    // Empty pointers get the defaults; the block list is then read with a fresh scrambled-value
    // key and a fresh version reader for each check.
    explicit SharedLibrary(const SharedLibraryInfo& info, std::shared_ptr<DllLoader> loader = nullptr,
                           std::shared_ptr<PathHelpers> pathHelpers = nullptr,
                           std::shared_ptr<PathSearch> pathSearch = nullptr,
                           std::shared_ptr<Tessal::FileVersionInfo> versionInfo = nullptr,
                           std::shared_ptr<Tessal::CRegKey> blockListKey = nullptr);
    virtual ~SharedLibrary();
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

    // Valid while this object lives.
    virtual const SharedLibraryFunctions* getFunctions();

protected:
    ModuleStatus loadLibrary();
    ModuleStatus importFunctions();
    ModuleStatus unloadLibrary();
    bool isLibraryBlocked(const std::wstring& folder, const std::wstring& name);
    bool isVersionBlocked(const std::wstring& folder, const std::wstring& name);

private:
    std::wstring m_name;
    std::vector<std::wstring> m_searchPaths;
    std::shared_ptr<DllLoader> m_loader;
    std::shared_ptr<PathHelpers> m_pathHelpers;
    std::shared_ptr<PathSearch> m_pathSearch;
    std::shared_ptr<Tessal::CRegKey> m_blockListKey;
    std::shared_ptr<Tessal::FileVersionInfo> m_versionInfo;
    HMODULE m_module = nullptr;
    SharedLibraryFunctions m_functions;
};

}  // namespace Korin
