#include "plugin/core/SiteListMatch.h"

#include "base/TextConversion.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

std::string TextOf(const CSafeStringA& s) {
    return s.m_pBuffer != nullptr ? std::string(s.m_pBuffer, ::strnlen(s.m_pBuffer, s.m_nLength)) : std::string();
}

// Host names are ASCII; a locale-dependent case mapping has no business deciding a match.
char LowerAscii(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

void ToLowerAscii(std::string& text) noexcept {
    for (char& c : text) c = LowerAscii(c);
}

bool EqualsNoCase(const std::string& a, const std::string& b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    }
    return true;
}

void RemoveLeadingWww(std::string& text) {
    if (text.size() >= 4 && EqualsNoCase(text.substr(0, 4), "www.")) text.erase(0, 4);
}

std::string NormaliseEntry(std::string entry) {
    RemoveLeadingWww(entry);
    for (const char trailing : {'/', ':', '.'}) {
        if (!entry.empty() && entry.back() == trailing) entry.pop_back();
    }
    for (const char* pair : {":/", "./", ".:"}) {
        const std::size_t at = entry.find(pair);
        if (at != std::string::npos && at > 0) entry.erase(at, 1);
    }
    return entry;
}

// Offset of the last of the non-overlapping occurrences found from the start; npos for none.
std::size_t FindLastNonOverlapping(const std::string& text, const std::string& needle) {
    std::size_t last = std::string::npos;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) {
        last = at;
    }
    return last;
}

// The entry ends the candidate at a label boundary: the whole candidate, or its last occurrence
// has a '.' in front.
bool EndsAtLabel(const std::string& candidate, const std::string& entry) {
    const std::size_t at = FindLastNonOverlapping(candidate, entry);
    if (at == std::string::npos) return false;
    if (entry.size() == candidate.size()) return true;
    return entry.size() < candidate.size() && at > 0 && candidate[at - 1] == '.';
}

// Text in the thread's ANSI code page, up to its first NUL; empty when it cannot be converted.
std::string ToAnsi(const wchar_t* text) { return text == nullptr ? std::string() : Tessal::ToThreadAnsi(text); }

// The parts of a URL the entries are compared with, taken once for a whole list.
struct ParsedUrl {
    bool valid = false;
    std::string host;    // lower case, without a leading "www."
    std::string domain;  // lower case
    std::string path;
    std::vector<std::string> portForms;  // none, ":80", the URL's own port
};

ParsedUrl ParseUrl(const CSafeStringA& url) {
    ParsedUrl parsed;
    if (url.m_nLength == 0) return parsed;
    CSafeStringA hostPart, domainPart, pathPart, portPart;
    if (!CSafeStringA::GetHost(url, hostPart) || !CSafeStringA::GetDomain(url, domainPart)) return parsed;
    CSafeStringA::GetPath(url, pathPart);
    CSafeStringA::GetPort(url, portPart);
    // A Host header may come in any case; "EXAMPLE.COM" must not pass the entry "example.com".
    parsed.host = TextOf(hostPart);
    parsed.domain = TextOf(domainPart);
    ToLowerAscii(parsed.host);
    ToLowerAscii(parsed.domain);
    RemoveLeadingWww(parsed.host);
    parsed.path = TextOf(pathPart);
    const std::string port = TextOf(portPart);
    parsed.portForms = {std::string(), ":80"};
    if (!port.empty()) parsed.portForms.push_back(":" + port);
    parsed.valid = true;
    return parsed;
}

bool MatchParsed(const ParsedUrl& url, const std::string& entry) {
    if (!url.valid || entry.empty()) return false;
    const std::string normalised = NormaliseEntry(entry);
    if (normalised.empty()) return false;  // "www." or a lone separator names no site
    // The port forms, in the order the tests take them.
    for (const std::string& portForm : url.portForms) {
        if (EndsAtLabel(url.domain + portForm, normalised)) return true;
    }
    for (const std::string& portForm : url.portForms) {
        if (EqualsNoCase(normalised, url.host + portForm)) return true;
    }
    if (!url.path.empty()) {
        for (const std::string& portForm : url.portForms) {
            if (EqualsNoCase(normalised, url.host + portForm + url.path)) return true;
        }
    }
    return false;
}

}  // namespace

bool MatchUrlWithSiteEntry(const CSafeStringA& url, const CSafeStringA& entry) {
    if (url.m_nLength == 0 || entry.m_nLength == 0) return false;
    return MatchParsed(ParseUrl(url), TextOf(entry));
}

bool MatchSiteList(const wchar_t* url, const CSiteList& list, CSafeStringW& matched) {
    if (list.empty()) return false;
    std::string narrowUrl = ToAnsi(url);
    // The host lies well inside the limit of the narrow string: cut an over-long query rather than
    // let it carry the URL past the lists.
    if (narrowUrl.size() > static_cast<std::size_t>(CSafeStringA::kMaxLength)) narrowUrl.resize(CSafeStringA::kMaxLength);
    // The URL is taken apart once for the whole list.
    const ParsedUrl parsed = ParseUrl(CSafeStringA(narrowUrl.c_str()));
    if (!parsed.valid) return false;

    for (const CSafeStringW& entry : list) {
        const std::string narrowEntry = ToAnsi(entry.GetString());
        if (narrowEntry.size() > static_cast<std::size_t>(CSafeStringA::kMaxLength)) continue;
        if (MatchParsed(parsed, narrowEntry)) {
            matched.Append(entry.GetString(), entry.GetLength());
            return true;
        }
    }
    return false;
}

bool FindLineEnd(const BYTE* first, const BYTE* last, DWORD& consumed, DWORD& terminatorLength) {
    consumed = 0;
    terminatorLength = 0;
    if (first == nullptr || last == nullptr || first > last) return false;
    // The first LF ends the line (a CR before it belongs to the terminator): one memchr instead of
    // a test of every byte, since every request byte passes through here.
    const auto* lf = static_cast<const BYTE*>(std::memchr(first, '\n', static_cast<std::size_t>(last - first) + 1));
    if (lf == nullptr) return false;
    const bool crlf = lf > first && lf[-1] == '\r';
    consumed = static_cast<DWORD>(lf - first) + 1;
    terminatorLength = crlf ? 2 : 1;
    return true;
}
