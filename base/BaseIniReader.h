#pragma once
// Reader of ini files: parses a whole file into memory and answers look-ups by full name
// ("section.key"). The storage of entries is left to the derived reader.

#include <map>
#include <string>

namespace Tessal {

class CBaseIniReader {
public:
    CBaseIniReader() = default;
    virtual ~CBaseIniReader() = default;
    CBaseIniReader(const CBaseIniReader&) = delete;
    CBaseIniReader& operator=(const CBaseIniReader&) = delete;

    // True when the file was read. A missing file keeps the name, so a later write creates it.
    virtual bool Load(const std::wstring& fileName);
    virtual bool GetValue(const std::wstring& section, const std::wstring& key, int& value);
    virtual bool GetStringValue(const std::wstring& section, const std::wstring& key, std::wstring& value);
    virtual bool LookupIntValue(const std::wstring& fullName, int& value) = 0;
    virtual bool LookupStringValue(const std::wstring& fullName, std::wstring& value) = 0;
    virtual bool GetSectionValues(const std::wstring& section, std::map<std::wstring, std::wstring>& values) = 0;
    virtual bool WriteIntValue(const std::wstring& section, const std::wstring& key, int value);
    virtual bool WriteStringValue(const std::wstring& section, const std::wstring& key, const std::wstring& value);
    virtual bool AddEntry(const std::wstring& section, const std::wstring& key, const std::wstring& text,
                          bool overwrite) = 0;
    // One line of the file, in the thread's ANSI code page.
    virtual void ParseLine(const std::string& line);

    const std::wstring& GetFileName() const noexcept { return m_fileName; }

protected:
    std::wstring m_fileName;
    std::wstring m_currentSection;
};

}  // namespace Tessal
