#include "modulefw/Reply.h"

#include "logging/Logging.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <limits>
#include <system_error>

namespace Korin {
namespace {

constexpr std::uint64_t kGraceMs = 1000;
// One wait on the future at a time is bounded so that a huge time-out cannot overflow the
// library's clock arithmetic.
constexpr std::uint64_t kLongestSingleWaitMs = 24 * 60 * 60 * 1000;

static_assert(static_cast<int>(std::errc::operation_canceled) == 105, "bus time-out travels as code 105");
static_assert(static_cast<int>(std::errc::no_message_available) == 120, "other bus failures travel as 120");

std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) noexcept {
    return b > std::numeric_limits<std::uint64_t>::max() - a ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

bool isReady(const std::shared_future<std::shared_ptr<Message>>& reply) {
    return reply.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready;
}

void waitAtMost(const std::shared_future<std::shared_ptr<Message>>& reply, std::uint64_t ms) {
    reply.wait_for(std::chrono::milliseconds(std::min(ms, kLongestSingleWaitMs)));
}

// The generic code itself, not one that merely compares equal to it (a Windows error 105 is not).
bool isBusTimeOut(const std::error_code& code) noexcept {
    return code.category() == std::generic_category() &&
           code.value() == static_cast<int>(std::errc::operation_canceled);
}

// What the failure in a completed future means: only the bus's time-out reads as TimedOut.
ReplyStatus statusOfError(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::system_error& e) {
        return isBusTimeOut(e.code()) ? ReplyStatus::TimedOut : ReplyStatus::Invalid;
    } catch (const std::future_error& e) {
        return isBusTimeOut(e.code()) ? ReplyStatus::TimedOut : ReplyStatus::Invalid;
    } catch (...) {
        return ReplyStatus::Invalid;
    }
}

}  // namespace

Reply::~Reply() = default;

std::uint64_t unbiasedInterruptTimeMs() noexcept {
    ULONGLONG units = 0;  // 100-nanosecond units
    ::QueryUnbiasedInterruptTime(&units);
    return units / 10000;
}

ReplyImpl::ReplyImpl(std::shared_future<std::shared_ptr<Message>> reply, std::uint64_t timeoutMs)
    : m_reply(std::move(reply)),
      m_deadline(saturatingAdd(saturatingAdd(unbiasedInterruptTimeMs(), timeoutMs), kGraceMs)) {}

ReplyStatus ReplyImpl::getStatus() const { return m_status; }

std::shared_ptr<Message> ReplyImpl::getMessage() const {
    return m_status == ReplyStatus::Received ? m_message : nullptr;
}

ReplyStatus ReplyImpl::wait() {
    if (m_status != ReplyStatus::Pending) return m_status;
    m_status = getReplyMessage();
    return m_status;
}

ReplyStatus ReplyImpl::waitFor(const std::uint64_t& timeoutMs) {
    // Decided once: a reply that arrives after a time-out does not turn it into Received.
    if (m_status != ReplyStatus::Pending) return m_status;
    if (!m_reply.valid()) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Reply future is in an invalid state. Returning.");
        m_status = ReplyStatus::Invalid;
        return m_status;
    }
    const std::uint64_t end = saturatingAdd(unbiasedInterruptTimeMs(), timeoutMs);
    while (!isReady(m_reply)) {
        const std::uint64_t now = unbiasedInterruptTimeMs();
        if (now >= end) {
            NUV_LOG(ETWLogging::LOG_WARNING, L"Reply waitFor timed out. Returning.");
            return m_status;
        }
        waitAtMost(m_reply, end - now);
    }
    m_status = getReplyMessage();
    return m_status;
}

ReplyStatus ReplyImpl::getReplyMessage() {
    if (!m_reply.valid()) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Reply future is in an invalid state. Returning.");
        return ReplyStatus::Invalid;
    }
    while (!isReady(m_reply)) {
        const std::uint64_t now = unbiasedInterruptTimeMs();
        if (now >= m_deadline) {
            NUV_LOG(ETWLogging::LOG_ERROR, L"Reply future did not get fulfilled on time. Returning.");
            return ReplyStatus::TimedOut;
        }
        waitAtMost(m_reply, m_deadline - now);
    }
    try {
        m_message = m_reply.get();
    } catch (...) {
        return statusOfError(std::current_exception());
    }
    return m_message ? ReplyStatus::Received : ReplyStatus::Invalid;
}

std::exception_ptr ReplyImpl::makeReplyError(ModuleStatus busStatus) {
    const std::errc code =
        busStatus == MODULE_STATUS_TIMEOUT ? std::errc::operation_canceled : std::errc::no_message_available;
    return std::make_exception_ptr(std::system_error(std::make_error_code(code)));
}

}  // namespace Korin
