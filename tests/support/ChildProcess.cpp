#include "tests/support/ChildProcess.h"

#include "base/UniqueHandle.h"
#include "nuvutil/NoCaseLess.h"

#include <map>

namespace NuvTest {
namespace {

std::wstring EnvironmentBlock(const std::vector<std::pair<std::wstring, std::wstring>>& changes) {
    std::map<std::wstring, std::wstring, NoCaseLess> variables;
    wchar_t* strings = ::GetEnvironmentStringsW();
    for (const wchar_t* entry = strings; entry != nullptr && *entry != L'\0'; entry += wcslen(entry) + 1) {
        const std::wstring text(entry);
        const size_t equals = text.find(L'=', 1);  // "=C:=C:\..." entries start with '='
        if (equals == std::wstring::npos) continue;
        variables[text.substr(0, equals)] = text.substr(equals + 1);
    }
    if (strings != nullptr) ::FreeEnvironmentStringsW(strings);
    for (const auto& change : changes) {
        if (change.second.empty()) {
            variables.erase(change.first);
        } else {
            variables[change.first] = change.second;
        }
    }
    std::wstring block;
    for (const auto& variable : variables) {
        block += variable.first + L"=" + variable.second;
        block.push_back(L'\0');
    }
    block.push_back(L'\0');
    return block;
}

}  // namespace

ChildResult RunChild(const std::wstring& commandLine, const std::vector<std::pair<std::wstring, std::wstring>>& environment,
                     DWORD timeoutMs) {
    ChildResult result;
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    Tessal::UniqueHandle readEnd;
    Tessal::UniqueHandle writeEnd;
    if (!::CreatePipe(readEnd.Put(), writeEnd.Put(), &inheritable, 0)) return result;
    ::SetHandleInformation(readEnd.Get(), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = writeEnd.Get();
    startup.hStdError = writeEnd.Get();
    PROCESS_INFORMATION process = {};
    std::wstring mutableLine = commandLine;
    std::wstring block = EnvironmentBlock(environment);
    // Under a loaded Wine a process start can fail now and then: tried again before giving up,
    // and the cause is kept for the test's message.
    DWORD startError = ERROR_SUCCESS;
    for (int attempt = 0; attempt < 3; ++attempt) {
        mutableLine = commandLine;
        if (::CreateProcessW(nullptr, &mutableLine[0], nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT, &block[0],
                             nullptr, &startup, &process)) {
            startError = ERROR_SUCCESS;
            break;
        }
        startError = ::GetLastError();
        ::Sleep(200);
    }
    if (startError != ERROR_SUCCESS) {
        result.output = "CreateProcess failed with error " + std::to_string(startError);
        return result;
    }
    result.started = true;
    Tessal::UniqueHandle processHandle(process.hProcess);
    Tessal::UniqueHandle threadHandle(process.hThread);
    writeEnd.Reset();  // the child (and what it starts) holds the only write ends now

    // Reads what is there while the child runs, then what it left: never waits for the end of
    // the pipe, which a grandchild that inherited it (Wine's desktop process) may hold for long.
    std::string output;
    auto drain = [&] {
        DWORD available = 0;
        while (::PeekNamedPipe(readEnd.Get(), nullptr, 0, nullptr, &available, nullptr) && available > 0) {
            char buffer[4096];
            DWORD read = 0;
            if (!::ReadFile(readEnd.Get(), buffer, sizeof(buffer), &read, nullptr) || read == 0) break;
            output.append(buffer, read);
        }
    };
    const ULONGLONG end = ::GetTickCount64() + timeoutMs;
    for (;;) {
        drain();
        if (::WaitForSingleObject(processHandle.Get(), 10) == WAIT_OBJECT_0) {
            result.finished = true;
            break;
        }
        if (::GetTickCount64() > end) {
            ::TerminateProcess(processHandle.Get(), 1);
            ::WaitForSingleObject(processHandle.Get(), 5000);
            break;
        }
    }
    drain();
    ::GetExitCodeProcess(processHandle.Get(), &result.exitCode);
    result.output = std::move(output);
    return result;
}

Tessal::UniqueHandle StartChild(const std::wstring& commandLine) {
    std::wstring mutableLine = commandLine;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(nullptr, &mutableLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &process)) {
        return Tessal::UniqueHandle();
    }
    ::CloseHandle(process.hThread);
    return Tessal::UniqueHandle(process.hProcess);
}

}  // namespace NuvTest
