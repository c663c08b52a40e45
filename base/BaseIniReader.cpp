#include "base/BaseIniReader.h"

#include "base/TextConversion.h"
#include "base/Format.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwctype>
#include <memory>

namespace Tessal {
namespace {

struct FileCloser {
    void operator()(FILE* file) const noexcept { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

std::wstring Trim(const std::wstring& text) {
    std::size_t begin = 0, end = text.size();
    while (end > begin && std::iswspace(text[end - 1])) --end;
    while (begin < end && std::iswspace(text[begin])) ++begin;
    return text.substr(begin, end - begin);
}

}  // namespace

bool CBaseIniReader::Load(const std::wstring& fileName) {
    if (fileName.empty()) return false;
    m_fileName = fileName;
    m_currentSection.clear();

    FILE* opened = nullptr;
    const errno_t error = ::_wfopen_s(&opened, fileName.c_str(), L"r");
    if (error != 0 || opened == nullptr) {
        if (error != ENOENT) m_fileName.clear();
        return false;
    }
    UniqueFile file(opened);

    // Lines are joined from as many fgets pieces as they need: a long line (a long scrambled
    // value is twice its length in hexadecimal) must not be parsed as several lines.
    char chunk[1024];
    std::string line;
    while (std::fgets(chunk, sizeof(chunk), file.get()) != nullptr) {
        const std::size_t length = std::strlen(chunk);
        line.append(chunk, length);
        if (length != 0 && chunk[length - 1] == '\n') {
            ParseLine(line);
            line.clear();
        }
    }
    if (!line.empty()) ParseLine(line);
    return true;
}

bool CBaseIniReader::GetValue(const std::wstring& section, const std::wstring& key, int& value) {
    return LookupIntValue(section + L"." + key, value);
}

bool CBaseIniReader::GetStringValue(const std::wstring& section, const std::wstring& key, std::wstring& value) {
    return LookupStringValue(section + L"." + key, value);
}

bool CBaseIniReader::WriteIntValue(const std::wstring& section, const std::wstring& key, int value) {
    return WriteStringValue(section, key, Format(L"%d", value));
}

bool CBaseIniReader::WriteStringValue(const std::wstring& section, const std::wstring& key,
                                      const std::wstring& value) {
    if (m_fileName.empty()) return false;
    if (!::WritePrivateProfileStringW(section.c_str(), key.c_str(), value.c_str(), m_fileName.c_str())) {
        return false;
    }
    return AddEntry(section, key, value, true);
}

void CBaseIniReader::ParseLine(const std::string& line) {
    const std::wstring text = Trim(FromThreadAnsi(line));
    if (text.empty() || text[0] == L';') return;

    if (text.size() >= 2 && text.front() == L'[' && text.back() == L']') {
        std::wstring section = Trim(text.substr(1, text.size() - 2));
        if (!section.empty()) m_currentSection = std::move(section);
        return;
    }

    const std::size_t equals = text.find(L'=');
    if (equals == std::wstring::npos) return;
    AddEntry(m_currentSection, Trim(text.substr(0, equals)), Trim(text.substr(equals + 1)), false);
}

}  // namespace Tessal
