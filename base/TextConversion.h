#pragma once
// UTF-8 <-> UTF-16 for whole texts (files, records, console output). Invalid input is replaced,
// not refused, as WideCharToMultiByte and MultiByteToWideChar do without flags.

#include <string>

namespace Tessal {

std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);

}  // namespace Tessal
