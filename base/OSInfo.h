#pragma once
// Facts about the running Windows. The version comes from kernel32.dll's "ProductVersion"
// resource string, which compatibility shims do not lie about, refined by VerifyVersionInfoW
// probes; everything is computed once, on the first question.

#include <windows.h>

#include <atomic>
#include <memory>
#include <utility>

namespace Tessal {

// The version classes GetOSClass answers (NT family from kernel32.dll's product version).
namespace OSClass {
constexpr DWORD kUnknown = 0;       // nothing could be computed
constexpr DWORD kWindows95 = 1;
constexpr DWORD kWindows98 = 2;     // and other 9x minors below 90
constexpr DWORD kWindowsNT4 = 3;    // NT 4 and older
constexpr DWORD kWindows2000 = 4;   // the console-only class: no session notifications
constexpr DWORD kWindowsMe = 5;
constexpr DWORD kWindowsXP = 6;     // and Server 2003
constexpr DWORD kWindowsVista = 7;
constexpr DWORD kWindows7 = 8;
constexpr DWORD kWindows8 = 9;
constexpr DWORD kWindows81 = 10;
constexpr DWORD kWindows10 = 11;    // and later 10.x versions
constexpr DWORD kNewer = 12;        // a version this code does not know
}  // namespace OSClass

// The classes on which the product treats session 0 as services only (Vista, Windows 7).
constexpr bool IsSessionZeroIsolated(DWORD osClass) noexcept {
    return osClass == OSClass::kWindowsVista || osClass == OSClass::kWindows7;
}

// Replaceable wrapper of VerifyVersionInfoW. (With UNICODE, <windows.h> renames the method to
// VerifyVersionInfoW everywhere; fakes used with OSInfoProxy get the same treatment.)
class WinOSVersionAPI {
public:
    virtual BOOL VerifyVersionInfo(OSVERSIONINFOEXW* info, DWORD typeMask, DWORDLONG conditionMask);
};

// IsWow64Process, looked up at run time; false when it is missing or fails.
bool IsWow64() noexcept;

namespace internal {

struct NTClassification {
    DWORD osClass;
    DWORD platform;
    WORD servicePackFrom;  // highest service pack worth probing; 0: none
};
NTClassification ClassifyNT(DWORD major, DWORD minor) noexcept;
DWORD Classify9x(DWORD minor) noexcept;

// kernel32.dll's "ProductVersion" split into up to four numbers (missing parts 0).
bool ReadKernel32ProductVersion(DWORD (&version)[4]);

template <class API>
class OSInfoProxyImpl {
public:
    explicit OSInfoProxyImpl(API* api = nullptr) noexcept : m_api(api) {}
    virtual ~OSInfoProxyImpl() = default;
    OSInfoProxyImpl(const OSInfoProxyImpl&) = delete;
    OSInfoProxyImpl& operator=(const OSInfoProxyImpl&) = delete;

    virtual bool ReadKernel32Version(DWORD (&version)[4]) {
        return ReadKernel32ProductVersion(version);
    }

    // Set by the owning proxy; it points at the proxy's embedded API.
    void AttachAPI(API* api) noexcept { m_api = api; }
    void DetachAPI(API* api) noexcept {
        if (m_api == api) m_api = nullptr;
    }

    DWORD GetOSClass() { return EnsureComputed() ? m_osClass : 0; }
    DWORD GetPlatform() { return EnsureComputed() ? m_platform : 2; }

    // Class 12 (a version this code does not know) fills the values but answers false.
    bool GetVersion(DWORD& major, DWORD& minor, WORD& servicePack) {
        if (!EnsureComputed()) return false;
        major = m_major;
        minor = m_minor;
        servicePack = m_servicePack;
        return m_osClass != 12;
    }

    bool GetOSClassAndPlatform(DWORD& osClass, DWORD& platform) {
        osClass = 0;
        platform = 2;
        if (!EnsureComputed()) return false;
        osClass = m_osClass;
        platform = m_platform;
        return true;
    }

    bool GetKernel32Version(DWORD& major, DWORD& minor, DWORD& build, DWORD& revision) {
        major = minor = build = revision = 0;
        if (!EnsureComputed()) return false;
        major = m_kernel32[0];
        minor = m_kernel32[1];
        build = m_kernel32[2];
        revision = m_kernel32[3];
        return true;
    }

    bool IsNT() { return IsPlatform(VER_PLATFORM_WIN32_NT); }

private:
    static constexpr DWORD kMinorProbeLimit = 100;

    // 0 not computed, 1 being computed, 2 computed. A failed computation goes back to 0 so a
    // later question tries again.
    bool EnsureComputed() {
        LONG state = 0;
        if (m_once.compare_exchange_strong(state, 1, std::memory_order_acquire)) {
            bool computed = false;
            try {
                computed = Compute();
            } catch (...) {
                m_once.store(0, std::memory_order_release);
                throw;
            }
            m_once.store(computed ? 2 : 0, std::memory_order_release);
            return computed;
        }
        while (state == 1) {
            YieldProcessor();
            state = m_once.load(std::memory_order_acquire);
        }
        return state == 2;
    }

