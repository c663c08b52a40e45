// Every exception becomes its documented HRESULT at the COM boundary, and is logged once.
#include "nuvutil/com/ComBoundary.h"
#include "nuvutil/com/HResultError.h"

#include "base/Logging/Logger.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace {

using NuvCom::ComBoundary;

class CRecordingHandler : public Tessal::ILoggingHandler {
public:
    void Handle(DWORD type, const wchar_t*, const wchar_t*, int, const wchar_t* message) override {
        messages.push_back({type, message});
    }
    struct Entry {
        DWORD type;
        std::wstring message;
    };
    std::vector<Entry> messages;
};

class ComBoundaryTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0u, Tessal::RegisterLoggingHandler(&m_log)); }
    void TearDown() override { Tessal::UnregisterLoggingHandler(&m_log); }

    CRecordingHandler m_log;
};

struct MappingCase {
    const char* name;
    std::function<void()> raise;
    HRESULT expected;
};

TEST_F(ComBoundaryTest, MapsEachExceptionKindAndLogsIt) {
    const MappingCase cases[] = {
        {"bad_alloc", [] { throw std::bad_alloc(); }, E_OUTOFMEMORY},
        {"bad_array_new_length", [] { throw std::bad_array_new_length(); }, E_OUTOFMEMORY},
        {"CHResultError", [] { throw NuvCom::CHResultError(E_ACCESSDENIED, "denied"); }, E_ACCESSDENIED},
        {"CHResultError with a success code", [] { throw NuvCom::CHResultError(S_FALSE, "odd"); }, E_FAIL},
        {"system_error, system category",
         [] { throw std::system_error(ERROR_FILE_NOT_FOUND, std::system_category(), "open"); },
         HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)},
        {"system_error, system category, no code", [] { throw std::system_error(0, std::system_category()); },
         E_FAIL},
        {"system_error, generic category", [] { throw std::system_error(ENOENT, std::generic_category()); },
         E_FAIL},
        {"invalid_argument", [] { throw std::invalid_argument("bad"); }, E_INVALIDARG},
        {"other logic_error", [] { throw std::out_of_range("far"); }, E_FAIL},
        {"runtime_error", [] { throw std::runtime_error("broken"); }, E_FAIL},
        {"not a std::exception", [] { throw 42; }, E_UNEXPECTED},
    };
    for (const MappingCase& c : cases) {
        SCOPED_TRACE(c.name);
        m_log.messages.clear();
        const HRESULT hr = ComBoundary(L"Where::It::Happened", [&]() -> HRESULT {
            c.raise();
            return S_OK;
        });
        EXPECT_EQ(c.expected, hr);
        ASSERT_EQ(1u, m_log.messages.size());
        EXPECT_EQ(Tessal::LOG_TYPE_ERROR, m_log.messages[0].type);
        EXPECT_NE(std::wstring::npos, m_log.messages[0].message.find(L"Where::It::Happened"))
            << m_log.messages[0].message;
    }
}

TEST_F(ComBoundaryTest, LogsTheExceptionText) {
    ComBoundary(L"Here", []() -> HRESULT { throw std::runtime_error("disk on fire"); });
    ASSERT_EQ(1u, m_log.messages.size());
    EXPECT_NE(std::wstring::npos, m_log.messages[0].message.find(L"disk on fire")) << m_log.messages[0].message;
}

TEST_F(ComBoundaryTest, PassesTheBodyResultThroughSilently) {
    EXPECT_EQ(S_FALSE, ComBoundary(L"Here", [] { return S_FALSE; }));
    EXPECT_EQ(E_NOTIMPL, ComBoundary(L"Here", [] { return E_NOTIMPL; }));
    EXPECT_TRUE(m_log.messages.empty());
}

TEST_F(ComBoundaryTest, OutsideACatchBlockIsUnexpected) {
    EXPECT_EQ(E_UNEXPECTED, NuvCom::HResultFromCurrentException(L"Here"));
}

}  // namespace
