#pragma once
// Stores a value's bytes exactly as given. Wine's RegSetValueEx appends a NUL to string data that
// lacks one (Windows stores what it is given); NtSetValueKey stores what it is given on both, so
// tests of unterminated texts write through it.

#include <windows.h>
#include <winternl.h>

#include <cwchar>

namespace NuvTest {

inline LONG SetRawValue(HKEY key, const wchar_t* name, DWORD type, const void* data, DWORD size) {
    using NtSetValueKeyFn = NTSTATUS(NTAPI*)(HANDLE, PUNICODE_STRING, ULONG, ULONG, PVOID, ULONG);
    using RtlNtStatusToDosErrorFn = ULONG(NTAPI*)(NTSTATUS);
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    const auto setValue = reinterpret_cast<NtSetValueKeyFn>(
        reinterpret_cast<void*>(::GetProcAddress(ntdll, "NtSetValueKey")));
    const auto toDosError = reinterpret_cast<RtlNtStatusToDosErrorFn>(
        reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlNtStatusToDosError")));
    if (setValue == nullptr || toDosError == nullptr) return ERROR_PROC_NOT_FOUND;
    UNICODE_STRING valueName;
    valueName.Buffer = const_cast<wchar_t*>(name != nullptr ? name : L"");
    valueName.Length = static_cast<USHORT>(std::wcslen(valueName.Buffer) * sizeof(wchar_t));
    valueName.MaximumLength = valueName.Length;
    return static_cast<LONG>(toDosError(setValue(key, &valueName, 0, type, const_cast<void*>(data), size)));
}

}  // namespace NuvTest
