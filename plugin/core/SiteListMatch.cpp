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

// In place, so that matching a long list allocates nothing per entry.
void NormaliseEntry(std::string& entry) {
    if (entry.size() >= 4 && LowerAscii(entry[0]) == 'w' && LowerAscii(entry[1]) == 'w' && LowerAscii(entry[2]) == 'w' &&
        entry[3] == '.') {
        entry.erase(0, 4);
    }
    for (const char trailing : {'/', ':', '.'}) {
        if (!entry.empty() && entry.back() == trailing) entry.pop_back();
    }
    for (const char* pair : {":/", "./", ".:"}) {
        const std::size_t at = entry.find(pair);
        if (at != std::string::npos && at > 0) entry.erase(at, 1);
    }
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
// ASCII is the same in every ANSI code page and needs no conversion call.
void ToAnsi(const wchar_t* text, std::string& out) {
    out.clear();
    if (text == nullptr) return;
    const wchar_t* p = text;
    for (; *p != L'\0'; ++p) {
        if (*p >= 0x80) {
            out = Tessal::ToThreadAnsi(text);
            return;
        }
        out.push_back(static_cast<char>(*p));
    }
}

// The parts of a URL the entries are compared with, taken once for a whole list: each candidate
// the entries are tested against, in the order the tests take them.
struct ParsedUrl {
    bool valid = false;
    std::vector<std::string> domainForms;    // lower-case domain with each port form (none, ":80", its own)
    std::vector<std::string> hostForms;      // lower-case host without a leading "www.", each port form
    std::vector<std::string> hostPathForms;  // the same followed by the path, when there is one
};

ParsedUrl ParseUrl(const CSafeStringA& url) {
    ParsedUrl parsed;
    if (url.m_nLength == 0) return parsed;
    CSafeStringA hostPart, domainPart, pathPart, portPart;
    if (!CSafeStringA::GetHost(url, hostPart) || !CSafeStringA::GetDomain(url, domainPart)) return parsed;
    CSafeStringA::GetPath(url, pathPart);
    CSafeStringA::GetPort(url, portPart);
    // A Host header may come in any case; "EXAMPLE.COM" must not pass the entry "example.com".
    std::string host = TextOf(hostPart);
    std::string domain = TextOf(domainPart);
    ToLowerAscii(host);
    ToLowerAscii(domain);
    RemoveLeadingWww(host);
    const std::string path = TextOf(pathPart);
    const std::string port = TextOf(portPart);
    std::vector<std::string> portForms = {std::string(), ":80"};
    if (!port.empty()) portForms.push_back(":" + port);
    for (const std::string& portForm : portForms) {
        parsed.domainForms.push_back(domain + portForm);
        parsed.hostForms.push_back(host + portForm);
        if (!path.empty()) parsed.hostPathForms.push_back(host + portForm + path);
    }
    parsed.valid = true;
    return parsed;
}

// `entry` is normalised in place.
bool MatchParsed(const ParsedUrl& url, std::string& entry) {
    if (!url.valid || entry.empty()) return false;
    NormaliseEntry(entry);
    if (entry.empty()) return false;  // "www." or a lone separator names no site
    for (const std::string& candidate : url.domainForms) {
        if (EndsAtLabel(candidate, entry)) return true;
    }
    for (const std::string& candidate : url.hostForms) {
        if (EqualsNoCase(entry, candidate)) return true;
    }
    for (const std::string& candidate : url.hostPathForms) {
        if (EqualsNoCase(entry, candidate)) return true;
    }
    return false;
}

}  // namespace

bool MatchUrlWithSiteEntry(const CSafeStringA& url, const CSafeStringA& entry) {
    if (url.m_nLength == 0 || entry.m_nLength == 0) return false;
    std::string text = TextOf(entry);
    return MatchParsed(ParseUrl(url), text);
}

bool MatchSiteList(const wchar_t* url, const CSiteList& list, CSafeStringW& matched) {
    if (list.empty()) return false;
    std::string narrowUrl;
    ToAnsi(url, narrowUrl);
    // The host lies well inside the limit of the narrow string: cut an over-long query rather than
    // let it carry the URL past the lists.
    if (narrowUrl.size() > static_cast<std::size_t>(CSafeStringA::kMaxLength)) narrowUrl.resize(CSafeStringA::kMaxLength);
    // The URL is taken apart once for the whole list.
    const ParsedUrl parsed = ParseUrl(CSafeStringA(narrowUrl.c_str()));
    if (!parsed.valid) return false;

    std::string narrowEntry;  // one buffer for every entry
    for (const CSafeStringW& entry : list) {
        ToAnsi(entry.GetString(), narrowEntry);
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
