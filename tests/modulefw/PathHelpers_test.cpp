#include "modulefw/PathHelpers.h"

#include "modulefw/ModuleStatus.h"
#include "tests/support/TestPaths.h"

#include <gtest/gtest.h>

#include <knownfolders.h>
#include <objbase.h>

#include <cwchar>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

// Known folders from a table; a folder not in it fails as the system call does.
class FakeShell : public Korin::ShlObjAPI {
public:
    std::vector<std::pair<KNOWNFOLDERID, std::wstring>> folders;

    HRESULT getKnownFolderPath(REFKNOWNFOLDERID folderId, DWORD flags, HANDLE token, PWSTR* path) override {
        EXPECT_EQ(0u, flags);
        EXPECT_EQ(nullptr, token);
        *path = nullptr;
        for (const auto& [id, folder] : folders) {
            if (!::IsEqualGUID(id, folderId)) continue;
            const std::size_t bytes = (folder.size() + 1) * sizeof(wchar_t);
            *path = static_cast<PWSTR>(::CoTaskMemAlloc(bytes));
            std::wmemcpy(*path, folder.c_str(), folder.size() + 1);
            return S_OK;
        }
        return E_INVALIDARG;
    }
};

class FakeOSInfo : public Korin::PathHelpers::OSInfo {
public:
    FakeOSInfo(DWORD platform, bool wow64) : m_platform(platform), m_wow64(wow64) {}
    DWORD GetPlatform() override { return m_platform; }
    bool IsWow64() override { return m_wow64; }

private:
    DWORD m_platform;
    bool m_wow64;
};

// Machine values keyed by "sub key|value name"; records what was asked.
class FakeRegistry : public Korin::RegistryAPI {
public:
    std::map<std::wstring, std::wstring> values;
    std::vector<std::wstring> asked;

    Korin::ModuleStatus readString(const std::wstring& subKey, const std::wstring& valueName,
                                   std::wstring& value) override {
        asked.push_back(subKey + L"|" + valueName);
        const auto found = values.find(subKey + L"|" + valueName);
        if (found == values.end()) return Korin::MODULE_STATUS_UNSUCCESSFUL;
        value = found->second;
        return Korin::MODULE_STATUS_SUCCESS;
    }
};

constexpr wchar_t kInstall[] = L"SOFTWARE\\OBERIX\\PLEXAN|Install Dir";
constexpr wchar_t kInstall32[] = L"SOFTWARE\\OBERIX\\PLEXAN|Install Dir32";

std::wstring ExePath() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

struct TokenCase {
    const wchar_t* input;
    std::wstring expected;
    DWORD platform = 1;
    bool wow64 = false;
};

TEST(PathHelpersTest, ExpandsKnownTokensAndLeavesTheRestAsWritten) {
    const std::wstring folder = NuvTest::ExeFolder() + L"\\";
    const TokenCase cases[] = {
        {L"$(App.Folder)Halvex.dll", folder + L"Halvex.dll"},
        {L"$(App.Name)", L"modulefw_system_tests"},
        {L"$(App.Binary)", L"modulefw_system_tests.exe"},
        {L"$(App.Path)", ExePath()},
        {L"$(App.Folder)$(App.Name)", folder + L"modulefw_system_tests"},
        {L"$(Plexanmod.InstallDir)\\bin", L"D:\\Plexan\\bin"},
        {L"$(Plexanmod.InstallDir)", L"D:\\Plexan32", 0, true},
        {L"$(FOLDERID_ProgramData)\\Oberix", L"C:\\ProgramData\\Oberix"},
        {L"<$(FOLDERID_ProgramFilesX86)>", L"<C:\\Program Files (x86)>"},
        {L"$(OS.Platform)", L"win32", 0},
        {L"$(OS.Platform)", L"x64", 1},
        {L"$(OS.Platform)", L"PlatformUnknown", 2},
        // Left as written: unknown, wrong case, empty or nested names, no value to be had.
        {L"$(OS.Platform)", L"$(OS.Platform)", 7},
        {L"$(FOLDERID_Profile)\\x", L"$(FOLDERID_Profile)\\x"},
        {L"$(Nothing)\\Halvex.dll", L"$(Nothing)\\Halvex.dll"},
        {L"$(app.folder)", L"$(app.folder)"},
        {L"$()", L"$()"},
        {L"$(a(b))", L"$(a(b))"},
        {L"$App.Folder (x)", L"$App.Folder (x)"},
        {L"", L""},
        // An expansion is never searched again.
        {L"[$(FOLDERID_Documents)]", L"[$(App.Name)]"},
    };
    for (const TokenCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "input " << testing::PrintToString(std::wstring(c.input)) << " platform "
                                        << c.platform << " wow64 " << c.wow64);
        auto shell = std::make_shared<FakeShell>();
        shell->folders = {{FOLDERID_ProgramData, L"C:\\ProgramData"},
                          {FOLDERID_ProgramFilesX86, L"C:\\Program Files (x86)"},
                          {FOLDERID_Documents, L"$(App.Name)"}};
        auto registry = std::make_shared<FakeRegistry>();
        registry->values = {{kInstall, L"D:\\Plexan"}, {kInstall32, L"D:\\Plexan32"}};
        Korin::PathHelpers helpers(shell, std::make_shared<FakeOSInfo>(c.platform, c.wow64), registry);

        std::wstring path = c.input;
        EXPECT_TRUE(helpers.replaceTokens(path));
        EXPECT_EQ(c.expected, path);
    }
}

TEST(PathHelpersTest, InstallDirWithoutRegistryValueStaysAToken) {
    auto registry = std::make_shared<FakeRegistry>();
    Korin::PathHelpers helpers(std::make_shared<FakeShell>(), std::make_shared<FakeOSInfo>(1, false), registry);
    std::wstring path = L"$(Plexanmod.InstallDir)";
    EXPECT_TRUE(helpers.replaceTokens(path));
    EXPECT_EQ(L"$(Plexanmod.InstallDir)", path);
    EXPECT_EQ(std::vector<std::wstring>{kInstall}, registry->asked);
}

TEST(PathHelpersTest, DefaultServicesExpandTheExecutableFolder) {
    Korin::PathHelpers helpers;
    std::wstring path = L"$(App.Folder)Halvex.dll";
    EXPECT_TRUE(helpers.replaceTokens(path));
    EXPECT_EQ(NuvTest::ExeFolder() + L"\\Halvex.dll", path);
}

}  // namespace
