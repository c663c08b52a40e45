#pragma once
// What a blocked browser gets: the kinds of URLs and content types the block decision uses, the
// strings of each block reason, and the HTTP responses of the block page (from the resource DLL's
// template, or a minimal built-in page when it cannot be had) and of its images.

#include "Shared/NuvResLoader.h"

#include <windows.h>

#include <string>
#include <string_view>

namespace BlockPage {

enum BlockReason : LONG { kTimeLimit = 1, kNotOnAllowedUrlList = 2, kOnBlockedUrlList = 3, kUrlCategories = 6 };
enum UrlKind : int { kOtherUrl = 0, kPage = 1, kScriptOrStyle = 2, kImage = 3 };
enum ContentKind : int { kOtherContent = 0, kHtml = 1, kScriptOrStyleContent = 2, kMedia = 3 };

// By the end of the URL (host and path), case-insensitively.
int GetUrlKind(std::string_view url) noexcept;
// By the start of the content type, case-insensitively.
int GetContentTypeKind(std::string_view contentType) noexcept;
// "TimeLimit", "NotOnAllowedUrlList", "OnBlockedUrlList", "UrlCategories", "unknown".
const char* BlockReasonName(LONG reason) noexcept;

// The string ids of a reason's page; supported false for a reason without a page.
struct PageStrings {
    bool supported = false;
    UINT title = 0, header = 0, content = 0;
    UINT category = 0;  // 0: none
};
PageStrings StringsForReason(LONG reason, LONG categoryMode, const wchar_t* userMask, UINT categoryNameId) noexcept;

// A request for an image of the block page: true when the URL carries the marker; `type` is
// "JPEG", "GIF" or empty (unknown), `number` 0 when it cannot be read.
inline constexpr char kSafePageMarker[] = "_OberixVYX_C4A37A07-6F8E-4dc3-9D78-271792E5B0F8";
bool ParseSafePageImage(std::string_view url, std::wstring& type, int& number);

// & < > " ' as character references.
std::wstring HtmlEscape(std::wstring_view text);
// "HTTP/1.1 200 OK", "Connection: close", the type and the body's byte count, then the body.
std::string HttpResponse(const char* contentType, const std::string& body);

// The block page as an HTTP response (UTF-8). The template's tokens are replaced by the strings;
// then, in one pass, "%user%", "%url%" (NormalizeUrl) and "%category%" by their values, escaped for
// HTML. Without the template (or a string of it) a minimal built-in page; false only when
// nothing can be built.
bool BuildBlockPage(CNuvResLoader* loader, const PageStrings& strings, const std::wstring& user, const std::wstring& url,
                    std::string& response);
// The image of the block page (JPEG or GIF resource `number`) as an HTTP response; false when
// there is none.
bool BuildSafePageImage(CNuvResLoader& loader, const std::wstring& type, int number, std::string& response);

}  // namespace BlockPage
