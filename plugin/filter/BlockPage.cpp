#include "plugin/filter/BlockPage.h"

#include "base/TextConversion.h"
#include "logging/Logging.h"
#include "plugin/filter/HttpText.h"
#include "nuvutil/UrlText.h"

#include <cstring>
#include <memory>

namespace BlockPage {
namespace {

using HttpText::EndsNoCase;
using HttpText::StartsNoCase;


constexpr std::string_view kPageSuffixes[] = {".htm", ".html", ".asp", ".aspx", ".php", "/"};
constexpr std::string_view kScriptSuffixes[] = {".js", ".css", ".xml"};
constexpr std::string_view kImageSuffixes[] = {".jpg", ".jpeg", ".gif", ".png", ".swf"};
constexpr std::string_view kHtmlTypes[] = {"text/html"};
constexpr std::string_view kScriptTypes[] = {"application/x-javascript", "text/javascript", "text/css", "text/xml"};
constexpr std::string_view kMediaTypes[] = {"image/", "audio/", "video/", "application/x-shockwave-flash"};

template <std::size_t N>
bool AnyEnds(std::string_view text, const std::string_view (&suffixes)[N]) {
    for (const std::string_view suffix : suffixes) {
        if (EndsNoCase(text, suffix)) return true;
    }
    return false;
}
template <std::size_t N>
bool AnyStarts(std::string_view text, const std::string_view (&prefixes)[N]) {
    for (const std::string_view prefix : prefixes) {
        if (StartsNoCase(text, prefix)) return true;
    }
    return false;
}

constexpr NuvResToken kTokens[] = {
    {L"%CONTENT%", 0},  // the reason's content id
    {L"%IDS_QUARVEL_NUV_WEB_HTMLTAG%", 20209},
    {L"%IDS_SOLEN_NUV_WEB_METATAG%", 14051},
    {L"%IDS_SOLEN_NUV_WEB_CONTENT_HEADER%", 14130},
    {L"%IDS_SOLEN_NUV_WEB_BODYTAG%", 5101},
    {L"%HEADER%", 0},  // the reason's header id
    {L"%TITLE%", 0},   // the reason's title id
};

// When the template cannot be had: the browser still gets a page, never a hanging request.
constexpr wchar_t kBuiltInPage[] =
    L"<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>This web site is blocked</title></head>"
    L"<body><h1>This web site is blocked</h1><p>%url%</p></body></html>";

// Every "%user%", "%url%" and "%category%" replaced in one pass: a value is never searched again.
std::wstring ReplaceValues(const std::wstring& page, const std::wstring& user, const std::wstring& url,
                           const std::wstring& category) {
    const struct {
        std::wstring_view token;
        std::wstring value;
    } values[] = {{L"%user%", HtmlEscape(user)}, {L"%url%", HtmlEscape(url)}, {L"%category%", HtmlEscape(category)}};
    std::wstring out;
    out.reserve(page.size());
    for (std::size_t at = 0; at < page.size();) {
        bool replaced = false;
        if (page[at] == L'%') {
            for (const auto& value : values) {
                if (page.compare(at, value.token.size(), value.token) == 0) {
                    out += value.value;
                    at += value.token.size();
                    replaced = true;
                    break;
                }
            }
        }
        if (!replaced) out += page[at++];
    }
    return out;
}

}  // namespace

int GetUrlKind(std::string_view url) noexcept {
    if (AnyEnds(url, kPageSuffixes)) return kPage;
    if (AnyEnds(url, kScriptSuffixes)) return kScriptOrStyle;
    if (AnyEnds(url, kImageSuffixes)) return kImage;
    return kOtherUrl;
}

int GetContentTypeKind(std::string_view contentType) noexcept {
    if (AnyStarts(contentType, kHtmlTypes)) return kHtml;
    if (AnyStarts(contentType, kScriptTypes)) return kScriptOrStyleContent;
    if (AnyStarts(contentType, kMediaTypes)) return kMedia;
    return kOtherContent;
}

const char* BlockReasonName(LONG reason) noexcept {
    switch (reason) {
        case kTimeLimit: return "TimeLimit";
        case kNotOnAllowedUrlList: return "NotOnAllowedUrlList";
        case kOnBlockedUrlList: return "OnBlockedUrlList";
        case kUrlCategories: return "UrlCategories";
        default: return "unknown";
    }
}

PageStrings StringsForReason(LONG reason, LONG categoryMode, const wchar_t* userMask, UINT categoryNameId) noexcept {
    PageStrings strings;
    strings.header = 14130;
    switch (reason) {
        case kNotOnAllowedUrlList:
            strings = {true, 14114, 14130, 14108, 0};
            break;
        case kOnBlockedUrlList:
            strings = {true, 14117, 14130, 14112, 0};
            break;
        case kUrlCategories:
            if (categoryMode != 0 && userMask != nullptr && std::wcscmp(userMask, L"00000000200000000000000000000000") == 0) {
                strings = {true, 14129, 14130, 14128, 0};
            } else {
                strings = {true, 14127, 14130, 14126, categoryNameId};
            }
            break;
        default: break;
    }
    return strings;
}

bool ParseSafePageImage(std::string_view url, std::wstring& type, int& number) {
    type.clear();
    number = 0;
    if (url.find(kSafePageMarker) == std::string_view::npos) return false;
    if (EndsNoCase(url, ".jpg") || EndsNoCase(url, ".jpeg")) {
        type = L"JPEG";
    } else if (EndsNoCase(url, ".gif")) {
        type = L"GIF";
    }
    const std::size_t slash = url.find('/');
    const std::size_t underscore = url.find('_');
    if (slash == std::string_view::npos || slash == 0 || underscore == std::string_view::npos || underscore == 0) return true;
    // The first n characters after the first '/', n being the offset of the first '_'.
    const std::string_view digits = url.substr(slash + 1, underscore);
    int value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') break;
        if (value > 100000) break;
        value = value * 10 + (c - '0');
    }
    number = value;
    return true;
}

