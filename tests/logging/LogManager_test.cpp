// The process logger of this test program is built by a stand-in builder around a recording logger.
// The manager exists once per module, so its creation (a failure first, then the retry) is checked
// once, before the tests run.

#include "logging/DefaultLogBuilder.h"
#include "logging/LogManager.h"
#include "logging/Logging.h"
#include "logging/TessalLogHandler.h"

#include "base/Logging/Logger.h"

#include "tests/support/NullLogger.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <new>
#include <string>
#include <vector>

namespace {

using ETWLogging::CLogManager;

class RecordingLogger : public NuvTest::NullLogger {
public:
    struct Call {
        std::wstring sourceFile;
        std::wstring function;
        int line;
        DWORD level;
        std::wstring text;
    };

    DWORD Start() override {
        ++starts;
        return startResult;
    }
    DWORD LogText(const wchar_t* sourceFile, const wchar_t* function, int line, DWORD level,
                  const wchar_t* text) override {
        calls.push_back({sourceFile != nullptr ? sourceFile : L"(null)", function != nullptr ? function : L"(null)", line,
                         level, text != nullptr ? text : L"(null)"});
        return logTextResult;
    }
    bool IsLevelEnabled(DWORD level) override { return level >= severity; }
    DWORD SetSeverity(DWORD level) override { return severity = level; }
    DWORD GetSeverity() override { return severity; }
    LONG AddRef() override { return ++references; }
    LONG Release() override { return --references; }

    void Reset() {
        calls.clear();
        starts = 0;
        startResult = 0;
        logTextResult = 0;
        severity = 3;
    }

    std::vector<Call> calls;
    int starts = 0;
    DWORD startResult = 0;
    DWORD logTextResult = 0;
    DWORD severity = 3;
    LONG references = 0;
};

// Fails (throws) while told to, then hands out the recording logger.
class StandInBuilder : public ETWLogging::CLogBuilderIf_ex {
public:
    bool Build(const wchar_t*, HMODULE, const wchar_t*, DWORD, ETWLogging::CLoggingIf**) override { return false; }
    bool Build(const wchar_t* applicationId, const wchar_t* componentName, HMODULE module, const wchar_t* fileSuffix,
               DWORD forceFile, ETWLogging::CLoggingIf** logger) override {
        ++builds;
        if (failing) throw std::bad_alloc();
        seenApplicationId = applicationId == nullptr;
        seenComponent = componentName != nullptr ? componentName : L"(null)";
        seenModule = module;
        seenSuffixNull = fileSuffix == nullptr;
        seenForce = forceFile;
        *logger = theLogger;
        theLogger->AddRef();
        return true;
    }

    bool failing = true;
    int builds = 0;
    RecordingLogger* theLogger = new RecordingLogger();  // the manager owns it once built
    bool seenApplicationId = false;
    std::wstring seenComponent;
    HMODULE seenModule = nullptr;
    bool seenSuffixNull = false;
    DWORD seenForce = 99;
};

StandInBuilder g_builder;

struct CreationOutcome {
    bool noManagerAfterFailure = false;
    bool levelRefusedWithoutManager = false;
    DWORD logWithoutManager = 99;
    int buildsAfterFailures = 0;
    CLogManager* created = nullptr;
    int buildsAfterLateConfigure = 0;
} g_outcome;

class ManagerCreation : public ::testing::Environment {
public:
    void SetUp() override {
        ETWLogging::ConfigureLogging(nullptr, L"MgrComp", nullptr, nullptr, 0);
        ETWLogging::internal::SetLogBuilder(&g_builder);

        g_outcome.noManagerAfterFailure = CLogManager::Instance() == nullptr && CLogManager::Current() == nullptr;
        g_outcome.levelRefusedWithoutManager = !ETWLogging::IsLogLevelEnabled(3);
        g_outcome.logWithoutManager = ETWLogging::LogFormat(3, L"f", L"F", 1, L"%s", L"x");
        g_outcome.buildsAfterFailures = g_builder.builds;

        g_builder.failing = false;
        g_outcome.created = ETWLogging::GetLogManager();
        ETWLogging::ConfigureLogging(nullptr, L"Later", nullptr, nullptr, 1);
        ETWLogging::GetLogManager();
        g_outcome.buildsAfterLateConfigure = g_builder.builds;
    }
};

const auto* const g_creation = ::testing::AddGlobalTestEnvironment(new ManagerCreation);

RecordingLogger& Logger() { return *g_builder.theLogger; }

TEST(LogManagerCreation, FailedCreationLeavesNothingAndTheNextCallRetries) {
    EXPECT_TRUE(g_outcome.noManagerAfterFailure);
    EXPECT_TRUE(g_outcome.levelRefusedWithoutManager);
    EXPECT_EQ(0u, g_outcome.logWithoutManager);
    EXPECT_EQ(3, g_outcome.buildsAfterFailures);  // every call tried again

    ASSERT_NE(nullptr, g_outcome.created);
    EXPECT_EQ(g_outcome.created, CLogManager::Instance());
    EXPECT_EQ(g_outcome.created, CLogManager::Current());
    EXPECT_EQ(g_builder.theLogger, g_outcome.created->GetLogger());
    EXPECT_EQ(4, g_outcome.buildsAfterLateConfigure);  // configuring later changes nothing

    EXPECT_TRUE(g_builder.seenApplicationId);
    EXPECT_EQ(L"MgrComp", g_builder.seenComponent);
    EXPECT_EQ(::GetModuleHandleW(nullptr), g_builder.seenModule);  // null: the module holding the code
    EXPECT_TRUE(g_builder.seenSuffixNull);
    EXPECT_EQ(0u, g_builder.seenForce);
    EXPECT_EQ(&ETWLogging::CTessalLogHandler::Instance(), Tessal::CLogger::RegisteredHandler());
}

class LogManager : public ::testing::Test {
protected:
    void SetUp() override {
        manager_ = CLogManager::Instance();
        ASSERT_NE(nullptr, manager_);
        Logger().Reset();
    }
    void TearDown() override { Logger().Reset(); }

