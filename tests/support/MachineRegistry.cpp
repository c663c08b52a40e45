#include "tests/support/MachineRegistry.h"

#include "base/Format.h"
#include "base/UniqueHandle.h"

#include <shlwapi.h>

#include <cstdio>
#include <cstdlib>

namespace NuvTest {
namespace {

constexpr wchar_t kParent[] = L"Software\\NuvTests";

// Machine keys that code under test reads but no test program writes.
constexpr const wchar_t* kSeededKeys[] = {
    L"SOFTWARE\\Oberix\\Logging",
    L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Time Zones",
    // The registered crypto functions (revocation checking through cryptnet) and the machine's
    // certificate stores, which HTTPS clients need to validate a server.
    L"SOFTWARE\\Microsoft\\Cryptography",
    L"SOFTWARE\\Microsoft\\SystemCertificates",
};

std::wstring ProgramName() {
    wchar_t exe[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring name = ::PathFindFileNameW(exe);
    const size_t dot = name.rfind(L'.');
    return dot == std::wstring::npos ? name : name.substr(0, dot);
}

std::wstring InheritedRoot() {
    wchar_t value[512] = {};
    const DWORD length = ::GetEnvironmentVariableW(kMachineRootVariable, value, ARRAYSIZE(value));
    return length > 0 && length < ARRAYSIZE(value) ? std::wstring(value, length) : std::wstring();
}

void Seed(HKEY root) {
    for (const wchar_t* path : kSeededKeys) {
        Tessal::UniqueHKey source;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, source.Put()) != ERROR_SUCCESS) continue;
        Tessal::UniqueHKey target;
        if (::RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, target.Put(), nullptr) ==
            ERROR_SUCCESS) {
            ::RegCopyTreeW(source.Get(), nullptr, target.Get());
        }
    }
}

[[noreturn]] void Fail(const wchar_t* what, LONG error) {
    std::fwprintf(stderr, L"test registry isolation: %ls failed (%ld)\n", what, error);
    std::exit(3);
}

}  // namespace

LONG OverrideWith(const std::wstring& path) {
    Tessal::UniqueHKey root;
    const LONG error = ::RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_ALL_ACCESS, root.Put());
    return error == ERROR_SUCCESS ? ::RegOverridePredefKey(HKEY_LOCAL_MACHINE, root.Get()) : error;
}

IsolatedMachineRegistry::IsolatedMachineRegistry() : m_path(InheritedRoot()) {
    if (m_path.empty()) {
        m_owned = true;
        const std::wstring program =
            Tessal::Format(L"%s\\%s-%lu", kParent, ProgramName().c_str(), ::GetCurrentProcessId());
        m_path = program + L"\\HKLM";
        ::SHDeleteKeyW(HKEY_CURRENT_USER, program.c_str());  // what a crashed run with this pid left
        Tessal::UniqueHKey root;
        const LONG error = ::RegCreateKeyExW(HKEY_CURRENT_USER, m_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, root.Put(), nullptr);
        if (error != ERROR_SUCCESS) Fail(L"creating the machine root", error);
        Seed(root.Get());
        ::SetEnvironmentVariableW(kMachineRootVariable, m_path.c_str());
    }
    const LONG error = OverrideWith(m_path);
    if (error != ERROR_SUCCESS) Fail(L"overriding HKEY_LOCAL_MACHINE", error);
}

IsolatedMachineRegistry::~IsolatedMachineRegistry() {
    ::RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    if (!m_owned) return;
    const std::wstring program = m_path.substr(0, m_path.rfind(L'\\'));
    ::SHDeleteKeyW(HKEY_CURRENT_USER, program.c_str());
    ::RegDeleteKeyW(HKEY_CURRENT_USER, kParent);  // fails, as it should, while other programs run
}

RealMachineRegistry::RealMachineRegistry() { ::RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr); }

RealMachineRegistry::~RealMachineRegistry() {
    const std::wstring path = InheritedRoot();
    if (path.empty()) return;  // the program uses the real keys anyway
    const LONG error = OverrideWith(path);
    if (error != ERROR_SUCCESS) Fail(L"restoring the machine root", error);
}

}  // namespace NuvTest
