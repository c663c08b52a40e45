// The dump files of one connection: their folder and names, raw bytes per direction and summary
// lines with their time prefix; nothing without an install folder.
#include "plugin/filter/ConnectionDump.h"

#include "tests/support/MachineKeyGuard.h"
#include "tests/support/ScratchFolder.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace {

std::string ReadFile(const std::wstring& path) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "<missing>";
    std::string text(::GetFileSize(file, nullptr), '\0');
    DWORD read = 0;
    if (!text.empty()) ::ReadFile(file, &text[0], static_cast<DWORD>(text.size()), &read, nullptr);
    ::CloseHandle(file);
    return text;
}

class ConnectionDumpTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_guard.SetString(L"SOFTWARE\\Oberix\\NUV", L"Install Dir", m_folder.Path())); }

    NuvTest::MachineKeyGuard m_guard;
    NuvTest::ScratchFolder m_folder{L"ConnectionDump"};
};

TEST_F(ConnectionDumpTest, FiveFilesOfAConnectionInItsDayFolder) {
    SYSTEMTIME now = {};
    now.wYear = 2024;
    now.wMonth = 1;
    now.wDay = 5;
    now.wHour = 9;
    now.wMinute = 7;
    now.wSecond = 3;
    now.wMilliseconds = 42;
    std::wstring base;
    {
        CConnectionDump dump;
        ASSERT_TRUE(dump.Open(reinterpret_cast<const void*>(0x12ABCDEF0ull), now));
        base = dump.BaseName();
        EXPECT_EQ(m_folder.Path() + L"\\Dump\\2024-01-05\\09-07-03_042.2ABCDEF0.1401450", base);
        dump.Write("GET / HTTP/1.1\r\n", 16, false, true);
        dump.Write("GET /", 5, false, false);
        dump.Write("HTTP/1.1 200 OK\r\n", 17, true, true);
        dump.Write("<page>", 6, true, false);
        dump.Print("IN  Request  0x%p [%7lu bytes]\r\n", reinterpret_cast<void*>(0x1000), 16ul);
        dump.Print("OUT Request  0x%p [%7lu bytes] - %s\r\n", reinterpret_cast<void*>(0x1000), 16ul,
                   CConnectionDump::VerdictName(4));
    }
    EXPECT_EQ("GET / HTTP/1.1\r\n", ReadFile(base + L".saOutHttpRequest.in.log"));
    EXPECT_EQ("GET /", ReadFile(base + L".saOutHttpRequest.out.log"));
    EXPECT_EQ("HTTP/1.1 200 OK\r\n", ReadFile(base + L".saInHttpResponse.in.log"));
    EXPECT_EQ("<page>", ReadFile(base + L".saInHttpResponse.out.log"));
    const std::string summary = ReadFile(base + L".Summary.log");
    // Three lines, each with "HH:MM:SS.mmm - " in front.
    std::size_t lines = 0;
    for (std::size_t at = 0; at < summary.size(); at = summary.find("\r\n", at) + 2, ++lines) {
        ASSERT_GE(summary.size() - at, 15u);
        EXPECT_EQ(" - ", summary.substr(at + 12, 3)) << summary;
        EXPECT_EQ(':', summary[at + 2]);
    }
    EXPECT_EQ(3u, lines) << summary;
    EXPECT_NE(std::string::npos, summary.find(" - IN  Request  0x"));
    EXPECT_NE(std::string::npos, summary.find("[     16 bytes] - DROP\r\n"));
    EXPECT_EQ(summary.size() - 20, summary.rfind("Destroying Handler\r\n"));
}

TEST_F(ConnectionDumpTest, WithoutAnInstallFolderNothingIsWritten) {
    m_guard.DeleteValue(L"SOFTWARE\\Oberix\\NUV", L"Install Dir");
    CConnectionDump dump;
    SYSTEMTIME now = {};
    ::GetLocalTime(&now);
    EXPECT_FALSE(dump.Open(&dump, now));
    dump.Write("x", 1, true, true);
    dump.Print("line\r\n");
    EXPECT_TRUE(dump.BaseName().empty());
}

TEST(ConnectionDumpNames, VerdictsAndAgeGroups) {
    const char* const verdicts[] = {"OK", "FAIL", "BYPASS", "DEFER", "DROP", "unknown"};
    for (DWORD verdict = 0; verdict <= 5; ++verdict) EXPECT_STREQ(verdicts[verdict], CConnectionDump::VerdictName(verdict));
    EXPECT_STREQ("Young Teen", CConnectionDump::AgeGroupName(3));
    EXPECT_STREQ("Adult", CConnectionDump::AgeGroupName(5));
    EXPECT_STREQ("None", CConnectionDump::AgeGroupName(9));
}

}  // namespace
