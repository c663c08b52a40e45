#include "base/CommonReplacements.h"
#include "base/ShlObjAPI.h"
#include "base/UniqueHandle.h"

#include <gtest/gtest.h>
#include <knownfolders.h>
#include <objbase.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using Tessal::CommonReplacements;

// Known folders from a table; anything else fails like an unknown folder does.
class FakeShlObjAPI : public Tessal::ShlObjAPI {
public:
    HRESULT GetKnownFolderPath(REFKNOWNFOLDERID folderId, DWORD flags, HANDLE token,
                               PWSTR* path) override {
        EXPECT_EQ(flags, 0u);
        EXPECT_EQ(token, nullptr);
        *path = nullptr;
        for (const auto& [id, folder] : folders) {
            if (!IsEqualGUID(id, folderId)) continue;
            const std::size_t bytes = (folder.size() + 1) * sizeof(wchar_t);
            *path = static_cast<PWSTR>(::CoTaskMemAlloc(bytes));
            if (*path == nullptr) return E_OUTOFMEMORY;
            std::copy(folder.c_str(), folder.c_str() + folder.size() + 1, *path);
            return S_OK;
        }
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    }

    std::vector<std::pair<KNOWNFOLDERID, std::wstring>> folders;
};

class FakeOSInfo : public CommonReplacements::OSInfo {
public:
    explicit FakeOSInfo(DWORD platform) : m_platform(platform) {}
    DWORD GetPlatform() override { return m_platform; }

private:
    DWORD m_platform;
};

// The executable's path split by hand, to compare with the App.* tokens.
struct ExecutableParts {
    std::wstring path, folder, name, binary;

    ExecutableParts() {
        wchar_t buffer[MAX_PATH] = {};
        path.assign(buffer, ::GetModuleFileNameW(nullptr, buffer, MAX_PATH));
        const std::size_t slash = path.find_last_of(L'\\');
        folder = path.substr(0, slash + 1);
        binary = path.substr(slash + 1);
        name = binary.substr(0, binary.find_last_of(L'.'));
    }
};

struct ReplaceCase {
    std::wstring text;
    std::wstring expected;
    std::uint64_t found;
    std::uint64_t changed;
};

void ExpectReplaces(CommonReplacements& replacer, const std::vector<ReplaceCase>& cases,
                    const CommonReplacements::ExtraReplacements& extra = {}) {
    for (const ReplaceCase& c : cases) {
        std::wstring text = c.text;
        EXPECT_TRUE(replacer.Replace(text, extra));
        EXPECT_EQ(text, c.expected) << c.text;
        std::uint64_t found = 99, changed = 99;
        replacer.GetReplaceCounts(found, changed);
        EXPECT_EQ(found, c.found) << c.text;
        EXPECT_EQ(changed, c.changed) << c.text;
    }
}

class CommonReplacementsTest : public ::testing::Test {
protected:
    CommonReplacementsTest() {
        shell->folders = {
            {FOLDERID_ProgramData, L"C:\\ProgramData"},
            {FOLDERID_Profile, L"C:\\users\\kid"},
            {FOLDERID_Documents, L"D:\\$(App.Name)"},  // a value that looks like a token
        };
    }

    std::shared_ptr<FakeShlObjAPI> shell = std::make_shared<FakeShlObjAPI>();
    std::shared_ptr<FakeOSInfo> osInfo = std::make_shared<FakeOSInfo>(1);
    CommonReplacements replacer{shell, osInfo};
    ExecutableParts app;
};

// One replacer for all rows: the counters must start again at every call.
TEST_F(CommonReplacementsTest, ExpandsKnownTokensAndLeavesTheRest) {
    ExpectReplaces(replacer, {
        {L"$(App.Folder)settings.ini", app.folder + L"settings.ini", 1, 1},
        {L"$(App.Path)|$(App.Binary)", app.path + L"|" + app.binary, 2, 2},
        {L"$(FOLDERID_ProgramData)\\Oberix\\$(App.Name)",
         L"C:\\ProgramData\\Oberix\\" + app.name, 2, 2},
        {L"$(Some.Other)", L"$(Some.Other)", 1, 0},
        {L"$(app.name)", L"$(app.name)", 1, 0},              // names are case-sensitive
        {L"$$(App.Name)", L"$" + app.name, 1, 1},            // a '$' in front stays
        {L"$($(App.Name))", L"$(" + app.name + L")", 1, 1},  // only the inner token matches
        {L"$(FOLDERID_Desktop)", L"$(FOLDERID_Desktop)", 1, 0},  // the folder look-up fails
        {L"$(FOLDERID_Documents)", L"D:\\$(App.Name)", 1, 1},    // values are not searched
        {L"$(FOLDERID_Profile)$(OS.Platform)", L"C:\\users\\kidx64", 2, 2},
        {L"$() $( ) $(App.Name", L"$() $( ) $(App.Name", 1, 0},  // "$( )" is a token, unknown
        {L"no tokens", L"no tokens", 0, 0},
        {L"", L"", 0, 0},
    });
}