std::wstring HtmlEscape(std::wstring_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (const wchar_t c : text) {
        switch (c) {
            case L'&': out += L"&amp;"; break;
            case L'<': out += L"&lt;"; break;
            case L'>': out += L"&gt;"; break;
            case L'"': out += L"&quot;"; break;
            case L'\'': out += L"&#39;"; break;
            default: out += c; break;
        }
    }
    return out;
}

std::string HttpResponse(const char* contentType, const std::string& body) {
    return std::string("HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: ") + contentType +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

bool BuildBlockPage(CNuvResLoader* loader, const PageStrings& strings, const std::wstring& user, const std::wstring& url,
                    std::string& response) {
    std::wstring page;
    std::wstring category;
    bool fromTemplate = false;
    if (loader != nullptr && strings.supported) {
        NuvResToken tokens[7];
        std::copy(std::begin(kTokens), std::end(kTokens), tokens);
        tokens[0].stringId = strings.content;
        tokens[5].stringId = strings.header;
        tokens[6].stringId = strings.title;
        CSafeStringW replaced;
        if (loader->ReplaceTokens(L"WEBSERVER", L"/BADCONTENT.HTML", tokens, 7, replaced)) {
            page = replaced.GetString();
            fromTemplate = true;
            CSafeStringW name;
            if (strings.category != 0 && loader->LoadStringW(strings.category, name) && name.GetLength() != 0) {
                category = name.GetString();
            }
        } else {
            NUV_LOG(ETWLogging::LOG_ERROR, L"CHttpEventHandler::addResourceContent ReplaceTokens failed %s, %s", L"WEBSERVER",
                    L"/BADCONTENT.HTML");
        }
    }
    if (!fromTemplate) page = kBuiltInPage;
    std::wstring shownUrl = url;
    NormalizeUrl(shownUrl);
    const std::string body = Tessal::ToUtf8(ReplaceValues(page, user, shownUrl, category));
    if (body.empty()) return false;
    response = HttpResponse("text/html; charset=UTF-8", body);
    return true;
}

bool BuildSafePageImage(CNuvResLoader& loader, const std::wstring& type, int number, std::string& response) {
    BYTE* bytes = nullptr;
    DWORD size = 0;
    if (!loader.LoadImageW(number, type.c_str(), &bytes, &size) || bytes == nullptr) return false;
    std::unique_ptr<BYTE[]> image(bytes);
    const char* contentType = "image/jpeg";
    if (_wcsicmp(type.c_str(), L"GIF") == 0) {
        contentType = "image/gif";
    } else if (_wcsicmp(type.c_str(), L"JPEG") != 0) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Unsupported image type in safe page!");
    }
    response = HttpResponse(contentType, std::string(reinterpret_cast<const char*>(image.get()), size));
    return true;
}

}  // namespace BlockPage
