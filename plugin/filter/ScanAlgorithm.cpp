#include "plugin/filter/ScanAlgorithm.h"

#include "plugin/core/NuvException.h"
#include "plugin/filter/InboundEmbeddedUrlScan.h"
#include "plugin/filter/InboundHttpResponseScan.h"
#include "plugin/filter/OutboundCategoriesScan.h"
#include "plugin/filter/OutboundHttpRequestScan.h"
#include "plugin/filter/OutboundSearchScan.h"

#include <array>
#include <atomic>

namespace {

constexpr int kTableEntries = 8;  // ids 0 to 7
constexpr int kAlgorithmIds[] = {kScanOutboundHttpRequest, kScanOutboundSearch, kScanOutboundCategories,
                                 kScanInboundHttpResponse, kScanInboundEmbeddedUrl};

using AlgorithmTable = std::array<std::unique_ptr<IScanAlgorithm>, kTableEntries>;

// Written only at start-up and shutdown, when no scan runs; read without a lock.
std::atomic<AlgorithmTable*> g_table{nullptr};

// The product's algorithms; the others arrive with the scans that implement them.
std::unique_ptr<IScanAlgorithm> MakeProductAlgorithm(int id) {
    switch (id) {
        case kScanOutboundHttpRequest: return std::make_unique<COutboundHttpRequestScan>();
        case kScanOutboundSearch: return std::make_unique<COutboundSearchScan>();
        case kScanOutboundCategories: return std::make_unique<COutboundCategoriesScan>();
        case kScanInboundHttpResponse: return std::make_unique<CInboundHttpResponseScan>();
        case kScanInboundEmbeddedUrl: return std::make_unique<CInboundEmbeddedUrlScan>();
        default: return nullptr;
    }
}

void DeleteTable(AlgorithmTable* table) noexcept {
    if (table == nullptr) return;
    for (int id = kTableEntries - 1; id >= 0; --id) (*table)[static_cast<std::size_t>(id)].reset();
    delete table;
}

}  // namespace

void CreateScanAlgorithms(const ScanAlgorithmFactory& factory) {
    auto table = std::make_unique<AlgorithmTable>();
    for (const int id : kAlgorithmIds) {
        (*table)[static_cast<std::size_t>(id)] = factory ? factory(id) : MakeProductAlgorithm(id);
    }
    DeleteTable(g_table.exchange(table.release()));
}

void DestroyScanAlgorithms() noexcept { DeleteTable(g_table.exchange(nullptr)); }

void AbandonScanAlgorithms() noexcept { (void)g_table.exchange(nullptr); }

IScanAlgorithm* GetScanAlgorithm(int id) {
    AlgorithmTable* const table = g_table.load();
    if (table == nullptr) throw CNuvException(CNuvException::kNotInitialized);
    if (id < 0 || id >= kTableEntries) return nullptr;
    return (*table)[static_cast<std::size_t>(id)].get();
}

const wchar_t* GetScanAlgorithmName(int id) noexcept {
    static const wchar_t* const kNames[] = {L"INVALID!",          L"saOutHttpRequest", L"saOutPersonalInfo",
                                            L"saOutSearch",       L"saOutClassification", L"saInHttpResponse",
                                            L"saInKeywords",      L"saInEmbeddedUrl",  L"saInImageAnalysis"};
    return id >= 0 && id < static_cast<int>(sizeof(kNames) / sizeof(kNames[0])) ? kNames[id] : nullptr;
}

void ReloadSearchEngines() {
    AlgorithmTable* const table = g_table.load();
    if (table == nullptr) return;
    if (IScanAlgorithm* const search = (*table)[kScanOutboundSearch].get()) search->ReloadSearchEngines();
}
