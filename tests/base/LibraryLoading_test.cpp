#include "base/LibraryLoading.h"

#include "base/ShlObjAPI.h"
#include "base/UniqueHandle.h"

#include <gtest/gtest.h>

#include <objbase.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <string>
#include <utility>

namespace {

using Tessal::IsQualifiedFilePath;
using Tessal::UniqueHModule;

std::wstring BinFolder() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.rfind(L'\\'));
}

std::wstring ModulePath(HMODULE module) {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(module, path, MAX_PATH);
    return std::wstring(path, length);
}

std::wstring SystemFolder() {
    wchar_t path[MAX_PATH] = {};
    const UINT length = ::GetSystemDirectoryW(path, MAX_PATH);
    return std::wstring(path, length);
}

bool SamePath(const std::wstring& a, const std::wstring& b) { return ::_wcsicmp(a.c_str(), b.c_str()) == 0; }

// A DLL the build puts beside this program, where a bare-name LoadLibrary would find it.
constexpr const wchar_t* kBesideDll = L"verinfo_none.dll";

bool BesideDllLoaded() { return ::GetModuleHandleW(kBesideDll) != nullptr; }

struct QualifiedPathCase {
    const wchar_t* path;
    bool qualified;
};

TEST(IsQualifiedFilePath, AcceptsOnlyAbsolutePathsToFilesWithExtension) {
    const QualifiedPathCase cases[] = {
        {L"C:\\Windows\\System32\\advapi32.dll", true},
        {L"c:\\x.dll", true},
        {L"C:/Windows/System32/advapi32.dll", true},
        {L"C:\\mixed/separators\\x.dll", true},
        {L"C:\\dir\\..\\x.dll", true},
        {L"C:\\dir\\archive.tar.gz", true},
        {L"\\\\server\\share\\x.dll", true},
        {L"//server/share/dir/x.dll", true},
        {L"\\\\?\\C:\\dir\\x.dll", true},
        {L"\\\\?\\UNC\\server\\share\\x.dll", true},

        {nullptr, false},
        {L"", false},
        {L"x.dll", false},
        {L"dir\\x.dll", false},
        {L".\\x.dll", false},
        {L"\\x.dll", false},             // root of the current drive
        {L"C:\\dir\\", false},           // a folder
        {L"C:\\", false},
        {L"C:\\dir\\x", false},          // no extension
        {L"C:\\dir\\..", false},
        {L"C:\\dir\\.", false},
        {L"C:x.dll", false},             // drive-relative: the current folder of drive C
        {L"C:dir\\x.dll", false},
        {L"dir\\C:\\x.dll", false},      // ':' later in the path
        {L"C:\\dir\\x.dll:stream", false},
        {L"C:\\dir\\a:b.dll", false},
        {L"1:\\x.dll", false},
        {L"\\\\server\\x.dll", false},   // no share
        {L"\\\\server\\share", false},
        {L"\\\\server\\share\\", false},
        {L"\\\\\\server\\share\\x.dll", false},
        {L"\\\\.\\C:\\x.dll", false},    // device path
        {L"//?/C:/x.dll", false},
        {L"\\\\?\\C:/dir/x.dll", false}, // '/' is no separator after "\\?\"
        {L"\\\\?\\C:x.dll", false},
        {L"\\\\?\\x.dll", false},
        {L"\\\\?\\UNC\\server\\x.dll", false},
    };
    for (const QualifiedPathCase& c : cases) {
        EXPECT_EQ(IsQualifiedFilePath(c.path), c.qualified)
            << ::testing::PrintToString(std::wstring(c.path != nullptr ? c.path : L"(null)"));
    }
}

TEST(SafeLoadLibrary, RefusesNamesWithoutLoadingAnything) {
    ASSERT_FALSE(BesideDllLoaded());
    // Each of these would load the DLL beside the program through LoadLibraryW.
    const std::wstring refused[] = {kBesideDll, BinFolder() + L"\\verinfo_none"};
    for (const std::wstring& name : refused) {
        const UniqueHModule module(Tessal::SafeLoadLibrary(name.c_str()));
        EXPECT_FALSE(module) << ::testing::PrintToString(name);
        EXPECT_FALSE(BesideDllLoaded()) << ::testing::PrintToString(name);
    }
    EXPECT_EQ(Tessal::SafeLoadLibrary(nullptr), nullptr);
    EXPECT_EQ(Tessal::SafeLoadLibraryEx(nullptr, nullptr, 0), nullptr);
}

