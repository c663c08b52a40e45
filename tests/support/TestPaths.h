#pragma once
// Where the build put the running test program, and with it every program and DLL of the build.

#include <windows.h>

#include <string>

namespace NuvTest {

inline std::wstring ExeFolder() {
    wchar_t exe[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
    const std::wstring path(exe);
    return path.substr(0, path.find_last_of(L'\\'));
}

}  // namespace NuvTest
