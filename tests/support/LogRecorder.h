#pragma once
// The process logger of a test program that links this: every line logged through NUV_LOG is
// kept, with its level, source and function, so tests can check the lines that are behaviour.

#include <windows.h>

#include <string>
#include <vector>

namespace NuvTest {

struct LoggedLine {
    DWORD level;
    std::wstring sourceFile;
    std::wstring function;
    std::wstring text;
};

// Lines logged since the last call (on any thread), oldest first.
std::vector<LoggedLine> TakeLoggedLines();

}  // namespace NuvTest
