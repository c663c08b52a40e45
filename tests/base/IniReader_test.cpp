#include "base/BaseIniReader.h"
#include "base/ObfuscatedIniReader.h"

#include "base/FileSystem.h"
#include "base/Format.h"
#include "base/UniqueHandle.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <climits>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

using Tessal::CObfuscatedIniReader;
using SectionValues = std::map<std::wstring, std::wstring>;

// Written by an independent implementation of the stored form (ini key text, one pass): the header
// entry and the data entry of the integer 1234, the text "Hello" and the integer -7.
const char kLevelHeader[] = "_Level=5156524701000000040000000400000001000000B85750BD9D8BD628CA6742F351D59719C8";
const char kLevelData[] = "Level=47484710E6";
const char kNameHeader[] = "_Name=515652470100000005000000010000000100000008BB6ED2F071CCA08E274E173087CFFCB4";
const char kNameData[] = "Name=ADFFB2F792E7";
const char kNegHeader[] = "_Neg=5156524701000000040000000400000001000000732227058CD3205BDB02398BC6D4FEF614";
const char kNegData[] = "Neg=1C182AE03E";

std::string KnownFile() {
    return Tessal::Format("[Config]\n%s\n%s\n%s\n%s\n%s\n%s\n", kLevelHeader, kLevelData, kNameHeader, kNameData,
                          kNegHeader, kNegData);
}

// Each test works in a fresh scratch folder below the temporary folder.
class IniReader : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        ASSERT_GT(::GetTempPathW(MAX_PATH, temp), 0u);
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        root_ = Tessal::Format(L"%snuv-ini-%lu-%hs", temp, ::GetCurrentProcessId(), info->name());
        Tessal::RemoveDirectoryTree(root_.c_str());
        ASSERT_TRUE(::CreateDirectoryW(root_.c_str(), nullptr));
    }
    void TearDown() override {
        Tessal::RemoveDirectoryTree(root_.c_str());
        EXPECT_FALSE(Tessal::DirectoryExists(root_.c_str()));
    }

    std::wstring Path(const std::wstring& name) const { return root_ + L"\\" + name; }

    // Bytes exactly as given: line ends and code page are the test's choice.
    std::wstring WriteFile(const std::wstring& name, const std::string& content) const {
        const std::wstring path = Path(name);
        Tessal::UniqueHandle file(
            ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        EXPECT_TRUE(file.IsValid());
        DWORD written = 0;
        EXPECT_TRUE(::WriteFile(file.Get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr));
        return path;
    }

    static std::string ReadFile(const std::wstring& path) {
        Tessal::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                                FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.IsValid()) return {};
        std::string content(::GetFileSize(file.Get(), nullptr), '\0');
        DWORD read = 0;
        if (!content.empty()) ::ReadFile(file.Get(), &content[0], static_cast<DWORD>(content.size()), &read, nullptr);
        content.resize(read);
        return content;
    }

    std::wstring root_;
};

SectionValues Section(CObfuscatedIniReader& reader, const std::wstring& section) {
    SectionValues values;
    EXPECT_TRUE(reader.GetSectionValues(section, values)) << "section " << ::testing::PrintToString(section);
    return values;
}

TEST_F(IniReader, WrittenValuesAreAnsweredAtOnceAndByANewReader) {
    const std::pair<const wchar_t*, int> integers[] = {
        {L"Zero", 0}, {L"Level", 1234}, {L"Negative", -7}, {L"Min", INT_MIN}, {L"Max", INT_MAX}};
    const std::pair<const wchar_t*, const wchar_t*> texts[] = {
        {L"One", L"x"}, {L"Name", L"Hello"}, {L"Equals", L"a=b; [c]"}, {L"Blanks", L"  padded  "}, {L"Number", L"42"}};
    const std::wstring path = Path(L"written.ini");

    CObfuscatedIniReader writer;
    EXPECT_FALSE(writer.Load(path));  // missing: the name is kept for the writes
    for (const auto& [key, value] : integers) EXPECT_TRUE(writer.WriteIntValue(L"Config", key, value));
    for (const auto& [key, value] : texts) EXPECT_TRUE(writer.WriteStringValue(L"Strings", key, value));

    CObfuscatedIniReader reader;
    ASSERT_TRUE(reader.Load(path));
    for (CObfuscatedIniReader* r : {&writer, &reader}) {
        SCOPED_TRACE(r == &writer ? "writer" : "new reader");
        for (const auto& [key, expected] : integers) {
            int value = 99;
            EXPECT_TRUE(r->GetValue(L"Config", key, value)) << ::testing::PrintToString(key);
            EXPECT_EQ(value, expected);
            std::wstring text;
            EXPECT_TRUE(r->GetStringValue(L"Config", key, text));
            EXPECT_EQ(text, std::to_wstring(expected));
        }
        for (const auto& [key, expected] : texts) {
            std::wstring value;
            EXPECT_TRUE(r->GetStringValue(L"Strings", key, value)) << ::testing::PrintToString(key);
            EXPECT_EQ(value, expected);
        }
        int number = 0;
        EXPECT_TRUE(r->GetValue(L"Strings", L"Number", number));
        EXPECT_EQ(number, 42);
    }
}

