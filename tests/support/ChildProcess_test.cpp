// The child runner returns when its child ends, even while a process the child started still
// holds the child's output (as Wine's desktop process does when a child starts it).
#include "tests/support/ChildProcess.h"

#include "base/UniqueHandle.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::wstring Self() { return L"\"" + NuvTest::ExeFolder() + L"\\testsupport_tests.exe\""; }

TEST(ChildProcess, DISABLED_Sleeper) { ::Sleep(30000); }

// Starts a sleeper that inherits this process's output, tells its process id, and ends.
TEST(ChildProcess, DISABLED_StartsASleeperAndEnds) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    std::wstring line = Self() + L" --gtest_also_run_disabled_tests --gtest_filter=ChildProcess.DISABLED_Sleeper";
    ASSERT_TRUE(::CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process));
    std::printf("sleeper %lu\n", process.dwProcessId);
    std::fflush(stdout);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
}

TEST(ChildProcess, ReturnsWhenTheChildEndsThoughAGrandchildHoldsItsOutput) {
    const ULONGLONG start = ::GetTickCount64();
    const NuvTest::ChildResult result = NuvTest::RunChild(
        Self() + L" --gtest_also_run_disabled_tests --gtest_filter=ChildProcess.DISABLED_StartsASleeperAndEnds");
    const ULONGLONG took = ::GetTickCount64() - start;

    unsigned long sleeper = 0;
    const size_t at = result.output.find("sleeper ");
    if (at != std::string::npos) sleeper = std::strtoul(result.output.c_str() + at + 8, nullptr, 10);
    if (sleeper != 0) {
        Tessal::UniqueHandle process(::OpenProcess(PROCESS_TERMINATE, FALSE, sleeper));
        if (process) ::TerminateProcess(process.Get(), 0);
    }
    EXPECT_TRUE(result.finished);
    EXPECT_EQ(0u, result.exitCode) << result.output;
    EXPECT_NE(0ul, sleeper) << result.output;
    EXPECT_LT(took, 20000u) << "waited for the grandchild";
}

}  // namespace
