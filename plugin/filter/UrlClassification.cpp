#include "plugin/filter/UrlClassification.h"

#include "logging/Logging.h"
#include "plugin/filter/CategoryMasks.h"
#include "plugin/filter/reputation/UrlResponseCache.h"

#include <atomic>
#include <cstring>
#include <new>

namespace {

std::atomic<IUrlClassifier*> g_classifier{nullptr};
std::atomic<LONG> g_inside{0};  // look-ups inside GetUrlClassification
std::atomic<CUrlClassification*> g_singleton{nullptr};

}  // namespace

IUrlClassifier* SetUrlClassifier(IUrlClassifier* classifier) noexcept { return g_classifier.exchange(classifier); }

void WaitForUrlClassifications() noexcept {
    while (g_inside.load() != 0) ::Sleep(1);
}

int GetUrlClassification(const wchar_t* url, char* result, DWORD* size, const wchar_t* processPath) {
    struct Inside {
        Inside() noexcept { ++g_inside; }
        ~Inside() { --g_inside; }
    } inside;
    IUrlClassifier* const classifier = g_classifier.load();
    return classifier != nullptr ? classifier->Classify(url, result, size, processPath) : 0;
}

int CUrlClassification::_LookUp(const wchar_t* url, char* result, DWORD* size, const wchar_t* processPath) {
    Tessal::CAutoLock lock(m_lock);
    if (url == nullptr || result == nullptr || size == nullptr) return 0;
    m_szClassification.clear();
    NNUV::CTyvoRequestSettings settings;
    NNUV::URLRespResult answer;
    std::error_code error = NNUV::NoAnswer();
    m_handler.GetUrlReputation(settings, url, answer, error, processPath != nullptr ? processPath : L"");
    if (!NNUV::IsTyvoSuccess(error)) {
        if (&error.category() == &NNUV::TyvoCategory()) {
            switch (error.default_error_condition().value()) {
                case 2: NUV_LOG(ETWLogging::LOG_ERROR, L"TYVO Error! and error is %hs", error.message().c_str()); break;
                case 1: NUV_LOG(ETWLogging::LOG_ERROR, L"CPP Error! and error is %hs", error.message().c_str()); break;
                default: NUV_LOG(ETWLogging::LOG_ERROR, L"Unknown Error!"); break;
            }
        }
        return 0;
    }
    bool written = false;
    const auto give = [&](const char* mask) {
        const auto length = static_cast<DWORD>(std::strlen(mask));
        if (*size < length) {
            NUV_LOG(ETWLogging::LOG_ERROR, L"Not given enough space for URL category result!");
            return;
        }
        std::memcpy(result, mask, length);
        if (*size > length) result[length] = '\0';
        *size = length;
        written = true;
    };
    // The last known code decides.
    for (const std::int32_t code : answer.cat) {
        const char* const mask = CategoryMaskOfCode(code);
        if (mask == nullptr) continue;
        m_szClassification = mask;
        if (IsValidCategoryMask(mask)) give(mask);
    }
    if (!written) give(kNoCategoryMask);
    return written ? 1 : 0;
}

void CUrlClassification::TerminateTYVOStats() {
    NUV_LOG(ETWLogging::LOG_NORMAL, L"NUV shutting down stop sending TYVO stats");
    m_handler.TerminateTYVOStats();
}

bool StartUrlClassification() {
    if (g_singleton.load() != nullptr) return true;
    auto* const classifier = new (std::nothrow) CUrlClassification();
    if (classifier == nullptr) return false;
    g_singleton.store(classifier);
    SetUrlClassifier(classifier);
    return true;
}

void CancelUrlClassification() noexcept {
    if (CUrlClassification* const classifier = g_singleton.load()) classifier->Cancel();
}

void StopUrlClassification() noexcept {
    CUrlClassification* const classifier = g_singleton.exchange(nullptr);
    if (classifier == nullptr) return;
    SetUrlClassifier(nullptr);
    classifier->Cancel();
    WaitForUrlClassifications();
    classifier->TerminateTYVOStats();
    delete classifier;
    NNUV::UrlResponseCache::StopPruneThread();
}

void AbandonUrlClassification() noexcept {
    if (g_singleton.exchange(nullptr) != nullptr) SetUrlClassifier(nullptr);
}
