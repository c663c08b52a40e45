#include "tests/support/ChildProcess.h"

#include "base/UniqueHandle.h"
#include "nuvutil/NoCaseLess.h"

#include <map>
#include <thread>

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
    if (!::CreateProcessW(nullptr, &mutableLine[0], nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT, &block[0],
                          nullptr, &startup, &process)) {
        return result;
    }
    result.started = true;
    Tessal::UniqueHandle processHandle(process.hProcess);
    Tessal::UniqueHandle threadHandle(process.hThread);
    writeEnd.Reset();  // the child holds the only write end now: reading ends when it exits

    std::string output;
    std::thread reader([&output, &readEnd] {
        char buffer[4096];
        DWORD read = 0;
        while (::ReadFile(readEnd.Get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) output.append(buffer, read);
    });
    result.finished = ::WaitForSingleObject(processHandle.Get(), timeoutMs) == WAIT_OBJECT_0;
    if (!result.finished) {
        ::TerminateProcess(processHandle.Get(), 1);
        ::WaitForSingleObject(processHandle.Get(), 5000);
    }
    reader.join();
    ::GetExitCodeProcess(processHandle.Get(), &result.exitCode);
    result.output = std::move(output);
    return result;
}

}  // namespace NuvTest
