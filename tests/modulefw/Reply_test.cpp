#include "modulefw/Reply.h"

#include "tests/support/LogRecorder.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <functional>
#include <future>
#include <limits>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

namespace {

using Korin::Message;
using Korin::ReplyImpl;
using Korin::ReplyStatus;
using MessagePtr = std::shared_ptr<Message>;

// Far above any deadline these tests set: only a wait that never ends fails it.
constexpr std::uint64_t kGenerousMs = 15000;

std::size_t CountLines(const std::vector<NuvTest::LoggedLine>& lines, DWORD level, const wchar_t* text) {
    std::size_t count = 0;
    for (const auto& line : lines) {
        if (line.level == level && line.text.find(text) != std::wstring::npos) ++count;
    }
    return count;
}

class ReplyTest : public testing::Test {
protected:
    void SetUp() override { NuvTest::TakeLoggedLines(); }
};

TEST_F(ReplyTest, CompletedFutureDecidesTheStatusWithoutWaiting) {
    const auto message = std::make_shared<Message>(L"Reply", L"NUV", L"{}");
    struct Case {
        const char* what;
        std::function<void(std::promise<MessagePtr>&)> complete;
        ReplyStatus status;
    };
    const auto fail = [](std::exception_ptr e) { return [e](std::promise<MessagePtr>& p) { p.set_exception(e); }; };
    const Case cases[] = {
        {"message", [&](std::promise<MessagePtr>& p) { p.set_value(message); }, ReplyStatus::Received},
        {"no message", [](std::promise<MessagePtr>& p) { p.set_value(nullptr); }, ReplyStatus::Invalid},
        {"bus time-out", fail(ReplyImpl::makeReplyError(Korin::MODULE_STATUS_TIMEOUT)), ReplyStatus::TimedOut},
        {"other bus failure", fail(ReplyImpl::makeReplyError(Korin::MODULE_STATUS_UNSUCCESSFUL)), ReplyStatus::Invalid},
        {"no subscribers", fail(ReplyImpl::makeReplyError(Korin::MODULE_STATUS_NO_SUBSCRIBERS)), ReplyStatus::Invalid},
        {"generic 105", fail(std::make_exception_ptr(std::system_error(105, std::generic_category()))),
         ReplyStatus::TimedOut},
        {"generic 120", fail(std::make_exception_ptr(std::system_error(120, std::generic_category()))),
         ReplyStatus::Invalid},
        {"Windows error 105", fail(std::make_exception_ptr(std::system_error(105, std::system_category()))),
         ReplyStatus::Invalid},
        {"other exception", fail(std::make_exception_ptr(std::runtime_error("x"))), ReplyStatus::Invalid},
        {"abandoned", [](std::promise<MessagePtr>& p) { std::promise<MessagePtr>().swap(p); }, ReplyStatus::Invalid},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::promise<MessagePtr> promise;
        const std::shared_future<MessagePtr> future = promise.get_future().share();
        c.complete(promise);

        // Time-out 0, as a completion callback gets it: decided at once, far from the deadline.
        ReplyImpl waited(future, 0);
        EXPECT_EQ(ReplyStatus::Pending, waited.getStatus());
        EXPECT_EQ(c.status, waited.wait());
        EXPECT_LT(Korin::unbiasedInterruptTimeMs(), waited.getDeadline());
        EXPECT_EQ(c.status, waited.getStatus());
        EXPECT_EQ(c.status, waited.wait());
        EXPECT_EQ(c.status == ReplyStatus::Received ? message : nullptr, waited.getMessage());

        ReplyImpl polled(future, 0);
        EXPECT_EQ(c.status, polled.waitFor(0));
        EXPECT_EQ(c.status, polled.getStatus());
    }
    EXPECT_TRUE(NuvTest::TakeLoggedLines().empty());
}

TEST_F(ReplyTest, BusStatusTravelsAsGenericCode105OrElse120) {
    struct Case {
        Korin::ModuleStatus busStatus;
        int code;
    };
    const Case cases[] = {{0x8000000D, 105}, {0x80000002, 120}, {0x8000000E, 120}, {0x8000000F, 120}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.busStatus);
        try {
            std::rethrow_exception(ReplyImpl::makeReplyError(c.busStatus));
        } catch (const std::system_error& e) {
            EXPECT_TRUE(e.code().category() == std::generic_category());
            EXPECT_EQ(c.code, e.code().value());
        } catch (...) {
            ADD_FAILURE() << "not a system_error";
        }
    }
}

