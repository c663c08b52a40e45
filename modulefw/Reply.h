#pragma once
// The answer to a request: a future the bus client completes from the bus's reply thread, read by
// one waiting thread with a deadline of its own.

#include "modulefw/Message.h"
#include "modulefw/ModuleStatus.h"

#include <cstdint>
#include <exception>
#include <future>
#include <memory>

namespace Korin {

enum class ReplyStatus : std::int32_t {
    Received = 0,
    Pending = 1,
    TimedOut = 2,
    Invalid = 3,
};

class Reply {
public:
    virtual ~Reply();
    // Without waiting.
    virtual ReplyStatus getStatus() const = 0;
    // The reply once the status is Received; empty before that, even when it has arrived.
    virtual std::shared_ptr<Message> getMessage() const = 0;
    // Until the reply comes or the deadline passes; a decided status is returned at once.
    virtual ReplyStatus wait() = 0;
    // At most `timeoutMs`; Pending (unchanged) when the reply is not there by then.
    virtual ReplyStatus waitFor(const std::uint64_t& timeoutMs) = 0;
};

class ReplyImpl : public Reply {
public:
    // The deadline counts from now: `timeoutMs` plus a second's grace for the bus's own report.
    ReplyImpl(std::shared_future<std::shared_ptr<Message>> reply, std::uint64_t timeoutMs);

    ReplyStatus getStatus() const override;
    std::shared_ptr<Message> getMessage() const override;
    ReplyStatus wait() override;
    ReplyStatus waitFor(const std::uint64_t& timeoutMs) override;

    std::uint64_t getDeadline() const noexcept { return m_deadline; }

    // The error a requester puts in the reply's promise when the bus answers with a failure:
    // generic code 105 (operation canceled) for MODULE_STATUS_TIMEOUT, which reads as TimedOut;
    // generic code 120 (no message available) for any other, which reads as Invalid.
    static std::exception_ptr makeReplyError(ModuleStatus busStatus);

private:
    ReplyStatus getReplyMessage();

    ReplyStatus m_status = ReplyStatus::Pending;
    std::shared_ptr<Message> m_message;
    std::shared_future<std::shared_ptr<Message>> m_reply;
    std::uint64_t m_deadline;
};

// Milliseconds on the unbiased interrupt-time clock, which stands still while the machine sleeps.
std::uint64_t unbiasedInterruptTimeMs() noexcept;

}  // namespace Korin