TEST_F(IniReader, StoredFormIsStable) {
    CObfuscatedIniReader known;
    ASSERT_TRUE(known.Load(WriteFile(L"known.ini", KnownFile())));
    int level = 0, negative = 0;
    std::wstring name;
    EXPECT_TRUE(known.GetValue(L"Config", L"Level", level));
    EXPECT_EQ(level, 1234);
    EXPECT_TRUE(known.GetStringValue(L"Config", L"Name", name));
    EXPECT_EQ(name, L"Hello");
    EXPECT_TRUE(known.GetValue(L"Config", L"Neg", negative));
    EXPECT_EQ(negative, -7);

    // The writer produces the same lines; the two checksum digits are those of the profile functions.
    const std::wstring path = Path(L"written.ini");
    CObfuscatedIniReader writer;
    writer.Load(path);
    ASSERT_TRUE(writer.WriteIntValue(L"Config", L"Level", 1234));
    ASSERT_TRUE(writer.WriteStringValue(L"Config", L"Name", L"Hello"));
    const std::string written = ReadFile(path);
    for (const char* line : {kLevelHeader, kLevelData, kNameHeader, kNameData}) {
        EXPECT_NE(written.find(std::string(line) + "\r\n"), std::string::npos) << line << "\nin\n" << written;
    }
}

// One change in the stored text; `decoded` tells whether the value is still answered.
struct Damage {
    const char* what;
    const char* from;
    const char* to;
    bool decoded;
};

const Damage kDamages[] = {
    {"data digit", "Level=47484710E6", "Level=47484711E6", false},
    {"data checksum", "Level=47484710E6", "Level=4748471000", true},
    {"data too short", "Level=47484710E6", "Level=474847", false},
    {"digest digit", "B85750BD9D8B", "B85750BD9D8C", false},
    {"header checksum", "D59719C8", "D5971900", true},
    {"version 2", "_Level=5156524701", "_Level=5156524702", false},
    {"flag 0", "0400000001000000B857", "0400000000000000B857", false},
    {"type 2", "0400000004000000", "0400000002000000", false},
    {"length 5", "5156524701000000040000", "5156524701000000050000", false},
    {"magic", "_Level=51565247", "_Level=51565248", false},
};

TEST_F(IniReader, DamagedEntriesStayPlainAndUnanswered) {
    for (const Damage& damage : kDamages) {
        SCOPED_TRACE(damage.what);
        std::string content = KnownFile();
        const std::size_t at = content.find(damage.from);
        ASSERT_NE(at, std::string::npos);
        content.replace(at, std::string(damage.from).size(), damage.to);

        CObfuscatedIniReader reader;
        ASSERT_TRUE(reader.Load(WriteFile(L"damaged.ini", content)));
        int level = 0;
        EXPECT_EQ(reader.GetValue(L"Config", L"Level", level), damage.decoded);
        if (damage.decoded) {
            EXPECT_EQ(level, 1234);
        }

        // The other values of the file are not affected.
        std::wstring name;
        EXPECT_TRUE(reader.GetStringValue(L"Config", L"Name", name));
        EXPECT_EQ(name, L"Hello");
        if (!damage.decoded) {
            const SectionValues values = Section(reader, L"Config");
            ASSERT_EQ(values.count(L"Level"), 1u);
            const std::string data = std::string(kLevelData).find(damage.from) == 0 ? damage.to : kLevelData;
            EXPECT_EQ(values.at(L"Level"), std::wstring(data.begin() + 6, data.end()));
        }
    }
}