TEST_F(CommonReplacementsTest, ExtraTableIsAskedFirst) {
    const CommonReplacements::ExtraReplacements extra = {
        {L"$(App.Name)", [] { return std::wstring(L"Override"); }},
        {L"$(Custom)", [] { return std::wstring(L"custom value"); }},
        {L"$(Empty)", [] { return std::wstring(); }},
    };
    ExpectReplaces(replacer,
                   {
                       {L"$(App.Name)-$(Custom)", L"Override-custom value", 2, 2},
                       {L"$(Empty)", L"$(Empty)", 1, 0},
                       {L"$(App.Binary)", app.binary, 1, 1},  // built-in ones still work
                   },
                   extra);
    // Without the extra table the built-in value is back.
    ExpectReplaces(replacer, {{L"$(App.Name)", app.name, 1, 1}});
}

TEST_F(CommonReplacementsTest, EveryKnownFolderTokenAsksForItsOwnFolder) {
    const std::pair<const wchar_t*, KNOWNFOLDERID> tokens[] = {
        {L"$(FOLDERID_Profile)", FOLDERID_Profile},
        {L"$(FOLDERID_Desktop)", FOLDERID_Desktop},
        {L"$(FOLDERID_Documents)", FOLDERID_Documents},
        {L"$(FOLDERID_LocalAppDataLow)", FOLDERID_LocalAppDataLow},
        {L"$(FOLDERID_LocalAppData)", FOLDERID_LocalAppData},
        {L"$(FOLDERID_RoamingAppData)", FOLDERID_RoamingAppData},
        {L"$(FOLDERID_ProgramData)", FOLDERID_ProgramData},
        {L"$(FOLDERID_ProgramFiles)", FOLDERID_ProgramFiles},
        {L"$(FOLDERID_ProgramFilesX64)", FOLDERID_ProgramFilesX64},
        {L"$(FOLDERID_ProgramFilesX86)", FOLDERID_ProgramFilesX86},
        {L"$(FOLDERID_ProgramFilesCommon)", FOLDERID_ProgramFilesCommon},
        {L"$(FOLDERID_ProgramFilesCommonX64)", FOLDERID_ProgramFilesCommonX64},
        {L"$(FOLDERID_ProgramFilesCommonX86)", FOLDERID_ProgramFilesCommonX86},
    };
    // Each folder answers with its own token in it, so a swapped GUID shows.
    shell->folders.clear();
    for (const auto& [token, id] : tokens) shell->folders.emplace_back(id, L"K:\\" + std::wstring(token));
    for (const auto& [token, id] : tokens) {
        std::wstring text = token;
        replacer.Replace(text);
        EXPECT_EQ(text, L"K:\\" + std::wstring(token));
    }
}

TEST(CommonReplacements, PlatformTokenFollowsThePlatformCode) {
    const struct {
        DWORD code;
        const wchar_t* expected;
    } cases[] = {
        {0, L"win32"},
        {1, L"x64"},
        {2, L"PlatformUnknown"},
        {3, L"$(OS.Platform)"},  // no name: the token stays
    };
    for (const auto& c : cases) {
        CommonReplacements replacer(std::make_shared<FakeShlObjAPI>(),
                                    std::make_shared<FakeOSInfo>(c.code));
        std::wstring text = L"$(OS.Platform)";
        replacer.Replace(text);
        EXPECT_EQ(text, c.expected) << c.code;
    }
}

// The Wine prefix of the test run is 64-bit Windows 10.
TEST(CommonReplacements, DefaultServicesAskTheRealSystem) {
    CommonReplacements replacer;
    std::wstring text = L"$(OS.Platform)|$(FOLDERID_ProgramData)";

    PWSTR raw = nullptr;
    ASSERT_EQ(::SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &raw), S_OK);
    const Tessal::UniqueCoTaskMem owner(raw);

    replacer.Replace(text);
    EXPECT_EQ(text, L"x64|" + std::wstring(raw));
}

}  // namespace
