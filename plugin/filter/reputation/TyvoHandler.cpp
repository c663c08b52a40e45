#include "plugin/filter/reputation/TyvoHandlerPimpl.h"

#include "Shared/AffiliateSettings.h"
#include "logging/Logging.h"
#include "nuvutil/Base64.h"
#include "nuvutil/com/Module.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>

namespace NNUV {
namespace {

// Beyond the HTTP library's 30-second time-out.
constexpr DWORD kAnswerLimitMs = 40000;

std::mutex g_hostLock;
std::wstring g_host;

double CounterFrequency() {
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    return static_cast<double>(frequency.QuadPart);
}

std::int64_t CounterNow() {
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    return now.QuadPart;
}

// The module lock of one request: the continuations may outlive a cancelled wait, so the module
// stays loaded until the last of them has run. Shared by the caller and the continuations; the
// last continuation releases it, and whichever share goes last releases it when that never ran
// (the request or its continuations could not be made).
class CRequestModuleLock {
public:
    CRequestModuleLock() noexcept { NuvCom::CModule::Lock(); }
    ~CRequestModuleLock() { Release(); }
    CRequestModuleLock(const CRequestModuleLock&) = delete;
    CRequestModuleLock& operator=(const CRequestModuleLock&) = delete;

    void Release() noexcept {
        if (!m_released.exchange(true)) NuvCom::CModule::Unlock();
    }

private:
    std::atomic<bool> m_released{false};
};

}  // namespace

std::wstring ConfiguredReputationHost() {
    std::lock_guard<std::mutex> lock(g_hostLock);
    if (g_host.empty()) {
        std::wstring host;
        CAffiliateSettings settings;
        g_host = settings.ReadString(L"ReputationHost", host) && !host.empty() ? host : kDefaultReputationHost;
    }
    return g_host;
}

void ForgetReputationHost() {
    std::lock_guard<std::mutex> lock(g_hostLock);
    g_host.clear();
}

CTyvoRequestSettings::CTyvoRequestSettings() : m_host(ConfiguredReputationHost()) {}

namespace NNUVInternal {

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void GetBase64EncodedString(const std::wstring& text, std::wstring& out) {
    out.clear();
    if (text.empty()) return;
    try {
        const int length = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                                 nullptr, nullptr);
        if (length <= 0) throw std::runtime_error("the text is not valid UTF-16");
        std::string utf8(static_cast<std::size_t>(length), '\0');
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &utf8[0], length, nullptr,
                              nullptr);
        std::string encoded(static_cast<std::size_t>(Base64EncodedLength(utf8.size())), '\0');
        const auto written = Base64Encode(utf8.data(), utf8.size(), &encoded[0], encoded.size());
        if (written == 0) throw std::runtime_error("Base64 encoding failed");
        out.assign(encoded.begin(), encoded.begin() + static_cast<std::ptrdiff_t>(written - 1));
    } catch (const std::exception& error) {
        out.clear();
        NUV_LOG(ETWLogging::LOG_ERROR, L"Error converting string to base64 string. Error %hs", error.what());
    } catch (...) {
        out.clear();
        NUV_LOG(ETWLogging::LOG_ERROR, L"Unknown error while converting string to base64 string.");
    }
}

}  // namespace NNUVInternal

CTYVOHandler::CTYVOHandlerPimpl::CTYVOHandlerPimpl(CTyvoStatsOptions statsOptions)
    : m_statsOptions(std::move(statsOptions)), m_cancelEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (!m_cancelEvent) throw std::runtime_error("no event for the reputation client");
}

