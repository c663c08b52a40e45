#pragma once
// Web-category masks: 32 hexadecimal digits, one bit a category ("00000000000000000000000000000000"
// is none), written in upper case; a list of masks is the masks separated by single blanks (the
// user's category setting). Two masks intersect when, aligned at their right ends, some digit
// position has a common bit.

#include "nuvutil/SafeString.h"

#include <windows.h>

inline constexpr char kNoCategoryMask[] = "00000000000000000000000000000000";

// 0-15 for "0"-"9", "a"-"f", "A"-"F"; -1 for any other character.
int HexDigitValue(wchar_t c) noexcept;

// Every character a hexadecimal digit (an empty text is valid, a missing one is not).
bool IsValidCategoryMask(const char* text) noexcept;

// Aligned at their right ends, over the shorter length (each text counted up to 2084 characters):
// true at the first position whose digits share a bit; false at a character that is no digit.
bool MasksIntersect(const wchar_t* a, const wchar_t* b) noexcept;

// The first member of the blank-separated list that intersects the mask (copied into `matched`
// when given). The list ends at its first empty member: a list starting with a blank matches nothing.
bool IsCategoryInList(const wchar_t* mask, const wchar_t* list, CSafeStringW* matched);

// The mask of a reputation category code; null for a code without one.
const char* CategoryMaskOfCode(LONG code) noexcept;
