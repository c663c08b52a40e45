#pragma once
// The cloud reputation client: asks the reputation service (HTTPS POST to "https://" host "/1",
// signed with HMAC-SHA1) for the reputation and web categories of a URL, keeps answers in the URL
// response cache, counts its successful look-ups and reports their average response time once a
// day from a thread of its own.

#include "plugin/filter/reputation/MaskedStorage.h"
#include "plugin/filter/reputation/TyvoErrors.h"
#include "plugin/filter/reputation/UrlResponseCache.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <system_error>

namespace NNUV {

// The service's host (with ":port" when not 443): the affiliate setting "ReputationHost", else
// kDefaultReputationHost. Read once per process.
inline constexpr wchar_t kDefaultReputationHost[] = L"reputation.oberix.invalid";
std::wstring ConfiguredReputationHost();
// The next ConfiguredReputationHost reads the setting again (tests, a restarted plug-in).
void ForgetReputationHost();

// The settings of one request, built fresh by each caller.
class CTyvoRequestSettings {
public:
    enum Mode : std::int32_t { kQuery = 0, kStatistics = 1 };

    CTyvoRequestSettings();

    std::wstring m_host;
    std::int32_t m_endpoint = 1;
    std::string m_keyId = "xo-tandem-gravel";
    NNUVExternal::CMaskedStorage m_signingKey;
    std::wstring m_productName = L"Parental Control";
    std::wstring m_clientId;           // empty: the client id of the PC
    std::uint64_t m_bodyLimit = 16384;
    std::int32_t m_mode = kQuery;
};

// Text -> Base64 of its UTF-8 bytes; empty for an empty text or a failed conversion.
namespace NNUVInternal {
void GetBase64EncodedString(const std::wstring& text, std::wstring& out);
}

// The statistics thread's timing, and a look at its reports for tests; the defaults are the
// product's.
struct CTyvoStatsOptions {
    std::int64_t reportPeriodMs = 86400000;  // from the last report to the next
    std::uint32_t stopCheckMs = 1000;        // before a due report: a last chance to see a stop
    std::uint32_t backOffMs = 10000;         // after a failed report
    // A stop waits this long for the thread, then leaves it to end by itself.
    std::uint32_t stopLimitMs = 10000;
    // On the thread after each report, with its outcome (before the back-off of a failed one).
    std::function<void(const std::error_code&)> afterReport;
};

class CTYVOHandler {
public:
    class CTYVOHandlerPimpl;

    // Loads the stored statistics and starts the statistics thread.
    CTYVOHandler();
    explicit CTYVOHandler(CTyvoStatsOptions statsOptions);
    // Stops the statistics thread when that was not done, stores the statistics (not when the
    // thread had to be left running: it may hold the lock they are read under).
    ~CTYVOHandler();
    CTYVOHandler(const CTYVOHandler&) = delete;
    CTYVOHandler& operator=(const CTYVOHandler&) = delete;

    // The outcome is in `error`: value 0 of the reputation category with the answer in `result`,
    // else a failure (result untouched). `processPath`: the executable of the process that made
    // the request, or empty.
    void GetUrlReputation(const CTyvoRequestSettings& settings, const wchar_t* url, URLRespResult& result,
                          std::error_code& error, const wchar_t* processPath);
    // Stops the statistics thread and joins it. Past the options' stop limit the thread is left to
    // end by itself (logged): it keeps the client's state and this DLL until it does, and sends
    // nothing more.
    void TerminateTYVOStats();
    // A request under way ends at once (cancelled), and no new one is sent; cached answers are
    // still given. Safe from any thread, before anything waits for the threads that classify.
    void Cancel() noexcept;

    // For tests: the counters of successful requests.
    std::int32_t TotalRequests() const;
    std::int32_t TotalResponseTimeMs() const;
    std::int64_t LastReportTimeMs() const;

private:
    // Shared with the statistics thread, which may outlive this object.
    std::shared_ptr<CTYVOHandlerPimpl> m_pimpl;
};

}  // namespace NNUV
