#include "base/FileSystem.h"

#include "base/Format.h"
#include "base/UniqueHandle.h"

#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Tessal::DirectoryExists;
using Tessal::FileExists;

void WriteFile(const std::wstring& path, DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
    Tessal::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, attributes, nullptr));
    ASSERT_TRUE(file.IsValid()) << "cannot create " << ::testing::PrintToString(path);
}

void MakeFolder(const std::wstring& path) { ASSERT_TRUE(::CreateDirectoryW(path.c_str(), nullptr)); }

using UnixNameFunction = char*(__cdecl*)(const wchar_t*);

// Wine's kernel32 maps a Windows path to the unix one; absent on Windows.
UnixNameFunction WineUnixName() {
    return reinterpret_cast<UnixNameFunction>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
}

std::string UnixPath(const std::wstring& path) {
    const UnixNameFunction unixName = WineUnixName();
    char* name = unixName != nullptr ? unixName(path.c_str()) : nullptr;
    if (name == nullptr) return {};
    std::string result(name);
    ::HeapFree(::GetProcessHeap(), 0, name);
    return result;
}

// Under Wine a Windows program can start a unix one (the paths used here hold no blanks). Wine
// signals such a child's handle at once, so callers poll for the effect.
bool StartUnixCommand(std::wstring command) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        return false;
    }
    Tessal::UniqueHandle processHandle(process.hProcess), threadHandle(process.hThread);
    return true;
}

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The unix folder of a Windows path and its last name (which need not exist yet).
bool SplitUnix(const std::wstring& path, std::string& unixFolder, std::wstring& name) {
    const std::size_t slash = path.rfind(L'\\');
    if (slash == std::wstring::npos) return false;
    unixFolder = UnixPath(path.substr(0, slash));
    name = path.substr(slash + 1);
    return !unixFolder.empty();
}

// Wine 8's CreateSymbolicLinkW claims success without creating anything, but Wine shows a unix
// symbolic link to a folder as a directory reparse point: under Wine the link is made with ln.
bool MakeDirectoryLink(const std::wstring& link, const std::wstring& target) {
    if (::CreateSymbolicLinkW(link.c_str(), target.c_str(),
                              SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) &&
        DirectoryExists(link.c_str())) {
        return true;
    }
    std::string unixFolder;
    std::wstring name;
    const std::string unixTarget = UnixPath(target);
    if (unixTarget.empty() || !SplitUnix(link, unixFolder, name)) return false;
    return StartUnixCommand(Tessal::Format(L"/bin/ln -s %hs %hs/%s", unixTarget.c_str(), unixFolder.c_str(),
                                           name.c_str())) &&
           NuvTest::WaitUntil([&] { return DirectoryExists(link.c_str()); });
}

// Wine cannot remove a unix link through Win32; rm can.
void RemoveLink(const std::wstring& link) {
    std::string unixFolder;
    std::wstring name;
    if (!Exists(link) || !SplitUnix(link, unixFolder, name)) return;
    if (StartUnixCommand(Tessal::Format(L"/bin/rm -f %hs/%s", unixFolder.c_str(), name.c_str()))) {
        NuvTest::WaitUntil([&] { return !Exists(link); });
    }
}

// Each test works in a fresh scratch folder below the temporary folder.
class FileSystemHelpers : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        ASSERT_GT(::GetTempPathW(MAX_PATH, temp), 0u);
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        root_ = Tessal::Format(L"%snuv-fs-%lu-%hs", temp, ::GetCurrentProcessId(), info->name());
        Tessal::RemoveDirectoryTree(root_.c_str());
        MakeFolder(root_);
        savedDirectory_ = Tessal::GetCurrentDirectoryString();
    }
    void TearDown() override {
        ::SetCurrentDirectoryW(savedDirectory_.c_str());
        for (const std::wstring& link : links_) RemoveLink(link);
        Tessal::RemoveDirectoryTree(root_.c_str());
        EXPECT_FALSE(DirectoryExists(root_.c_str()));
    }
    std::wstring Path(const wchar_t* relative) const { return root_ + L"\\" + relative; }

    bool Link(const std::wstring& link, const std::wstring& target) {
        links_.push_back(link);
        return MakeDirectoryLink(link, target);
    }

    std::wstring root_;
    std::wstring savedDirectory_;
    std::vector<std::wstring> links_;
};

TEST_F(FileSystemHelpers, CreateDirectoryPathReportsAnExistingFolder) {
    DWORD error = 0;
    EXPECT_TRUE(Tessal::CreateDirectoryPath(root_.c_str(), &error));
    EXPECT_EQ(error, 183u);
}

TEST_F(FileSystemHelpers, CreateDirectoryPathRefusesEmptyPaths) {
    DWORD error = 0;
    EXPECT_FALSE(Tessal::CreateDirectoryPath(nullptr, &error));
    EXPECT_EQ(error, 87u);
    error = 0;
    EXPECT_FALSE(Tessal::CreateDirectoryPath(L"", &error));
    EXPECT_EQ(error, 87u);
}

