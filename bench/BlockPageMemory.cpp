// Where a blocked request's memory goes: each step of the blocked path repeated in a loop of its
// own, in a process of its own, with the process's memory before and after. Steps: the resource
// DLLs loaded and freed as CNuvResLoader::Init does (through the MUI runtime when there is one),
// the same with the plain loader and as image resources (for contrast), the loader alone, the
// block page with a loader per page (what a blocked request does), the template filled from one
// loader, the access-denied event as the plug-in fires it (its work item, the event's algorithm,
// the broker's handler) and straight to the handler, and the log lines of a block. The proxy
// host builds block pages on several threads at once, so the loader steps and the event run
// again on 8 threads sharing the cycles ("@8").
// Needs "Install Dir" (HKLM\SOFTWARE\Oberix\NUV) naming the folder of NuvRes2.dll and the suite's
// COM servers registered, as the proxy benchmark's prefix has them. Run by hand:
//   build/wine-run.sh build/bin/blockpage_memory.exe [cycles] [step[@threads]]

#include "Shared/NuvResLoader.h"
#include "Shared/RtMui.h"
#include "base/RegKey.h"
#include "base/UniqueHandle.h"
#include "logging/Logging.h"
#include "plugin/core/AccessDeniedEvent.h"
#include "plugin/filter/BlockPage.h"
#include "tests/support/TestPaths.h"

#include <windows.h>
#include <objbase.h>
#include <psapi.h>
#include <eventbroker.h>
#include <wrl/client.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::wstring InstallFolder() {
    Tessal::CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Oberix\\NUV", KEY_READ) != ERROR_SUCCESS) return {};
    wchar_t value[MAX_PATH] = {};
    ULONG chars = MAX_PATH;
    if (key.QueryStringBuffer(L"Install Dir", value, &chars) != ERROR_SUCCESS) return {};
    return value;
}

struct Memory {
    double workingSet = 0;  // bytes (Wine: the process's resident set)
    double committed = 0;   // committed private bytes, from the address space
    int imageRegions = 0;   // regions of mapped images: a DLL never unmapped shows here
};

Memory Measure() {
    Memory memory;
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    if (::GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                               sizeof counters)) {
        memory.workingSet = static_cast<double>(counters.WorkingSetSize);
    }
    MEMORY_BASIC_INFORMATION region{};
    for (const BYTE* at = nullptr; ::VirtualQuery(at, &region, sizeof region) == sizeof region;
         at = static_cast<const BYTE*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) memory.committed += static_cast<double>(region.RegionSize);
        if (region.State == MEM_COMMIT && region.Type == MEM_IMAGE) ++memory.imageRegions;
        if (region.RegionSize == 0) break;
    }
    return memory;
}

// The access-denied handler of the event broker (what the plug-in's event thread fires to).
Microsoft::WRL::ComPtr<IAccessDeniedEventHandler> AccessDeniedHandler() {
    Microsoft::WRL::ComPtr<IEventBroker> broker;
    if (FAILED(::CoCreateInstance(__uuidof(EventBroker), nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&broker)))) {
        return nullptr;
    }
    wchar_t iidText[40] = {};
    ::StringFromGUID2(__uuidof(IAccessDeniedEventHandler), iidText, 40);
    Microsoft::WRL::ComPtr<IUnknown> handler;
    DWORD status = 0;
    if (FAILED(broker->GetHandler(L"NUV", iidText, nullptr, 0, &__uuidof(IAccessDeniedEventHandler), &handler, &status)) ||
        !handler) {
        return nullptr;
    }
    Microsoft::WRL::ComPtr<IAccessDeniedEventHandler> typed;
    handler.As(&typed);
    return typed;
}

// The event thread's handler source, reduced to the one handler the access-denied event asks for.
class OneHandlerSource : public IEventHandlerSource {
public:
    explicit OneHandlerSource(IUnknown* handler) : m_handler(handler) {}
    HRESULT Get(const wchar_t*, REFIID iid, IUnknown** handler) override { return Get(iid, handler); }
    HRESULT Get(REFIID, IUnknown** handler) override {
        *handler = m_handler;
        m_handler->AddRef();
        return S_OK;
    }
    void Invalidate(IUnknown*) override {}

private:
    IUnknown* m_handler;
};

// Lets the measuring thread read the memory while the workers still live: their stacks and
// thread data count in both figures.
class Gate {
public:
    void Open() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_open = true;
        }
        m_changed.notify_all();
    }
    void Wait() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_open; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_open = false;
};

struct Step {
    const char* name;
    int threads;
    const char* what;
};

constexpr int kThreads = 8;

