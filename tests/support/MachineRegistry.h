#pragma once
// Gives a test program its own HKEY_LOCAL_MACHINE: the predefined key is overridden, for the whole
// process, with HKCU\Software\NuvTests\<program>-<pid>\HKLM, seeded with copies of the few machine
// keys that programs only read (logging switches, the time-zone database). Programs running in
// parallel then never see each other's product keys, and a key watch sees only its own program.
//
// Child processes started by the program find the same root through kMachineRootVariable and
// adopt it instead of making their own (test probes, the stand-in proxy host).
// Not covered: HKEY_CLASSES_ROOT (COM registration) and the 32-bit registry view.

#include <windows.h>

#include <string>

namespace NuvTest {

inline constexpr wchar_t kMachineRootVariable[] = L"NUV_TEST_MACHINE_ROOT";

class IsolatedMachineRegistry {
public:
    IsolatedMachineRegistry();
    ~IsolatedMachineRegistry();
    IsolatedMachineRegistry(const IsolatedMachineRegistry&) = delete;
    IsolatedMachineRegistry& operator=(const IsolatedMachineRegistry&) = delete;

    // Below HKEY_CURRENT_USER; empty when the override could not be made.
    const std::wstring& Path() const noexcept { return m_path; }

private:
    std::wstring m_path;
    bool m_owned = false;  // false: adopted from the parent process, which removes it
};

// Lifts the override while it lives, for a test of what only the real machine keys have: the
// 32-bit and 64-bit views. Such a test uses keys of its own (named after the process) and runs
// while no other thread of the program uses HKEY_LOCAL_MACHINE.
class RealMachineRegistry {
public:
    RealMachineRegistry();
    ~RealMachineRegistry();
    RealMachineRegistry(const RealMachineRegistry&) = delete;
    RealMachineRegistry& operator=(const RealMachineRegistry&) = delete;
};

}  // namespace NuvTest
