#include "logging/LoggingIf.h"

#include "base/Format.h"

#include <atomic>

namespace ETWLogging {
namespace {

std::atomic<DWORD> g_processSeverity{LOG_INFORMATION};

}  // namespace

const wchar_t* LevelName(DWORD level) noexcept {
    switch (level) {
        case LOG_NORMAL: return L"Normal";
        case LOG_WARNING: return L"Warning";
        case LOG_INFORMATION: return L"Information";
        case LOG_ERROR: return L"Error";
        case LOG_CRITICAL: return L"Critical";
        case LOG_INFORMATION_6: return L"Information";
        default: return nullptr;
    }
}

DWORD CLoggingIf::LogFixedLevelV(DWORD level, const wchar_t* sourceFile, const wchar_t* function, int line,
                                 const wchar_t* format, va_list args) {
    wchar_t text[kFixedLevelBufferChars];
    Tessal::FormatToV(text, kFixedLevelBufferChars, format, args);
    return LogText(sourceFile, function, line, level, text);
}

#define ETWLOGGING_FIXED_LEVEL(name, level)                                                                    \
    DWORD CLoggingIf::name(const wchar_t* sourceFile, const wchar_t* function, int line, const wchar_t* format, \
                           ...) {                                                                              \
        va_list args;                                                                                          \
        va_start(args, format);                                                                                \
        const DWORD result = LogFixedLevelV((level), sourceFile, function, line, format, args);                \
        va_end(args);                                                                                          \
        return result;                                                                                         \
    }

ETWLOGGING_FIXED_LEVEL(LogNormal, LOG_NORMAL)
ETWLOGGING_FIXED_LEVEL(LogError, LOG_ERROR)
ETWLOGGING_FIXED_LEVEL(LogWarning, LOG_WARNING)
ETWLOGGING_FIXED_LEVEL(LogCritical, LOG_CRITICAL)
ETWLOGGING_FIXED_LEVEL(LogInformation, LOG_INFORMATION)

#undef ETWLOGGING_FIXED_LEVEL

namespace internal {

DWORD ExchangeProcessSeverity(DWORD severity) noexcept { return g_processSeverity.exchange(severity); }

DWORD ClampSeverity(DWORD level) noexcept {
    if (level == 0) return LOG_NORMAL;
    if (level > LOG_INFORMATION_6) return LOG_INFORMATION_6;
    return level;
}

}  // namespace internal
}  // namespace ETWLogging
