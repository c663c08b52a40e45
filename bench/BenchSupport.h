#pragma once
// What the scan benchmarks share: a host that only counts the bytes released to it, and a clock.

#include "plugin/filter/ScanBuffer.h"
#include "plugin/services/FilterServices.h"

#include <windows.h>

#include <chrono>

// Counts the bytes it would send on: forwarded with an OK verdict, and injected.
class CountingHost : public IResponseSink, public IScannableParent, public IScanWorkSink {
public:
    void Forward(BYTE*, DWORD size, bool, DWORD verdict) override {
        if (verdict == kVerdictOk) bytes += size;
    }
    void Inject(const BYTE*, DWORD size, bool) override { bytes += size; }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }
    void PutScanWork(CScanBuffer*) override {}
    unsigned long long bytes = 0;
};

inline double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}
