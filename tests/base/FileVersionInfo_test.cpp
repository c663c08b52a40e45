#include "base/FileVersionInfo.h"
#include "base/ShlObjAPI.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

// The test DLLs are built beside this program.
std::wstring TestBinFolder() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L'\\'));
}

std::wstring TestFile(const wchar_t* name) { return TestBinFolder() + L"\\" + name; }

TEST(FileVersionInfo, ValuesComeFromTheFirstTranslationThatHasThem) {
    Tessal::FileVersionInfo info;
    ASSERT_TRUE(info.Load(TestFile(L"verinfo_twolangs.dll")));

    const struct {
        const wchar_t* name;
        const wchar_t* value;
    } cases[] = {
        {L"FileDescription", L"Versionstestbibliothek"},  // first pair of the table: German
        {L"Comments", L"Only in the English table"},      // German lacks it: second pair
        {L"ProductVersion", L"1.2.3.4"},
        {L"LegalCopyright", L""},                         // in no table
    };
    for (const auto& c : cases) {
        EXPECT_EQ(info.GetValue(c.name), c.value) << c.name;
    }
}

TEST(FileVersionInfo, SecondLoadIsRefusedAndKeepsTheFirstFile) {
    Tessal::FileVersionInfo info;
    ASSERT_TRUE(info.Load(TestFile(L"verinfo_twolangs.dll")));
    EXPECT_FALSE(info.Load(TestFile(L"verinfo_notranslation.dll")));
    EXPECT_EQ(info.GetValue(L"ProductVersion"), L"1.2.3.4");
}

TEST(FileVersionInfo, ResourceWithoutTranslationTableGivesNoValues) {
    Tessal::FileVersionInfo info;
    ASSERT_TRUE(info.Load(TestFile(L"verinfo_notranslation.dll")));
    // Both are in its string table, under 040904B0.
    EXPECT_EQ(info.GetValue(L"FileDescription"), L"");
    EXPECT_EQ(info.GetValue(L"ProductVersion"), L"");
}

TEST(FileVersionInfo, FailedLoadLeavesTheObjectUnloadedForAnotherTry) {
    Tessal::FileVersionInfo info;
    EXPECT_EQ(info.GetValue(L"ProductVersion"), L"");  // nothing loaded yet
    EXPECT_FALSE(info.Load(TestFile(L"verinfo_none.dll")));
    EXPECT_EQ(info.GetValue(L"ProductVersion"), L"");
    EXPECT_FALSE(info.Load(TestFile(L"no_such_file.dll")));
    EXPECT_TRUE(info.Load(TestFile(L"verinfo_twolangs.dll")));
    EXPECT_EQ(info.GetValue(L"FileDescription"), L"Versionstestbibliothek");
}

// Answers FOLDERID_System from a test-controlled folder and records every call.
class FakeShlObjAPI : public Tessal::ShlObjAPI {
public:
    struct Call {
        KNOWNFOLDERID folderId;
        DWORD flags;
        HANDLE token;
    };

    HRESULT GetKnownFolderPath(REFKNOWNFOLDERID folderId, DWORD flags, HANDLE token,
                               PWSTR* path) override {
        calls.push_back({folderId, flags, token});
        *path = nullptr;
        if (failing || !IsEqualGUID(folderId, FOLDERID_System)) {
            return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        }
        const std::size_t bytes = (systemFolder.size() + 1) * sizeof(wchar_t);
        *path = static_cast<PWSTR>(::CoTaskMemAlloc(bytes));
        if (*path == nullptr) return E_OUTOFMEMORY;
        std::copy(systemFolder.c_str(), systemFolder.c_str() + systemFolder.size() + 1, *path);
        return S_OK;
    }

    std::wstring systemFolder;
    bool failing = false;
    std::vector<Call> calls;
};

TEST(SystemFileVersionInfo, LoadsFromTheSystemFolderAndCachesIt) {
    auto shell = std::make_shared<FakeShlObjAPI>();
    shell->systemFolder = TestBinFolder();  // no trailing backslash, like the real folder
    Tessal::SystemFileVersionInfo info(shell);

    EXPECT_FALSE(info.Load(L"no_such_file.dll"));
    ASSERT_TRUE(info.Load(L"verinfo_twolangs.dll"));
    EXPECT_EQ(info.GetValue(L"ProductVersion"), L"1.2.3.4");

    ASSERT_EQ(shell->calls.size(), 1u);
    EXPECT_TRUE(IsEqualGUID(shell->calls[0].folderId, FOLDERID_System));
    EXPECT_EQ(shell->calls[0].flags, 0u);
    EXPECT_EQ(shell->calls[0].token, nullptr);
}

TEST(SystemFileVersionInfo, FolderFailureIsNotCached) {
    auto shell = std::make_shared<FakeShlObjAPI>();
    shell->systemFolder = TestBinFolder();
    shell->failing = true;
    Tessal::SystemFileVersionInfo info(shell);

    EXPECT_FALSE(info.Load(L"verinfo_twolangs.dll"));  // looked for in "\" only
    shell->failing = false;
    EXPECT_TRUE(info.Load(L"verinfo_twolangs.dll"));
    EXPECT_EQ(shell->calls.size(), 2u);
}

TEST(SystemFileVersionInfo, DefaultServiceReadsKernel32ProductVersion) {
    Tessal::SystemFileVersionInfo info(nullptr);
    ASSERT_TRUE(info.Load(L"kernel32.dll"));
    // Windows 10 and 11 and Wine's kernel32 all say 10.0.<build>.<revision>.
    const std::wstring version = info.GetValue(L"ProductVersion");
    EXPECT_EQ(version.rfind(L"10.0.", 0), 0u) << version;
}

}  // namespace
