#include "base/OSInfo.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace {

using Tessal::internal::OSInfoProxy;
using Tessal::internal::OSInfoProxyImpl;

// The Wine prefix of the test run reports Windows 10, and Wine's kernel32.dll carries a
// 10.0.x product version whatever the prefix says.
TEST(OSInfo, RealSystemIsWindows10OnNT) {
    OSInfoProxy<Tessal::WinOSVersionAPI> proxy;
    EXPECT_EQ(proxy.GetOSClass(), 11u);
    EXPECT_EQ(proxy.GetPlatform(), 1u);
    EXPECT_TRUE(proxy.IsNT());

    DWORD major = 0, minor = 0, build = 0, revision = 0;
    ASSERT_TRUE(proxy.GetKernel32Version(major, minor, build, revision));
    EXPECT_EQ(major, 10u);
    EXPECT_EQ(minor, 0u);
    EXPECT_GT(build, 0u);

    WORD servicePack = 0xFFFF;
    ASSERT_TRUE(proxy.GetVersion(major, minor, servicePack));
    EXPECT_EQ(major, 10u);
    EXPECT_EQ(servicePack, 0u);

    EXPECT_EQ(Tessal::GetOSVersionClass(), 11u);
    DWORD osClass = 0, platform = 0;
    EXPECT_TRUE(Tessal::GetOSVersionClassAndPlatform(osClass, platform));
    EXPECT_EQ(osClass, 11u);
    EXPECT_EQ(platform, 1u);

    // The test program is 64-bit.
    EXPECT_FALSE(Tessal::IsWow64());
    EXPECT_FALSE(proxy.IsWow64());
}

// What a fake system answers to VerifyVersionInfoW probes.
struct FakeSystem {
    DWORD platformId = VER_PLATFORM_WIN32_NT;
    WORD servicePack = 0;
    DWORD minor = 0;  // answered to minor-version probes
    std::vector<WORD> servicePackProbes;
};

class FakeVersionAPI {
public:
    explicit FakeVersionAPI(FakeSystem* system = nullptr) : m_system(system) {}

    BOOL VerifyVersionInfo(OSVERSIONINFOEXW* info, DWORD typeMask, DWORDLONG conditionMask) {
        if (m_system == nullptr) {
            ADD_FAILURE() << "probe without a fake system";
            return FALSE;
        }
        const bool equal = conditionMask == ::VerSetConditionMask(0, typeMask, VER_EQUAL);
        const bool less = conditionMask == ::VerSetConditionMask(0, typeMask, VER_LESS);
        switch (typeMask) {
            case VER_PLATFORMID:
                EXPECT_TRUE(equal);
                return info->dwPlatformId == m_system->platformId;
            case VER_SERVICEPACKMAJOR:
                EXPECT_TRUE(equal);
                m_system->servicePackProbes.push_back(info->wServicePackMajor);
                return info->wServicePackMajor == m_system->servicePack;
            case VER_MINORVERSION:
                EXPECT_TRUE(equal || less);
                return equal ? m_system->minor == info->dwMinorVersion
                             : m_system->minor < info->dwMinorVersion;
            default:
                ADD_FAILURE() << "unexpected probe type " << typeMask;
                return FALSE;
        }
    }

private:
    FakeSystem* m_system;
};

class FakeKernel32 : public OSInfoProxyImpl<FakeVersionAPI> {
public:
    FakeKernel32(bool readable, std::array<DWORD, 4> version, DWORD delayMs = 0)
        : m_readable(readable), m_version(version), m_delayMs(delayMs) {}

    bool ReadKernel32Version(DWORD (&version)[4]) override {
        ++reads;
        if (m_delayMs != 0) ::Sleep(m_delayMs);
        if (!m_readable) return false;
        for (int i = 0; i < 4; ++i) version[i] = m_version[i];
        return true;
    }

    std::atomic<int> reads{0};

private:
    bool m_readable;
    std::array<DWORD, 4> m_version;
    DWORD m_delayMs;
};

