#pragma once
// An ordered list of folders and the first of them that holds a given file. The list only grows.
// No lock: a list that one thread changes must not be searched by another at the same time.

#include "modulefw/PathAPI.h"

#include <memory>
#include <string>
#include <vector>

namespace Korin {

class PathSearch {
public:
    // An empty pointer gets the default wrapper.
    explicit PathSearch(std::shared_ptr<PathAPI> pathApi = nullptr);
    virtual ~PathSearch();

    virtual std::vector<std::wstring> getSearchPaths();
    virtual void addSearchPaths(const std::vector<std::wstring>& folders);
    virtual void addSearchPath(const wchar_t* folder);
    virtual void addSearchPath(const std::wstring& folder);
    // The first folder, in list order, holding `fileName`, without a trailing backslash. False
    // (and `folder` unchanged) when none holds it.
    virtual bool findFilePath(const std::wstring& fileName, std::wstring& folder);
    // Whether the path names an existing file (a folder does not count).
    virtual bool checkIfExists(const std::wstring& path);

private:
    std::shared_ptr<PathAPI> m_pathApi;
    std::vector<std::wstring> m_folders;
};

}  // namespace Korin