    bool Compute() {
        DWORD version[4] = {};
        if (!ReadKernel32Version(version)) return false;
        for (int i = 0; i < 4; ++i) m_kernel32[i] = version[i];

        if (IsPlatform(VER_PLATFORM_WIN32_WINDOWS)) {
            const DWORD minor = ProbeMinorVersion(kMinorProbeLimit);
            if (minor == kMinorProbeLimit) return false;
            m_major = 4;
            m_minor = minor;
            m_servicePack = 0;
            m_osClass = Classify9x(minor);
            m_platform = 0;
        } else if (IsPlatform(VER_PLATFORM_WIN32_NT)) {
            const NTClassification nt = ClassifyNT(version[0], version[1]);
            m_major = version[0];
            m_minor = version[1];
            m_servicePack = ProbeServicePack(nt.servicePackFrom);
            m_osClass = nt.osClass;
            m_platform = nt.platform;
        } else {
            return false;
        }
        m_computed = 1;
        return true;
    }

    bool Verify(OSVERSIONINFOEXW& info, DWORD type, BYTE condition) {
        if (m_api == nullptr) return false;
        return m_api->VerifyVersionInfo(&info, type, ::VerSetConditionMask(0, type, condition)) !=
               FALSE;
    }

    static OSVERSIONINFOEXW EmptyInfo() noexcept {
        OSVERSIONINFOEXW info = {};
        info.dwOSVersionInfoSize = sizeof(info);
        return info;
    }

    bool IsPlatform(DWORD platformId) {
        OSVERSIONINFOEXW info = EmptyInfo();
        info.dwPlatformId = platformId;
        return Verify(info, VER_PLATFORMID, VER_EQUAL);
    }

    WORD ProbeServicePack(WORD from) {
        for (WORD servicePack = from; servicePack >= 1; --servicePack) {
            OSVERSIONINFOEXW info = EmptyInfo();
            info.wServicePackMajor = servicePack;
            if (Verify(info, VER_SERVICEPACKMAJOR, VER_EQUAL)) return servicePack;
        }
        return 0;
    }

    bool MinorIs(DWORD minor, BYTE condition) {
        OSVERSIONINFOEXW info = EmptyInfo();
        info.dwMinorVersion = minor;
        return Verify(info, VER_MINORVERSION, condition);
    }

    // Steps of 8 up to the first probe the minor version is below, then a binary search in
    // that window. Returns the limit when no probe up to the limit's multiple of 8 answered.
    DWORD ProbeMinorVersion(DWORD limit) {
        const DWORD bound = (limit + 7) / 8 * 8;
        DWORD probe = 8;
        while (probe <= bound && !MinorIs(probe, VER_LESS)) probe += 8;
        if (probe > bound) return limit;
        DWORD minor = probe - 4;
        minor = MinorIs(minor, VER_LESS) ? minor - 2 : minor + 2;
        minor = MinorIs(minor, VER_LESS) ? minor - 1 : minor + 1;
        if (!MinorIs(minor, VER_EQUAL)) --minor;
        return minor;
    }

    std::atomic<LONG> m_once{0};
    LONG m_computed = 0;
    DWORD m_major = 0;
    DWORD m_minor = 0;
    WORD m_servicePack = 0;
    DWORD m_kernel32[4] = {};
    DWORD m_osClass = 0;
    DWORD m_platform = 0;
    API* m_api;
};

// Not copyable or movable: the implementation points at the embedded API.
template <class API>
class OSInfoProxy {
public:
    using Impl = OSInfoProxyImpl<API>;

    OSInfoProxy() : OSInfoProxy(nullptr) {}
    // A null implementation is replaced by the default one.
    explicit OSInfoProxy(std::shared_ptr<Impl> impl, API api = API())
        : m_api(std::move(api)), m_impl(impl ? std::move(impl) : std::make_shared<Impl>()) {
        m_impl->AttachAPI(&m_api);
    }
    virtual ~OSInfoProxy() { m_impl->DetachAPI(&m_api); }
    OSInfoProxy(const OSInfoProxy&) = delete;
    OSInfoProxy& operator=(const OSInfoProxy&) = delete;

    // 0 when nothing could be computed.
    virtual DWORD GetOSClass() { return m_impl->GetOSClass(); }
    // 0 or 1; 2 when nothing could be computed.
    virtual DWORD GetPlatform() { return m_impl->GetPlatform(); }
    virtual bool GetVersion(DWORD& major, DWORD& minor, WORD& servicePack) {
        return m_impl->GetVersion(major, minor, servicePack);
    }
    virtual bool GetOSClassAndPlatform(DWORD& osClass, DWORD& platform) {
        return m_impl->GetOSClassAndPlatform(osClass, platform);
    }
    virtual bool IsWow64() { return Tessal::IsWow64(); }
    virtual bool IsNT() { return m_impl->IsNT(); }
    virtual bool GetKernel32Version(DWORD& major, DWORD& minor, DWORD& build, DWORD& revision) {
        return m_impl->GetKernel32Version(major, minor, build, revision);
    }

private:
    API m_api;
    std::shared_ptr<Impl> m_impl;
};

// The class the product keeps: 0 also for a version it does not know (class 12).
template <class API>
DWORD OSVersionClassOf(OSInfoProxy<API>& proxy) {
    const DWORD osClass = proxy.GetOSClass();
    return osClass == OSClass::kNewer ? OSClass::kUnknown : osClass;
}

// Class and platform code, with "unknown platform" (2) reported as 0.
template <class API>
bool OSVersionClassAndPlatformOf(OSInfoProxy<API>& proxy, DWORD& osClass, DWORD& platform) {
    const bool computed = proxy.GetOSClassAndPlatform(osClass, platform);
    if (platform == 2) platform = 0;
    return computed;
}

}  // namespace internal

DWORD GetOSVersionClass();
bool GetOSVersionClassAndPlatform(DWORD& osClass, DWORD& platform);

}  // namespace Tessal