constexpr Step kSteps[] = {
    {"load", 1, "NuvRes2.dll + nuvuc.dll loaded and freed as the loader does (nuvuc.dll absent, as in a plain install)"},
    {"load-plain", 1, "the same with LoadLibraryW, no MUI runtime"},
    {"load-resource", 1, "the same as image resources (LoadLibraryExW)"},
    {"loader", 1, "CNuvResLoader Init, then destroyed"},
    {"page", 1, "block page, a loader per page (a blocked request)"},
    {"template", 1, "block page, one loader for all"},
    {"event", 1, "access-denied event as the plug-in fires it, to the broker's handler"},
    {"handler", 1, "the broker's handler called directly (the stand-in keeps a record of each call)"},
    {"log", 1, "the log lines of one block"},
    {"load", kThreads, ""},
    {"page", kThreads, ""},
    {"event", kThreads, ""},
    {"handler", kThreads, ""},
};

// Runs one step in this process on `threads` threads sharing the cycles: a warm-up, then
// `cycles` measured.
int RunStep(const std::string& name, int cycles, int threads) {
    const std::wstring folder = InstallFolder();
    if (folder.empty()) {
        std::printf("no \"Install Dir\" under HKLM\\SOFTWARE\\Oberix\\NUV (prepare the prefix as proxy-bench.sh does)\n");
        return 2;
    }
    const std::wstring resourceDll = folder + L"\\NuvRes2.dll";
    const std::wstring customDll = folder + L"\\nuvuc.dll";
    // Where the proxy host has it (beside itself); the plain loader when the build has none.
    const std::wstring runtime = NuvTest::ExeFolder() + L"\\rtmui\\QvRtMui.dll";
    if (name != "load-plain" && ::GetFileAttributesW(runtime.c_str()) != INVALID_FILE_ATTRIBUTES) {
        RtMuiSetPath(runtime.c_str());
    }
    ETWLogging::ConfigureLogging(nullptr, L"Nuv", nullptr, nullptr, 0);
    ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);

    const BlockPage::PageStrings strings = BlockPage::StringsForReason(BlockPage::kOnBlockedUrlList, 0, L"", 0);
    CNuvResLoader shared;
    Microsoft::WRL::ComPtr<IAccessDeniedEventHandler> handler;
    std::unique_ptr<OneHandlerSource> source;
    std::function<bool(int)> cycle;
    if (name == "load" || name == "load-plain") {
        cycle = [&](int) {
            Tessal::UniqueHModule resources(RtMuiLoadLibrary(resourceDll.c_str()));
            Tessal::UniqueHModule custom(RtMuiLoadLibrary(customDll.c_str()));
            return static_cast<bool>(resources);
        };
    } else if (name == "load-resource") {
        cycle = [&](int) {
            constexpr DWORD kFlags = LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE;
            Tessal::UniqueHModule resources(::LoadLibraryExW(resourceDll.c_str(), nullptr, kFlags));
            Tessal::UniqueHModule custom(::LoadLibraryExW(customDll.c_str(), nullptr, kFlags));
            return static_cast<bool>(resources);
        };
    } else if (name == "loader") {
        cycle = [&](int) {
            CNuvResLoader loader;
            return loader.Init() != FALSE;
        };
    } else if (name == "page" || name == "template") {
        if (name == "template" && !shared.Init()) return 3;
        cycle = [&](int n) {
            CNuvResLoader own;
            CNuvResLoader* loader = &shared;
            if (name == "page") {
                if (!own.Init()) return false;
                loader = &own;
            }
            std::string response;
            const std::wstring url = L"blocked.test/page/" + std::to_wstring(n);
            return BlockPage::BuildBlockPage(loader, strings, L"child", url, response) &&
                   response.find("blocked.test") != std::string::npos;
        };
    } else if (name == "event" || name == "handler") {
        handler = AccessDeniedHandler();
        if (!handler) {
            std::printf("%-14s no access-denied handler from the event broker (are the COM servers registered?)\n",
                        name.c_str());
            return 3;
        }
        if (name == "event") {
            source = std::make_unique<OneHandlerSource>(handler.Get());
            cycle = [&](int n) {
                const std::string url = "blocked.test/page/" + std::to_string(n);
                const std::unique_ptr<CEventWork> work(
                    CAccessDeniedEvent::CreateWork(::GetCurrentProcessId(), BlockPage::kOnBlockedUrlList,
                                                   CSafeStringA(url.c_str())));
                CAccessDeniedEvent().Fire(work->Parameters(), *source);
                return true;
            };
        } else {
            cycle = [&](int n) {
                const std::wstring url = L"blocked.test/page/" + std::to_wstring(n);
                const AccessDeniedEventData data = {::GetCurrentProcessId(), BlockPage::kOnBlockedUrlList, url.c_str()};
                return SUCCEEDED(handler->OnAccessDeniedEvent(&data));
            };
        }
    } else if (name == "log") {
        cycle = [&](int n) {
            const std::wstring url = L"blocked.test/page/" + std::to_wstring(n);
            NUV_LOG(ETWLogging::LOG_NORMAL, L"BLOCKING %s [%s] (reason %d)\r\n", url.c_str(), L"out", 3);
            NUV_LOG(ETWLogging::LOG_ERROR, L"CNuvResLoader::Init RtMUILoadLibrary failed for nuv custom res:%s",
                    customDll.c_str());
            NUV_LOG(ETWLogging::LOG_NORMAL, L"CNuvResLoader::_LoadString LoadString for %u from nuvres dll returned %d",
                    14112u, 40);
            return true;
        };
    } else {
        std::printf("unknown step %s\n", name.c_str());
        return 2;
    }

    // Each thread warms up, waits, runs its share of the cycles, and lives on until the figures
    // are taken.
    const int warmUp = cycles < 200 ? cycles : 200;
    const int share = (cycles + threads - 1) / threads;
    std::atomic<int> warmed{0}, done{0}, failedAt{-1};
    Gate start, finish;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            const int base = t * (warmUp + share);
            for (int n = 0; n < warmUp; ++n) {
                if (!cycle(base + n)) failedAt = base + n;
            }
            ++warmed;
            start.Wait();
            for (int n = 0; n < share; ++n) cycle(base + warmUp + n);
            ++done;
            finish.Wait();
            ::CoUninitialize();
        });
    }
    while (warmed < threads) ::Sleep(1);
    const std::string label = threads == 1 ? name : name + "@" + std::to_string(threads);
    const Memory before = Measure();
    const auto started = std::chrono::steady_clock::now();
    start.Open();
    while (done < threads) ::Sleep(1);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const Memory after = Measure();
    finish.Open();
    for (std::thread& worker : workers) worker.join();
    if (failedAt >= 0) {
        std::printf("%-14s fails (cycle %d)\n", label.c_str(), failedAt.load());
        return 3;
    }
    const int measured = share * threads;
    const double per10k = 10000.0 / measured / (1024.0 * 1024.0);
    std::printf("%-14s %8d %9.1f %9.1f %9.2f %9.1f %9.1f %9.2f %6d %6d %9.1f\n", label.c_str(), measured,
                before.workingSet / 1048576.0, after.workingSet / 1048576.0,
                (after.workingSet - before.workingSet) * per10k, before.committed / 1048576.0,
                after.committed / 1048576.0, (after.committed - before.committed) * per10k, before.imageRegions,
                after.imageRegions, seconds * 1e6 / measured);
    source.reset();
    handler.Reset();
    ::CoUninitialize();
    return 0;
}

