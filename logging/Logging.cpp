#include "logging/Logging.h"

#include <cstring>
#include <cwchar>
#include <memory>
#include <new>

namespace ETWLogging {
namespace {

// Plain storage: ConfigureLogging may run from another file's static initialiser.
struct StoredText {
    std::unique_ptr<wchar_t[]> text;

    void Assign(const wchar_t* value) noexcept {
        if (value == nullptr) {
            text.reset();
            return;
        }
        const std::size_t length = std::wcslen(value);
        wchar_t* copy = new (std::nothrow) wchar_t[length + 1];
        if (copy != nullptr) std::wmemcpy(copy, value, length + 1);
        text.reset(copy);
    }
};

StoredText g_applicationId;
StoredText g_componentName;
StoredText g_fileSuffix;
HMODULE g_module = nullptr;
DWORD g_forceFile = 0;

constexpr std::size_t kNameChars = 256;

bool IsIdentifierChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// At an "operator" token: the index of the '(' opening its parameter list, or npos.
std::size_t SkipOperatorName(const char* text, std::size_t at, std::size_t end) {
    std::size_t i = at + 8;
    if (i + 1 < end && text[i] == '(' && text[i + 1] == ')') i += 2;  // operator()
    while (i < end && text[i] != '(') ++i;
    return i;
}

bool IsOperatorToken(const char* text, std::size_t at, std::size_t end) {
    return at + 8 <= end && std::strncmp(text + at, "operator", 8) == 0 && (at == 0 || !IsIdentifierChar(text[at - 1])) &&
           (at + 8 == end || !IsIdentifierChar(text[at + 8]));
}

std::size_t Widen(const char* text, std::size_t length, wchar_t* out, std::size_t capacity) {
    const std::size_t kept = length < capacity - 1 ? length : capacity - 1;
    for (std::size_t i = 0; i < kept; ++i) out[i] = static_cast<unsigned char>(text[i]);
    out[kept] = 0;
    return kept;
}

}  // namespace

void ConfigureLogging(const wchar_t* applicationId, const wchar_t* componentName, HMODULE module,
                      const wchar_t* fileSuffix, DWORD forceFile) noexcept {
    if (module == nullptr) {
        ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                             reinterpret_cast<LPCWSTR>(&ConfigureLogging), &module);
    }
    g_applicationId.Assign(applicationId);
    g_componentName.Assign(componentName);
    g_fileSuffix.Assign(fileSuffix);
    g_module = module;
    g_forceFile = forceFile;
}

CLogManager* GetLogManager() noexcept { return CLogManager::Instance(); }

bool IsLogLevelEnabled(DWORD level) noexcept {
    CLogManager* const manager = CLogManager::Instance();
    return manager != nullptr && manager->IsLevelEnabled(level);
}

namespace internal {

LoggingParameters GetLoggingParameters() noexcept {
    return {g_applicationId.text.get(), g_componentName.text.get(), g_module, g_fileSuffix.text.get(), g_forceFile};
}

std::size_t QualifiedFunctionName(const char* prettyFunction, wchar_t* out, std::size_t capacity) noexcept {
    if (out == nullptr || capacity == 0) return 0;
    out[0] = 0;
    if (prettyFunction == nullptr) return 0;

    // "<return type> <qualified name>(<parameters>) [const] [with T = ...]"
    std::size_t end = std::strlen(prettyFunction);
    if (const char* with = std::strstr(prettyFunction, " [with ")) end = static_cast<std::size_t>(with - prettyFunction);

    std::size_t start = 0;
    std::size_t open = end;
    int depth = 0;
    for (std::size_t i = 0; i < end; ++i) {
        const char c = prettyFunction[i];
        if (IsOperatorToken(prettyFunction, i, end)) {
            open = SkipOperatorName(prettyFunction, i, end);
            if (depth == 0) break;
            i = open;
            open = end;
            continue;
        }
        if (c == '<' || c == '[') {
            ++depth;
        } else if (c == '>' || c == ']') {
            if (depth > 0) --depth;
        } else if (c == '(') {
            if (depth == 0) {
                open = i;  // the parameter list; a lambda's own "::<lambda(...)>" follows it
                break;
            }
            ++depth;
        } else if (c == ')') {
            if (depth > 0) --depth;
        } else if (c == ' ' && depth == 0) {
            start = i + 1;
        }
    }
    if (open < start) open = start;
    return Widen(prettyFunction + start, open - start, out, capacity);
}

std::size_t SourceFileStem(const char* path, wchar_t* out, std::size_t capacity) noexcept {
    if (out == nullptr || capacity == 0) return 0;
    out[0] = 0;
    if (path == nullptr) return 0;
    const char* name = path;
    for (const char* p = path; *p != 0; ++p) {
        if (*p == '\\' || *p == '/') name = p + 1;
    }
    const char* dot = std::strrchr(name, '.');
    const std::size_t length = dot != nullptr ? static_cast<std::size_t>(dot - name) : std::strlen(name);
    return Widen(name, length, out, capacity);
}

DWORD LogFromHere(DWORD level, const char* sourceFile, const char* prettyFunction, int line, const wchar_t* format,
                  ...) noexcept {
    CLogManager* const manager = CLogManager::Instance();
    if (manager == nullptr) return 0;
    wchar_t file[kNameChars];
    wchar_t function[kNameChars];
    SourceFileStem(sourceFile, file, kNameChars);
    QualifiedFunctionName(prettyFunction, function, kNameChars);
    va_list args;
    va_start(args, format);
    const DWORD result = manager->LogV(level, file, function, line, format, args);
    va_end(args);
    return result;
}

}  // namespace internal
}  // namespace ETWLogging
