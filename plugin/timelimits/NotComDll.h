#pragma once
// The host firewall's control library: not a COM server, found in the platform's install folder
// (HKLM\Software\Oberix\Kernova "szInstallDir64", 32-bit registry view), else beside the
// executable. Never in the current directory: a library planted there must not be loaded into
// the plug-in's host.

#include "base/UniqueHandle.h"

#include <windows.h>

#include <string>

class CNotComDll {
public:
    // `module`: the module whose folder is searched last; null for the process's executable.
    explicit CNotComDll(std::wstring name, HMODULE module = nullptr) : m_name(std::move(name)), m_module(module) {}

    // 0 (also when the library did not load: Handle() is then null), 87 for a name of 260
    // characters or more, 8 when a path cannot be allocated.
    DWORD Load();
    HMODULE Handle() const noexcept { return m_library.Get(); }
    // The loaded library for the caller to keep; the object forgets it.
    Tessal::UniqueHModule Detach() noexcept { return std::move(m_library); }
    const std::wstring& Path() const noexcept { return m_path; }

private:
    std::wstring m_name;
    HMODULE m_module;
    std::wstring m_path;
    Tessal::UniqueHModule m_library;
};

// The platform's install folder; false when the value cannot be read.
bool GetPlatformInstallDir(std::wstring& folder);
