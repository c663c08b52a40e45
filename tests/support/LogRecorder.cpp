#include "tests/support/LogRecorder.h"

#include "logging/DefaultLogBuilder.h"
#include "logging/LogManager.h"
#include "logging/Logging.h"

#include "base/Sync.h"
#include "tests/support/NullLogger.h"

#include <gtest/gtest.h>

namespace NuvTest {
namespace {

// The manager deletes it at exit: NullLogger's reference counts keep it alive until then.
class RecordingLogger : public NullLogger {
public:
    DWORD LogText(const wchar_t* sourceFile, const wchar_t* function, int, DWORD level, const wchar_t* text) override {
        Tessal::CAutoLock lock(m_lock);
        m_lines.push_back({level, sourceFile != nullptr ? sourceFile : L"", function != nullptr ? function : L"",
                           text != nullptr ? text : L""});
        return 0;
    }

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

FixedLogBuilder g_builder(g_logger);

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
