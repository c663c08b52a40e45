#include "plugin/core/Module.h"

#include "tests/support/LogRecorder.h"
#include "tests/support/ScopedReplacement.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace {

using NuvTest::LoggedLine;
using NuvTest::TakeLoggedLines;

// A DLL this program does not load otherwise: the lightweight API stand-in beside the tests.
std::wstring StandInPath() {
    wchar_t exe[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring path(exe);
    return path.substr(0, path.find_last_of(L'\\') + 1) + L"lwapi\\QvLWAPI.DLL";
}

class Module : public ::testing::Test {
protected:
    void SetUp() override { TakeLoggedLines(); }

    NuvTest::ScopedReplacement<ModuleInternal::LoadFunction> m_load{ModuleInternal::SetLoadFunction, nullptr};
};

TEST_F(Module, LoadsForItsLifetime) {
    const std::wstring path = StandInPath();
    ASSERT_EQ(nullptr, ::GetModuleHandleW(path.c_str()));
    for (const DWORD flags : {0ul, static_cast<unsigned long>(LOAD_WITH_ALTERED_SEARCH_PATH)}) {
        {
            const CModule module(path.c_str(), flags);
            ASSERT_TRUE(module.IsLoaded()) << flags;
            EXPECT_NE(nullptr, ::GetModuleHandleW(path.c_str()));
            EXPECT_NE(nullptr, module.GetProcAddress("ReportStatisticData"));
            EXPECT_EQ(nullptr, module.GetProcAddress("NoSuchExport"));
        }
        EXPECT_EQ(nullptr, ::GetModuleHandleW(path.c_str())) << "freed with the object";
    }
    EXPECT_TRUE(TakeLoggedLines().empty());
}

TEST_F(Module, FailedLoadIsNoError) {
    const CModule module(L"C:\\no\\such\\library.dll", 0);
    EXPECT_FALSE(module.IsLoaded());
    EXPECT_EQ(nullptr, module.GetProcAddress("DllMain"));
    EXPECT_TRUE(TakeLoggedLines().empty());
}

HMODULE FaultingLoad(const wchar_t*, DWORD) {
    volatile int* nowhere = nullptr;
    *nowhere = 1;
    return nullptr;
}

HMODULE RaisingLoad(const wchar_t*, DWORD) {
    ::RaiseException(0xE0425554, 0, 0, nullptr);
    return nullptr;
}

// Loads for real, then faults: what was loaded is not kept, nor leaked into the object.
HMODULE LoadThenFault(const wchar_t*, DWORD) {
    ::LoadLibraryW(L"version.dll");
    ::RaiseException(EXCEPTION_ILLEGAL_INSTRUCTION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    return nullptr;
}

TEST_F(Module, ExceptionWhileLoadingIsCaughtAndLogged) {
    const struct {
        ModuleInternal::LoadFunction load;
        const wchar_t* fileName;
        const wchar_t* line;
    } cases[] = {
        {&FaultingLoad, L"crashing.dll", L"Exception 0xC0000005 while loading crashing.dll\r\n"},
        {&RaisingLoad, L"C:\\Suite\\raising.dll", L"Exception 0xE0425554 while loading C:\\Suite\\raising.dll\r\n"},
        {&LoadThenFault, L"version.dll", L"Exception 0xC000001D while loading version.dll\r\n"},
    };
    for (const auto& c : cases) {
        m_load.Replace(c.load);
        const CModule module(c.fileName, 0);
        EXPECT_FALSE(module.IsLoaded()) << c.fileName;
        EXPECT_EQ(nullptr, module.GetProcAddress("GetFileVersionInfoSizeW"));

        const std::vector<LoggedLine> lines = TakeLoggedLines();
        ASSERT_EQ(1u, lines.size()) << c.fileName;
        EXPECT_EQ(4u, lines[0].level);
        EXPECT_EQ(L"Module", lines[0].sourceFile);
        EXPECT_EQ(L"CModule::CModule", lines[0].function);
        EXPECT_EQ(c.line, lines[0].text);
    }
}

TEST_F(Module, LongFileNameIsCutTo200Characters) {
    m_load.Replace(&FaultingLoad);
    const std::wstring name = L"C:\\" + std::wstring(300, L'n') + L".dll";
    const CModule module(name.c_str(), 0);
    EXPECT_FALSE(module.IsLoaded());
    const std::vector<LoggedLine> lines = TakeLoggedLines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(199u, lines[0].text.size());
    EXPECT_EQ(0u, lines[0].text.find(L"Exception 0xC0000005 while loading C:\\nnn"));
}

}  // namespace