struct VersionCase {
    const char* label;
    bool readable;
    std::array<DWORD, 4> kernel32;
    DWORD platformId;
    WORD servicePack;
    DWORD minor9x;
    // Expected; class 0 means nothing could be computed.
    DWORD osClass;
    DWORD platform;
    bool versionResult;
    DWORD major;
    DWORD minor;
    WORD versionServicePack;
    std::vector<WORD> servicePackProbes;
    DWORD productClass;  // what GetOSVersionClass keeps
};

constexpr DWORD NT = VER_PLATFORM_WIN32_NT;
constexpr DWORD W9X = VER_PLATFORM_WIN32_WINDOWS;

const VersionCase kVersionCases[] = {
    {"10.0", true, {10, 0, 19041, 1}, NT, 0, 0, 11, 1, true, 10, 0, 0, {}, 11},
    {"6.1 SP1", true, {6, 1, 7601, 24544}, NT, 1, 0, 8, 1, true, 6, 1, 1, {1}, 8},
    {"6.1 no SP", true, {6, 1, 7600, 16385}, NT, 0, 0, 8, 1, true, 6, 1, 0, {1}, 8},
    {"5.0 SP2", true, {5, 0, 2195, 6717}, NT, 2, 0, 4, 0, true, 5, 0, 2, {4, 3, 2}, 4},
    {"5.1 SP3", true, {5, 1, 2600, 5512}, NT, 3, 0, 6, 1, true, 5, 1, 3, {3}, 6},
    {"5.2 SP2", true, {5, 2, 3790, 3959}, NT, 2, 0, 6, 1, true, 5, 2, 2, {3, 2}, 6},
    {"6.0 SP2", true, {6, 0, 6002, 18005}, NT, 2, 0, 7, 1, true, 6, 0, 2, {2}, 7},
    {"6.2", true, {6, 2, 9200, 16384}, NT, 0, 0, 9, 1, true, 6, 2, 0, {}, 9},
    {"6.3", true, {6, 3, 9600, 17031}, NT, 0, 0, 10, 1, true, 6, 3, 0, {}, 10},
    {"6.4", true, {6, 4, 9841, 0}, NT, 0, 0, 10, 1, true, 6, 4, 0, {}, 10},
    {"4.0 never probed", true, {4, 0, 1381, 0}, NT, 6, 0, 3, 0, true, 4, 0, 0, {}, 3},
    {"11.0 unknown", true, {11, 0, 1, 0}, NT, 0, 0, 12, 1, false, 11, 0, 0, {}, 0},
    {"9x minor 0", true, {4, 0, 950, 0}, W9X, 0, 0, 1, 0, true, 4, 0, 0, {}, 1},
    {"9x minor 10", true, {4, 10, 2222, 3}, W9X, 0, 10, 2, 0, true, 4, 10, 0, {}, 2},
    {"9x minor 90", true, {4, 90, 3000, 0}, W9X, 0, 90, 5, 0, true, 4, 90, 0, {}, 5},
    {"9x minor past the probes", true, {4, 120, 1, 0}, W9X, 0, 120, 0, 2, false, 0, 0, 0, {}, 0},
    {"unreadable kernel32", false, {}, NT, 0, 0, 0, 2, false, 0, 0, 0, {}, 0},
    {"other platform", true, {10, 0, 1, 0}, 3, 0, 0, 0, 2, false, 0, 0, 0, {}, 0},
};

