// Feeds random and mutated stored data to the readers of the product and checks that nothing
// crashes, hangs or touches memory outside its allocations. Run by hand, not by ctest:
//
//   nuv_fuzz [--inputs N] [--seed S] [--limit-ms M] [--no-guard] [--index I] [target...]
//
// Every input is reproducible from the seed, the target and its number (--index runs one).
// A crash, a hang or a broken promise of the reader (the request scan letting through what is no
// prefix of its input) prints the target and number, saves the input's bytes beside the program
// (fuzz-<target>-<number>.bin) and ends the run with exit code 3, 4 or 5.

#include "GuardedHeap.h"
#include "Targets.h"

#include "base/FileSystem.h"
#include "base/Format.h"

#include <windows.h>
#include <shlwapi.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>

namespace NuvFuzz {

extern const Target kScrambledValueTarget;
extern const Target kSealedValueTarget;
extern const Target kTimeZonesTarget;
extern const Target kIniTarget;
extern const Target kLogIniTarget;
extern const Target kSiteListTarget;
extern const Target kRequestScanTarget;
extern const Target kResponseScanTarget;
extern const Target kJsonParserTarget;

const std::vector<Target>& AllTargets() {
    static const std::vector<Target> targets = {kScrambledValueTarget, kSealedValueTarget, kIniTarget,
                                                kLogIniTarget,         kTimeZonesTarget,   kSiteListTarget,
                                                kRequestScanTarget,    kResponseScanTarget, kJsonParserTarget};
    return targets;
}

namespace {

// What the crash handler and the watchdog report; set before each input.
const char* volatile g_target = "";
std::atomic<std::uint64_t> g_index{0};
std::atomic<bool> g_inInput{false};
std::atomic<ULONGLONG> g_started{0};
const Input* volatile g_input = nullptr;
std::uint64_t g_seed = 1;

void WriteRaw(const char* text) {
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
}

// Saves the current input and says how to run it again; no heap use (the heap may be the fault).
void ReportAndExit(const char* what, UINT exitCode, const EXCEPTION_RECORD* record) {
    static char line[512];
    const std::uint64_t index = g_index.load();
    std::snprintf(line, sizeof(line), "\n%s in target %s, input %llu (rerun: nuv_fuzz --seed %llu --index %llu %s)\n",
                  what, g_target, static_cast<unsigned long long>(index), static_cast<unsigned long long>(g_seed),
                  static_cast<unsigned long long>(index), g_target);
    WriteRaw(line);
    if (record != nullptr) {
        const ULONG_PTR* info = record->ExceptionInformation;
        std::snprintf(line, sizeof(line), "exception 0x%08lX at %p, %s address %p%s\n", record->ExceptionCode,
                      record->ExceptionAddress, record->NumberParameters >= 2 && info[0] == 1 ? "writing" : "reading",
                      record->NumberParameters >= 2 ? reinterpret_cast<void*>(info[1]) : nullptr,
                      record->NumberParameters >= 2 && IsGuardedAddress(reinterpret_cast<void*>(info[1]))
                          ? " (guarded heap: outside an allocation or freed)"
                          : "");
        WriteRaw(line);
    }
    if (const Input* input = g_input) {
        wchar_t path[MAX_PATH];
        std::swprintf(path, MAX_PATH, L"fuzz-%hs-%llu.bin", g_target, static_cast<unsigned long long>(index));
        const HANDLE file = ::CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            ::WriteFile(file, input->bytes.data(), static_cast<DWORD>(input->bytes.size()), &written, nullptr);
            ::CloseHandle(file);
            std::snprintf(line, sizeof(line), "input saved to fuzz-%s-%llu.bin\n", g_target,
                          static_cast<unsigned long long>(index));
            WriteRaw(line);
        }
    }
    ::TerminateProcess(::GetCurrentProcess(), exitCode);
}

LONG CALLBACK OnException(EXCEPTION_POINTERS* pointers) {
    switch (pointers->ExceptionRecord->ExceptionCode) {
        case EXCEPTION_ACCESS_VIOLATION:
        case EXCEPTION_STACK_OVERFLOW:
        case EXCEPTION_ILLEGAL_INSTRUCTION:
        case EXCEPTION_INT_DIVIDE_BY_ZERO:
        case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
        case STATUS_HEAP_CORRUPTION:
        case STATUS_STACK_BUFFER_OVERRUN:
            if (g_inInput.load()) ReportAndExit("CRASH", 3, pointers->ExceptionRecord);
            break;
        default: break;
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

void Watchdog(DWORD limitMs) {
    for (;;) {
        ::Sleep(50);
        if (g_inInput.load() && ::GetTickCount64() - g_started.load() > limitMs) ReportAndExit("HANG", 4, nullptr);
    }
}

struct Figures {
    std::uint64_t inputs = 0;
    std::uint64_t exceptions = 0;
    ULONGLONG slowestMs = 0;
    std::map<int, std::uint64_t> outcomes;
};

Figures RunTarget(const Target& target, const Scratch& scratch, std::uint64_t inputs, std::uint64_t only, bool guard) {
    Figures figures;
    g_target = target.name;
    const std::uint64_t first = only != UINT64_MAX ? only : 0;
    const std::uint64_t last = only != UINT64_MAX ? only + 1 : inputs;
    for (std::uint64_t index = first; index < last; ++index) {
        Random random(g_seed, target.name, index);
        Input input;
        g_index = index;
        g_input = &input;
        g_started = ::GetTickCount64();
        g_inInput = true;
        target.generate(random, input);
        target.store(scratch, input);
        const ULONGLONG start = ::GetTickCount64();
        try {
            int outcome = 0;
            if (guard) {
                GuardedScope guarded;
                outcome = target.read(scratch, input);
            } else {
                outcome = target.read(scratch, input);
            }
            if (outcome == kFinding) ReportAndExit("BROKEN PROMISE", 5, nullptr);
            ++figures.outcomes[outcome];
        } catch (const std::exception& error) {
            if (figures.exceptions++ == 0) std::printf("  first exception: input %llu: %s\n", static_cast<unsigned long long>(index), error.what());
        }
        const ULONGLONG took = ::GetTickCount64() - start;
        if (took > figures.slowestMs) figures.slowestMs = took;
        g_inInput = false;
        g_input = nullptr;
        ++figures.inputs;
    }
    return figures;
}

}  // namespace
}  // namespace NuvFuzz

int main(int argc, char** argv) {
    using namespace NuvFuzz;
    std::uint64_t inputs = 100000;
    std::uint64_t only = UINT64_MAX;
    DWORD limitMs = 0;  // 0: 5 s a input, 60 s with the guarded heap (its page calls are slow under Wine)
    bool guard = true;
    std::vector<std::string> chosen;
    for (int n = 1; n < argc; ++n) {
        const std::string arg = argv[n];
        const bool hasValue = n + 1 < argc;
        if (arg == "--inputs" && hasValue) {
            inputs = std::strtoull(argv[++n], nullptr, 10);
        } else if (arg == "--seed" && hasValue) {
            g_seed = std::strtoull(argv[++n], nullptr, 10);
        } else if (arg == "--limit-ms" && hasValue) {
            limitMs = static_cast<DWORD>(std::strtoul(argv[++n], nullptr, 10));
        } else if (arg == "--index" && hasValue) {
            only = std::strtoull(argv[++n], nullptr, 10);
        } else if (arg == "--no-guard") {
            guard = false;
        } else if (arg.rfind("--", 0) == 0) {
            std::fprintf(stderr, "usage: nuv_fuzz [--inputs N] [--seed S] [--limit-ms M] [--no-guard] [--index I] [target...]\n");
            return 2;
        } else {
            chosen.push_back(arg);
        }
    }

    if (limitMs == 0) limitMs = guard ? 60000 : 5000;

    Scratch scratch;
    scratch.keyPath = Tessal::Format(L"Software\\NuvTests\\Fuzz-%lu", ::GetCurrentProcessId());
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    scratch.folder = Tessal::Format(L"%snuv-fuzz-%lu", temp, ::GetCurrentProcessId());
    Tessal::CreateDirectoryPath(scratch.folder.c_str());

    ::AddVectoredExceptionHandler(1, OnException);
    std::thread(Watchdog, limitMs).detach();

    int unknown = 0;
    for (const std::string& name : chosen) {
        bool known = false;
        for (const Target& target : AllTargets()) known = known || name == target.name;
        if (!known) {
            std::fprintf(stderr, "unknown target %s\n", name.c_str());
            ++unknown;
        }
    }
    if (unknown != 0) return 2;

    std::printf("seed %llu, %llu inputs a target, guarded heap %s, %lu ms a input at most\n",
                static_cast<unsigned long long>(g_seed), static_cast<unsigned long long>(inputs), guard ? "on" : "off", limitMs);
    for (const Target& target : AllTargets()) {
        bool wanted = chosen.empty();
        for (const std::string& name : chosen) wanted = wanted || name == target.name;
        if (!wanted) continue;
        const ULONGLONG start = ::GetTickCount64();
        const std::size_t guardedBefore = GuardedAllocations();
        const Figures figures = RunTarget(target, scratch, inputs, only, guard);
        const double seconds = static_cast<double>(::GetTickCount64() - start) / 1000.0;
        std::printf("%-16s %8llu inputs in %7.1f s, slowest %4llu ms, %9zu guarded allocations, %llu exceptions; outcomes:",
                    target.name, static_cast<unsigned long long>(figures.inputs), seconds,
                    static_cast<unsigned long long>(figures.slowestMs), GuardedAllocations() - guardedBefore,
                    static_cast<unsigned long long>(figures.exceptions));
        for (const auto& outcome : figures.outcomes) {
            std::printf(" %d:%llu", outcome.first, static_cast<unsigned long long>(outcome.second));
        }
        std::printf("   (%s)\n", target.what);
        std::fflush(stdout);
    }

    ::SHDeleteKeyW(HKEY_CURRENT_USER, scratch.keyPath.c_str());
    Tessal::RemoveDirectoryTree(scratch.folder.c_str());
    return 0;
}