TEST_F(IniReader, PlainEntriesOnlyThroughGetSectionValues) {
    CObfuscatedIniReader reader;
    ASSERT_TRUE(reader.Load(WriteFile(L"plain.ini", "[Config]\nEnable=0\nName=plain\n")));
    int enable = 7;
    std::wstring name;
    EXPECT_FALSE(reader.GetValue(L"Config", L"Enable", enable));
    EXPECT_EQ(enable, 7);
    EXPECT_FALSE(reader.GetStringValue(L"Config", L"Name", name));
    EXPECT_EQ(Section(reader, L"Config"), (SectionValues{{L"Enable", L"0"}, {L"Name", L"plain"}}));

    SectionValues values{{L"kept", L"1"}};
    EXPECT_FALSE(reader.GetSectionValues(L"Absent", values));
    EXPECT_TRUE(reader.GetSectionValues(L"Config", values));
    EXPECT_EQ(values.size(), 3u);
}

struct ParseCase {
    const char* what;
    std::string text;
    std::vector<std::pair<std::wstring, SectionValues>> sections;
    std::vector<std::wstring> absent = {};
};

const std::string kHeader74 = std::string(kLevelHeader).substr(7);

const ParseCase kParseCases[] = {
    {"first occurrence wins", "[S]\nk=1\nk=2\n", {{L"S", {{L"k", L"1"}}}}},
    {"keys before any section", "a=1\n[S]\nb=2\n", {{L"", {{L"a", L"1"}}}, {L"S", {{L"b", L"2"}}}}},
    {"blanks inside brackets", "[  Spaced Name\t]\nk=v\n", {{L"Spaced Name", {{L"k", L"v"}}}}, {L"  Spaced Name\t"}},
    {"empty brackets keep the section", "[A]\n[]\nx=1\n[  ]\ny=2\n", {{L"A", {{L"x", L"1"}, {L"y", L"2"}}}}, {L""}},
    {"comment with equals sign", "[S]\n; k=v\n  ;j=w\nm=n\n", {{L"S", {{L"m", L"n"}}}}},
    {"first equals sign splits", "[S]\n k = a = b \n", {{L"S", {{L"k", L"a = b"}}}}},
    {"blanks around key and value", "[S]\n\t key \t=\t value with blanks \t\n", {{L"S", {{L"key", L"value with blanks"}}}}},
    {"line without equals sign", "[S]\nnothing here\nk=v\n", {{L"S", {{L"k", L"v"}}}}},
    {"empty key and value", "[S]\n=v\nk=\n", {{L"S", {{L"", L"v"}, {L"k", L""}}}}},
    {"CRLF and no final line end", "[S]\r\nk=v\r\nlast=1", {{L"S", {{L"k", L"v"}, {L"last", L"1"}}}}},
    {"a section seen twice", "[A]\nx=1\n[B]\ny=2\n[A]\nz=3\n", {{L"A", {{L"x", L"1"}, {L"z", L"3"}}}, {L"B", {{L"y", L"2"}}}}},
    {"bracket not at both ends", "[S]\n[T] x=1\n", {{L"S", {{L"[T] x", L"1"}}}}, {L"T"}},
    {"73-character header is plain", "[S]\n_k=" + kHeader74.substr(0, 73) + "\nk=00\n",
     {{L"S", {{L"_k", std::wstring(kHeader74.begin(), kHeader74.end() - 1)}, {L"k", L"00"}}}}},
    {"75-character header is plain", "[S]\n_k=" + kHeader74 + "0\nk=00\n",
     {{L"S", {{L"_k", std::wstring(kHeader74.begin(), kHeader74.end()) + L"0"}, {L"k", L"00"}}}}},
    {"74 characters without the magic", "[S]\n_k=6" + kHeader74.substr(1) + "\n",
     {{L"S", {{L"_k", L"6" + std::wstring(kHeader74.begin() + 1, kHeader74.end())}}}}},
    {"a header is no entry", "[S]\n_k=" + kHeader74 + "\n", {}, {L"S"}},
};

