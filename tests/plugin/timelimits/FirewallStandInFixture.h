#pragma once
// The host firewall's stand-in as the firewall tests use it: named in the platform key (the
// 32-bit view, which only the real machine registry has: the fixture lifts the program's own),
// loaded by the test as the product loads it, driven through its control, and every firewall
// object released at the end of each test.

#include "suite/hostfirewall/HostFirewallStandIn.h"
#include "tests/support/MachineKeyGuard.h"
#include "tests/support/MachineRegistry.h"
#include "tests/support/TestPaths.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

namespace NuvTest {

class FirewallStandInFixture : public ::testing::Test {
public:
    static constexpr wchar_t kPlatformKey[] = L"Software\\Oberix\\Kernova";
    static constexpr wchar_t kSettingsKey[] = L"SOFTWARE\\Oberix\\NUV\\Settings\\default";

protected:
    using Lines = std::vector<std::wstring>;

    void SetUp() override {
        ASSERT_TRUE(SetPlatformFolder(StandInFolder()));
        m_standIn = ::LoadLibraryW(StandInPath().c_str());
        ASSERT_NE(nullptr, m_standIn) << "the stand-in beside the tests";
        const auto control = reinterpret_cast<ZrtStandInControlFunction>(
            reinterpret_cast<void*>(::GetProcAddress(m_standIn, HostFirewallStandIn::kControlExport)));
        ASSERT_NE(nullptr, control);
        m_control = control();
        m_control->Reset();
    }
    void TearDown() override {
        if (m_control != nullptr) {
            EXPECT_EQ(0, m_control->LiveObjects()) << "every firewall object released";
            EXPECT_EQ(0, m_control->ForeignSinkReleases()) << "the inspection sink is the firewall's, never released";
        }
        RemovePlatformFolder();
        if (m_standIn != nullptr) ::FreeLibrary(m_standIn);
        m_standIn = nullptr;
    }

    static std::wstring StandInFolder() { return ExeFolder() + L"\\" + HostFirewallStandIn::kStandInFolder; }
    static std::wstring StandInPath() { return StandInFolder() + L"\\zrtfwctl.dll"; }
    static bool SetPlatformFolder(const std::wstring& folder) {
        HKEY key = nullptr;
        if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPlatformKey, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr,
                              &key, nullptr) != ERROR_SUCCESS) {
            return false;
        }
        const LONG result = ::RegSetValueExW(key, L"szInstallDir64", 0, REG_SZ,
                                             reinterpret_cast<const BYTE*>(folder.c_str()),
                                             static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
        ::RegCloseKey(key);
        return result == ERROR_SUCCESS;
    }
    static void RemovePlatformFolder() { ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kPlatformKey, KEY_WOW64_32KEY, 0); }

    Lines TakeCalls() {
        Lines calls = HostFirewallStandIn::TakeLines(m_control->Calls());
        m_control->ClearCalls();
        return calls;
    }
    Lines Rules() { return HostFirewallStandIn::TakeLines(m_control->RulesNow()); }

    RealMachineRegistry m_realMachine;
    MachineKeyGuard m_guard;
    HMODULE m_standIn = nullptr;
    HostFirewallStandIn::IHostFirewallControl* m_control = nullptr;
};

}  // namespace NuvTest
