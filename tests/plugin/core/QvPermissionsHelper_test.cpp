// The data-folder permission helper on temporary folders, the data folder itself and the event
// it signals. Wine (upstream) keeps no file DACLs: it turns a written DACL into Unix mode bits and
// makes one up from them when asked. So the helper's file-security calls go to a store here that
// keeps each written descriptor (falling back to Wine's for paths never written), and the tests
// read the DACL back from it; the folder walk itself runs on real folders.

#include "plugin/core/QvPermissionsHelper.h"

#include "base/UniqueHandle.h"
#include "tests/support/LogRecorder.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>
#include <shlobj.h>

#include <cwctype>
#include <map>
#include <string>
#include <vector>

namespace {

// What the helper wrote, by lower-case path.
std::map<std::wstring, std::vector<BYTE>> g_written;
std::map<std::wstring, int> g_writeCount;

std::wstring Key(const wchar_t* path) {
    std::wstring key(path);
    for (wchar_t& c : key) c = static_cast<wchar_t>(std::towlower(c));
    return key;
}

BOOL WINAPI StoredGetFileSecurityW(LPCWSTR path, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor,
                                   DWORD size, LPDWORD needed) {
    const auto stored = g_written.find(Key(path));
    if (stored == g_written.end()) return ::GetFileSecurityW(path, information, descriptor, size, needed);
    *needed = static_cast<DWORD>(stored->second.size());
    if (size < *needed || descriptor == nullptr) {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::copy(stored->second.begin(), stored->second.end(), static_cast<BYTE*>(descriptor));
    return TRUE;
}

BOOL WINAPI StoredSetFileSecurityW(LPCWSTR path, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR descriptor) {
    if (::GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) return FALSE;
    DWORD length = 0;
    ::MakeSelfRelativeSD(descriptor, nullptr, &length);
    std::vector<BYTE> copy(length);
    if (length == 0 || !::MakeSelfRelativeSD(descriptor, copy.data(), &length)) return FALSE;
    g_written[Key(path)] = std::move(copy);
    ++g_writeCount[Key(path)];
    return TRUE;
}

// The table's resolver: file security goes to the store, `missing` resolves to nothing.
CSecurityApiLoader::ProcAddressResolver StoreResolver(std::string missing = {}) {
    auto address = [](auto function) { return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(function)); };
    return [missing, address](HMODULE module, LPCSTR name) -> FARPROC {
        if (missing == name) return nullptr;
        if (std::string(name) == "GetFileSecurityW") return address(&StoredGetFileSecurityW);
        if (std::string(name) == "SetFileSecurityW") return address(&StoredSetFileSecurityW);
        return ::GetProcAddress(module, name);
    };
}

// The plug-in's own table loads advapi32.dll from the system folder and binds all 26 functions
// once; one missing function fails the load though the library stays loaded.
TEST(SecurityApiLoaderTest, BindsTheSystemLibraryOnceAndNeedsEveryFunction) {
    wchar_t system[MAX_PATH] = {};
    ASSERT_NE(0u, ::GetSystemDirectoryW(system, MAX_PATH));
    const std::wstring advapi = std::wstring(system) + L"\\advapi32.dll";
    for (const char* missing : {"", "SetSecurityDescriptorControl", "SetEntriesInAclW"}) {
        SCOPED_TRACE(missing);
        std::vector<std::string> asked;
        std::wstring loadedFrom;
        CSecurityApiLoader loader([&](HMODULE module, LPCSTR name) -> FARPROC {
            wchar_t path[MAX_PATH] = {};
            ::GetModuleFileNameW(module, path, MAX_PATH);
            loadedFrom = path;
            asked.emplace_back(name);
            return std::string(missing) == name ? nullptr : ::GetProcAddress(module, name);
        });
        EXPECT_EQ(nullptr, loader.Functions().getFileSecurityW);
        const int expected = *missing == '\0' ? 1 : 0;
        EXPECT_EQ(expected, loader.Load());
        EXPECT_EQ(expected, loader.Load()) << "a second load only repeats the test";
        EXPECT_EQ(26u, asked.size());
        EXPECT_EQ("SetEntriesInAclW", asked.front());
        EXPECT_EQ("SetSecurityDescriptorControl", asked.back());
        EXPECT_EQ(0, ::_wcsicmp(advapi.c_str(), loadedFrom.c_str()));
        EXPECT_EQ(reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"advapi32.dll"), "GetFileSecurityW")),
                  reinterpret_cast<void*>(loader.Functions().getFileSecurityW));
    }
}

