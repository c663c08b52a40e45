#include "tests/support/LogRecorder.h"

#include "logging/DefaultLogBuilder.h"
#include "logging/LogManager.h"
#include "logging/Logging.h"

#include "base/Sync.h"

#include <gtest/gtest.h>

namespace NuvTest {
namespace {

class RecordingLogger : public ETWLogging::CLoggingIf {
public:
    DWORD Initialize(const wchar_t*, HMODULE, const wchar_t*, ETWLogging::LoggingConfigListenerIf*) override { return 0; }
    DWORD Start() override { return 0; }
    void GetLogName(std::wstring&) override {}
    void GetComponentName(std::wstring&) override {}
    DWORD Uninitialize() override { return 0; }
    void SetEnabled(DWORD) override {}
    bool IsEnabled() override { return true; }
    void LogFormatted(DWORD, const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override {}
    DWORD LogText(const wchar_t* sourceFile, const wchar_t* function, int, DWORD level, const wchar_t* text) override {
        Tessal::CAutoLock lock(m_lock);
        m_lines.push_back({level, sourceFile != nullptr ? sourceFile : L"", function != nullptr ? function : L"",
                           text != nullptr ? text : L""});
        return 0;
    }
    bool IsLevelEnabled(DWORD) override { return true; }
    void SetMaxEntries(DWORD) override {}
    DWORD GetMaxEntries() override { return 0; }
    void SetMaxSize(DWORD) override {}
    DWORD GetMaxSize() override { return 0; }
    DWORD SetSeverity(DWORD) override { return 1; }
    DWORD GetSeverity() override { return 1; }
    LONG AddRef() override { return 2; }  // the manager deletes it at exit
    LONG Release() override { return 1; }

    std::vector<LoggedLine> Take() {
        Tessal::CAutoLock lock(m_lock);
        std::vector<LoggedLine> lines;
        lines.swap(m_lines);
        return lines;
    }

private:
    Tessal::CCriticalSection m_lock;
    std::vector<LoggedLine> m_lines;
};

RecordingLogger* const g_logger = new RecordingLogger();

class RecordingBuilder : public ETWLogging::CLogBuilderIf_ex {
public:
    bool Build(const wchar_t*, HMODULE, const wchar_t*, DWORD, ETWLogging::CLoggingIf** logger) override {
        *logger = g_logger;
        return true;
    }
    bool Build(const wchar_t*, const wchar_t*, HMODULE, const wchar_t*, DWORD, ETWLogging::CLoggingIf** logger) override {
        *logger = g_logger;
        return true;
    }
};

RecordingBuilder g_builder;

class RecordingEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        ETWLogging::ConfigureLogging(nullptr, L"Nuv", nullptr, nullptr, 0);
        ETWLogging::internal::SetLogBuilder(&g_builder);
        ASSERT_NE(nullptr, ETWLogging::GetLogManager());
        g_logger->Take();
    }
};

const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new RecordingEnvironment);

}  // namespace

std::vector<LoggedLine> TakeLoggedLines() { return g_logger->Take(); }

}  // namespace NuvTest
