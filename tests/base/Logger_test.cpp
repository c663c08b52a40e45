#include "base/Logging/Logger.h"

#include "base/Format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using Tessal::CLogger;

struct Received {
    DWORD type;
    std::wstring sourceFile;
    std::wstring function;
    std::wstring message;
};

class RecordingHandler : public Tessal::ILoggingHandler {
public:
    void Handle(DWORD type, const wchar_t* sourceFile, const wchar_t* function, int, const wchar_t* message) override {
        calls.push_back({type, sourceFile, function, message});
    }
    std::vector<Received> calls;
};

std::wstring Hex(const void* p) {
    return Tessal::Format(L"0x%08X", static_cast<unsigned int>(reinterpret_cast<std::uintptr_t>(p)));
}

bool Contains(const std::wstring& text, const std::wstring& part) { return text.find(part) != std::wstring::npos; }

// The registration is process-wide: every test starts and ends with nothing registered.
class LoggerCore : public ::testing::Test {
protected:
    void SetUp() override { Clear(); }
    void TearDown() override { Clear(); }
    static void Clear() {
        if (auto* h = CLogger::RegisteredHandler()) CLogger::UnregisterHandler(h);
    }
    RecordingHandler a, b;
};

TEST_F(LoggerCore, RegisteringTheSameHandlerTwiceSucceeds) {
    EXPECT_EQ(Tessal::RegisterLoggingHandler(&a), 0u);
    EXPECT_EQ(Tessal::RegisterLoggingHandler(&a), 0u);
    EXPECT_EQ(CLogger::RegisteredHandler(), &a);
    EXPECT_TRUE(a.calls.empty());
}

TEST_F(LoggerCore, ACallersHandlerIsNotReplacedAndIsToldWhy) {
    ASSERT_EQ(CLogger::RegisterHandler(&a), 0u);
    EXPECT_EQ(CLogger::RegisterHandler(&b), 5023u);
    EXPECT_EQ(CLogger::RegisteredHandler(), &a);
    ASSERT_EQ(a.calls.size(), 1u);
    EXPECT_EQ(a.calls[0].type, 2u);
    EXPECT_EQ(a.calls[0].sourceFile, L"Logging\\internal_logging");
    EXPECT_EQ(a.calls[0].function, L"Tessal::CLogger::RegisterHandler");
    EXPECT_TRUE(Contains(a.calls[0].message,
                         L": Registered Logging Handler " + Hex(&a) + L" cannot be replaced with " + Hex(&b)));
    EXPECT_TRUE(b.calls.empty());
}

TEST_F(LoggerCore, UnregisteringAnotherHandlerTellsBothAndKeepsTheRegisteredOne) {
    ASSERT_EQ(CLogger::RegisterHandler(&a), 0u);
    EXPECT_EQ(CLogger::UnregisterHandler(&b), 5023u);
    EXPECT_EQ(CLogger::RegisteredHandler(), &a);
    const std::wstring expected = L": Failed to Unregister Logging handler (requested handler " + Hex(&b) +
                                  L" != registered handler " + Hex(&a) + L")";
    for (RecordingHandler* h : {&a, &b}) {
        ASSERT_EQ(h->calls.size(), 1u);
        EXPECT_EQ(h->calls[0].sourceFile, L"Logging\\internal_logging");
        EXPECT_EQ(h->calls[0].function, L"Tessal::CLogger::UnregisterHandler");
        EXPECT_TRUE(Contains(h->calls[0].message, expected)) << h->calls[0].message;
    }
}

TEST_F(LoggerCore, UnregisteringWithNothingRegisteredTellsTheRequesterOnly) {
    EXPECT_EQ(CLogger::UnregisterHandler(&b), 5023u);
    ASSERT_EQ(b.calls.size(), 1u);
    EXPECT_TRUE(Contains(b.calls[0].message,
                         L": Request to Unregister Logging handler " + Hex(&b) + L", but none are registered"));
    EXPECT_EQ(CLogger::RegisteredHandler(), nullptr);
}

TEST_F(LoggerCore, UnregisteringTheRegisteredHandlerClearsIt) {
    ASSERT_EQ(CLogger::RegisterHandler(&a), 0u);
    EXPECT_EQ(CLogger::UnregisterHandler(&a), 0u);
    EXPECT_EQ(CLogger::RegisteredHandler(), nullptr);
    EXPECT_TRUE(a.calls.empty());
}

TEST_F(LoggerCore, NullHandlersAreRefusedAndReportedToTheDefaultHandler) {
    EXPECT_EQ(CLogger::RegisterHandler(nullptr), 87u);
    // Reporting installed the default handler, which a caller's handler then replaces silently.
    EXPECT_EQ(CLogger::RegisteredHandler(), &CLogger::DefaultHandler());
    EXPECT_EQ(CLogger::UnregisterHandler(nullptr), 87u);
    EXPECT_EQ(CLogger::RegisterHandler(&a), 0u);
    EXPECT_EQ(CLogger::RegisteredHandler(), &a);
    EXPECT_TRUE(a.calls.empty());
}

TEST_F(LoggerCore, FirstLogWithoutHandlerInstallsTheDefaultHandler) {
    CLogger::Log(1, L"file.cpp", L"Fn", 1, L"hello %s", L"world");
    EXPECT_EQ(CLogger::RegisteredHandler(), &CLogger::DefaultHandler());
}

TEST_F(LoggerCore, LogFormatsWithWideStringsAndPassesTheCallersLocation) {
    ASSERT_EQ(CLogger::RegisterHandler(&a), 0u);
    TESSAL_LOG(Tessal::LOG_TYPE_INFO, L"%s has %d items (%hs)", L"list", 3, "narrow");
    ASSERT_EQ(a.calls.size(), 1u);
    EXPECT_EQ(a.calls[0].type, 1u);
    EXPECT_EQ(a.calls[0].message, L"list has 3 items (narrow)");
    EXPECT_TRUE(Contains(a.calls[0].function, L"TestBody")) << a.calls[0].function;
}

TEST(DefaultLoggingHandler, FormatsOneDebuggerLinePerType) {
    struct Case {
        DWORD type;
        const wchar_t* expected;
    } const cases[] = {
        {0, L""},
        {1, L"src.cpp(12): [INFO]: [Ns::Fn]: text\n"},
        {2, L"src.cpp(12): [ERROR]: [Ns::Fn]: text\n"},
        {7, L"src.cpp(12): [UNKNOWN]: [Ns::Fn]: text\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Tessal::CDefaultLoggingHandler::FormatLine(c.type, L"src.cpp", L"Ns::Fn", 12, L"text"), c.expected)
            << "type " << c.type;
    }
}

}  // namespace
