// The product-path functions against "Install Dir" values as an installer, or damage, may leave
// them. Values are stored byte for byte (RawRegistryValue.h); the guard restores the key.

#include "Shared/NuvPaths.h"

#include "tests/support/MachineKeyGuard.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <string>
#include <vector>

namespace {

constexpr const wchar_t* kNuvKey = L"SOFTWARE\\Oberix\\NUV";
constexpr const wchar_t* kInstallDir = L"Install Dir";

std::vector<BYTE> TextBytes(const std::wstring& text, bool terminated = true) {
    const auto* bytes = reinterpret_cast<const BYTE*>(text.c_str());
    return std::vector<BYTE>(bytes, bytes + (text.size() + (terminated ? 1 : 0)) * sizeof(wchar_t));
}

std::vector<BYTE> OddBytes(const std::wstring& text) {
    std::vector<BYTE> bytes = TextBytes(text);
    bytes.push_back(0);
    return bytes;
}

struct InstallDirCase {
    const char* name;
    DWORD type;
    std::vector<BYTE> data;
    bool found;
    std::wstring folder;  // when found
};

const std::wstring k260(260, L'a');
const std::wstring k261(261, L'b');

const InstallDirCase kInstallDirCases[] = {
    {"terminated REG_SZ", REG_SZ, TextBytes(L"C:\\Program Files\\Oberix\\NUV"), true, L"C:\\Program Files\\Oberix\\NUV"},
    {"REG_EXPAND_SZ, not expanded", REG_EXPAND_SZ, TextBytes(L"%ProgramFiles%\\NUV"), true, L"%ProgramFiles%\\NUV"},
    {"0 bytes", REG_SZ, {}, true, L""},
    {"only the terminator", REG_SZ, TextBytes(L""), true, L""},
    {"260 characters fill the 261-character area", REG_SZ, TextBytes(k260), true, k260},
    {"261 characters do not fit", REG_SZ, TextBytes(k261), false, L""},
    {"odd byte count", REG_SZ, OddBytes(L"C:\\NUV"), false, L""},
    {"last character not NUL", REG_SZ, TextBytes(L"C:\\NUV", false), false, L""},
    {"REG_MULTI_SZ", REG_MULTI_SZ, TextBytes(std::wstring(L"C:\\NUV\0", 7)), false, L""},
    {"REG_BINARY holding a text", REG_BINARY, TextBytes(L"C:\\NUV"), false, L""},
    {"REG_DWORD", REG_DWORD, {1, 0, 0, 0}, false, L""},
};

class NuvPathsTest : public ::testing::Test {
protected:
    void SetInstallDir(DWORD type, const std::vector<BYTE>& data) {
        ASSERT_TRUE(m_guard.SetValue(kNuvKey, kInstallDir, type, data.data(), static_cast<DWORD>(data.size())));
    }

    NuvTest::MachineKeyGuard m_guard;
};

TEST_F(NuvPathsTest, InstallDirValues) {
    for (const InstallDirCase& c : kInstallDirCases) {
        SCOPED_TRACE(c.name);
        SetInstallDir(c.type, c.data);

        std::wstring folder(300, L'x');
        EXPECT_EQ(c.found, GetNuvInstallDir(&folder[0], static_cast<DWORD>(folder.size())));
        EXPECT_EQ(c.folder, folder.c_str()) << "a failure leaves the buffer empty";

        std::wstring queried(300, L'x');
        EXPECT_EQ(c.found, QueryNuvInstallDir(&queried[0], static_cast<DWORD>(queried.size())));
        EXPECT_EQ(c.folder, queried.c_str());

        std::wstring resourceDll(300, L'x');
        EXPECT_EQ(c.found, GetNuvResourceDllPath(&resourceDll[0], static_cast<DWORD>(resourceDll.size())));
        EXPECT_EQ(c.found ? c.folder + L"\\NuvRes2.dll" : L"", resourceDll.c_str());
    }
}

TEST_F(NuvPathsTest, MissingValue) {
    m_guard.DeleteValue(kNuvKey, kInstallDir);
    wchar_t buffer[MAX_PATH] = L"untouched?";
    EXPECT_FALSE(GetNuvInstallDir(buffer, MAX_PATH));
    EXPECT_STREQ(L"", buffer);
    wcscpy(buffer, L"untouched?");
    EXPECT_FALSE(GetNuvResourceDllPath(buffer, MAX_PATH));
    EXPECT_STREQ(L"", buffer);
}

TEST_F(NuvPathsTest, TextsAreCutToTheCallersSize) {
    SetInstallDir(REG_SZ, TextBytes(L"C:\\NUV"));
    struct {
        bool (*function)(wchar_t*, DWORD);
        DWORD size;
        const wchar_t* expected;
    } const cases[] = {
        {GetNuvInstallDir, 4, L"C:\\"},
        {GetNuvInstallDir, 1, L""},
        {GetNuvInstallDir, 7, L"C:\\NUV"},
        {QueryNuvInstallDir, 3, L"C:"},
        {GetNuvResourceDllPath, 10, L"C:\\NUV\\Nu"},
        {GetNuvResourceDllPath, 19, L"C:\\NUV\\NuvRes2.dll"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "size " << c.size);
        std::wstring buffer(c.size + 1, L'#');  // one guard character behind the caller's size
        EXPECT_TRUE(c.function(&buffer[0], c.size));
        EXPECT_EQ(c.expected, std::wstring(buffer.c_str()));
        EXPECT_EQ(L'#', buffer[c.size]) << "nothing written behind the caller's size";
    }
}

TEST_F(NuvPathsTest, NullBufferOrZeroSizeIsRefused) {
    SetInstallDir(REG_SZ, TextBytes(L"C:\\NUV"));
    for (bool (*function)(wchar_t*, DWORD) :
         {GetNuvInstallDir, QueryNuvInstallDir, GetNuvResourceDllPath, GetNuvDataFolder}) {
        wchar_t buffer[8] = L"keep";
        EXPECT_FALSE(function(nullptr, 8));
        EXPECT_FALSE(function(buffer, 0));
        EXPECT_STREQ(L"keep", buffer);
    }
}

TEST(NuvDataFolderTest, CommonAppDataWithProductFolder) {
    wchar_t common[MAX_PATH] = {};
    ASSERT_EQ(S_OK, ::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, common));
    const std::wstring expected = std::wstring(common) + L"\\Oberix\\NUV";

    wchar_t folder[MAX_PATH] = {};
    EXPECT_TRUE(GetNuvDataFolder(folder, MAX_PATH));
    EXPECT_EQ(expected, folder);

    wchar_t cut[6] = {};
    EXPECT_TRUE(GetNuvDataFolder(cut, 6));
    EXPECT_EQ(expected.substr(0, 5), cut);
}

}  // namespace
