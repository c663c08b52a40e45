#pragma once
// Web filtering as the module object drives it: the scan-algorithm table at start-up and shutdown,
// the scan thread's work on queued buffers, and (with the per-connection handler) the handlers of
// the proxy host's connections.

#include "plugin/services/FilterServices.h"

class CWebFilter : public IFilterServices {
public:
    CWebFilter() = default;
    ~CWebFilter() override = default;
    CWebFilter(const CWebFilter&) = delete;
    CWebFilter& operator=(const CWebFilter&) = delete;

    // The classifier over the reputation client; without memory for it no URL is classified.
    void StartUrlClassification() override;
    void CancelUrlClassification() noexcept override;
    void StopUrlClassification() noexcept override;
    void AbandonUrlClassification() noexcept override;
    void CreateScanAlgorithms() override;
    void DestroyScanAlgorithms() noexcept override;
    void AbandonScanAlgorithms() noexcept override;
    void ReloadSearchEngines() override;
    bool ClassifyUrl(const wchar_t* url, const wchar_t* processPath, std::string& mask) override;
    bool IsCategoryInList(const wchar_t* mask, const wchar_t* list, std::wstring* matched) override;

    // A handler with one reference for the caller; null when it cannot be made.
    IUnknown* CreateHttpEventHandler(IHandlerModule& module, IScanWorkSink* scanSink, IEventWorkSink* eventSink,
                                     DWORD sessionId, DWORD processId) override;

    void OnScanWorkQueued(CScanBuffer* buffer) override;
    void OnScanWorkTaken(CScanBuffer* buffer) noexcept override;
    void ScanWork(CScanBuffer* buffer) override;
    void PassUnscanned(CScanBuffer* buffer) noexcept override;
    void ReleaseScanWork(CScanBuffer* buffer) noexcept override;
};
