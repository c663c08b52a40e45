#pragma once
// printf-style formatting with Microsoft's conventions, which every format of this system uses:
// in a wide format "%s" takes a wide string and "%hs" a narrow one; in a narrow format "%s" is
// narrow and "%ls" wide. MinGW's own C99 printf reads "%s" as narrow everywhere, so all such
// formatting goes through these functions, which call msvcrt's _vsn(w)printf.

#include <cstdarg>
#include <cstddef>
#include <string>

namespace Tessal {

// Number of characters the formatted text needs (without the terminator); -1 for a bad format.
int FormattedLengthV(const wchar_t* format, va_list args) noexcept;
int FormattedLengthV(const char* format, va_list args) noexcept;

// Formats into a caller's buffer of `count` characters; always terminates it when count > 0.
// Returns the characters written, or -1 when the text was cut (or the format is bad).
int FormatToV(wchar_t* buffer, std::size_t count, const wchar_t* format, va_list args) noexcept;
int FormatToV(char* buffer, std::size_t count, const char* format, va_list args) noexcept;
int FormatTo(wchar_t* buffer, std::size_t count, const wchar_t* format, ...) noexcept;
int FormatTo(char* buffer, std::size_t count, const char* format, ...) noexcept;

// Whole-string forms. A bad format gives an empty string; out of memory throws std::bad_alloc.
std::wstring FormatV(const wchar_t* format, va_list args);
std::string FormatV(const char* format, va_list args);
std::wstring Format(const wchar_t* format, ...);
std::string Format(const char* format, ...);

}  // namespace Tessal
