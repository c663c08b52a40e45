#include "plugin/filter/WebFilter.h"

#include "logging/Logging.h"
#include "nuvutil/com/ComBoundary.h"
#include "plugin/core/NuvException.h"
#include "plugin/filter/ScanAlgorithm.h"
#include "plugin/filter/CategoryMasks.h"
#include "plugin/filter/HttpEventHandler.h"
#include "plugin/filter/ScanBuffer.h"
#include "plugin/filter/UrlClassification.h"

#include <new>

void CWebFilter::StartUrlClassification() { ::StartUrlClassification(); }
void CWebFilter::CancelUrlClassification() noexcept { ::CancelUrlClassification(); }
void CWebFilter::StopUrlClassification() noexcept { ::StopUrlClassification(); }
void CWebFilter::AbandonUrlClassification() noexcept { ::AbandonUrlClassification(); }

void CWebFilter::CreateScanAlgorithms() { ::CreateScanAlgorithms(); }

void CWebFilter::DestroyScanAlgorithms() noexcept { ::DestroyScanAlgorithms(); }

void CWebFilter::AbandonScanAlgorithms() noexcept { ::AbandonScanAlgorithms(); }

void CWebFilter::ReloadSearchEngines() { ::ReloadSearchEngines(); }

bool CWebFilter::ClassifyUrl(const wchar_t* url, const wchar_t* processPath, std::string& mask) {
    char result[65] = {};
    DWORD size = sizeof result;
    if (GetUrlClassification(url, result, &size, processPath != nullptr ? processPath : L"") <= 0) return false;
    mask.assign(result, ::strnlen(result, sizeof result));
    return !mask.empty();
}

bool CWebFilter::IsCategoryInList(const wchar_t* mask, const wchar_t* list, std::wstring* matched) {
    CSafeStringW found;
    if (!::IsCategoryInList(mask, list, &found)) return false;
    if (matched != nullptr && found.GetString() != nullptr) *matched = found.GetString();
    return true;
}

IUnknown* CWebFilter::CreateHttpEventHandler(IHandlerModule& module, IScanWorkSink* scanSink, IEventWorkSink* eventSink,
                                             DWORD sessionId, DWORD processId) {
    auto* const handler = new (std::nothrow) CHttpEventHandler(module, scanSink, eventSink, sessionId, processId);
    if (handler == nullptr) return nullptr;
    handler->AddRef();  // the caller's reference
    return static_cast<IQvProxyModuleEventHandler*>(handler);
}

// The queue keeps the buffer's connection alive until the scan thread is done with it.
void CWebFilter::OnScanWorkQueued(CScanBuffer* buffer) {
    buffer->AddRefOwner();
    buffer->SetQueued(true);
}

void CWebFilter::OnScanWorkTaken(CScanBuffer* buffer) noexcept { buffer->SetQueued(false); }

void CWebFilter::ScanWork(CScanBuffer* buffer) {
    IScanAlgorithm* const algorithm = GetScanAlgorithm(buffer->GetAlgorithm());
    CScanAlgorithmState* const state = buffer->GetState();
    if (algorithm == nullptr || state == nullptr) {
        // Nothing can scan this direction: it must not wait for a pass that will never come.
        NUV_LOG(ETWLogging::LOG_ERROR, L"No scan algorithm %d for a queued buffer\r\n", buffer->GetAlgorithm());
        throw CNuvException(CNuvException::kNotInitialized);
    }
    algorithm->Scan(*state);
}

void CWebFilter::PassUnscanned(CScanBuffer* buffer) noexcept {
    try {
        buffer->PassAll();
    } catch (...) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Passing a buffer unscanned failed: %hs\r\n", NuvCom::CurrentExceptionText());
    }
}

// After every pass, also a failed one: the finished packets go to the host, then the queue's
// reference on the connection is dropped (which may delete it, buffer included).
void CWebFilter::ReleaseScanWork(CScanBuffer* buffer) noexcept {
    try {
        buffer->ReleaseProcessedPackets();
    } catch (...) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Releasing scanned packets failed: %hs\r\n", NuvCom::CurrentExceptionText());
    }
    buffer->ReleaseOwner();
}