const DWORD kUsers[] = {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS};
constexpr BYTE kInheritToAll = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

struct Ace {
    BYTE type;
    BYTE flags;
    DWORD mask;
};

// The ACEs of `path`'s DACL whose SID is BUILTIN\Users.
std::vector<Ace> UsersAces(const std::wstring& path) {
    DWORD needed = 0;
    StoredGetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    EXPECT_TRUE(needed != 0 && StoredGetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, buffer.data(), needed,
                                                        &needed))
        << "cannot read the DACL of " << std::string(path.begin(), path.end());
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (buffer.empty() || !::GetSecurityDescriptorDacl(buffer.data(), &present, &dacl, &defaulted) || !present ||
        dacl == nullptr) {
        return {};
    }
    BYTE usersSid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof(usersSid);
    EXPECT_TRUE(::CreateWellKnownSid(WinBuiltinUsersSid, nullptr, usersSid, &sidSize));
    std::vector<Ace> aces;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* raw = nullptr;
        if (!::GetAce(dacl, i, &raw)) continue;
        const auto* header = static_cast<ACE_HEADER*>(raw);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_DENIED_ACE_TYPE) continue;
        // Allowed and denied ACEs share one layout.
        const auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
        if (::EqualSid(const_cast<DWORD*>(&ace->SidStart), usersSid)) {
            aces.push_back({header->AceType, header->AceFlags, ace->Mask});
        }
    }
    return aces;
}

bool HasUsersGrant(const std::wstring& path, DWORD rights) {
    for (const Ace& ace : UsersAces(path)) {
        if (ace.type == ACCESS_ALLOWED_ACE_TYPE && (ace.flags & kInheritToAll) == kInheritToAll &&
            (ace.mask & rights) == rights) {
            return true;
        }
    }
    return false;
}

// A DACL granting Everyone read access only, written with the given control bits.
void SetEveryoneReadOnly(const std::wstring& path, SECURITY_DESCRIPTOR_CONTROL control = SE_DACL_PROTECTED) {
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    ASSERT_TRUE(::AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone));
    alignas(DWORD) BYTE aclBuffer[128] = {};
    auto* acl = reinterpret_cast<PACL>(aclBuffer);
    SECURITY_DESCRIPTOR descriptor;
    const bool built = ::InitializeAcl(acl, sizeof(aclBuffer), ACL_REVISION) &&
                       ::AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_READ, everyone) &&
                       ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
                       ::SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE) &&
                       (control == 0 || ::SetSecurityDescriptorControl(&descriptor, control, control));
    ::FreeSid(everyone);
    ASSERT_TRUE(built);
    ASSERT_TRUE(StoredSetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, &descriptor)) << ::GetLastError();
}

SECURITY_DESCRIPTOR_CONTROL DaclControl(const std::wstring& path) {
    DWORD needed = 0;
    StoredGetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (needed == 0 ||
        !StoredGetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, buffer.data(), needed, &needed) ||
        !::GetSecurityDescriptorControl(buffer.data(), &control, &revision)) {
        ADD_FAILURE() << "cannot read the descriptor control";
    }
    return control;
}

void CreateFileAt(const std::wstring& path) {
    const Tessal::UniqueHandle file(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file.IsValid()) << ::GetLastError();
}

