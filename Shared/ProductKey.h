#pragma once
// The product's registry key below HKLM, written once. The macro builds the paths below it, wide
// (L"" NUV_PRODUCT_KEY "\\Settings") or narrow for the functions that take ANSI names.

#define NUV_PRODUCT_KEY "SOFTWARE\\Oberix\\NUV"

constexpr wchar_t kNuvProductKey[] = L"" NUV_PRODUCT_KEY;
