// Child process of the MUI wrapper tests: the wrapper's singleton is built once per process, so
// each configuration (environment, runtime path) runs in a process of its own.
//
//   rtmui_probe <result file> [common=<CommonProgramFiles> | common-] [path=<runtime path>]
//
// "common=" sets the environment variable, "common-" removes it, "path=" calls RtMuiSetPath, all
// before the first use of the runtime, which then comes from several threads at once. The result
// file receives UTF-8 "key=value" lines: setpath, loaded, locale, init, 14049 (the string),
// 29001 (its length).

#include "base/TextConversion.h"
#include "Shared/NuvResLoader.h"
#include "Shared/RtMui.h"
#include "base/UniqueHandle.h"
#include "tests/support/MachineRegistry.h"

#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string Utf8(const std::wstring& text) { return Tessal::ToUtf8(text); }

// Every thread asks at the same moment; all must get the same answer.
std::string FirstUseFromManyThreads() {
    constexpr int kThreads = 8;
    std::atomic<bool> go{false};
    std::atomic<int> loaded{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] {
            while (!go.load()) std::this_thread::yield();
            if (RtMuiIsLoaded()) ++loaded;
        });
    }
    go = true;
    for (std::thread& thread : threads) thread.join();
    return loaded == 0 ? "0" : loaded == kThreads ? "1" : "mixed";
}

}  // namespace

int main() {
    const NuvTest::IsolatedMachineRegistry machine;  // the test program's, where it put "Install Dir"
    int argc = 0;
    Tessal::UniqueLocalMem argvOwner(::CommandLineToArgvW(::GetCommandLineW(), &argc));
    wchar_t** const argv = static_cast<wchar_t**>(argvOwner.Get());
    if (argv == nullptr || argc < 2) return 2;

    // Wine gives every new process the CommonProgramFiles of its registry, whatever the parent's
    // environment held: the variable is set here, in the process that reads it.
    std::string result;
    for (int i = 2; i < argc; ++i) {
        const std::wstring argument = argv[i];
        if (argument.compare(0, 7, L"common=") == 0) {
            ::SetEnvironmentVariableW(L"CommonProgramFiles", argument.c_str() + 7);
        } else if (argument == L"common-") {
            ::SetEnvironmentVariableW(L"CommonProgramFiles", nullptr);
        } else if (argument.compare(0, 5, L"path=") == 0) {
            result += "setpath=" + std::to_string(RtMuiSetPath(argument.c_str() + 5)) + "\r\n";
        } else {
            return 2;
        }
    }
    result += "loaded=" + FirstUseFromManyThreads() + "\r\n";
    result += "locale=" + std::to_string(RtMuiGetMappedLocale()) + "\r\n";
    {
        CNuvResLoader loader;
        result += "init=" + std::to_string(loader.Init()) + "\r\n";
        CSafeStringW text;
        loader.LoadStringW(14049, text);
        result += "14049=" + Utf8(text.GetString()) + "\r\n";
        loader.LoadStringW(29001, text);
        result += "29001=" + std::to_string(text.GetLength()) + "\r\n";
    }

    Tessal::UniqueHandle file(::CreateFileW(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    if (!file || !::WriteFile(file.Get(), result.data(), static_cast<DWORD>(result.size()), &written, nullptr)) return 3;
    return 0;
}