// Deletes a folder and everything below it.
void RemoveTree(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    const Tessal::UniqueFindHandle find(::FindFirstFileW((folder + L"\\*").c_str(), &found));
    if (find) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring path = folder + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(path);
            } else {
                ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileW(path.c_str());
            }
        } while (::FindNextFileW(find.Get(), &found));
    }
    ::RemoveDirectoryW(folder.c_str());
}

class PermissionsHelperTest : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        ASSERT_NE(0u, ::GetTempPathW(MAX_PATH, temp));
        const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        m_folder = std::wstring(temp) + L"nuvperm-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                   std::wstring(test.begin(), test.end());
        RemoveTree(m_folder);
        g_written.clear();
        g_writeCount.clear();
        ASSERT_TRUE(::CreateDirectoryW(m_folder.c_str(), nullptr)) << ::GetLastError();
    }
    void TearDown() override { RemoveTree(m_folder); }

    std::wstring Path(const wchar_t* name) const { return m_folder + L"\\" + name; }

    DWORD Grant(const std::wstring& folder, DWORD grant, DWORD deny = 0, bool thisFolderOnly = false,
                bool recursive = false) {
        CQvPermissionsHelper helper(StoreResolver());
        return helper.SetPermission(folder.c_str(), SECURITY_NT_AUTHORITY, 2, kUsers, grant, deny, thisFolderOnly,
                                    recursive);
    }

    std::wstring m_folder;
};

TEST_F(PermissionsHelperTest, GrantsUsersInheritedWriteToTheFolderAndItsFiles) {
    CreateFileAt(Path(L"settings.dat"));
    CreateFileAt(Path(L".hidden"));  // the '.' rule is for subfolders only
    ASSERT_FALSE(HasUsersGrant(m_folder, GENERIC_WRITE));

    EXPECT_EQ(0u, Grant(m_folder, GENERIC_WRITE));

    for (const std::wstring& path : {m_folder, Path(L"settings.dat"), Path(L".hidden")}) {
        SCOPED_TRACE(std::string(path.begin(), path.end()));
        EXPECT_TRUE(HasUsersGrant(path, GENERIC_WRITE));
        for (const Ace& ace : UsersAces(path)) EXPECT_NE(ACCESS_DENIED_ACE_TYPE, ace.type);
    }
}

TEST_F(PermissionsHelperTest, AnExistingInheritedGrantWritesNothing) {
    ASSERT_EQ(0u, Grant(m_folder, GENERIC_WRITE));
    // A file that would get the descriptor if anything were written again.
    CreateFileAt(Path(L"later.dat"));
    SetEveryoneReadOnly(Path(L"later.dat"));
    ASSERT_FALSE(HasUsersGrant(Path(L"later.dat"), GENERIC_WRITE));

    const auto writesBefore = g_writeCount;
    EXPECT_EQ(0u, Grant(m_folder, GENERIC_WRITE));
    EXPECT_EQ(writesBefore, g_writeCount);
    EXPECT_TRUE(UsersAces(Path(L"later.dat")).empty());
}

TEST_F(PermissionsHelperTest, OnlyTheMissingPartIsWritten) {
    ASSERT_EQ(0u, Grant(m_folder, GENERIC_WRITE));
    CreateFileAt(Path(L"later.dat"));
    SetEveryoneReadOnly(Path(L"later.dat"));

    // The grant is there already; the denial is new, so the descriptor goes out again.
    EXPECT_EQ(0u, Grant(m_folder, GENERIC_WRITE, DELETE));
    for (const std::wstring& path : {m_folder, Path(L"later.dat")}) {
        SCOPED_TRACE(std::string(path.begin(), path.end()));
        bool denied = false;
        for (const Ace& ace : UsersAces(path)) {
            denied = denied || (ace.type == ACCESS_DENIED_ACE_TYPE && ace.mask == DELETE &&
                                (ace.flags & kInheritToAll) == kInheritToAll);
        }
        EXPECT_TRUE(denied);
        EXPECT_TRUE(HasUsersGrant(path, GENERIC_WRITE));
    }
}

