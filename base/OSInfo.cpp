#include "base/OSInfo.h"

#include "base/FileVersionInfo.h"

#include <cwchar>
#include <string>

namespace Tessal {

BOOL WinOSVersionAPI::VerifyVersionInfo(OSVERSIONINFOEXW* info, DWORD typeMask,
                                        DWORDLONG conditionMask) {
    return ::VerifyVersionInfoW(info, typeMask, conditionMask);
}

bool IsWow64() noexcept {
    const HMODULE kernel = ::GetModuleHandleW(L"kernel32");
    if (kernel == nullptr) return false;
    using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
    const auto isWow64Process = reinterpret_cast<IsWow64ProcessFn>(
        reinterpret_cast<void*>(::GetProcAddress(kernel, "IsWow64Process")));
    if (isWow64Process == nullptr) return false;
    BOOL wow64 = FALSE;
    if (!isWow64Process(::GetCurrentProcess(), &wow64)) return false;
    return wow64 != FALSE;
}

namespace internal {

NTClassification ClassifyNT(DWORD major, DWORD minor) noexcept {
    if (major <= 4) return {3, 0, 0};
    if (major == 5) return minor == 0 ? NTClassification{4, 0, 4} : NTClassification{6, 1, 3};
    if (major == 6) {
        switch (minor) {
            case 0: return {7, 1, 2};
            case 1: return {8, 1, 1};
            case 2: return {9, 1, 0};
            default: return {10, 1, 0};
        }
    }
    if (major == 10) return {11, 1, 0};
    return {12, 1, 0};
}

DWORD Classify9x(DWORD minor) noexcept {
    if (minor == 0) return 1;
    return minor < 90 ? 2 : 5;
}

bool ReadKernel32ProductVersion(DWORD (&version)[4]) {
    SystemFileVersionInfo info;
    if (!info.Load(L"kernel32.dll")) return false;
    const std::wstring text = info.GetValue(L"ProductVersion");
    if (text.empty()) return false;

    for (DWORD& part : version) part = 0;
    std::size_t start = 0;
    for (int i = 0; i < 4 && start <= text.size(); ++i) {
        std::size_t end = text.find(L'.', start);
        if (end == std::wstring::npos) end = text.size();
        const std::wstring part = text.substr(start, end - start);
        version[i] = static_cast<DWORD>(std::wcstoul(part.c_str(), nullptr, 10));
        start = end + 1;
    }
    return true;
}

}  // namespace internal

DWORD GetOSVersionClass() {
    internal::OSInfoProxy<WinOSVersionAPI> proxy;
    return internal::OSVersionClassOf(proxy);
}

bool GetOSVersionClassAndPlatform(DWORD& osClass, DWORD& platform) {
    internal::OSInfoProxy<WinOSVersionAPI> proxy;
    return internal::OSVersionClassAndPlatformOf(proxy, osClass, platform);
}

}  // namespace Tessal
