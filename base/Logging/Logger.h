#pragma once
// The base library's own logging point: every message goes to exactly one registered handler.
// The logging library registers its bridge here so base-library messages reach the process logger.

#include <windows.h>

#include <cstdarg>
#include <cstddef>
#include <string>

namespace Tessal {

enum : DWORD {
    LOG_TYPE_NONE = 0,   // accepted, written by no one
    LOG_TYPE_INFO = 1,
    LOG_TYPE_ERROR = 2,
};

class ILoggingHandler {
public:
    virtual void Handle(DWORD type, const wchar_t* sourceFile, const wchar_t* function, int line,
                        const wchar_t* message) = 0;

protected:
    ~ILoggingHandler() = default;
};

// Writes to the debugger output.
class CDefaultLoggingHandler : public ILoggingHandler {
public:
    void Handle(DWORD type, const wchar_t* sourceFile, const wchar_t* function, int line,
                const wchar_t* message) override;

    // The debugger line for a message; empty for type 0.
    static std::wstring FormatLine(DWORD type, const wchar_t* sourceFile, const wchar_t* function, int line,
                                   const wchar_t* message);
};

// Registration is not synchronised: the process logger registers once under its own once-only
// creation and unregisters at exit.
class CLogger {
public:
    // Formats with Microsoft conventions ("%s" is wide) and hands the message to the handler.
    static void Log(DWORD type, const wchar_t* sourceFile, const wchar_t* function, int line, const wchar_t* format,
                    ...) noexcept;
    static void LogV(DWORD type, const wchar_t* sourceFile, const wchar_t* function, int line, const wchar_t* format,
                     va_list args) noexcept;

    static DWORD RegisterHandler(ILoggingHandler* handler) noexcept;    // 0, 87 or 5023
    static DWORD UnregisterHandler(ILoggingHandler* handler) noexcept;  // 0, 87 or 5023

    // What is registered now (null, the default handler or a caller's).
    static ILoggingHandler* RegisteredHandler() noexcept;
    static CDefaultLoggingHandler& DefaultHandler() noexcept;
};

DWORD RegisterLoggingHandler(ILoggingHandler* handler) noexcept;
DWORD UnregisterLoggingHandler(ILoggingHandler* handler) noexcept;

namespace internal {
// Behind TESSAL_LOG: the compiler gives the function name only as narrow text.
void LogFromHere(DWORD type, const wchar_t* sourceFile, const char* function, int line, const wchar_t* format,
                 ...) noexcept;
}  // namespace internal

}  // namespace Tessal

#define TESSAL_WIDEN2(x) L##x
#define TESSAL_WIDEN(x) TESSAL_WIDEN2(x)

// Logs through Tessal::CLogger with the caller's source file, function and line.
#define TESSAL_LOG(type, format, ...) \
    ::Tessal::internal::LogFromHere((type), TESSAL_WIDEN(__FILE__), __func__, __LINE__, (format), ##__VA_ARGS__)