TEST_F(PermissionsHelperTest, ASubfolderGivesThreeWhileTheFilesStillGetTheDescriptor) {
    CreateFileAt(Path(L"a.dat"));
    ASSERT_TRUE(::CreateDirectoryW(Path(L"sub").c_str(), nullptr));
    CreateFileAt(Path(L"sub\\inner.dat"));
    CreateFileAt(Path(L"z.dat"));  // after the subfolder in the walk

    EXPECT_EQ(3u, Grant(m_folder, GENERIC_WRITE));
    EXPECT_TRUE(HasUsersGrant(m_folder, GENERIC_WRITE));
    EXPECT_TRUE(HasUsersGrant(Path(L"a.dat"), GENERIC_WRITE));
    EXPECT_TRUE(HasUsersGrant(Path(L"z.dat"), GENERIC_WRITE));
    EXPECT_FALSE(HasUsersGrant(Path(L"sub"), GENERIC_WRITE));
    EXPECT_FALSE(HasUsersGrant(Path(L"sub\\inner.dat"), GENERIC_WRITE));
}

TEST_F(PermissionsHelperTest, RecursionEntersSubfoldersButNotDotFolders) {
    ASSERT_TRUE(::CreateDirectoryW(Path(L"sub").c_str(), nullptr));
    CreateFileAt(Path(L"sub\\inner.dat"));
    ASSERT_TRUE(::CreateDirectoryW(Path(L".cache").c_str(), nullptr));
    CreateFileAt(Path(L".cache\\skipped.dat"));

    EXPECT_EQ(0u, Grant(m_folder, GENERIC_WRITE, 0, false, true));
    EXPECT_TRUE(HasUsersGrant(Path(L"sub"), GENERIC_WRITE));
    EXPECT_TRUE(HasUsersGrant(Path(L"sub\\inner.dat"), GENERIC_WRITE));
    EXPECT_FALSE(HasUsersGrant(Path(L".cache"), GENERIC_WRITE));
    EXPECT_FALSE(HasUsersGrant(Path(L".cache\\skipped.dat"), GENERIC_WRITE));
}

TEST_F(PermissionsHelperTest, ThisFolderOnlyLeavesFilesAndSubfoldersAlone) {
    CreateFileAt(Path(L"a.dat"));
    ASSERT_TRUE(::CreateDirectoryW(Path(L"sub").c_str(), nullptr));

    EXPECT_EQ(0u, Grant(m_folder, GENERIC_WRITE, 0, true, true));
    EXPECT_TRUE(HasUsersGrant(m_folder, GENERIC_WRITE));
    EXPECT_FALSE(HasUsersGrant(Path(L"a.dat"), GENERIC_WRITE));
    EXPECT_FALSE(HasUsersGrant(Path(L"sub"), GENERIC_WRITE));
}

TEST_F(PermissionsHelperTest, TheDaclKeepsItsPlaceInInheritance) {
    constexpr SECURITY_DESCRIPTOR_CONTROL kAutoInherited = SE_DACL_AUTO_INHERITED;
    constexpr SECURITY_DESCRIPTOR_CONTROL kAutoInheritedRequest = SE_DACL_AUTO_INHERITED | SE_DACL_AUTO_INHERIT_REQ;
    constexpr SECURITY_DESCRIPTOR_CONTROL kInspected = kAutoInheritedRequest | SE_DACL_PROTECTED;
    const struct {
        SECURITY_DESCRIPTOR_CONTROL before;
        SECURITY_DESCRIPTOR_CONTROL after;
    } cases[] = {
        {0, 0},
        {SE_DACL_PROTECTED, SE_DACL_PROTECTED},
        {kAutoInherited, kAutoInheritedRequest},
        {kAutoInherited | SE_DACL_PROTECTED, kAutoInheritedRequest},  // auto-inherited wins
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.before);
        g_written.clear();
        SetEveryoneReadOnly(m_folder, c.before);
        ASSERT_EQ(c.before, DaclControl(m_folder) & kInspected);

        EXPECT_EQ(0u, Grant(m_folder, GENERIC_WRITE, 0, true));
        EXPECT_TRUE(HasUsersGrant(m_folder, GENERIC_WRITE));
        EXPECT_EQ(c.after, DaclControl(m_folder) & kInspected);
    }
}