void CTYVOHandler::CTYVOHandlerPimpl::GetUrlReputation(const CTyvoRequestSettings& settings, const wchar_t* url,
                                                      URLRespResult& result, std::error_code& error,
                                                      const wchar_t* processPath) {
    Tessal::CAutoLock lock(m_lock);
    UrlResponseCache::StartPruneThread();
    const std::wstring key = url != nullptr ? url : L"";
    if (settings.m_mode == CTyvoRequestSettings::kQuery && UrlResponseCache::Find(key, result)) {
        error = MakeTyvoError(kTyvoSuccess);
        return;
    }
    if (m_cancelled.load()) {
        // Shutting down: nothing more goes out.
        error = MakeTyvoError(kCppTaskCancelled);
        return;
    }
    std::int64_t requestId = 0;
    bool built = false;
    web::http::http_request request = CreateRequest(settings, requestId, url, processPath, built);
    if (!built) return;

    auto record = std::make_shared<CTYVOResponseContainer>();
    const std::int32_t mode = settings.m_mode;
    const std::int64_t start = CounterNow();
    try {
        // Taken first: whatever throws from here on gives it back as it unwinds.
        const auto moduleLock = std::make_shared<CRequestModuleLock>();
        // The address is parsed here, inside the error handling: a bad host is a failed look-up.
        web::http::client::http_client client(web::uri(L"https://" + settings.m_host + L"/" +
                                                       std::to_wstring(settings.m_endpoint)));
        auto finished = std::make_shared<Tessal::UniqueHandle>(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!*finished) throw std::runtime_error("no event for the request");
        client.request(request, m_cancel.get_token())
            .then([requestId, record, mode, moduleLock](pplx::task<web::http::http_response> sent) {
                NNUVInternal::OnTyvoResponse(sent, requestId, record, mode);
            })
            .then([finished, moduleLock](pplx::task<void> ended) {
                try {
                    ended.get();
                } catch (...) {
                }
                // Released before the waiter wakes: a look-up that returned holds no lock.
                moduleLock->Release();
                ::SetEvent(finished->Get());
            });
        // Cancelling aborts the request where the HTTP stack can (not under Wine, whose pending
        // receive runs on until an answer or its time-out); the wait ends at once in any case.
        const HANDLE handles[] = {finished->Get(), m_cancelEvent.Get()};
        const DWORD waited = ::WaitForMultipleObjects(2, handles, FALSE, kAnswerLimitMs);
        if (waited == WAIT_OBJECT_0 + 1) {
            NUV_LOG(ETWLogging::LOG_ERROR, L"TASK Cancelled Exception %hs", "the client is shutting down");
            error = MakeTyvoError(kCppTaskCancelled);
            return;
        }
        if (waited != WAIT_OBJECT_0) {
            // The library's own 30-second time-out did not end it: the HTTP stack is stuck.
            NUV_LOG(ETWLogging::LOG_ERROR, L"HTTP Exception %hs", "no answer within the time limit");
            error = MakeTyvoError(kCppHttpException);
            return;
        }
    } catch (const web::uri_exception& failure) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"URI Exception %hs", failure.what());
        record->error = MakeTyvoError(kCppUriException);
    } catch (const std::exception& failure) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"UNKNOWN Exception %hs", failure.what());
        record->error = MakeTyvoError(kCppException);
    }
    const std::int64_t elapsed = CounterNow() - start;
    error = record->error;
    if (!IsTyvoSuccess(error)) return;
    const auto milliseconds = static_cast<std::int64_t>(static_cast<double>(elapsed) * 1000.0 / CounterFrequency());
    m_pTotalTYVORespTime += static_cast<std::int32_t>(milliseconds);
    m_pTotalTYVOReq += 1;
    if (mode == CTyvoRequestSettings::kQuery) {
        result.rep = record->rep;
        result.cat = record->cat;
        UrlResponseCache::Insert(key, result);
    }
}

CTYVOHandler::CTYVOHandler() : CTYVOHandler(CTyvoStatsOptions()) {}

CTYVOHandler::CTYVOHandler(CTyvoStatsOptions statsOptions)
    : m_pimpl(std::make_shared<CTYVOHandlerPimpl>(std::move(statsOptions))) {
    m_pimpl->ReadTYVOStats();
    m_pimpl->StartStatsThread();
}

CTYVOHandler::~CTYVOHandler() {
    m_pimpl->TerminateTYVOStats();
    if (m_pimpl->m_statsThreadLeft.load()) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"TYVO stats not stored: the stats thread is still running");
        return;
    }
    m_pimpl->StoreTYVOStats();
}

void CTYVOHandler::GetUrlReputation(const CTyvoRequestSettings& settings, const wchar_t* url, URLRespResult& result,
                                    std::error_code& error, const wchar_t* processPath) {
    m_pimpl->GetUrlReputation(settings, url, result, error, processPath);
}

void CTYVOHandler::TerminateTYVOStats() {
    if (m_pimpl) m_pimpl->TerminateTYVOStats();
}

void CTYVOHandler::Cancel() noexcept { m_pimpl->Cancel(); }

void CTYVOHandler::CTYVOHandlerPimpl::Cancel() noexcept {
    m_cancelled.store(true);
    ::SetEvent(m_cancelEvent.Get());
    m_cancel.cancel();
}

std::int32_t CTYVOHandler::TotalRequests() const {
    Tessal::CAutoLock lock(m_pimpl->m_lock);
    return m_pimpl->m_pTotalTYVOReq;
}

std::int32_t CTYVOHandler::TotalResponseTimeMs() const {
    Tessal::CAutoLock lock(m_pimpl->m_lock);
    return m_pimpl->m_pTotalTYVORespTime;
}

std::int64_t CTYVOHandler::LastReportTimeMs() const {
    Tessal::CAutoLock lock(m_pimpl->m_lock);
    return m_pimpl->m_lastReportMs;
}

}  // namespace NNUV
