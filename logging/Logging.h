#pragma once
// The log front end every component uses. Configure once (DllMain, NewModule), then log through
// NUV_LOG, which tests the level before anything is formatted:
//
//   ETWLogging::ConfigureLogging(nullptr, L"Nuv", nullptr, nullptr, 0);
//   NUV_LOG(ETWLogging::LOG_ERROR, L"Cannot open %s: %lu", path, error);
//
// Formats follow Microsoft's conventions: "%s" and "%ls" take wide strings, "%hs" a narrow one.
// Pass std::wstring arguments as .c_str().

#include "logging/LogManager.h"
#include "logging/LoggingIf.h"

#include <type_traits>

namespace ETWLogging {

// Stores the parameters the process logger is created from at its first use; a call after that
// changes nothing for it. A null module stands for the module holding this code.
void ConfigureLogging(const wchar_t* applicationId, const wchar_t* componentName, HMODULE module,
                      const wchar_t* fileSuffix, DWORD forceFile) noexcept;

CLogManager* GetLogManager() noexcept;

// True when the process logger exists, holds a logger and the logger accepts the level.
bool IsLogLevelEnabled(DWORD level) noexcept;

// Logs through the process logger (created on demand); 0 without manager, else CLogManager::Log's
// result. Throws nothing.
template <class... Args>
DWORD LogFormat(DWORD level, const wchar_t* sourceFile, const wchar_t* function, int line, const wchar_t* format,
                Args... args) noexcept {
    static_assert((std::is_trivially_copyable<Args>::value && ...),
                  "printf-style arguments must be plain values: pass strings as .c_str()");
    CLogManager* const manager = CLogManager::Instance();
    return manager != nullptr ? manager->Log(level, sourceFile, function, line, format, args...) : 0;
}

// LogFormat with the level fixed to 3 ("Information").
template <class... Args>
DWORD LogFormatInformation(const wchar_t* sourceFile, const wchar_t* function, int line, const wchar_t* format,
                           Args... args) noexcept {
    return LogFormat(LOG_INFORMATION, sourceFile, function, line, format, args...);
}

// The logging call of the later components: like LogFormat, without result.
template <class... Args>
void LogMessage(DWORD level, const wchar_t* sourceFile, const wchar_t* function, int line, const wchar_t* format,
                Args... args) noexcept {
    LogFormat(level, sourceFile, function, line, format, args...);
}

namespace internal {

struct LoggingParameters {
    const wchar_t* applicationId;
    const wchar_t* componentName;
    HMODULE module;
    const wchar_t* fileSuffix;
    DWORD forceFile;
};
// What ConfigureLogging stored last (strings valid until its next call).
LoggingParameters GetLoggingParameters() noexcept;

// The qualified function name ("ns::Class::Method") out of GCC's __PRETTY_FUNCTION__, widened into
// `out` (cut to capacity - 1). Returns its length.
std::size_t QualifiedFunctionName(const char* prettyFunction, wchar_t* out, std::size_t capacity) noexcept;
// The file name without folder and extension, widened.
std::size_t SourceFileStem(const char* path, wchar_t* out, std::size_t capacity) noexcept;

// Behind NUV_LOG: converts the caller's narrow source file and function once the level passed.
DWORD LogFromHere(DWORD level, const char* sourceFile, const char* prettyFunction, int line,
                  const wchar_t* format, ...) noexcept;

template <class... Args>
DWORD LogHere(DWORD level, const char* sourceFile, const char* prettyFunction, int line, const wchar_t* format,
              Args... args) noexcept {
    static_assert((std::is_trivially_copyable<Args>::value && ...),
                  "printf-style arguments must be plain values: pass strings as .c_str()");
    return LogFromHere(level, sourceFile, prettyFunction, line, format, args...);
}

}  // namespace internal
}  // namespace ETWLogging

#ifdef __FILE_NAME__
#define NUV_LOG_SOURCE_FILE __FILE_NAME__
#else
#define NUV_LOG_SOURCE_FILE __FILE__
#endif

// Logs with the caller's source file, qualified function and line when the level is enabled;
// nothing (not even the arguments) is evaluated otherwise.
#define NUV_LOG(level, format, ...)                                                                          \
    do {                                                                                                     \
        const DWORD nuvLogLevel_ = (level);                                                                  \
        if (::ETWLogging::IsLogLevelEnabled(nuvLogLevel_)) {                                                 \
            ::ETWLogging::internal::LogHere(nuvLogLevel_, NUV_LOG_SOURCE_FILE, __PRETTY_FUNCTION__, __LINE__, \
                                            (format), ##__VA_ARGS__);                                        \
        }                                                                                                    \
    } while (0)
