#include "base/ObfuscatedIniReader.h"

#include "base/TextConversion.h"
#include "base/Digest.h"
#include "base/Format.h"
#include "base/ScrambleContext.h"
#include "base/ScrambleKeys.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <vector>

namespace Tessal {
namespace {

// A scrambled entry's header, stored as the hexadecimal text of a "_<key>" entry.
constexpr std::size_t kHeaderSize = 36;
constexpr std::size_t kMagicOffset = 0;
constexpr std::size_t kVersionOffset = 4;
constexpr std::size_t kLengthOffset = 8;
constexpr std::size_t kTypeOffset = 12;
constexpr std::size_t kFlagOffset = 16;
constexpr std::size_t kDigestOffset = 20;
constexpr std::uint8_t kMagic[4] = {'Q', 'V', 'R', 'G'};
constexpr std::uint32_t kVersion = 1;

// 72 hexadecimal digits of the header and the two of the checksum WritePrivateProfileStructW adds.
constexpr std::size_t kHeaderTextLength = 2 * kHeaderSize + 2;
constexpr wchar_t kMagicText[] = L"51565247";

constexpr int kKeyLength = static_cast<int>(sizeof(internal::kIniScrambleKey) - 1);

std::uint32_t ReadUInt32(const std::uint8_t* p) noexcept {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void WriteUInt32(std::uint8_t* p, std::uint32_t value) noexcept {
    for (int k = 0; k < 4; ++k) p[k] = static_cast<std::uint8_t>(value >> (8 * k));
}

// Each byte is read from its own two characters with "%2x"; a pair without a hexadecimal digit
// gives 0, and bytes beyond the end of the text stay 0.
void ParseHexBytes(const std::wstring& text, std::uint8_t* bytes, std::size_t count) {
    std::memset(bytes, 0, count);
    for (std::size_t n = 0; n < count && 2 * n < text.size(); ++n) {
        const wchar_t pair[3] = {text[2 * n], 2 * n + 1 < text.size() ? text[2 * n + 1] : L'\0', L'\0'};
        unsigned int value = 0;
        if (std::swscanf(pair, L"%2x", &value) == 1) bytes[n] = static_cast<std::uint8_t>(value);
    }
}

// Scrambles `size` plain bytes into `scrambled` and fills the header; a Win32 code.
DWORD Encode(const std::uint8_t* plain, std::size_t size, std::uint8_t* scrambled, std::size_t capacity,
             int type, std::uint8_t (&header)[kHeaderSize]) {
    if (capacity < size) return ERROR_INVALID_PARAMETER;
    internal::CScrambleContext context(internal::kIniScrambleKey, kKeyLength, 1);
    if (!context.Scramble(plain, scrambled, size)) return ERROR_ENCRYPTION_FAILED;

    std::memset(header, 0, sizeof(header));
    std::memcpy(header + kMagicOffset, kMagic, sizeof(kMagic));
    WriteUInt32(header + kVersionOffset, kVersion);
    WriteUInt32(header + kLengthOffset, static_cast<std::uint32_t>(size));
    WriteUInt32(header + kTypeOffset, static_cast<std::uint32_t>(type));
    WriteUInt32(header + kFlagOffset, 1);
    if (internal::ComputeDigest(scrambled, size, header + kDigestOffset, CMd5::kDigestSize) != 0) {
        return ERROR_ENCRYPTION_FAILED;
    }
    return ERROR_SUCCESS;
}

// Checks `size` scrambled bytes against their header and unscrambles them; a Win32 code.
DWORD VerifyAndUnscramble(std::uint8_t (&header)[kHeaderSize], const std::uint8_t* scrambled, std::size_t size,
                          std::uint8_t* plain, std::size_t capacity) {
    internal::CScrambleContext context(internal::kIniScrambleKey, kKeyLength, 1);
    std::uint8_t digest[CMd5::kDigestSize];
    std::memcpy(digest, header + kDigestOffset, sizeof(digest));
    std::memset(header + kDigestOffset, 0, sizeof(digest));
    if (internal::VerifyDigest(scrambled, size, digest, sizeof(digest)) != 0 ||
        ReadUInt32(header + kLengthOffset) != size || std::memcmp(header + kMagicOffset, kMagic, sizeof(kMagic)) != 0) {
        return ERROR_INVALID_DATA;
    }
    if (capacity < size) return ERROR_MORE_DATA;
    if (!context.Unscramble(scrambled, plain, size)) return ERROR_DECRYPTION_FAILED;
    return ERROR_SUCCESS;
}


// The section before the first '.', the key after it; a name without '.' gives two empty parts.
void SplitFullName(const std::wstring& fullName, std::wstring& section, std::wstring& key) {
    const std::size_t dot = fullName.find(L'.');
    if (dot == std::wstring::npos) {
        section.clear();
        key.clear();
    } else {
        section = fullName.substr(0, dot);
        key = fullName.substr(dot + 1);
    }
}

// A failed write leaves its cause as the thread's last error, for callers that report it.
bool FailWith(DWORD error) {
    ::SetLastError(error);
    return false;
}

}  // namespace

bool CObfuscatedIniReader::Load(const std::wstring& fileName) {
    m_headers.clear();
    m_sections.clear();
    const bool loaded = CBaseIniReader::Load(fileName);
    DecodeScrambledEntries();
    return loaded;
}

void CObfuscatedIniReader::DecodeScrambledEntries() {
    for (const auto& [fullName, headerText] : m_headers) {
        std::wstring sectionName, key;
        SplitFullName(fullName, sectionName, key);
        const auto section = m_sections.find(sectionName);
        if (section == m_sections.end()) continue;
        const auto entry = section->second.find(key);
        if (entry == section->second.end()) continue;

        std::uint8_t header[kHeaderSize];
        ParseHexBytes(headerText, header, kHeaderSize);
        if (std::memcmp(header + kMagicOffset, kMagic, sizeof(kMagic)) != 0 ||
            ReadUInt32(header + kVersionOffset) != kVersion || ReadUInt32(header + kFlagOffset) == 0) {
            continue;
        }

        Entry& value = entry->second;
        const std::uint32_t type = ReadUInt32(header + kTypeOffset);
        if (type == kTypeText) {
            const std::size_t textLength = value.text.size();
            const std::size_t size = textLength == 0 ? 0 : (textLength - 1) / 2;  // without the checksum
            std::vector<std::uint8_t> scrambled(size), plain(size);
            ParseHexBytes(value.text, scrambled.data(), size);
            if (VerifyAndUnscramble(header, scrambled.data(), size, plain.data(), size) != ERROR_SUCCESS) continue;
            value = Entry{FromThreadAnsi(std::string_view(reinterpret_cast<const char*>(plain.data()), size)), true, kTypeText};
        } else if (type == kTypeInteger) {
            std::uint8_t scrambled[4], plain[4];
            ParseHexBytes(value.text, scrambled, sizeof(scrambled));
            if (VerifyAndUnscramble(header, scrambled, sizeof(scrambled), plain, sizeof(plain)) != ERROR_SUCCESS) {
                continue;
            }
            value = Entry{Format(L"%d", static_cast<int>(ReadUInt32(plain))), true, kTypeInteger};
        }
    }
    m_headers.clear();
}

bool CObfuscatedIniReader::LookupIntValue(const std::wstring& fullName, int& value) {
    std::wstring text;
    if (!LookupStringValue(fullName, text)) return false;
    value = ::_wtoi(text.c_str());
    return true;
}

bool CObfuscatedIniReader::LookupStringValue(const std::wstring& fullName, std::wstring& value) {
    std::wstring sectionName, key;
    SplitFullName(fullName, sectionName, key);
    const auto section = m_sections.find(sectionName);
    if (section == m_sections.end()) return false;
    const auto entry = section->second.find(key);
    if (entry == section->second.end()) return false;
    if (m_obfuscatedOnly && !entry->second.decoded) return false;
    value = entry->second.text;
    return true;
}

bool CObfuscatedIniReader::GetSectionValues(const std::wstring& section,
                                            std::map<std::wstring, std::wstring>& values) {
    const auto found = m_sections.find(section);
    if (found == m_sections.end()) return false;
    for (const auto& [key, entry] : found->second) values[key] = entry.text;
    return true;
}

bool CObfuscatedIniReader::AddEntry(const std::wstring& section, const std::wstring& key, const std::wstring& text,
                                    bool overwrite) {
    const auto existing = m_sections.find(section);
    if (existing != m_sections.end() && !overwrite && existing->second.count(key) != 0) return false;

    if (!key.empty() && key[0] == L'_' && text.size() == kHeaderTextLength && text.compare(0, 8, kMagicText) == 0) {
        m_headers[section + L"." + key.substr(1)] = text;
        return false;
    }
    m_sections[section][key] = Entry{text, false, kTypeText};
    return true;
}

bool CObfuscatedIniReader::WriteIntValue(const std::wstring& section, const std::wstring& key, int value) {
    if (m_fileName.empty()) return FailWith(ERROR_INVALID_NAME);

    std::uint8_t plain[4];
    WriteUInt32(plain, static_cast<std::uint32_t>(value));
    std::uint8_t scrambled[4];
    std::uint8_t header[kHeaderSize];
    const DWORD encoded = Encode(plain, sizeof(plain), scrambled, sizeof(scrambled), kTypeInteger, header);
    if (encoded != ERROR_SUCCESS) return FailWith(encoded);
    const std::wstring headerKey = L"_" + key;
    if (!::WritePrivateProfileStructW(section.c_str(), headerKey.c_str(), header, sizeof(header),
                                      m_fileName.c_str()) ||
        !::WritePrivateProfileStructW(section.c_str(), key.c_str(), scrambled, sizeof(scrambled),
                                      m_fileName.c_str())) {
        return false;
    }
    m_sections[section][key] = Entry{Format(L"%d", value), true, kTypeInteger};
    return true;
}

bool CObfuscatedIniReader::WriteStringValue(const std::wstring& section, const std::wstring& key,
                                            const std::wstring& value) {
    // Without a file the profile functions would be given an empty name: refuse, as for integers.
    if (m_fileName.empty()) return FailWith(ERROR_INVALID_NAME);

    // The text in the thread's ANSI code page: one or two bytes per character, all of them stored.
    const std::string ansi = ToThreadAnsi(value);
    const std::vector<std::uint8_t> plain(ansi.begin(), ansi.end());
    std::vector<std::uint8_t> scrambled(plain.size());
    std::uint8_t header[kHeaderSize];
    const DWORD encoded = Encode(plain.data(), plain.size(), scrambled.data(), scrambled.size(), kTypeText, header);
    if (encoded != ERROR_SUCCESS) return FailWith(encoded);
    const std::wstring headerKey = L"_" + key;
    if (!::WritePrivateProfileStructW(section.c_str(), headerKey.c_str(), header, sizeof(header),
                                      m_fileName.c_str()) ||
        !::WritePrivateProfileStructW(section.c_str(), key.c_str(), scrambled.data(),
                                      static_cast<UINT>(scrambled.size()), m_fileName.c_str())) {
        return false;
    }
    m_sections[section][key] = Entry{value, true, kTypeText};
    return true;
}

}  // namespace Tessal
