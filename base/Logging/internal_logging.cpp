#include "base/Logging/Logger.h"

#include "base/Format.h"

#include <cstdint>
#include <new>

namespace Tessal {
namespace {

constexpr wchar_t kSourceFile[] = L"Logging\\internal_logging";
constexpr wchar_t kRegisterFunction[] = L"Tessal::CLogger::RegisterHandler";
constexpr wchar_t kUnregisterFunction[] = L"Tessal::CLogger::UnregisterHandler";
constexpr wchar_t kAllocationFailure[] = L"General memory-allocation failure in Tessal logger.";

CDefaultLoggingHandler g_defaultHandler;
ILoggingHandler* g_handler = nullptr;

// Messages print handlers as the low 32 bits of their address.
unsigned int Low32(const void* p) { return static_cast<unsigned int>(reinterpret_cast<std::uintptr_t>(p)); }

// The system's text for a Win32 code, cut at its first null.
struct ErrorText {
    explicit ErrorText(DWORD code) {
        text[0] = 0;
        ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0, text, ARRAYSIZE(text), nullptr);
        text[ARRAYSIZE(text) - 1] = 0;
    }
    wchar_t text[1024];
};

void Report(const wchar_t* function, int line, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    CLogger::LogV(LOG_TYPE_ERROR, kSourceFile, function, line, format, args);
    va_end(args);
}

const wchar_t* OrEmpty(const wchar_t* s) { return s != nullptr ? s : L""; }

}  // namespace

void CLogger::Log(DWORD type, const wchar_t* sourceFile, const wchar_t* function, int line, const wchar_t* format,
                  ...) noexcept {
    va_list args;
    va_start(args, format);
    LogV(type, sourceFile, function, line, format, args);
    va_end(args);
}

void CLogger::LogV(DWORD type, const wchar_t* sourceFile, const wchar_t* function, int line, const wchar_t* format,
                   va_list args) noexcept {
    if (g_handler == nullptr) RegisterHandler(&g_defaultHandler);
    ILoggingHandler* handler = g_handler;
    if (handler == nullptr) return;

    try {
        const int length = FormattedLengthV(format, args);
        if (length < 0) {
            // A format msvcrt refuses: the caller still learns what was meant.
            handler->Handle(type, sourceFile, function, line, OrEmpty(format));
            return;
        }
        wchar_t* message = new (std::nothrow) wchar_t[static_cast<std::size_t>(length) + 1];
        if (message == nullptr) {
            handler->Handle(LOG_TYPE_ERROR, sourceFile, function, line, kAllocationFailure);
            return;
        }
        FormatToV(message, static_cast<std::size_t>(length) + 1, format, args);
        handler->Handle(type, sourceFile, function, line, message);
        delete[] message;
    } catch (...) {
        // A handler that throws loses its message; the caller's code goes on.
    }
}

DWORD CLogger::RegisterHandler(ILoggingHandler* handler) noexcept {
    if (handler == nullptr) {
        Report(kRegisterFunction, __LINE__, L"%s: Cannot Register (NULL) handler", ErrorText(87).text);
        return 87;
    }
    if (g_handler == nullptr || g_handler == handler || g_handler == &g_defaultHandler) {
        g_handler = handler;
        return 0;
    }
    Report(kRegisterFunction, __LINE__, L"%s: Registered Logging Handler 0x%08X cannot be replaced with 0x%08X",
           ErrorText(5023).text, Low32(g_handler), Low32(handler));
    return 5023;
}

DWORD CLogger::UnregisterHandler(ILoggingHandler* handler) noexcept {
    if (handler == nullptr) {
        Report(kUnregisterFunction, __LINE__, L"%s: Cannot Unregister (NULL) handler", ErrorText(87).text);
        return 87;
    }
    if (g_handler == nullptr) {
        // The requester is told, through itself, that nothing was registered.
        g_handler = handler;
        Report(kUnregisterFunction, __LINE__, L"%s: Request to Unregister Logging handler 0x%08X, but none are registered",
               ErrorText(5023).text, Low32(handler));
        g_handler = nullptr;
        return 5023;
    }
    if (g_handler == handler) {
        g_handler = nullptr;
        return 0;
    }
    ILoggingHandler* const registered = g_handler;
    const ErrorText text(5023);
    const wchar_t* const format =
        L"%s: Failed to Unregister Logging handler (requested handler 0x%08X != registered handler 0x%08X)";
    Report(kUnregisterFunction, __LINE__, format, text.text, Low32(handler), Low32(registered));
    g_handler = handler;
    Report(kUnregisterFunction, __LINE__, format, text.text, Low32(handler), Low32(registered));
    g_handler = registered;
    return 5023;
}

ILoggingHandler* CLogger::RegisteredHandler() noexcept { return g_handler; }

CDefaultLoggingHandler& CLogger::DefaultHandler() noexcept { return g_defaultHandler; }

std::wstring CDefaultLoggingHandler::FormatLine(DWORD type, const wchar_t* sourceFile, const wchar_t* function,
                                                int line, const wchar_t* message) {
    const wchar_t* format = nullptr;
    switch (type) {
        case LOG_TYPE_NONE: return {};
        case LOG_TYPE_INFO: format = L"%s(%d): [INFO]: [%s]: %s\n"; break;
        case LOG_TYPE_ERROR: format = L"%s(%d): [ERROR]: [%s]: %s\n"; break;
        default: format = L"%s(%d): [UNKNOWN]: [%s]: %s\n"; break;
    }
    return Format(format, OrEmpty(sourceFile), line, OrEmpty(function), OrEmpty(message));
}

void CDefaultLoggingHandler::Handle(DWORD type, const wchar_t* sourceFile, const wchar_t* function, int line,
                                    const wchar_t* message) {
    const std::wstring text = FormatLine(type, sourceFile, function, line, message);
    if (!text.empty()) ::OutputDebugStringW(text.c_str());
}

DWORD RegisterLoggingHandler(ILoggingHandler* handler) noexcept { return CLogger::RegisterHandler(handler); }

DWORD UnregisterLoggingHandler(ILoggingHandler* handler) noexcept { return CLogger::UnregisterHandler(handler); }

namespace internal {

void LogFromHere(DWORD type, const wchar_t* sourceFile, const char* function, int line, const wchar_t* format,
                 ...) noexcept {
    wchar_t wideFunction[256];
    std::size_t i = 0;
    for (; function != nullptr && function[i] != 0 && i + 1 < ARRAYSIZE(wideFunction); ++i) {
        wideFunction[i] = static_cast<unsigned char>(function[i]);
    }
    wideFunction[i] = 0;
    va_list args;
    va_start(args, format);
    CLogger::LogV(type, sourceFile, wideFunction, line, format, args);
    va_end(args);
}

}  // namespace internal
}  // namespace Tessal
