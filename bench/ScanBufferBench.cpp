// Throughput of a scan buffer on the path of every byte: 1 KiB packets added, consumed and handed
// back to a host that only counts them, side by side with a plain copy of the same bytes (the
// least any buffering costs). Run by hand:
//   build/wine-run.sh build/bin/scanbuffer_bench.exe [MiB]
// The later request-scan benchmark compares against this figure.

#include "bench/BenchSupport.h"
#include "plugin/filter/ScanBuffer.h"

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr DWORD kPacket = 1024;
constexpr int kBurst = 64;  // packets added before the scan consumes them

double BufferMBps(unsigned long long total, std::vector<BYTE>& packets) {
    CountingHost host;
    CScanBuffer buffer(&host, 1, &host, &host);
    const auto start = std::chrono::steady_clock::now();
    for (unsigned long long done = 0; done < total; done += kPacket * kBurst) {
        {
            Tessal::CAutoLock lock(buffer.GetLock());
            for (int i = 0; i < kBurst; ++i) buffer.AddData(packets.data() + i * kPacket, kPacket, false);
            buffer.Consume(buffer.GetLength());
        }
        buffer.ReleaseProcessedPackets();
    }
    const double seconds = Seconds(start);
    if (host.bytes != total) std::printf("lost bytes: %llu of %llu\n", host.bytes, total);
    return total / seconds / 1048576.0;
}

double CopyMBps(unsigned long long total, std::vector<BYTE>& packets) {
    std::vector<char> target(kPacket * kBurst + 1);
    const auto start = std::chrono::steady_clock::now();
    for (unsigned long long done = 0; done < total; done += kPacket * kBurst) {
        for (int i = 0; i < kBurst; ++i) std::memcpy(target.data() + i * kPacket, packets.data() + i * kPacket, kPacket);
        target[kPacket * kBurst] = static_cast<char>(target[done % kPacket]);  // keep the copy alive
    }
    return total / Seconds(start) / 1048576.0;
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned long long mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 512;
    const unsigned long long total = mib * 1048576ull;
    std::vector<BYTE> packets(kPacket * kBurst, 'x');
    // Interleaved rounds, so both see the same machine load.
    double buffer = 0;
    double copy = 0;
    for (int round = 0; round < 3; ++round) {
        buffer += BufferMBps(total, packets);
        copy += CopyMBps(total, packets);
    }
    buffer /= 3;
    copy /= 3;
    std::printf("scan buffer, 1 KiB packets in bursts of %d: %.0f MB/s\n", kBurst, buffer);
    std::printf("plain copy of the same bytes:            %.0f MB/s\n", copy);
    std::printf("ratio buffer / copy:                     %.2f\n", buffer / copy);
    return 0;
}
