#include "plugin/core/NuvException.h"

#include "tests/support/LogRecorder.h"
#include "tests/support/FailingNothrowNew.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <climits>
#include <memory>
#include <new>
#include <string>

namespace {

using NuvTest::LoggedLine;
using NuvTest::TakeLoggedLines;

class NuvException : public ::testing::Test {
protected:
    void SetUp() override { TakeLoggedLines(); }

    static void ExpectConstructorLine(int code, const std::wstring& message) {
        const std::vector<LoggedLine> lines = TakeLoggedLines();
        ASSERT_EQ(1u, lines.size());
        EXPECT_EQ(4u, lines[0].level);
        EXPECT_EQ(L"NuvException", lines[0].sourceFile);
        EXPECT_EQ(L"CNuvException::CNuvException", lines[0].function);
        EXPECT_EQ(L"CNuvException( " + std::to_wstring(code) + L", " + message + L" )\r\n", lines[0].text);
    }
};

TEST_F(NuvException, MessageFollowsTheTemplateOfTheNegatedCode) {
    EXPECT_EQ(-1001, CNuvException::kNotInitialized);
    EXPECT_EQ(-1000, CNuvException::kProcessorException);
    const struct {
        CNuvException exception;
        int code;
        const wchar_t* message;
    } cases[] = {
        {CNuvException(-1001), -1001, L"The service is not properly initialized"},
        {CNuvException(-1000, 0xC0000005u, 0xABCDEF01u), -1000, L"Exception 0xC0000005 at 0xABCDEF01"},
        {CNuvException(-1000, 0x80000003u, 0x1Fu), -1000, L"Exception 0x80000003 at 0x0000001F"},
        {CNuvException(-5), -5, L"Exception -5"},
        {CNuvException(0), 0, L"Exception 0"},
        {CNuvException(1001), 1001, L"Exception 1001"},  // only the negated code chooses
        {CNuvException(INT_MIN), INT_MIN, L"Exception -2147483648"},
    };
    std::vector<LoggedLine> lines = TakeLoggedLines();
    ASSERT_EQ(std::size(cases), lines.size());
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        EXPECT_EQ(c.code, c.exception.Code());
        EXPECT_STREQ(c.message, c.exception.Message());
        EXPECT_EQ(std::string(c.message, c.message + std::wcslen(c.message)), c.exception.what());
        EXPECT_EQ(L"CNuvException( " + std::to_wstring(c.code) + L", " + c.message + L" )\r\n", lines[i].text);
    }
}

TEST_F(NuvException, NotInitializedLogsItsConstructorLine) {
    const CNuvException exception(CNuvException::kNotInitialized);
    ExpectConstructorLine(-1001, L"The service is not properly initialized");
}

TEST_F(NuvException, ProcessorExceptionShowsTheLow32BitsOfTheAddress) {
    EXCEPTION_RECORD record = {};
    record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
    record.ExceptionAddress = reinterpret_cast<void*>(static_cast<ULONG_PTR>(0x00007FF6DEADBEEFull));
    const CNuvException exception = CNuvException::FromProcessorException(record);
    EXPECT_EQ(-1000, exception.Code());
    EXPECT_STREQ(L"Exception 0xC0000005 at 0xDEADBEEF", exception.Message());
    ExpectConstructorLine(-1000, L"Exception 0xC0000005 at 0xDEADBEEF");
}

TEST_F(NuvException, CopiesDoNotLog) {
    try {
        throw CNuvException(-1001);
    } catch (const CNuvException& thrown) {
        const CNuvException caught(thrown);
        EXPECT_EQ(-1001, caught.Code());
        EXPECT_STREQ(L"The service is not properly initialized", caught.Message());
        CNuvException copy(caught);
        CNuvException assigned(-7);
        assigned = copy;
        EXPECT_EQ(-1001, assigned.Code());
        EXPECT_STREQ("The service is not properly initialized", assigned.what());
    }
    const std::vector<LoggedLine> lines = TakeLoggedLines();
    ASSERT_EQ(2u, lines.size());  // the throw and the -7, no copy
    EXPECT_EQ(L"CNuvException( -1001, The service is not properly initialized )\r\n", lines[0].text);
    EXPECT_EQ(L"CNuvException( -7, Exception -7 )\r\n", lines[1].text);
}

TEST_F(NuvException, CaughtAsStdExceptionAnswersWhat) {
    try {
        throw CNuvException(-42);
    } catch (const std::exception& caught) {
        EXPECT_STREQ("Exception -42", caught.what());
    }
}

TEST_F(NuvException, WithoutMessageAnswersUnknownException) {
    // Construction must not throw even when the message cannot be allocated.
    std::unique_ptr<CNuvException> templatedOwner, fallbackOwner;
    {
        NuvTest::FailNothrowArrayAllocations failing;
        templatedOwner = std::make_unique<CNuvException>(-1001);
        fallbackOwner = std::make_unique<CNuvException>(-5);
    }
    const CNuvException& templated = *templatedOwner;
    const CNuvException& fallback = *fallbackOwner;

    for (const CNuvException* exception : {&templated, &fallback}) {
        EXPECT_STREQ("<unknown exception>", exception->what());
        EXPECT_STREQ(L"<unknown exception>", exception->Message());
    }
    const std::vector<LoggedLine> lines = TakeLoggedLines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(L"CNuvException( -1001, <unknown exception> )\r\n", lines[0].text);
    EXPECT_EQ(L"CNuvException( -5, <unknown exception> )\r\n", lines[1].text);

    std::unique_ptr<CNuvException> copyOwner;
    {
        NuvTest::FailNothrowArrayAllocations failing;
        copyOwner = std::make_unique<CNuvException>(templated);  // a failed copy has no message either
    }
    const CNuvException& copy = *copyOwner;
    EXPECT_STREQ(L"<unknown exception>", copy.Message());
    EXPECT_EQ(-1001, copy.Code());
}

TEST_F(NuvException, WhatIsMadeOnceAndKept) {
    const CNuvException exception(-1000, 0xC0000094u, 0x401000u);
    const char* const first = exception.what();
    EXPECT_EQ(first, exception.what());  // made once, kept by the object
    EXPECT_STREQ("Exception 0xC0000094 at 0x00401000", first);
}

}  // namespace