// Each step in a child process: memory one step left behind would hide another's growth.
int RunSteps(int cycles, const char* only) {
    std::printf("%-14s %8s %9s %9s %9s %9s %9s %9s %6s %6s %9s\n", "step", "cycles", "WS MB", "WS MB", "MB/10k",
                "priv MB", "priv MB", "MB/10k", "images", "images", "us/cycle");
    std::printf("%-14s %8s %9s %9s %9s %9s %9s %9s %6s %6s\n", "", "", "before", "after", "", "before", "after", "",
                "before", "after");
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    int result = 0;
    for (const Step& step : kSteps) {
        const std::string label =
            step.threads == 1 ? std::string(step.name) : std::string(step.name) + "@" + std::to_string(step.threads);
        if (only != nullptr && label != only) continue;
        std::fflush(stdout);
        std::wstring command = L"\"" + std::wstring(self) + L"\" --step " +
                               std::wstring(step.name, step.name + std::strlen(step.name)) + L" " +
                               std::to_wstring(cycles) + L" " + std::to_wstring(step.threads);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        if (!::CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
            std::printf("%-14s cannot start (%lu)\n", label.c_str(), ::GetLastError());
            result = 1;
            continue;
        }
        Tessal::UniqueHandle processHandle(process.hProcess);
        Tessal::UniqueHandle threadHandle(process.hThread);
        ::WaitForSingleObject(process.hProcess, INFINITE);
        DWORD exitCode = 0;
        ::GetExitCodeProcess(process.hProcess, &exitCode);
        if (exitCode != 0) result = 1;
    }
    std::printf("\n");
    for (const Step& step : kSteps) {
        if (*step.what != '\0') std::printf("  %-14s %s\n", step.name, step.what);
    }
    std::printf("  %-14s the step on %d threads at once, sharing the cycles\n", "step@8", kThreads);
    std::printf("MB/10k: growth per 10,000 cycles; WS: working set (under Wine the resident set); priv: committed "
                "private memory; images: committed image regions\n");
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--step") {
        const int threads = std::atoi(argv[4]);
        return RunStep(argv[2], std::atoi(argv[3]), threads > 0 ? threads : 1);
    }
    const int cycles = argc > 1 ? std::atoi(argv[1]) : 10000;
    return RunSteps(cycles > 0 ? cycles : 10000, argc > 2 ? argv[2] : nullptr);
}
