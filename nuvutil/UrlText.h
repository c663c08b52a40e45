#pragma once
// The form in which a blocked URL is recorded and shown.

#include <string>

// Lower case ('A'-'Z' only), then trailing blanks, '/' and '\' removed.
void NormalizeUrl(std::wstring& url);