TEST_F(PermissionsHelperTest, RefusalsAndFailures) {
    struct Case {
        const char* name;
        bool nullFolder;
        std::wstring folder;
        const char* missingFunction;  // made unresolvable in the security-function table
        DWORD expected;
    };
    const std::vector<Case> cases = {
        {"null folder", true, L"", nullptr, ERROR_INVALID_PARAMETER},
        {"empty folder", false, L"", nullptr, ERROR_INVALID_PARAMETER},
        {"missing folder", false, Path(L"absent"), nullptr, ERROR_FILE_NOT_FOUND},
        {"GetExplicitEntriesFromAclW missing", false, m_folder, "GetExplicitEntriesFromAclW", ERROR_FILE_NOT_FOUND},
        {"SetEntriesInAclW missing", false, m_folder, "SetEntriesInAclW", ERROR_FILE_NOT_FOUND},
        {"SetFileSecurityW missing", false, m_folder, "SetFileSecurityW", ERROR_FILE_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CQvPermissionsHelper helper(StoreResolver(c.missingFunction ? c.missingFunction : ""));
        EXPECT_EQ(c.expected, helper.SetPermission(c.nullFolder ? nullptr : c.folder.c_str(), SECURITY_NT_AUTHORITY,
                                                   2, kUsers, GENERIC_WRITE, 0, false, false));
    }
    EXPECT_TRUE(g_written.empty());
}

// The data folder of the product in the test prefix, as setFoldersPermission computes it.
std::wstring DataFolder() {
    wchar_t folder[MAX_PATH] = {};
    EXPECT_TRUE(::SHGetSpecialFolderPathW(nullptr, folder, CSIDL_COMMON_APPDATA, FALSE));
    return std::wstring(folder) + L"\\Oberix\\NUV";
}

// With Wine's own file security: the writes succeed, and the subfolder is what the log reports.
TEST(FoldersPermission, ASubfolderOfTheDataFolderIsLoggedWithCodeThree) {
    const std::wstring folder = DataFolder();
    ::SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    const std::wstring sub = folder + L"\\perm-" + std::to_wstring(::GetCurrentProcessId());
    RemoveTree(sub);
    ASSERT_TRUE(::CreateDirectoryW(sub.c_str(), nullptr)) << ::GetLastError();
    NuvTest::TakeLoggedLines();

    setFoldersPermission();
    RemoveTree(sub);
    const std::wstring expected = L"Set permission on folder: " + folder + L" failed, error code: 3\r\n";
    int logged = 0;
    for (const auto& line : NuvTest::TakeLoggedLines()) {
        if (line.level == 4 && line.text == expected) ++logged;
    }
    EXPECT_EQ(1, logged);

    // Without the subfolder nothing is logged.
    setFoldersPermission();
    for (const auto& line : NuvTest::TakeLoggedLines()) {
        EXPECT_EQ(std::wstring::npos, line.text.find(L"Set permission on folder")) << line.text.c_str();
    }
}

TEST(FoldersPermission, TheEventIsSetForWhoeverWaits) {
    const Tessal::UniqueHandle waiter(::CreateEventA(nullptr, TRUE, FALSE, kFolderPermissionsEventName));
    ASSERT_TRUE(waiter.IsValid()) << ::GetLastError();
    ASSERT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(waiter.Get(), 0));

    SignalFolderPermissionsEvent();

    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(waiter.Get(), 0));
}

}  // namespace
