#include "base/RegKey.h"
#include "modulefw/ModuleStatus.h"
#include "modulefw/PathAPI.h"
#include "modulefw/RegistryAPI.h"
#include "modulefw/performance/PerfTimer.h"
#include "tests/support/LogRecorder.h"
#include "tests/support/ScratchFolder.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <fstream>
#include <iterator>
#include <string>

namespace {

// Below this program's own HKEY_LOCAL_MACHINE (see MachineRegistry.h).
constexpr wchar_t kKey[] = L"SOFTWARE\\NuvTests\\RegistryAPI";

class RegistryAPITest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(ERROR_SUCCESS, m_key.Create(HKEY_LOCAL_MACHINE, kKey));
        ASSERT_EQ(ERROR_SUCCESS, m_key.SetStringValue(L"text", L"D:\\Plexan"));
        ASSERT_EQ(ERROR_SUCCESS, m_key.SetStringValue(L"expand", L"%TEMP%\\x", REG_EXPAND_SZ));
        ASSERT_EQ(ERROR_SUCCESS, m_key.SetStringValue(L"259", std::wstring(259, L'a').c_str()));
        ASSERT_EQ(ERROR_SUCCESS, m_key.SetStringValue(L"260", std::wstring(260, L'a').c_str()));
        ASSERT_EQ(ERROR_SUCCESS, m_key.SetDWORDValue(L"number", 7));
        const DWORD four = 4;
        ASSERT_EQ(ERROR_SUCCESS, m_key.SetBinaryValue(L"binary", &four, sizeof(four)));
        ASSERT_EQ(ERROR_SUCCESS, m_key.SetQWORDValue(L"wide", 5));
    }
    void TearDown() override {
        m_key.Close();
        Tessal::CRegKey software;
        if (software.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE") == ERROR_SUCCESS) software.RecurseDeleteKey(L"NuvTests");
    }

    Tessal::CRegKey m_key;
};

TEST_F(RegistryAPITest, ReadStringGivesTheTextOrFailsLeavingTheOutput) {
    struct Case {
        const wchar_t* subKey;
        const wchar_t* name;
        Korin::ModuleStatus status;
        std::wstring value;
    };
    const Case cases[] = {
        {kKey, L"text", Korin::MODULE_STATUS_SUCCESS, L"D:\\Plexan"},
        {kKey, L"expand", Korin::MODULE_STATUS_SUCCESS, L"%TEMP%\\x"},
        {kKey, L"259", Korin::MODULE_STATUS_SUCCESS, std::wstring(259, L'a')},
        {kKey, L"260", Korin::MODULE_STATUS_UNSUCCESSFUL, L"unchanged"},
        {kKey, L"number", Korin::MODULE_STATUS_UNSUCCESSFUL, L"unchanged"},
        {kKey, L"missing", Korin::MODULE_STATUS_UNSUCCESSFUL, L"unchanged"},
        {L"SOFTWARE\\NuvTests\\Missing", L"text", Korin::MODULE_STATUS_UNSUCCESSFUL, L"unchanged"},
    };
    Korin::RegistryAPI registry;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.subKey) + L"|" + c.name));
        std::wstring value = L"unchanged";
        EXPECT_EQ(c.status, registry.readString(c.subKey, c.name, value));
        EXPECT_EQ(c.value, value);
    }
}

TEST_F(RegistryAPITest, ReadDwordTakesOnlyFourByteNumbers) {
    struct Case {
        const wchar_t* subKey;
        const wchar_t* name;
        Korin::ModuleStatus status;
        DWORD value;
    };
    const Case cases[] = {
        {kKey, L"number", Korin::MODULE_STATUS_SUCCESS, 7},
        {kKey, L"binary", Korin::MODULE_STATUS_UNSUCCESSFUL, 99},
        {kKey, L"wide", Korin::MODULE_STATUS_UNSUCCESSFUL, 99},
        {kKey, L"text", Korin::MODULE_STATUS_UNSUCCESSFUL, 99},
        {kKey, L"missing", Korin::MODULE_STATUS_UNSUCCESSFUL, 99},
        {L"SOFTWARE\\NuvTests\\Missing", L"number", Korin::MODULE_STATUS_UNSUCCESSFUL, 99},
    };
    Korin::RegistryAPI registry;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.subKey) + L"|" + c.name));
        DWORD value = 99;
        EXPECT_EQ(c.status, registry.readDword(c.subKey, c.name, value));
        EXPECT_EQ(c.value, value);
    }
}