TEST_F(FileSystemHelpers, CreateDirectoryPathCreatesEveryMissingParent) {
    MakeFolder(Path(L"a"));
    DWORD error = 99;
    EXPECT_TRUE(Tessal::CreateDirectoryPath(Path(L"a\\b\\c\\d").c_str(), &error));
    EXPECT_EQ(error, 0u);
    EXPECT_TRUE(DirectoryExists(Path(L"a\\b\\c\\d").c_str()));

    // The long-path form and the one-argument call.
    EXPECT_TRUE(Tessal::CreateDirectoryPath((L"\\\\?\\" + Path(L"long\\x\\y")).c_str()));
    EXPECT_TRUE(DirectoryExists(Path(L"long\\x\\y").c_str()));
}

TEST_F(FileSystemHelpers, CreateDirectoryPathTakesRelativePathsFromTheCurrentDirectory) {
    ASSERT_TRUE(::SetCurrentDirectoryW(root_.c_str()));
    EXPECT_TRUE(Tessal::CreateDirectoryPath(L"plain"));
    EXPECT_TRUE(DirectoryExists(Path(L"plain").c_str()));
    // Not below the root of the current drive: relative means relative to the current directory.
    EXPECT_TRUE(Tessal::CreateDirectoryPath(L"rel\\inner"));
    EXPECT_TRUE(DirectoryExists(Path(L"rel\\inner").c_str()));
    EXPECT_TRUE(Tessal::CreateDirectoryPath(L"rel/slashed"));
    EXPECT_TRUE(DirectoryExists(Path(L"rel\\slashed").c_str()));
}

TEST_F(FileSystemHelpers, CreateDirectoryPathFailsOnAndBelowAFile) {
    WriteFile(Path(L"file"));
    for (const wchar_t* path : {L"file\\sub", L"file"}) {
        DWORD error = 0;
        EXPECT_FALSE(Tessal::CreateDirectoryPath(Path(path).c_str(), &error)) << path;
        EXPECT_NE(error, 0u) << path;
    }
}

TEST_F(FileSystemHelpers, RemoveDirectoryTreeRemovesReadOnlyFilesAndSubFolders) {
    const std::wstring tree = Path(L"tree");
    MakeFolder(tree);
    WriteFile(tree + L"\\readonly.txt", FILE_ATTRIBUTE_READONLY);
    MakeFolder(tree + L"\\sub");
    WriteFile(tree + L"\\sub\\inner.txt");
    ASSERT_TRUE(::SetFileAttributesW(tree.c_str(), FILE_ATTRIBUTE_READONLY));

    EXPECT_TRUE(Tessal::RemoveDirectoryTree(tree.c_str()));
    EXPECT_FALSE(DirectoryExists(tree.c_str()));
}

TEST_F(FileSystemHelpers, RemoveDirectoryTreeRefusesWhatIsNoFolder) {
    WriteFile(Path(L"file"));
    for (const wchar_t* path : {static_cast<const wchar_t*>(nullptr), L"", L".", L"..", L"Q:\\missing\\folder"}) {
        EXPECT_FALSE(Tessal::RemoveDirectoryTree(path)) << (path ? ::testing::PrintToString(std::wstring(path)) : "null");
    }
    EXPECT_FALSE(Tessal::RemoveDirectoryTree(Path(L"file").c_str()));
    EXPECT_TRUE(FileExists(Path(L"file").c_str()));
}

TEST_F(FileSystemHelpers, RemoveDirectoryTreeNeverFollowsADirectoryLink) {
    const std::wstring target = Path(L"target");
    MakeFolder(target);
    WriteFile(target + L"\\keep.txt");
    const std::wstring tree = Path(L"tree");
    MakeFolder(tree);
    WriteFile(tree + L"\\gone.txt");
    if (!Link(tree + L"\\link", target)) GTEST_SKIP() << "no way to create a directory link here";
    ASSERT_TRUE(Link(Path(L"toplink"), target));

    const bool treeRemoved = Tessal::RemoveDirectoryTree(tree.c_str());
    const bool linkRemoved = Tessal::RemoveDirectoryTree(Path(L"toplink").c_str());

    // What the links point to survives whatever happened to the links.
    EXPECT_TRUE(FileExists((target + L"\\keep.txt").c_str()));
    EXPECT_FALSE(FileExists((tree + L"\\gone.txt").c_str()));
    // Wine cannot remove a unix link through RemoveDirectoryW; Windows removes a junction. Either
    // way the result tells the truth.
    EXPECT_EQ(treeRemoved, !DirectoryExists(tree.c_str()));
    EXPECT_EQ(linkRemoved, !DirectoryExists(Path(L"toplink").c_str()));
}

