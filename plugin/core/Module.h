#pragma once
// A DLL loaded by name for the lifetime of one object. A processor exception raised while the
// library loads (a crash in its start-up code) is caught and logged; the object then holds
// nothing. Callers test IsLoaded.
// Not to be confused with NuvCom::CModule (the COM server module) or CNuvModule (the plug-in's
// central object).

#include "base/UniqueHandle.h"

#include <windows.h>

class CModule {
public:
    // flags 0: LoadLibraryW, else LoadLibraryExW(fileName, nullptr, flags).
    CModule(const wchar_t* fileName, DWORD flags);
    virtual ~CModule();  // frees the library when loaded
    CModule(const CModule&) = delete;
    CModule& operator=(const CModule&) = delete;

    // Null when not loaded or not exported.
    FARPROC GetProcAddress(const char* name) const noexcept;
    bool IsLoaded() const noexcept { return m_module.IsValid(); }

private:
    Tessal::UniqueHModule m_module;
};

namespace ModuleInternal {
// The load call of CModule (LoadLibraryW / LoadLibraryExW by default), replaceable so a test can
// fault inside it: Wine's loader catches faults of a DLL's entry point itself. Null restores
// the default; returns the previous replacement.
using LoadFunction = HMODULE (*)(const wchar_t* fileName, DWORD flags);
LoadFunction SetLoadFunction(LoadFunction function) noexcept;

}  // namespace ModuleInternal
