#include "modulefw/PathSearch.h"

#include "logging/Logging.h"

#include <utility>

namespace Korin {

PathSearch::PathSearch(std::shared_ptr<PathAPI> pathApi)
    : m_pathApi(pathApi ? std::move(pathApi) : std::make_shared<PathAPI>()) {}

PathSearch::~PathSearch() = default;

std::vector<std::wstring> PathSearch::getSearchPaths() { return m_folders; }

void PathSearch::addSearchPaths(const std::vector<std::wstring>& folders) {
    m_folders.insert(m_folders.end(), folders.begin(), folders.end());
}

void PathSearch::addSearchPath(const wchar_t* folder) { m_folders.emplace_back(folder != nullptr ? folder : L""); }

void PathSearch::addSearchPath(const std::wstring& folder) { m_folders.push_back(folder); }

bool PathSearch::findFilePath(const std::wstring& fileName, std::wstring& folder) {
    NUV_LOG(ETWLogging::LOG_NORMAL, L"Entering findFilePath for file %ls", fileName.c_str());
    for (const std::wstring& candidate : m_folders) {
        if (!checkIfExists(candidate + L"\\" + fileName)) continue;
        folder = candidate;
        if (!folder.empty() && folder.back() == L'\\') folder.pop_back();
        NUV_LOG(ETWLogging::LOG_NORMAL, L"File found at path %ls. Returning success.", folder.c_str());
        return true;
    }
    NUV_LOG(ETWLogging::LOG_WARNING, L"File not found.");
    return false;
}

bool PathSearch::checkIfExists(const std::wstring& path) {
    NUV_LOG(ETWLogging::LOG_NORMAL, L"Entering checkIfExists for %ls", path.c_str());
    if (m_pathApi->fileExists(path.c_str())) {
        NUV_LOG(ETWLogging::LOG_NORMAL, L"File exists");
        return true;
    }
    NUV_LOG(ETWLogging::LOG_WARNING, L"File does not exist.");
    return false;
}

}  // namespace Korin
