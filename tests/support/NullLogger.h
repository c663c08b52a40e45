#pragma once
// A process logger that does nothing and answers as an enabled logger would: the base of the
// tests' loggers, which override what they record. And the builder that makes the process
// logger one of them.

#include "logging/DefaultLogBuilder.h"
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

// Hands out the given logger whatever is asked; install it with ETWLogging::internal::SetLogBuilder.
class FixedLogBuilder : public ETWLogging::CLogBuilderIf_ex {
public:
    explicit FixedLogBuilder(ETWLogging::CLoggingIf* logger) : m_logger(logger) {}
    bool Build(const wchar_t*, HMODULE, const wchar_t*, DWORD, ETWLogging::CLoggingIf** logger) override {
        *logger = m_logger;
        return true;
    }
    bool Build(const wchar_t*, const wchar_t*, HMODULE, const wchar_t*, DWORD, ETWLogging::CLoggingIf** logger) override {
        *logger = m_logger;
        return true;
    }

private:
    ETWLogging::CLoggingIf* m_logger;
};

}  // namespace NuvTest
