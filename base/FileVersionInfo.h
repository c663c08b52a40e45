#pragma once
// String values of a file's version resource (the StringFileInfo block), read once per object.

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace Tessal {

class ShlObjAPI;

class FileVersionInfo {
public:
    FileVersionInfo();
    virtual ~FileVersionInfo();
    FileVersionInfo(const FileVersionInfo&) = delete;
    FileVersionInfo& operator=(const FileVersionInfo&) = delete;

    // False when the file has no readable version resource, and false without reading when
    // this object already holds a file; a failed load may be retried.
    virtual bool Load(const std::wstring& path);

    // The value of the first language/code-page pair of the translation table that has it;
    // empty when nothing is loaded, there is no translation table or no pair has the name.
    virtual std::wstring GetValue(const std::wstring& name) const;

private:
    std::vector<BYTE> m_data;
    bool m_loaded = false;
};

// Loads files named relative to the Windows system folder.
class SystemFileVersionInfo : public FileVersionInfo {
public:
    // A null service is replaced by the default known-folder look-up.
    explicit SystemFileVersionInfo(std::shared_ptr<ShlObjAPI> shell = nullptr);
    ~SystemFileVersionInfo() override;

    bool Load(const std::wstring& fileName) override;

private:
    std::wstring SystemFolder();

    std::shared_ptr<ShlObjAPI> m_shell;
    std::wstring m_systemFolder;  // ends in a backslash once known
};

}  // namespace Tessal