TEST(PathAPITest, FilesAndFoldersAreTellApart) {
    NuvTest::ScratchFolder folder(L"pathapi");
    const std::wstring file = folder / L"file.txt";
    std::ofstream(file.c_str()) << "x";
    const std::wstring missing = folder / L"missing.txt";

    Korin::PathAPI api;
    EXPECT_FALSE(api.fileExists(folder.Path().c_str()));
    EXPECT_TRUE(api.directoryExists(folder.Path().c_str()));
    EXPECT_TRUE(api.fileExists(file.c_str()));
    EXPECT_FALSE(api.directoryExists(file.c_str()));
    EXPECT_FALSE(api.fileExists(missing.c_str()));
    EXPECT_FALSE(api.directoryExists(missing.c_str()));
    EXPECT_FALSE(api.fileExists(nullptr));
}

TEST(PathAPITest, WriteFileEndsTheTextAtItsFirstNulWithCrLf) {
    NuvTest::ScratchFolder folder(L"pathapi");
    const std::wstring file = folder / L"text.txt";
    Korin::PathAPI api;

    std::wofstream(file.c_str()) << L"stale content that must go";
    ASSERT_TRUE(api.writeFile(file, std::wstring(L"line one\0hidden", 15)));

    std::ifstream raw(file.c_str(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(raw)), std::istreambuf_iterator<char>());
    EXPECT_EQ("line one\r\n", bytes);

    std::wstring text = L"previous";
    ASSERT_TRUE(api.readFile(file, text));
    EXPECT_EQ(L"line one\n", text);
}

TEST(PathAPITest, ReadFileOfMissingFileFailsLeavingTheText) {
    NuvTest::ScratchFolder folder(L"pathapi");
    Korin::PathAPI api;
    std::wstring text = L"previous";
    EXPECT_FALSE(api.readFile(folder / L"missing.txt", text));
    EXPECT_EQ(L"previous", text);
    EXPECT_FALSE(api.writeFile(folder / L"no-such-folder\\x.txt", L"x"));
}

// "M12NPerfTimer|name|start|stop|elapsed", each number in milliseconds.
void ExpectOneTimerLine(const std::wstring& name) {
    const auto lines = NuvTest::TakeLoggedLines();
    int found = 0;
    for (const auto& line : lines) {
        const std::wstring prefix = L"M12NPerfTimer|" + name + L"|";
        if (line.text.compare(0, prefix.size(), prefix) != 0) continue;
        ++found;
        EXPECT_EQ(1u, line.level);
        long long start = -1, stop = -1, elapsed = -1;
        ASSERT_EQ(3, std::swscanf(line.text.c_str() + prefix.size(), L"%lld|%lld|%lld", &start, &stop, &elapsed))
            << testing::PrintToString(line.text);
        EXPECT_LE(start, stop);
        EXPECT_EQ(stop - start, elapsed);
    }
    EXPECT_EQ(1, found);
}

TEST(PerfTimerTest, LogsOnceWhetherStoppedOrLeavingScope) {
    NuvTest::TakeLoggedLines();
    {
        Korin::internal::PerfTimer timer(L"Stopped");
        timer.stop();
        timer.stop();
    }
    ExpectOneTimerLine(L"Stopped");
    { Korin::internal::PerfTimer timer(L"Scoped"); }
    ExpectOneTimerLine(L"Scoped");
}

}  // namespace