TEST_F(IniReader, ParsesLines) {
    for (const ParseCase& c : kParseCases) {
        SCOPED_TRACE(c.what);
        CObfuscatedIniReader reader;
        ASSERT_TRUE(reader.Load(WriteFile(L"parse.ini", c.text)));
        for (const auto& [section, values] : c.sections) EXPECT_EQ(Section(reader, section), values);
        for (const std::wstring& section : c.absent) {
            SectionValues values;
            EXPECT_FALSE(reader.GetSectionValues(section, values)) << ::testing::PrintToString(section);
        }
    }
}

TEST_F(IniReader, MissingFileKeepsTheNameAndAWriteCreatesIt) {
    const std::wstring path = Path(L"later.ini");
    CObfuscatedIniReader writer;
    EXPECT_FALSE(writer.Load(path));
    EXPECT_EQ(writer.GetFileName(), path);
    ASSERT_TRUE(writer.WriteIntValue(L"Config", L"Enable", 1));
    EXPECT_TRUE(Tessal::FileExists(path.c_str()));

    CObfuscatedIniReader reader;
    ASSERT_TRUE(reader.Load(path));
    int enable = 0;
    EXPECT_TRUE(reader.GetValue(L"Config", L"Enable", enable));
    EXPECT_EQ(enable, 1);
}

TEST_F(IniReader, FailedLoadsEmptyTheTables) {
    CObfuscatedIniReader reader;
    ASSERT_TRUE(reader.Load(WriteFile(L"known.ini", KnownFile() + "[Plain]\nk=v\n")));
    EXPECT_FALSE(reader.Load(L""));
    int level = 0;
    SectionValues values;
    EXPECT_FALSE(reader.GetValue(L"Config", L"Level", level));
    EXPECT_FALSE(reader.GetSectionValues(L"Config", values));
    EXPECT_FALSE(reader.GetSectionValues(L"Plain", values));

    ASSERT_TRUE(reader.Load(Path(L"known.ini")));
    EXPECT_FALSE(reader.Load(Path(L"missing.ini")));
    EXPECT_FALSE(reader.GetValue(L"Config", L"Level", level));
    EXPECT_FALSE(reader.GetSectionValues(L"Plain", values));

    // A file that exists but cannot be opened (a folder) forgets the name: nothing can be written.
    EXPECT_FALSE(reader.Load(root_));
    EXPECT_EQ(reader.GetFileName(), L"");
    EXPECT_FALSE(reader.WriteIntValue(L"Config", L"Level", 1));
}

TEST_F(IniReader, LookUpsAreCaseSensitive) {
    CObfuscatedIniReader reader;
    ASSERT_TRUE(reader.Load(WriteFile(L"known.ini", KnownFile())));
    const std::pair<const wchar_t*, const wchar_t*> names[] = {
        {L"config", L"level"}, {L"config", L"Level"}, {L"Config", L"level"}, {L"CONFIG", L"LEVEL"}};
    for (const auto& [section, key] : names) {
        int value = 0;
        EXPECT_FALSE(reader.GetValue(section, key, value)) << ::testing::PrintToString(section) << "."
                                                            << ::testing::PrintToString(key);
    }
    SectionValues values;
    EXPECT_FALSE(reader.GetSectionValues(L"config", values));
    int value = 0;
    EXPECT_TRUE(reader.GetValue(L"Config", L"Level", value));
}

// Sets the thread's locale, and so its ANSI code page, for one test.
class ScopedThreadLocale {
public:
    explicit ScopedThreadLocale(LCID locale) : m_saved(::GetThreadLocale()) { ::SetThreadLocale(locale); }
    ~ScopedThreadLocale() { ::SetThreadLocale(m_saved); }

private:
    LCID m_saved;
};

