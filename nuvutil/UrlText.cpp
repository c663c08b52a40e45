#include "nuvutil/UrlText.h"

void NormalizeUrl(std::wstring& url) {
    for (wchar_t& c : url) {
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    while (!url.empty() && (url.back() == L' ' || url.back() == L'/' || url.back() == L'\\')) url.pop_back();
}
