// nuvscramble: reads and writes the system's scrambled registry values and scrambled ini entries.
// A developer and test tool: nothing outside this project can write those values, because the
// scramble keys are ours. Output is UTF-8; the exit code is 0 or the Win32 error code.

#include "base/ObfuscatedIniReader.h"
#include "base/ObfuscatedRegKey.h"
#include "base/TextConversion.h"

#include <windows.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kUsage[] =
    L"usage:\n"
    L"  nuvscramble reg set-dword  <key> <value-name> <number>\n"
    L"  nuvscramble reg set-string <key> <value-name> <text>\n"
    L"  nuvscramble reg get        <key> <value-name>\n"
    L"  nuvscramble reg delete     <key> <value-name>\n"
    L"  nuvscramble ini set-int    <file> <section> <key> <number>\n"
    L"  nuvscramble ini set-string <file> <section> <key> <text>\n"
    L"  nuvscramble ini get        <file> <section> <key>\n"
    L"<key> is HKLM\\..., HKCU\\... (or HKEY_LOCAL_MACHINE\\..., HKEY_CURRENT_USER\\...).\n";

void Write(FILE* stream, const std::wstring& text) {
    const std::string utf8 = Tessal::ToUtf8(text);
    std::fwrite(utf8.data(), 1, utf8.size(), stream);
    std::fflush(stream);
}

int Fail(DWORD error, const std::wstring& what) {
    Write(stderr, L"nuvscramble: " + what + L": error " + std::to_wstring(error) + L"\n");
    return static_cast<int>(error);
}

// The writer's cause of failure; never 0, which would tell the shell it worked.
int WriteFailed(const std::wstring& file) {
    const DWORD error = ::GetLastError();
    return Fail(error != ERROR_SUCCESS ? error : ERROR_WRITE_FAULT, L"cannot write " + file);
}

int Usage() {
    Write(stderr, kUsage);
    return ERROR_BAD_ARGUMENTS;
}

bool ParseNumber(const std::wstring& text, long long low, long long high, long long& value) {
    if (text.empty()) return false;
    wchar_t* end = nullptr;
    errno = 0;
    value = std::wcstoll(text.c_str(), &end, 0);
    return errno == 0 && end != nullptr && *end == 0 && value >= low && value <= high;
}

bool SplitKeyPath(const std::wstring& path, HKEY& root, std::wstring& subKey) {
    const std::size_t slash = path.find(L'\\');
    std::wstring rootName = path.substr(0, slash);
    for (wchar_t& c : rootName) c = static_cast<wchar_t>(std::towupper(c));
    if (rootName == L"HKLM" || rootName == L"HKEY_LOCAL_MACHINE") {
        root = HKEY_LOCAL_MACHINE;
    } else if (rootName == L"HKCU" || rootName == L"HKEY_CURRENT_USER") {
        root = HKEY_CURRENT_USER;
    } else {
        return false;
    }
    subKey = slash == std::wstring::npos ? std::wstring() : path.substr(slash + 1);
    return !subKey.empty();
}

int Registry(const std::vector<std::wstring>& args) {
    if (args.size() < 4) return Usage();
    const std::wstring& command = args[1];
    HKEY root = nullptr;
    std::wstring subKey;
    if (!SplitKeyPath(args[2], root, subKey)) return Usage();
    const wchar_t* name = args[3].c_str();

    Tessal::CObfuscatedRegKey key;
    const bool writing = command != L"get";
    const LONG opened = writing ? key.Create(root, subKey.c_str()) : key.Open(root, subKey.c_str(), KEY_QUERY_VALUE);
    if (opened != ERROR_SUCCESS) return Fail(opened, L"cannot open " + args[2]);

    if (command == L"set-dword" && args.size() == 5) {
        long long number = 0;
        if (!ParseNumber(args[4], 0, 0xFFFFFFFFLL, number)) return Usage();
        const LONG error = key.SetDWORDValue(name, static_cast<DWORD>(number));
        return error == ERROR_SUCCESS ? 0 : Fail(error, L"cannot write " + args[3]);
    }
    if (command == L"set-string" && args.size() == 5) {
        const LONG error = key.SetStringValue(name, args[4].c_str());
        return error == ERROR_SUCCESS ? 0 : Fail(error, L"cannot write " + args[3]);
    }
    if (command == L"delete" && args.size() == 4) {
        const LONG error = key.DeleteValue(name);
        return error == ERROR_SUCCESS ? 0 : Fail(error, L"cannot delete " + args[3]);
    }
    if (command == L"get" && args.size() == 4) {
        DWORD type = 0;
        LONG error = key.QueryValue(name, &type, nullptr, nullptr);
        if (error != ERROR_SUCCESS) return Fail(error, L"cannot read " + args[3]);
        if (type == REG_DWORD) {
            DWORD value = 0;
            error = key.QueryDWORDValue(name, value);
            if (error != ERROR_SUCCESS) return Fail(error, L"cannot read " + args[3]);
            Write(stdout, L"REG_DWORD " + std::to_wstring(value) + L"\n");
            return 0;
        }
        if (type == REG_SZ || type == REG_EXPAND_SZ) {
            std::wstring text;
            error = key.QueryStringValue(name, text);
            if (error != ERROR_SUCCESS) return Fail(error, L"cannot read " + args[3]);
            Write(stdout, L"REG_SZ " + text + L"\n");
            return 0;
        }
        return Fail(ERROR_NOT_SUPPORTED, L"value type " + std::to_wstring(type) + L" is not shown");
    }
    return Usage();
}

int Ini(const std::vector<std::wstring>& args) {
    if (args.size() < 5) return Usage();
    const std::wstring& command = args[1];
    Tessal::CObfuscatedIniReader reader;
    // A missing file is fine for writing: the reader keeps the name and the write creates it.
    const bool loaded = reader.Load(args[2]);

    if (command == L"set-int" && args.size() == 6) {
        long long number = 0;
        if (!ParseNumber(args[5], INT_MIN, INT_MAX, number)) return Usage();
        return reader.WriteIntValue(args[3], args[4], static_cast<int>(number)) ? 0 : WriteFailed(args[2]);
    }
    if (command == L"set-string" && args.size() == 6) {
        return reader.WriteStringValue(args[3], args[4], args[5]) ? 0 : WriteFailed(args[2]);
    }
    if (command == L"get" && args.size() == 5) {
        if (!loaded) return Fail(ERROR_FILE_NOT_FOUND, L"cannot read " + args[2]);
        std::wstring text;
        if (!reader.GetStringValue(args[3], args[4], text)) {
            return Fail(ERROR_NOT_FOUND, L"no scrambled entry " + args[3] + L"." + args[4]);
        }
        Write(stdout, text + L"\n");
        return 0;
    }
    return Usage();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring> args(argv + 1, argv + argc);
    try {
        if (!args.empty() && args[0] == L"reg") return Registry(args);
        if (!args.empty() && args[0] == L"ini") return Ini(args);
        return Usage();
    } catch (const std::exception&) {
        return Fail(ERROR_OUTOFMEMORY, L"unexpected failure");
    }
}
