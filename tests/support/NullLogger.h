#pragma once
// A process logger that does nothing and answers as an enabled logger would: the base of the
// tests' loggers, which override what they record.

#include "logging/LoggingIf.h"

namespace NuvTest {

class NullLogger : public ETWLogging::CLoggingIf {
public:
    DWORD Initialize(const wchar_t*, HMODULE, const wchar_t*, ETWLogging::LoggingConfigListenerIf*) override { return 0; }
    DWORD Start() override { return 0; }
    void GetLogName(std::wstring&) override {}
    void GetComponentName(std::wstring&) override {}
    DWORD Uninitialize() override { return 0; }
    void SetEnabled(DWORD) override {}
    bool IsEnabled() override { return true; }
    void LogFormatted(DWORD, const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override {}
    DWORD LogText(const wchar_t*, const wchar_t*, int, DWORD, const wchar_t*) override { return 0; }
    bool IsLevelEnabled(DWORD) override { return true; }
    void SetMaxEntries(DWORD) override {}
    DWORD GetMaxEntries() override { return 0; }
    void SetMaxSize(DWORD) override {}
    DWORD GetMaxSize() override { return 0; }
    DWORD SetSeverity(DWORD) override { return 1; }
    DWORD GetSeverity() override { return 1; }
    LONG AddRef() override { return 2; }
    LONG Release() override { return 1; }
};

}  // namespace NuvTest
