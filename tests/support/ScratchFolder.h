#pragma once
// A folder of one test's own, "%TEMP%\nuv-<tag>-<pid>-<n>", empty at construction and removed
// with everything in it at destruction.

#include <string>

namespace NuvTest {

class ScratchFolder {
public:
    explicit ScratchFolder(const std::wstring& tag);
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::wstring& Path() const noexcept { return m_path; }
    std::wstring operator/(const std::wstring& name) const { return m_path + L"\\" + name; }

    // Copies a file into the folder under `name`.
    bool CopyIn(const std::wstring& source, const std::wstring& name) const;

private:
    std::wstring m_path;
};

}  // namespace NuvTest
