// The resource loader against copies of the build's "NuvRes2.dll" and "nuvuc.dll" in a scratch
// install folder. It loads through the MUI wrapper in whatever mode this process has (no runtime
// in this prefix); the runtime's own path is covered by RtMui_test.cpp.

#include "Shared/NuvResLoader.h"

#include "base/UniqueHandle.h"
#include "logging/LoggingIf.h"
#include "tests/support/LogRecorder.h"
#include "tests/support/MachineKeyGuard.h"
#include "tests/Shared/ResourceTestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

using NuvTest::LoggedLine;
using NuvTest::TakeLoggedLines;

constexpr const wchar_t* kNuvKey = L"SOFTWARE\\Oberix\\NUV";
constexpr const wchar_t* kInstallDir = L"Install Dir";
constexpr UINT kMissingString = 65000;

int CountLines(const std::vector<LoggedLine>& lines, DWORD level, const std::wstring& text) {
    return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const LoggedLine& line) {
        return line.level == level && line.text == text;
    }));
}

bool HasLineStartingWith(const std::vector<LoggedLine>& lines, DWORD level, const std::wstring& prefix) {
    return std::any_of(lines.begin(), lines.end(), [&](const LoggedLine& line) {
        return line.level == level && line.text.compare(0, prefix.size(), prefix) == 0;
    });
}

std::wstring Text(const CSafeStringW& text) { return std::wstring(text.GetString(), text.GetLength()); }

// The resource as the DLL file holds it, read without the loader.
std::vector<BYTE> ResourceBytes(const std::wstring& dll, int id, const wchar_t* type) {
    Tessal::UniqueHModule module(::LoadLibraryExW(dll.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    const HRSRC resource = module ? ::FindResourceW(module.Get(), MAKEINTRESOURCEW(id), type) : nullptr;
    const HGLOBAL data = resource != nullptr ? ::LoadResource(module.Get(), resource) : nullptr;
    const auto* bytes = data != nullptr ? static_cast<const BYTE*>(::LockResource(data)) : nullptr;
    if (bytes == nullptr) return {};
    return std::vector<BYTE>(bytes, bytes + ::SizeofResource(module.Get(), resource));
}

class NuvResLoaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_guard.SetString(kNuvKey, kInstallDir, m_folder.Path()));
        TakeLoggedLines();
    }

    NuvTest::MachineKeyGuard m_guard;
    NuvTest::ScratchFolder m_folder{L"resloader"};
};