TEST_F(ReplyTest, WaitWithoutReplyGivesUpAtTheDeadlineNotBefore) {
    std::promise<MessagePtr> promise;  // kept, never completed
    const std::uint64_t before = Korin::unbiasedInterruptTimeMs();
    ReplyImpl reply(promise.get_future().share(), 200);
    EXPECT_GE(reply.getDeadline(), before + 200 + 1000);

    EXPECT_EQ(ReplyStatus::TimedOut, reply.wait());
    const std::uint64_t after = Korin::unbiasedInterruptTimeMs();
    EXPECT_GE(after, reply.getDeadline());
    EXPECT_LT(after, before + kGenerousMs);
    EXPECT_EQ(1u, CountLines(NuvTest::TakeLoggedLines(), 4, L"Reply future did not get fulfilled on time. Returning."));

    // Decided: a late reply changes nothing, and asking again neither waits nor logs.
    promise.set_value(std::make_shared<Message>(L"late", L"NUV", L"{}"));
    EXPECT_EQ(ReplyStatus::TimedOut, reply.wait());
    EXPECT_EQ(ReplyStatus::TimedOut, reply.waitFor(0));
    EXPECT_EQ(nullptr, reply.getMessage());
    EXPECT_TRUE(NuvTest::TakeLoggedLines().empty());
}

TEST_F(ReplyTest, WaitForThatRunsOutLeavesTheReplyPending) {
    std::promise<MessagePtr> promise;
    ReplyImpl reply(promise.get_future().share(), 60000);
    const std::uint64_t before = Korin::unbiasedInterruptTimeMs();
    EXPECT_EQ(ReplyStatus::Pending, reply.waitFor(100));
    EXPECT_GE(Korin::unbiasedInterruptTimeMs(), before + 100);
    EXPECT_EQ(ReplyStatus::Pending, reply.getStatus());
    EXPECT_EQ(1u, CountLines(NuvTest::TakeLoggedLines(), 2, L"Reply waitFor timed out. Returning."));

    // Arrived but not yet read: still nothing to hand out.
    const auto message = std::make_shared<Message>(L"Reply", L"NUV", L"{}");
    promise.set_value(message);
    EXPECT_EQ(nullptr, reply.getMessage());
    EXPECT_EQ(ReplyStatus::Pending, reply.getStatus());

    EXPECT_EQ(ReplyStatus::Received, reply.wait());
    EXPECT_EQ(message, reply.getMessage());
}

TEST_F(ReplyTest, ReplyArrivingDuringTheWaitEndsItBeforeTheDeadline) {
    // No upper bound on the time-out either: the deadline saturates instead of wrapping.
    for (const std::uint64_t timeout : {std::uint64_t{30000}, std::numeric_limits<std::uint64_t>::max()}) {
        for (const bool useWaitFor : {false, true}) {
            SCOPED_TRACE(testing::Message() << timeout << (useWaitFor ? " waitFor" : " wait"));
            std::promise<MessagePtr> promise;
            ReplyImpl reply(promise.get_future().share(), timeout);
            const auto message = std::make_shared<Message>(L"Reply", L"NUV", L"{}");
            std::thread busThread([&] { promise.set_value(message); });
            const ReplyStatus status = useWaitFor ? reply.waitFor(timeout) : reply.wait();
            busThread.join();
            EXPECT_EQ(ReplyStatus::Received, status);
            EXPECT_LT(Korin::unbiasedInterruptTimeMs(), reply.getDeadline());
            EXPECT_EQ(message, reply.getMessage());
        }
    }
}

TEST_F(ReplyTest, InvalidFutureIsInvalidAtOnce) {
    ReplyImpl waited(std::shared_future<MessagePtr>(), 60000);
    EXPECT_EQ(ReplyStatus::Invalid, waited.wait());
    EXPECT_EQ(ReplyStatus::Invalid, waited.getStatus());
    EXPECT_EQ(ReplyStatus::Invalid, waited.wait());  // decided: not logged again

    ReplyImpl polled(std::shared_future<MessagePtr>(), 60000);
    EXPECT_EQ(ReplyStatus::Invalid, polled.waitFor(60000));
    EXPECT_EQ(ReplyStatus::Invalid, polled.getStatus());
    EXPECT_EQ(nullptr, polled.getMessage());

    EXPECT_EQ(2u, CountLines(NuvTest::TakeLoggedLines(), 4, L"Reply future is in an invalid state. Returning."));
}

}  // namespace