TEST(SafeLoadLibrary, LoadsFullPaths) {
    const std::wstring path = BinFolder() + L"\\" + kBesideDll;
    std::wstring slashed = path;
    std::replace(slashed.begin(), slashed.end(), L'\\', L'/');
    for (const std::wstring& name : {path, slashed}) {
        const UniqueHModule module(Tessal::SafeLoadLibrary(name.c_str()));
        ASSERT_TRUE(module) << ::testing::PrintToString(name) << " error " << ::GetLastError();
        EXPECT_TRUE(SamePath(ModulePath(module.Get()), path));
    }
    const UniqueHModule dataFile(Tessal::SafeLoadLibraryEx(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(dataFile);
    // A data-file mapping is marked in the low bits of the handle: the flags reached the loader.
    EXPECT_NE(reinterpret_cast<ULONG_PTR>(dataFile.Get()) & 3, 0u);
}

TEST(SafeLoadLibrary, MissingFileLeavesLoaderError) {
    const std::wstring path = BinFolder() + L"\\no-such-library.dll";
    ::SetLastError(0);
    EXPECT_EQ(Tessal::SafeLoadLibrary(path.c_str()), nullptr);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

// Known-folder wrapper with a folder of the test's choosing.
class FakeShell : public Tessal::ShlObjAPI {
public:
    explicit FakeShell(std::wstring folder, HRESULT result = S_OK) : m_folder(std::move(folder)), m_result(result) {}
    HRESULT GetKnownFolderPath(REFKNOWNFOLDERID folderId, DWORD, HANDLE, PWSTR* path) override {
        ++calls;
        asked = folderId;
        *path = nullptr;
        if (FAILED(m_result)) return m_result;
        const std::size_t bytes = (m_folder.size() + 1) * sizeof(wchar_t);
        *path = static_cast<PWSTR>(::CoTaskMemAlloc(bytes));
        std::memcpy(*path, m_folder.c_str(), bytes);
        return m_result;
    }
    int calls = 0;
    GUID asked = GUID_NULL;

private:
    std::wstring m_folder;
    HRESULT m_result;
};

TEST(LoadSystemLibrary, LoadsFromTheSystemFolderOnly) {
    const UniqueHModule advapi(Tessal::LoadSystemLibrary(L"advapi32.dll"));
    ASSERT_TRUE(advapi);
    EXPECT_TRUE(SamePath(ModulePath(advapi.Get()), SystemFolder() + L"\\advapi32.dll"));

    // Beside the program, where a bare LoadLibraryW would find it, but not in the system folder.
    ASSERT_FALSE(BesideDllLoaded());
    const UniqueHModule beside(Tessal::LoadSystemLibrary(kBesideDll));
    EXPECT_FALSE(beside);
    EXPECT_FALSE(BesideDllLoaded());
    EXPECT_EQ(Tessal::LoadSystemLibrary(nullptr), nullptr);
}

TEST(LoadSystemLibrary, DropsAlteredSearchPathFlag) {
    // The two flags together are an invalid combination for the loader; the function must drop
    // the altered search path flag and keep the other.
    const DWORD flags = LOAD_WITH_ALTERED_SEARCH_PATH | LOAD_LIBRARY_SEARCH_SYSTEM32;
    {
        const std::wstring path = SystemFolder() + L"\\advapi32.dll";
        const UniqueHModule direct(::LoadLibraryExW(path.c_str(), nullptr, flags));
        if (direct) GTEST_SKIP() << "this loader accepts the combination; nothing to observe";
    }
    const UniqueHModule module(Tessal::LoadSystemLibrary(L"advapi32.dll", nullptr, flags));
    ASSERT_TRUE(module) << ::GetLastError();
    EXPECT_TRUE(SamePath(ModulePath(module.Get()), SystemFolder() + L"\\advapi32.dll"));
}

TEST(LoadSystemLibrary, UsesTheKnownSystemFolder) {
    FakeShell shell(BinFolder());
    const UniqueHModule module(Tessal::LoadSystemLibrary(shell, kBesideDll, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    ASSERT_TRUE(module) << ::GetLastError();
    EXPECT_EQ(shell.calls, 1);
    EXPECT_TRUE(::IsEqualGUID(shell.asked, FOLDERID_System));
    EXPECT_TRUE(SamePath(ModulePath(module.Get()), BinFolder() + L"\\" + kBesideDll));

    FakeShell failing(BinFolder(), E_FAIL);
    EXPECT_EQ(Tessal::LoadSystemLibrary(failing, kBesideDll, nullptr, 0), nullptr);
    EXPECT_EQ(failing.calls, 1);
}

}  // namespace
