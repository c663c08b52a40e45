// The activity log's costs: the median time to write one blocked-site record into a database that
// holds 90 days of records (the goal: under 5 ms), beside the producer's cost of
// CVYXLogManager::WebSiteBlocked (queuing only) in one run. Run by hand:
//   build/wine-run.sh build/bin/activitylog_bench.exe [records]

#include "plugin/timelimits/VYXLogManager.h"
#include "plugin/timelimits/VyxLogEngineImpl.h"

#include "Shared/StgStorageDB.h"

#include <windows.h>
#include <objbase.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

SYSTEMTIME g_now = {};
void Clock(SYSTEMTIME* now) { *now = g_now; }

void SetDay(int dayIndex) {
    // 90 consecutive days from 2024-01-01, through FILETIME so months roll over.
    SYSTEMTIME start = {};
    start.wYear = 2024;
    start.wMonth = 1;
    start.wDay = 1;
    start.wHour = 12;
    FILETIME file;
    ::SystemTimeToFileTime(&start, &file);
    ULARGE_INTEGER ticks;
    ticks.LowPart = file.dwLowDateTime;
    ticks.HighPart = file.dwHighDateTime;
    ticks.QuadPart += static_cast<ULONGLONG>(dayIndex) * 86400ull * 10000000ull;
    file.dwLowDateTime = ticks.LowPart;
    file.dwHighDateTime = ticks.HighPart;
    ::FileTimeToSystemTime(&file, &g_now);
}

ActivityRecord Blocked(int n) {
    ActivityRecord record;
    record.time = g_now;
    record.type = ActivityRecord::kWebSiteBlocked;
    record.user = L"child";
    record.value = 1;
    record.text = L"site" + std::to_wstring(n) + L".example.com/some/page";
    record.data = "00000000040000000000000000000000";
    return record;
}

}  // namespace

int main(int argc, char** argv) {
    const int records = argc > 1 ? std::atoi(argv[1]) : 200;
    ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring database = std::wstring(temp) + L"activitylog-bench-" + std::to_wstring(::GetCurrentProcessId()) + L".dat";
    ::DeleteFileW(database.c_str());
    VyxLogClock::Set(&Clock);

    std::vector<double> writes;
    {
        CVyxLogEngineImpl engine(database);
        if (!engine.Init()) {
            std::printf("the engine did not start\n");
            return 1;
        }
        // 90 days of 20 blocked sites, a log-on and a log-off each.
        for (int day = 0; day < 90; ++day) {
            SetDay(day);
            for (int n = 0; n < 20; ++n) engine.Log(Blocked(n));
        }
        SetDay(89);
        for (int n = 0; n < records; ++n) {
            const auto start = std::chrono::steady_clock::now();
            engine.Log(Blocked(n));
            writes.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        }
    }
    std::sort(writes.begin(), writes.end());

    // Where a write's time goes: opening the file, listing the user's days, appending.
    double openMs = 0, listMs = 0, appendMs = 0;
    for (int n = 0; n < 20; ++n) {
        auto start = std::chrono::steady_clock::now();
        CStgStorageDB* store = nullptr;
        BOOL created = FALSE;
        CreateStgStorageDB(&store, database.c_str(), STGM_READWRITE, &created);
        auto now = std::chrono::steady_clock::now();
        openMs += std::chrono::duration<double, std::milli>(now - start).count() / 20;
        start = now;
        std::vector<std::wstring> days;
        store->EnumElements(L"child", &days);
        now = std::chrono::steady_clock::now();
        listMs += std::chrono::duration<double, std::milli>(now - start).count() / 20;
        start = now;
        DWORD handle = 0;
        store->OpenFile(L"child\\20240330", L"blockedwebsite.dat", &handle, true, true);
        ULONG written = 0;
        store->WriteFile(handle, "0123456789012345678901234567890123456789", 40, &written);
        store->CloseFile(handle);
        store->Release();
        appendMs += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count() / 20;
    }

    double producer = 0;
    {
        // Each call 31 s after the one before: no call is grouped away, every one queues a record.
        CVYXLogManager manager(database, [] {
            static DWORD ticks = 0;
            return ticks += 31000;
        });
        manager.Logon(L"child", 1);
        const int calls = 20000;
        const auto start = std::chrono::steady_clock::now();
        for (int n = 0; n < calls; ++n) {
            manager.WebSiteBlocked(1, 1, (L"host" + std::to_wstring(n) + L".example.com/page").c_str(), "0000");
        }
        producer = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count() / calls;
    }  // the writer stops within its drain limit; what it did not write is dropped
    VyxLogClock::Set(nullptr);
    ::DeleteFileW(database.c_str());
    std::printf("blocked-site record written, 90 days held: median %.2f ms (p90 %.2f ms, %d records)\n",
                writes[writes.size() / 2], writes[writes.size() * 9 / 10], records);
    std::printf("  of which: open %.2f ms, list the days %.2f ms, append and close %.2f ms\n", openMs, listMs, appendMs);
    std::printf("WebSiteBlocked on the producer's thread:      %.2f us\n", producer);
    std::printf("ratio write / producer:                       %.0f\n", writes[writes.size() / 2] * 1000 / producer);
    return 0;
}
