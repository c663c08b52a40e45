#pragma once
// The reputation client's state and its parts: request building, the answer's continuations and
// the statistics thread, each in a file of its own.

#include "plugin/filter/reputation/TyvoHandler.h"

#include "base/Sync.h"
#include "base/UniqueHandle.h"
#include "nuvutil/QvThread.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include <cpprest/http_client.h>

namespace NNUV {

// Shared by the caller and the continuations of one request.
struct CTYVOResponseContainer {
    std::int32_t rep = 0;
    std::vector<std::int32_t> cat;
    std::error_code error = NoAnswer();
};

namespace NNUVInternal {
// The continuation that receives the response of a sent request (TyvoResponse.cpp).
void OnTyvoResponse(pplx::task<web::http::http_response> sent, std::int64_t requestId,
                    const std::shared_ptr<CTYVOResponseContainer>& record, std::int32_t mode);
// SHA-256 of a file as 64 lowercase hex digits; the digest of nothing when it cannot be read.
std::wstring FileSha256(const std::wstring& path);
// Milliseconds since 1970-01-01 UTC.
std::int64_t NowMs();
// Tests fix the 8 bytes of the request id (null: the random source); false: no id.
using RandomSource = bool (*)(std::uint8_t* bytes);
void SetRandomSourceForTests(RandomSource source) noexcept;
}  // namespace NNUVInternal

class CTYVOHandler::CTYVOHandlerPimpl : public std::enable_shared_from_this<CTYVOHandlerPimpl> {
public:
    explicit CTYVOHandlerPimpl(CTyvoStatsOptions statsOptions);

    void GetUrlReputation(const CTyvoRequestSettings& settings, const wchar_t* url, URLRespResult& result,
                          std::error_code& error, const wchar_t* processPath);
    // Built: true with the signed request; false when it must not be sent.
    web::http::http_request CreateRequest(const CTyvoRequestSettings& settings, std::int64_t& requestId,
                                          const wchar_t* url, const wchar_t* processPath, bool& built);

    void ReadTYVOStats();
    void StoreTYVOStats();
    // The thread co-owns this object: TerminateTYVOStats, which the handler's destructor calls,
    // lets go of the thread again.
    void StartStatsThread();
    void TerminateTYVOStats();
    // On the statistics thread: until a stop, each report when it is due.
    void RunStats(HANDLE stop);

    Tessal::CCriticalSection m_lock{4000};
    std::int32_t m_pTotalTYVORespTime = 0;
    std::int32_t m_pTotalTYVOReq = 0;
    std::int64_t m_lastReportMs = 0;

    const CTyvoStatsOptions m_statsOptions;
    Tessal::CCriticalSection m_statsThreadLock;  // m_statsThread only; never held while waiting
    std::shared_ptr<CQvThread> m_statsThread;
    std::atomic<bool> m_statsThreadLeft{false};  // a stop gave up on it

    void Cancel() noexcept;

    pplx::cancellation_token_source m_cancel;
    std::atomic<bool> m_cancelled{false};
    Tessal::UniqueHandle m_cancelEvent;  // set with m_cancel
};

}  // namespace NNUV