TEST_F(IniReader, TextNeedingTwoBytesPerCharacterIsStoredWhole) {
    ScopedThreadLocale japanese(MAKELCID(MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN), SORT_DEFAULT));
    const std::wstring text = L"\x65E5\x672C-ini";  // two characters of two bytes each in code page 932
    if (::WideCharToMultiByte(CP_THREAD_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr) != 9) {
        GTEST_SKIP() << "the thread's code page is not a double-byte one";
    }

    const std::wstring path = Path(L"dbcs.ini");
    CObfuscatedIniReader writer;
    writer.Load(path);
    ASSERT_TRUE(writer.WriteStringValue(L"Config", L"Title", text));
    // N is 8 bytes, stored as 16 hexadecimal digits and the checksum.
    EXPECT_EQ(Section(writer, L"Config").at(L"Title"), text);
    const std::string written = ReadFile(path);
    const std::size_t data = written.find("\nTitle=");
    ASSERT_NE(data, std::string::npos);
    EXPECT_EQ(written.find("\r\n", data + 1) - (data + 7), 18u) << written;

    CObfuscatedIniReader reader;
    ASSERT_TRUE(reader.Load(path));
    std::wstring value;
    EXPECT_TRUE(reader.GetStringValue(L"Config", L"Title", value));
    EXPECT_EQ(value, text);
}

// Under Wine the profile functions refuse an empty file name themselves (error 5), so there this
// pins the result only, not that the reader refuses before calling them.
TEST_F(IniReader, WritesWithoutAFileNameFail) {
    CObfuscatedIniReader reader;
    EXPECT_FALSE(reader.WriteStringValue(L"Config", L"Name", L"value"));
    EXPECT_FALSE(reader.WriteIntValue(L"Config", L"Level", 1));
    std::wstring value;
    SectionValues values;
    EXPECT_FALSE(reader.GetStringValue(L"Config", L"Name", value));
    EXPECT_FALSE(reader.GetSectionValues(L"Config", values));
}

TEST_F(IniReader, LongLinesAreReadWhole) {
    // A plain line whose later part would look like an entry of its own if the line were cut.
    const std::string plain = std::string(1500, 'x') + "=tail";
    const std::wstring longText(700, L'w');
    const std::wstring path = WriteFile(L"long.ini", "[Plain]\nLong=" + plain + "\n");

    CObfuscatedIniReader writer;
    ASSERT_TRUE(writer.Load(path));
    ASSERT_TRUE(writer.WriteStringValue(L"Config", L"Long", longText));  // a data line of 1407 characters

    CObfuscatedIniReader reader;
    ASSERT_TRUE(reader.Load(path));
    EXPECT_EQ(Section(reader, L"Plain"), (SectionValues{{L"Long", std::wstring(plain.begin(), plain.end())}}));
    std::wstring value;
    EXPECT_TRUE(reader.GetStringValue(L"Config", L"Long", value));
    EXPECT_EQ(value, longText);
}

// The base reader's own writes: plain text through the profile function, then AddEntry.
class RecordingIniReader : public Tessal::CBaseIniReader {
public:
    bool LookupIntValue(const std::wstring& fullName, int&) override {
        lookups.push_back(fullName);
        return false;
    }
    bool LookupStringValue(const std::wstring& fullName, std::wstring&) override {
        lookups.push_back(fullName);
        return false;
    }
    bool GetSectionValues(const std::wstring&, SectionValues&) override { return false; }
    bool AddEntry(const std::wstring& section, const std::wstring& key, const std::wstring& text,
                  bool overwrite) override {
        added.push_back(section + L"|" + key + L"|" + text + (overwrite ? L"|overwrite" : L"|keep"));
        return true;
    }

    std::vector<std::wstring> lookups;
    std::vector<std::wstring> added;
};

TEST_F(IniReader, BaseReaderWritesPlainText) {
    const std::wstring path = Path(L"base.ini");
    RecordingIniReader reader;
    EXPECT_FALSE(reader.WriteIntValue(L"S", L"k", 1));  // no file name yet
    EXPECT_TRUE(reader.added.empty());

    reader.Load(path);
    reader.added.clear();
    EXPECT_TRUE(reader.WriteIntValue(L"S", L"Count", -5));
    EXPECT_TRUE(reader.WriteStringValue(L"S", L"Name", L"plain text"));
    EXPECT_EQ(reader.added, (std::vector<std::wstring>{L"S|Count|-5|overwrite", L"S|Name|plain text|overwrite"}));
    EXPECT_EQ(ReadFile(path), "[S]\r\nCount=-5\r\nName=plain text\r\n");

    int value = 0;
    std::wstring text;
    reader.GetValue(L"S", L"Count", value);
    reader.GetStringValue(L"Sec.tion", L"Name", text);
    EXPECT_EQ(reader.lookups, (std::vector<std::wstring>{L"S.Count", L"Sec.tion.Name"}));
}

}  // namespace
