#pragma once
// Ini reader for scrambled entries: a value is stored as hexadecimal scrambled bytes announced by a
// "_<key>" header entry, and is turned back into text at load time. Only such values (and values
// written through the reader) are answered; a value typed into the file by hand is ignored.

#include "base/BaseIniReader.h"

#include <string>
#include <unordered_map>

namespace Tessal {

class CObfuscatedIniReader : public CBaseIniReader {
public:
    enum : int { kTypeText = 1, kTypeInteger = 4 };

    struct Entry {
        std::wstring text;
        bool decoded = false;  // unscrambled at load, or written through the reader
        int type = kTypeText;
    };

    bool Load(const std::wstring& fileName) override;
    bool LookupIntValue(const std::wstring& fullName, int& value) override;
    bool LookupStringValue(const std::wstring& fullName, std::wstring& value) override;
    bool GetSectionValues(const std::wstring& section, std::map<std::wstring, std::wstring>& values) override;
    bool WriteIntValue(const std::wstring& section, const std::wstring& key, int value) override;
    bool WriteStringValue(const std::wstring& section, const std::wstring& key, const std::wstring& value) override;
    bool AddEntry(const std::wstring& section, const std::wstring& key, const std::wstring& text,
                  bool overwrite) override;

private:
    using Section = std::unordered_map<std::wstring, Entry>;

    void DecodeScrambledEntries();

    std::unordered_map<std::wstring, std::wstring> m_headers;  // full name -> header entry text
    std::unordered_map<std::wstring, Section> m_sections;
    const bool m_obfuscatedOnly = true;
};

}  // namespace Tessal