TEST(OSInfo, ClassifiesKernel32VersionsThroughTheSeam) {
    for (const VersionCase& c : kVersionCases) {
        SCOPED_TRACE(c.label);
        FakeSystem system;
        system.platformId = c.platformId;
        system.servicePack = c.servicePack;
        system.minor = c.minor9x;
        auto kernel32 = std::make_shared<FakeKernel32>(c.readable, c.kernel32);
        OSInfoProxy<FakeVersionAPI> proxy(kernel32, FakeVersionAPI(&system));
        const bool computed = c.osClass != 0;
        int questions = 0;

        ++questions;
        EXPECT_EQ(proxy.GetOSClass(), c.osClass);
        ++questions;
        EXPECT_EQ(proxy.GetPlatform(), c.platform);

        DWORD osClass = 99, platform = 99;
        ++questions;
        EXPECT_EQ(proxy.GetOSClassAndPlatform(osClass, platform), computed);
        EXPECT_EQ(osClass, c.osClass);
        EXPECT_EQ(platform, c.platform);

        DWORD major = 0, minor = 0;
        WORD servicePack = 0;
        ++questions;
        EXPECT_EQ(proxy.GetVersion(major, minor, servicePack), c.versionResult);
        EXPECT_EQ(major, c.major);
        EXPECT_EQ(minor, c.minor);
        EXPECT_EQ(servicePack, c.versionServicePack);

        DWORD k32[4] = {99, 99, 99, 99};
        ++questions;
        EXPECT_EQ(proxy.GetKernel32Version(k32[0], k32[1], k32[2], k32[3]), computed);
        for (int i = 0; i < 4; ++i) EXPECT_EQ(k32[i], computed ? c.kernel32[i] : 0u) << i;

        ++questions;
        EXPECT_EQ(Tessal::internal::OSVersionClassOf(proxy), c.productClass);
        ++questions;
        EXPECT_EQ(Tessal::internal::OSVersionClassAndPlatformOf(proxy, osClass, platform),
                  computed);
        EXPECT_EQ(platform, c.platform == 2 ? 0u : c.platform);

        // Computed once; a failure is retried by every question.
        EXPECT_EQ(kernel32->reads.load(), computed ? 1 : questions);
        EXPECT_EQ(system.servicePackProbes, c.servicePackProbes);
    }
}

TEST(OSInfo, ReadFailureIsRetriedUntilItSucceeds) {
    FakeSystem system;

    class FlakyKernel32 : public OSInfoProxyImpl<FakeVersionAPI> {
    public:
        bool ReadKernel32Version(DWORD (&version)[4]) override {
            if (++reads == 1) return false;
            version[0] = 10;
            version[1] = version[2] = version[3] = 0;
            return true;
        }
        int reads = 0;
    };
    auto kernel32 = std::make_shared<FlakyKernel32>();
    OSInfoProxy<FakeVersionAPI> proxy(kernel32, FakeVersionAPI(&system));

    EXPECT_EQ(proxy.GetOSClass(), 0u);
    EXPECT_EQ(proxy.GetOSClass(), 11u);
    EXPECT_EQ(proxy.GetPlatform(), 1u);
    EXPECT_EQ(kernel32->reads, 2);
}

TEST(OSInfo, ConcurrentFirstQuestionsComputeOnce) {
    FakeSystem system;
    auto kernel32 = std::make_shared<FakeKernel32>(true, std::array<DWORD, 4>{6, 1, 7601, 1}, 50);
    system.servicePack = 1;
    OSInfoProxy<FakeVersionAPI> proxy(kernel32, FakeVersionAPI(&system));

    constexpr int kThreads = 8;
    std::vector<DWORD> classes(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&proxy, &classes, i] { classes[i] = proxy.GetOSClass(); });
    }
    for (auto& t : threads) t.join();

    EXPECT_EQ(kernel32->reads.load(), 1);
    for (int i = 0; i < kThreads; ++i) EXPECT_EQ(classes[i], 8u) << i;
}

TEST(OSInfo, IsNTAsksEveryTime) {
    FakeSystem system;
    OSInfoProxy<FakeVersionAPI> proxy(std::make_shared<FakeKernel32>(true, std::array<DWORD, 4>{}),
                                      FakeVersionAPI(&system));
    EXPECT_TRUE(proxy.IsNT());
    system.platformId = VER_PLATFORM_WIN32_WINDOWS;
    EXPECT_FALSE(proxy.IsNT());
}

}  // namespace
