#pragma once
// Runs a program of the build as a child process and collects what it prints, for tests of
// programs that must run in a process of their own (a host loading a DLL, a stand-in's first use).

#include "base/UniqueHandle.h"
#include "tests/support/TestPaths.h"

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace NuvTest {

struct ChildResult {
    bool started = false;
    bool finished = false;  // false: killed after the time limit
    DWORD exitCode = 0;
    std::string output;     // standard output and standard error, as printed
};

// `environment`: variables set (or, with an empty value, removed) in the child's copy of this
// process's environment.
ChildResult RunChild(const std::wstring& commandLine,
                     const std::vector<std::pair<std::wstring, std::wstring>>& environment = {},
                     DWORD timeoutMs = 60000);

// Starts a program that runs beside the caller (a peer on the bus, a responder), inheriting no
// handles and printing to the caller's console; an empty handle when it cannot be started.
Tessal::UniqueHandle StartChild(const std::wstring& commandLine);

}  // namespace NuvTest
