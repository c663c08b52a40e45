#include "base/Format.h"

#include <stdio.h>
#include <wchar.h>

namespace Tessal {
namespace {

// msvcrt's own functions, whatever __USE_MINGW_ANSI_STDIO maps the standard names to.
int LengthOf(const wchar_t* format, va_list args) { return ::_vscwprintf(format, args); }
int LengthOf(const char* format, va_list args) { return ::_vscprintf(format, args); }
int PrintTo(wchar_t* buffer, std::size_t count, const wchar_t* format, va_list args) {
    return ::_vsnwprintf(buffer, count, format, args);
}
int PrintTo(char* buffer, std::size_t count, const char* format, va_list args) {
    return ::_vsnprintf(buffer, count, format, args);
}

template <class Char>
int LengthV(const Char* format, va_list args) noexcept {
    if (format == nullptr) return -1;
    va_list copy;
    va_copy(copy, args);
    const int length = LengthOf(format, copy);
    va_end(copy);
    return length;
}

template <class Char>
int ToV(Char* buffer, std::size_t count, const Char* format, va_list args) noexcept {
    if (buffer == nullptr || count == 0) return -1;
    if (format == nullptr) {
        buffer[0] = 0;
        return -1;
    }
    va_list copy;
    va_copy(copy, args);
    // msvcrt leaves the buffer unterminated when the text fills it exactly or is cut.
    const int written = PrintTo(buffer, count, format, copy);
    va_end(copy);
    if (written < 0 || static_cast<std::size_t>(written) >= count) {
        buffer[count - 1] = 0;
        return -1;
    }
    return written;
}

template <class Char>
std::basic_string<Char> StringV(const Char* format, va_list args) {
    const int length = LengthV(format, args);
    if (length <= 0) return {};
    std::basic_string<Char> text(static_cast<std::size_t>(length) + 1, Char(0));
    const int written = ToV(&text[0], text.size(), format, args);
    text.resize(written < 0 ? 0 : static_cast<std::size_t>(written));
    return text;
}

}  // namespace

int FormattedLengthV(const wchar_t* format, va_list args) noexcept { return LengthV(format, args); }
int FormattedLengthV(const char* format, va_list args) noexcept { return LengthV(format, args); }

int FormatToV(wchar_t* buffer, std::size_t count, const wchar_t* format, va_list args) noexcept {
    return ToV(buffer, count, format, args);
}
int FormatToV(char* buffer, std::size_t count, const char* format, va_list args) noexcept {
    return ToV(buffer, count, format, args);
}

int FormatTo(wchar_t* buffer, std::size_t count, const wchar_t* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    const int result = ToV(buffer, count, format, args);
    va_end(args);
    return result;
}

int FormatTo(char* buffer, std::size_t count, const char* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    const int result = ToV(buffer, count, format, args);
    va_end(args);
    return result;
}

std::wstring FormatV(const wchar_t* format, va_list args) { return StringV(format, args); }
std::string FormatV(const char* format, va_list args) { return StringV(format, args); }

std::wstring Format(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring text = StringV(format, args);
    va_end(args);
    return text;
}

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = StringV(format, args);
    va_end(args);
    return text;
}

}  // namespace Tessal
