#include "modulefw/GuardedCall.h"
#include "modulefw/ModuleStatus.h"

#include "tests/support/LogRecorder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>

namespace {

TEST(ModuleStatus, EveryCodeHasItsName) {
    struct Case {
        std::uint32_t code;  // written out: the value that crosses to the host and the bus
        Korin::ModuleStatus constant;
        const wchar_t* name;
    };
    const Case cases[] = {
        {0x00000000, Korin::MODULE_STATUS_SUCCESS, L"MODULE_STATUS_SUCCESS"},
        {0x80000001, Korin::MODULE_STATUS_NOT_SUPPORTED, L"MODULE_STATUS_NOT_SUPPORTED"},
        {0x80000002, Korin::MODULE_STATUS_UNSUCCESSFUL, L"MODULE_STATUS_UNSUCCESSFUL"},
        {0x80000003, Korin::MODULE_STATUS_BUFFER_TOO_SMALL, L"MODULE_STATUS_BUFFER_TOO_SMALL"},
        {0x80000004, Korin::MODULE_STATUS_NOT_IMPLEMENTED, L"MODULE_STATUS_NOT_IMPLEMENTED"},
        {0x80000005, Korin::MODULE_STATUS_INVALID_BUFFER_SIZE, L"MODULE_STATUS_INVALID_BUFFER_SIZE"},
        {0x80000006, Korin::MODULE_STATUS_DATA_ERROR, L"MODULE_STATUS_DATA_ERROR"},
        {0x80000007, Korin::MODULE_STATUS_INVALID_HANDLE, L"MODULE_STATUS_INVALID_HANDLE"},
        {0x80000008, Korin::MODULE_STATUS_INVALID_PARAMETER, L"MODULE_STATUS_INVALID_PARAMETER"},
        {0x80000009, Korin::MODULE_STATUS_NO_MEMORY, L"MODULE_STATUS_NO_MEMORY"},
        {0x8000000A, Korin::MODULE_STATUS_NOT_FOUND, L"MODULE_STATUS_NOT_FOUND"},
        {0x8000000B, Korin::MODULE_STATUS_ON_DEMAND_ENABLED, L"MODULE_STATUS_ON_DEMAND_ENABLED"},
        {0x8000000C, Korin::MODULE_STATUS_PROPERTY_NOT_FOUND, L"MODULE_STATUS_PROPERTY_NOT_FOUND"},
        {0x8000000D, Korin::MODULE_STATUS_TIMEOUT, L"MODULE_STATUS_TIMEOUT"},
        {0x8000000E, Korin::MODULE_STATUS_NO_SUBSCRIBERS, L"MODULE_STATUS_NO_SUBSCRIBERS"},
        {0x8000000F, Korin::MODULE_STATUS_UNKNOWN_EXCEPTION, L"MODULE_STATUS_UNKNOWN_EXCEPTION"},
        {0x80000010, Korin::MODULE_STATUS_DUPLICATE_MODULE, L"MODULE_STATUS_DUPLICATE_MODULE"},
        {0x80000011, Korin::MODULE_STATUS_PARTIAL_SUCCESS, L"MODULE_STATUS_PARTIAL_SUCCESS"},
        {0x80000012, Korin::MODULE_STATUS_UWP_APP_NOT_INSTALLED, L"MODULE_STATUS_UWP_APP_NOT_INSTALLED"},
        {0x80000013, Korin::MODULE_STATUS_APP_SERVICE_UNAVAILABLE, L"MODULE_STATUS_APP_SERVICE_UNAVAILABLE"},
        {0x80000014, Korin::MODULE_STATUS_APP_SERVICE_UNAUTHORIZED, L"MODULE_STATUS_APP_SERVICE_UNAUTHORIZED"},
        {0x80000015, Korin::MODULE_STATUS_SESSION_INVALID, L"MODULE_STATUS_SESSION_INVALID"},
        {0x800000FF, Korin::MODULE_STATUS_INVALID_STATE, L"MODULE_STATUS_INVALID_STATE"},
        // Not in the table.
        {0x00000001, 0x00000001, L"MODULE_STATUS_UNKNOWN"},
        {0x80000000, 0x80000000, L"MODULE_STATUS_UNKNOWN"},
        {0x80000016, 0x80000016, L"MODULE_STATUS_UNKNOWN"},
        {0x800000FE, 0x800000FE, L"MODULE_STATUS_UNKNOWN"},
        {0x80000100, 0x80000100, L"MODULE_STATUS_UNKNOWN"},
        {0x7FFFFFFF, 0x7FFFFFFF, L"MODULE_STATUS_UNKNOWN"},
        {0xFFFFFFFF, 0xFFFFFFFF, L"MODULE_STATUS_UNKNOWN"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.code);
        EXPECT_EQ(c.code, c.constant);
        const wchar_t* name = Korin::getModuleStatusString(c.code);
        ASSERT_NE(nullptr, name);
        EXPECT_EQ(std::wstring(c.name), name);
    }
}

struct NotAnException {};

TEST(GuardedCall, ReturnsTheBodysStatusOrUnknownExceptionWhenItThrows) {
    EXPECT_EQ(0u, Korin::internal::guardedCall([] { return Korin::MODULE_STATUS_SUCCESS; }));
    EXPECT_EQ(0x8000000Au, Korin::internal::guardedCall([] { return Korin::MODULE_STATUS_NOT_FOUND; }));
    // A status the table does not know passes through unchanged.
    EXPECT_EQ(0x12345678u, Korin::internal::guardedCall([] { return 0x12345678u; }));

    NuvTest::TakeLoggedLines();
    int ran = 0;
    const auto throwing = [&ran](auto thrower) {
        return Korin::internal::guardedCall([&]() -> Korin::ModuleStatus {
            ++ran;
            thrower();
            return Korin::MODULE_STATUS_SUCCESS;
        });
    };
    EXPECT_EQ(0x8000000Fu, throwing([] { throw std::runtime_error("boom"); }));
    EXPECT_EQ(0x8000000Fu, throwing([] { throw std::bad_alloc(); }));
    EXPECT_EQ(0x8000000Fu, throwing([] { throw 42; }));
    EXPECT_EQ(0x8000000Fu, throwing([] { throw NotAnException{}; }));
    EXPECT_EQ(4, ran);

    // Each one caught is logged as an error, with what it said when it says anything.
    const auto lines = NuvTest::TakeLoggedLines();
    ASSERT_EQ(4u, lines.size());
    for (const auto& line : lines) EXPECT_EQ(4u, line.level);
    EXPECT_NE(std::wstring::npos, lines[0].text.find(L"boom")) << lines[0].text;
}

}  // namespace