// Only reparse points that stand for another name are links; a cloud placeholder or deduplicated
// folder is a real folder whose files are removed with it.
TEST(DirectoryLinks, TheReparseTagDecides) {
    constexpr DWORD kDirectoryPoint = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    const struct {
        DWORD attributes;
        DWORD tag;
        bool link;
    } cases[] = {
        {kDirectoryPoint, IO_REPARSE_TAG_MOUNT_POINT, true},
        {kDirectoryPoint, IO_REPARSE_TAG_SYMLINK, true},
        {kDirectoryPoint, 0, true},           // tag unknown: never descend
        {kDirectoryPoint, 0x9000001A, false},  // cloud files placeholder
        {kDirectoryPoint, IO_REPARSE_TAG_DEDUP, false},
        {FILE_ATTRIBUTE_DIRECTORY, IO_REPARSE_TAG_SYMLINK, false},
        {FILE_ATTRIBUTE_REPARSE_POINT, IO_REPARSE_TAG_SYMLINK, false},  // a file link
        {INVALID_FILE_ATTRIBUTES, IO_REPARSE_TAG_SYMLINK, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.link, Tessal::internal::IsDirectoryLink(c.attributes, c.tag)) << std::hex << c.attributes << " " << c.tag;
    }
}

TEST_F(FileSystemHelpers, DeleteFilesWithoutRecursionDeletesMatchingFilesOnly) {
    WriteFile(Path(L"a.log"));
    WriteFile(Path(L"b.log"), FILE_ATTRIBUTE_READONLY);
    WriteFile(Path(L"c.txt"));
    MakeFolder(Path(L"d.log"));
    WriteFile(Path(L"d.log\\inner.log"));

    EXPECT_TRUE(Tessal::DeleteFiles(Path(L"*.log").c_str(), false));
    EXPECT_FALSE(FileExists(Path(L"a.log").c_str()));
    EXPECT_FALSE(FileExists(Path(L"b.log").c_str()));
    EXPECT_TRUE(FileExists(Path(L"c.txt").c_str()));
    EXPECT_TRUE(FileExists(Path(L"d.log\\inner.log").c_str()));

    EXPECT_TRUE(Tessal::DeleteFiles(Path(L"*.log").c_str(), true));
    EXPECT_FALSE(DirectoryExists(Path(L"d.log").c_str()));
    EXPECT_TRUE(FileExists(Path(L"c.txt").c_str()));
}

TEST_F(FileSystemHelpers, DeleteFilesRefusesPatternsWithoutFolderOrMatch) {
    const std::wstring trailing = root_ + L"\\";
    const std::wstring noMatch = Path(L"*.none");
    for (const wchar_t* pattern : {static_cast<const wchar_t*>(nullptr), L"", L".", L"..", L"*.log",
                                   trailing.c_str(), noMatch.c_str()}) {
        EXPECT_FALSE(Tessal::DeleteFiles(pattern, true));
    }
}

TEST_F(FileSystemHelpers, PathTests) {
    WriteFile(Path(L"file"));
    EXPECT_TRUE(FileExists(Path(L"file").c_str()));
    EXPECT_FALSE(DirectoryExists(Path(L"file").c_str()));
    EXPECT_TRUE(Tessal::IsRegularFile(Path(L"file").c_str()));
    EXPECT_TRUE(DirectoryExists(root_.c_str()));
    EXPECT_FALSE(FileExists(root_.c_str()));
    EXPECT_FALSE(Tessal::IsRegularFile(root_.c_str()));
    for (const wchar_t* nothing : {static_cast<const wchar_t*>(nullptr), L""}) {
        EXPECT_FALSE(FileExists(nothing));
        EXPECT_FALSE(DirectoryExists(nothing));
        EXPECT_FALSE(Tessal::IsRegularFile(nothing));
    }
}

TEST(ModulePaths, GetModuleFolderAndNameSplitsAtTheLastBackslash) {
    const std::wstring path = Tessal::GetModuleFileNameString(nullptr);
    ASSERT_NE(path.rfind(L"\\base_tests.exe"), std::wstring::npos) << ::testing::PrintToString(path);
    const std::wstring folder = path.substr(0, path.rfind(L'\\'));

    std::wstring gotFolder, gotName;
    ASSERT_TRUE(Tessal::GetModuleFolderAndName(nullptr, gotFolder, false, gotName));
    EXPECT_EQ(gotFolder, folder);
    EXPECT_EQ(gotName, L"base_tests.exe");
    ASSERT_TRUE(Tessal::GetModuleFolderAndName(nullptr, gotFolder, true, gotName));
    EXPECT_EQ(gotFolder, folder + L"\\");
    EXPECT_EQ(gotName, L"\\base_tests.exe");
}

TEST(ModulePaths, UnknownModuleGivesNothing) {
    std::wstring folder = L"unchanged", name = L"unchanged";
    const HMODULE bogus = reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(0x10));
    EXPECT_EQ(Tessal::GetModuleFileNameString(bogus), L"");
    EXPECT_FALSE(Tessal::GetModuleFolderAndName(bogus, folder, true, name));
    EXPECT_EQ(folder, L"unchanged");
}

}  // namespace
