#pragma once
// A registry key of one test's own, HKCU\Software\NuvTests\<name>-<pid>, created at construction
// and removed with everything below it at destruction (with the NuvTests key once it is empty).

#include <windows.h>

#include <string>

namespace NuvTest {

class ScratchRegistryKey {
public:
    explicit ScratchRegistryKey(const wchar_t* name);
    ~ScratchRegistryKey();
    ScratchRegistryKey(const ScratchRegistryKey&) = delete;
    ScratchRegistryKey& operator=(const ScratchRegistryKey&) = delete;

    static HKEY Root() noexcept { return HKEY_CURRENT_USER; }
    // Relative to Root().
    const std::wstring& Path() const noexcept { return m_path; }

private:
    std::wstring m_path;
};

}  // namespace NuvTest