    CLogManager* manager_ = nullptr;
};

TEST_F(LogManager, MessagesLongerThan4160CharactersAreCutTo2080) {
    const struct {
        std::size_t chars;
        std::size_t expected;
    } cases[] = {{0, 0}, {2080, 2080}, {4160, 4160}, {4161, 2080}, {10000, 2080}};
    for (const auto& c : cases) {
        Logger().calls.clear();
        const std::wstring text(c.chars, L'm');
        EXPECT_EQ(0u, ETWLogging::LogFormat(3, L"f.cpp", L"F", 1, L"%s", text.c_str()));
        ASSERT_EQ(1u, Logger().calls.size());
        EXPECT_EQ(std::wstring(c.expected, L'm'), Logger().calls[0].text) << c.chars;
    }
}

TEST_F(LogManager, PlainLoggerRoadResults) {
    Logger().severity = 5;  // the manager does not test the level on this road
    EXPECT_EQ(0u, manager_->Log(1, L"src.cpp", L"NS::F", 17, L"%s %hs %d %hu", L"wide", "narrow", -3,
                                static_cast<unsigned short>(65535)));
    ASSERT_EQ(1u, Logger().calls.size());
    const RecordingLogger::Call& call = Logger().calls[0];
    EXPECT_EQ(L"src.cpp", call.sourceFile);
    EXPECT_EQ(L"NS::F", call.function);
    EXPECT_EQ(17, call.line);
    EXPECT_EQ(1u, call.level);
    EXPECT_EQ(L"wide narrow -3 65535", call.text);
    EXPECT_EQ(2, Logger().starts);

    Logger().logTextResult = 42;
    EXPECT_EQ(42u, manager_->Log(3, L"f", L"F", 1, L"x"));

    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), manager_->Log(3, L"f", L"F", 1, nullptr));
    EXPECT_EQ(2u, Logger().calls.size());

    Logger().startResult = ERROR_ACCESS_DENIED;
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), manager_->Log(3, L"f", L"F", 1, L"dropped"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), manager_->LogText(L"f", L"F", 1, 3, L"dropped"));
    EXPECT_EQ(2u, Logger().calls.size());
}

TEST_F(LogManager, BaseLibraryMessagesAreBridgedWithMappedLevels) {
    const struct {
        DWORD type;
        DWORD level;
    } cases[] = {{0, 1}, {1, 1}, {2, 4}, {7, 2}};
    const std::wstring longText(5000, L'b');  // the bridge passes text unchanged
    for (const auto& c : cases) {
        Logger().calls.clear();
        const int line = __LINE__ + 1;
        TESSAL_LOG(c.type, L"%s", longText.c_str());
        ASSERT_EQ(1u, Logger().calls.size()) << c.type;
        const RecordingLogger::Call& call = Logger().calls[0];
        EXPECT_EQ(c.level, call.level) << c.type;
        EXPECT_EQ(longText, call.text);
        EXPECT_NE(std::wstring::npos, call.sourceFile.find(L"LogManager_test.cpp"));
        EXPECT_EQ(L"TestBody", call.function);
        EXPECT_EQ(line, call.line);
    }
    EXPECT_FALSE(ETWLogging::IsLogLevelEnabled(1));  // a component's level-1 call would be filtered
}

