#pragma once
// UTF-8 <-> UTF-16 for whole texts (files, records, console output). Invalid input is replaced,
// not refused, as WideCharToMultiByte and MultiByteToWideChar do without flags.

#include <string>
#include <string_view>

namespace Tessal {

std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);

// Narrow text in the thread's ANSI code page (host names, ini files, registry names), as the
// narrow Windows functions read it. Empty for empty input or when nothing converts.
std::wstring FromThreadAnsi(std::string_view text);
// The other way; characters the code page lacks become its default character ('?').
std::string ToThreadAnsi(std::wstring_view text);

}  // namespace Tessal