TEST_F(NuvResLoaderTest, StringsComeFromTheCustomDllWhenItHasThem) {
    ASSERT_TRUE(NuvTest::CopyResourceDlls(m_folder.Path()));
    CNuvResLoader loader;
    ASSERT_TRUE(loader.Init());
    TakeLoggedLines();

    struct {
        UINT id;
        const wchar_t* text;
        bool custom;
    } const cases[] = {
        {14049, L"Custom: Family Safety", true},
        {14130, L"Custom: this web site is blocked", true},
        {14117, L"Blocked: on the blocked list", false},
        {20209, L"<html lang=\"en\" dir=\"ltr\">", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        CSafeStringW text(L"old");
        EXPECT_TRUE(loader.LoadStringW(c.id, text));
        EXPECT_EQ(c.text, Text(text));
        const std::vector<LoggedLine> lines = TakeLoggedLines();
        const std::wstring id = std::to_wstring(c.id);
        if (c.custom) {
            EXPECT_EQ(1, CountLines(lines, ETWLogging::LOG_NORMAL,
                                    L"CNuvResLoader::_LoadString successfully loaded " + id + L" from custom dll"));
        } else {
            EXPECT_EQ(1, CountLines(lines, ETWLogging::LOG_NORMAL,
                                    L"CNuvResLoader::_LoadString LoadString for " + id + L" from nuvres dll returned " +
                                        std::to_wstring(std::wcslen(c.text))));
        }
    }
}

// The loader learns that a string was cut only from a full buffer: it grows the buffer by 1024
// characters up to 10240, so the longest string it loads has 10238 characters.
TEST_F(NuvResLoaderTest, StringLengthLimits) {
    ASSERT_TRUE(NuvTest::CopyResourceDlls(m_folder.Path()));
    CNuvResLoader loader;
    ASSERT_TRUE(loader.Init());
    TakeLoggedLines();

    struct {
        UINT id;
        int length;
        bool loads;
        int attempts;
    } const cases[] = {
        {29001, 1023, true, 2},
        {29002, 10238, true, 10},
        {29003, 10239, false, 10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        CSafeStringW text(L"old");
        EXPECT_EQ(c.loads, loader.LoadStringW(c.id, text) != FALSE);
        EXPECT_EQ(c.loads ? c.length : 0, text.GetLength());
        if (c.loads) {
            EXPECT_EQ(0, Text(text).find(L"Long text of " + std::to_wstring(c.length) + L" characters:"));
        }

        // "nuvuc.dll" lacks these ids: every attempt reads "NuvRes2.dll" once.
        const std::vector<LoggedLine> lines = TakeLoggedLines();
        const std::wstring attempt = L"CNuvResLoader::_LoadString LoadString for " + std::to_wstring(c.id) +
                                     L" from nuvres dll returned ";
        EXPECT_EQ(c.attempts, std::count_if(lines.begin(), lines.end(), [&](const LoggedLine& line) {
                      return line.text.compare(0, attempt.size(), attempt) == 0;
                  }));
        EXPECT_EQ(c.loads ? 0 : 1, CountLines(lines, ETWLogging::LOG_ERROR,
                                              L"CNuvResLoader::LoadString Exceeded max allowable alloc block"));
    }
}

TEST_F(NuvResLoaderTest, MissingStringFails) {
    ASSERT_TRUE(NuvTest::CopyResourceDlls(m_folder.Path()));
    CNuvResLoader loader;
    ASSERT_TRUE(loader.Init());
    TakeLoggedLines();

    CSafeStringW text(L"old");
    EXPECT_FALSE(loader.LoadStringW(kMissingString, text));
    EXPECT_EQ(0, text.GetLength());
    const std::vector<LoggedLine> lines = TakeLoggedLines();
    EXPECT_TRUE(HasLineStartingWith(lines, ETWLogging::LOG_ERROR,
                                    L"CNuvResLoader::_LoadString LoadString failed for 65000 GetLastError:"));
    EXPECT_EQ(1, CountLines(lines, ETWLogging::LOG_ERROR, L"CNuvResLoader::LoadString _LoadString failed for 65000"));
}

TEST_F(NuvResLoaderTest, ReplaceTokensFillsTheBlockPage) {
    ASSERT_TRUE(NuvTest::CopyResourceDlls(m_folder.Path()));
    CNuvResLoader loader;
    ASSERT_TRUE(loader.Init());

    // The block page's tokens for "not on the allowed list", in the order the block page uses.
    const NuvResToken tokens[] = {
        {L"%CONTENT%", 14108},
        {L"%IDS_QUARVEL_NUV_WEB_HTMLTAG%", 20209},
        {L"%IDS_SOLEN_NUV_WEB_METATAG%", 14051},
        {L"%IDS_SOLEN_NUV_WEB_CONTENT_HEADER%", 14130},
        {L"%IDS_SOLEN_NUV_WEB_BODYTAG%", 5101},
        {L"%HEADER%", 14130},
        {L"%TITLE%", 14114},
    };
    CSafeStringW page;
    ASSERT_TRUE(loader.ReplaceTokens(L"WEBSERVER", L"/BADCONTENT.HTML", tokens, 7, page));
    const std::wstring text = Text(page);
    EXPECT_EQ(0u, text.find(L"<!DOCTYPE html>\n<html lang=\"en\" dir=\"ltr\">\n<head>\n<meta http-equiv="));
    EXPECT_NE(std::wstring::npos, text.find(L"<title>Custom: not on the allowed list</title>"));
    EXPECT_NE(std::wstring::npos, text.find(L"alt=\"Custom: this web site is blocked\""));
    EXPECT_NE(std::wstring::npos, text.find(L"<h1>Custom: this web site is blocked</h1>"));
    EXPECT_NE(std::wstring::npos, text.find(L"<body class=\"blocked\" dir=\"ltr\">"));
    EXPECT_NE(std::wstring::npos, text.find(L"<p>%user% may only visit web sites on the allowed list, and %url% is"));
    EXPECT_EQ(std::wstring::npos, text.find(L"%IDS_")) << "every token replaced";
    // Exactly the template's code units: nothing behind its last line.
    EXPECT_EQ(text.size() - 8, text.rfind(L"</html>\n"));
    EXPECT_EQ(std::wstring::npos, text.find(L'\0'));
}

TEST_F(NuvResLoaderTest, ReplaceTokensWithAMissingStringKeepsThatToken) {
    ASSERT_TRUE(NuvTest::CopyResourceDlls(m_folder.Path()));
    CNuvResLoader loader;
    ASSERT_TRUE(loader.Init());

    const NuvResToken tokens[] = {
        {L"%TITLE%", 14114},
        {L"%HEADER%", kMissingString},
        {L"%CONTENT%", 14112},
    };
    CSafeStringW page;
    EXPECT_FALSE(loader.ReplaceTokens(L"WEBSERVER", L"/BADCONTENT.HTML", tokens, 3, page));
    const std::wstring text = Text(page);
    EXPECT_NE(std::wstring::npos, text.find(L"<title>Custom: not on the allowed list</title>"));
    EXPECT_NE(std::wstring::npos, text.find(L"<h1>%HEADER%</h1>"));
    EXPECT_NE(std::wstring::npos, text.find(L"<p>%url% is on the list of web sites blocked for %user%.</p>"))
        << "tokens after the missing string are still replaced";
}

TEST_F(NuvResLoaderTest, ReplaceTokensWithoutTemplate) {
    ASSERT_TRUE(NuvTest::CopyResourceDlls(m_folder.Path()));
    CNuvResLoader loader;
    ASSERT_TRUE(loader.Init());
    TakeLoggedLines();

    const NuvResToken tokens[] = {{L"%TITLE%", 14114}};
    CSafeStringW page;
    EXPECT_FALSE(loader.ReplaceTokens(L"WEBSERVER", L"/MISSING.HTML", tokens, 1, page));
    const std::vector<LoggedLine> lines = TakeLoggedLines();
    EXPECT_TRUE(HasLineStartingWith(lines, ETWLogging::LOG_ERROR,
                                    L"CNuvResLoader::_LoadResource failed to find resource, GetLastError:"));
    EXPECT_EQ(1, CountLines(lines, ETWLogging::LOG_ERROR, L"CNuvResLoader::ReplaceTokens _LoadResource failed"));
}

TEST_F(NuvResLoaderTest, ImagesComeFromTheCustomDllWhenItHasThem) {
    ASSERT_TRUE(NuvTest::CopyResourceDlls(m_folder.Path()));
    const std::vector<BYTE> customGif = ResourceBytes(m_folder / L"nuvuc.dll", 12, L"GIF");
    const std::vector<BYTE> plainGif = ResourceBytes(m_folder / L"NuvRes2.dll", 12, L"GIF");
    const std::vector<BYTE> jpeg = ResourceBytes(m_folder / L"NuvRes2.dll", 11, L"JPEG");
    ASSERT_FALSE(customGif.empty());
    ASSERT_NE(customGif, plainGif);
    ASSERT_FALSE(jpeg.empty());

    CNuvResLoader loader;
    ASSERT_TRUE(loader.Init());
    TakeLoggedLines();
    struct {
        int id;
        const wchar_t* type;
        const std::vector<BYTE>& expected;
        const wchar_t* logged;
    } const cases[] = {
        {12, L"GIF", customGif, L"CNuvResLoader::_LoadResource resource found in custom dll"},
        {11, L"JPEG", jpeg, L"CNuvResLoader::_LoadResource resource not found in custom dll attempting nuvres dll"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        BYTE* bytes = nullptr;
        DWORD size = 0;
        ASSERT_TRUE(loader.LoadImageW(c.id, c.type, &bytes, &size));
        const std::unique_ptr<BYTE[]> owner(bytes);
        EXPECT_EQ(c.expected, std::vector<BYTE>(bytes, bytes + size));
        EXPECT_EQ(1, CountLines(TakeLoggedLines(), ETWLogging::LOG_NORMAL, c.logged));
    }
}

TEST_F(NuvResLoaderTest, ImageRefusals) {
    ASSERT_TRUE(NuvTest::CopyResourceDlls(m_folder.Path()));
    CNuvResLoader loader;
    ASSERT_TRUE(loader.Init());
    TakeLoggedLines();

    BYTE* bytes = reinterpret_cast<BYTE*>(1);
    DWORD size = 1;
    EXPECT_FALSE(loader.LoadImageW(12, nullptr, &bytes, &size));
    EXPECT_FALSE(loader.LoadImageW(12, L"GIF", nullptr, &size));
    EXPECT_FALSE(loader.LoadImageW(12, L"GIF", &bytes, nullptr));

    // Ids outside 1..65535 (they come from a URL) must not reach MAKEINTRESOURCE.
    for (int id : {99, 0, -1, 70000}) {
        SCOPED_TRACE(id);
        EXPECT_FALSE(loader.LoadImageW(id, L"GIF", &bytes, &size));
        EXPECT_EQ(nullptr, bytes);
        EXPECT_EQ(0u, size);
        EXPECT_EQ(1, CountLines(TakeLoggedLines(), ETWLogging::LOG_ERROR,
                                L"Unable to load image from resource file: type=GIF, ID=" + std::to_wstring(id)));
    }
}

TEST_F(NuvResLoaderTest, InitFailsWithoutTheResourceDllAndTriesAgain) {
    CNuvResLoader loader;
    EXPECT_FALSE(loader.Init());
    EXPECT_EQ(1, CountLines(TakeLoggedLines(), ETWLogging::LOG_ERROR,
                            L"CNuvResLoader::Init RtMUILoadLibrary failed for nuvres:" + (m_folder / L"NuvRes2.dll")));

    CSafeStringW text;
    EXPECT_FALSE(loader.LoadStringW(14049, text));
    EXPECT_EQ(1, CountLines(TakeLoggedLines(), ETWLogging::LOG_ERROR,
                            L"CNuvResLoader::LoadString invalid module, was init called?"));

    ASSERT_TRUE(NuvTest::CopyResourceDlls(m_folder.Path()));
    EXPECT_TRUE(loader.Init());
    EXPECT_TRUE(loader.LoadStringW(14049, text));
    EXPECT_EQ(L"Custom: Family Safety", Text(text));

    EXPECT_FALSE(loader.Init()) << "a loaded loader is not initialised twice";
    EXPECT_EQ(1, CountLines(TakeLoggedLines(), ETWLogging::LOG_ERROR,
                            L"CNuvResLoader::Init resource file already loaded"));
}

TEST_F(NuvResLoaderTest, WithoutTheCustomDllEverythingComesFromTheResourceDll) {
    ASSERT_TRUE(NuvTest::CopyResourceDlls(m_folder.Path(), false));
    CNuvResLoader loader;
    EXPECT_TRUE(loader.Init());
    EXPECT_EQ(1, CountLines(TakeLoggedLines(), ETWLogging::LOG_ERROR,
                            L"CNuvResLoader::Init RtMUILoadLibrary failed for nuv custom res:" +
                                (m_folder / L"nuvuc.dll")));

    CSafeStringW text;
    EXPECT_TRUE(loader.LoadStringW(14049, text));
    EXPECT_EQ(L"Parental Controls", Text(text));

    BYTE* bytes = nullptr;
    DWORD size = 0;
    ASSERT_TRUE(loader.LoadImageW(12, L"GIF", &bytes, &size));
    const std::unique_ptr<BYTE[]> owner(bytes);
    EXPECT_EQ(ResourceBytes(m_folder / L"NuvRes2.dll", 12, L"GIF"), std::vector<BYTE>(bytes, bytes + size));
}

TEST_F(NuvResLoaderTest, DestructionFreesBothDlls) {
    ASSERT_TRUE(NuvTest::CopyResourceDlls(m_folder.Path()));
    const std::wstring resourceDll = m_folder / L"NuvRes2.dll";
    const std::wstring customDll = m_folder / L"nuvuc.dll";
    {
        CNuvResLoader loader;
        ASSERT_TRUE(loader.Init());
        EXPECT_NE(nullptr, ::GetModuleHandleW(resourceDll.c_str()));
        EXPECT_NE(nullptr, ::GetModuleHandleW(customDll.c_str()));
    }
    EXPECT_EQ(nullptr, ::GetModuleHandleW(resourceDll.c_str()));
    EXPECT_EQ(nullptr, ::GetModuleHandleW(customDll.c_str()));
}

TEST_F(NuvResLoaderTest, InstallDirProblemsFailInit) {
    ASSERT_TRUE(NuvTest::CopyResourceDlls(m_folder.Path()));
    const std::wstring folder = m_folder.Path();
    const std::vector<BYTE> unterminated(reinterpret_cast<const BYTE*>(folder.data()),
                                         reinterpret_cast<const BYTE*>(folder.data() + folder.size()));
    std::vector<BYTE> odd(reinterpret_cast<const BYTE*>(folder.c_str()),
                          reinterpret_cast<const BYTE*>(folder.c_str() + folder.size() + 1));
    odd.push_back(0);
    const DWORD one = 1;

    struct {
        const char* name;
        DWORD type;  // REG_NONE: no value
        std::vector<BYTE> data;
        const wchar_t* logged;
    } const cases[] = {
        {"missing", REG_NONE, {}, L"CNuvResLoader::_GetNuvPath CRegKey::QueryStringValue failed:2"},
        {"REG_DWORD", REG_DWORD, std::vector<BYTE>(reinterpret_cast<const BYTE*>(&one), reinterpret_cast<const BYTE*>(&one + 1)),
         L"CNuvResLoader::_GetNuvPath CRegKey::QueryStringValue failed:13"},
        {"odd byte count", REG_SZ, odd, L"CNuvResLoader::_GetNuvPath CRegKey::QueryStringValue for Install Dir failed:13"},
        {"unterminated", REG_SZ, unterminated,
         L"CNuvResLoader::_GetNuvPath CRegKey::QueryStringValue for Install Dir failed:13"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.type == REG_NONE) {
            m_guard.DeleteValue(kNuvKey, kInstallDir);
        } else {
            ASSERT_TRUE(m_guard.SetValue(kNuvKey, kInstallDir, c.type, c.data.data(), static_cast<DWORD>(c.data.size())));
        }
        CNuvResLoader loader;
        EXPECT_FALSE(loader.Init());
        EXPECT_EQ(1, CountLines(TakeLoggedLines(), ETWLogging::LOG_ERROR, c.logged));
    }
}

}  // namespace