TEST_F(LogManager, NuvLogTestsTheLevelBeforeAnythingIsEvaluated) {
    int evaluated = 0;
    const auto count = [&evaluated] { return ++evaluated; };
    NUV_LOG(ETWLogging::LOG_WARNING, L"%d", count());
    EXPECT_EQ(0, evaluated);
    EXPECT_TRUE(Logger().calls.empty());

    const short negative = -2;
    const int line = __LINE__ + 1;
    NUV_LOG(ETWLogging::LOG_ERROR, L"%d %s %hd", count(), L"wide", negative);
    EXPECT_EQ(1, evaluated);
    ASSERT_EQ(1u, Logger().calls.size());
    const RecordingLogger::Call& call = Logger().calls[0];
    EXPECT_EQ(L"1 wide -2", call.text);
    EXPECT_EQ(4u, call.level);
    EXPECT_EQ(L"LogManager_test", call.sourceFile);
    EXPECT_EQ(L"{anonymous}::LogManager_NuvLogTestsTheLevelBeforeAnythingIsEvaluated_Test::TestBody", call.function);
    EXPECT_EQ(line, call.line);

    NUV_LOG(ETWLogging::LOG_CRITICAL, L"no arguments");
    ETWLogging::LogMessage(3, L"file", L"Fn", 5, L"%s", L"message");
    ETWLogging::LogFormatInformation(L"file", L"Fn", 6, L"%s", L"information");
    ASSERT_EQ(4u, Logger().calls.size());
    EXPECT_EQ(L"no arguments", Logger().calls[1].text);
    EXPECT_EQ(L"message", Logger().calls[2].text);
    EXPECT_EQ(3u, Logger().calls[3].level);
}

TEST(LogFrontEnd, QualifiedFunctionNameFromPrettyFunction) {
    const struct {
        const char* pretty;
        const wchar_t* expected;
    } cases[] = {
        {"DWORD ETWLogging::CLogManager::Log(DWORD, const wchar_t*)", L"ETWLogging::CLogManager::Log"},
        {"virtual void Suite_Name_Test::TestBody()", L"Suite_Name_Test::TestBody"},
        {"static bool NS::C::Check(int) const", L"NS::C::Check"},
        {"NS::C::C(int)", L"NS::C::C"},
        {"NS::C::~C()", L"NS::C::~C"},
        {"int main()", L"main"},
        {"const wchar_t* NS::Name()", L"NS::Name"},
        {"std::map<int, std::vector<int> > NS::Table<T>::Get(T) [with T = std::pair<int, int>]",
         L"NS::Table<T>::Get"},
        {"std::function<void(int)> NS::Make()", L"NS::Make"},
        {"NS::C::Run()::<lambda(int)>", L"NS::C::Run"},
        {"bool NS::C::operator()(int) const", L"NS::C::operator()"},
        {"bool NS::C::operator<(const NS::C&) const", L"NS::C::operator<"},
        {"NS::C::operator bool() const", L"NS::C::operator bool"},
        {"void {anonymous}::Helper()", L"{anonymous}::Helper"},
        {"", L""},
    };
    for (const auto& c : cases) {
        wchar_t out[256];
        ETWLogging::internal::QualifiedFunctionName(c.pretty, out, 256);
        EXPECT_EQ(std::wstring(c.expected), out) << c.pretty;
    }
    wchar_t small[5];
    EXPECT_EQ(4u, ETWLogging::internal::QualifiedFunctionName("void NS::Long()", small, 5));
    EXPECT_EQ(L"NS::", std::wstring(small));
}

TEST(LogFrontEnd, SourceFileStem) {
    const struct {
        const char* path;
        const wchar_t* expected;
    } cases[] = {
        {"/work/main/plugin/core/Session.cpp", L"Session"},
        {"C:\\src\\Module.Core.cpp", L"Module.Core"},
        {"Header.h", L"Header"},
        {"NoExtension", L"NoExtension"},
        {"dir.d/file", L"file"},
    };
    for (const auto& c : cases) {
        wchar_t out[64];
        ETWLogging::internal::SourceFileStem(c.path, out, 64);
        EXPECT_EQ(std::wstring(c.expected), out) << c.path;
    }
}

}  // namespace
