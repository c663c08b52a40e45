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

// The entry ends the candidate at a label boundary: the whole candidate, or its last occurrence
// has a '.' in front.
bool EndsAtLabel(const std::string& candidateText, const CSafeStringA& entry) {
    const CSafeStringA candidate(candidateText.c_str());
    const int at = candidate.FindLast(entry);
    if (at < 0) return false;
    if (entry.m_nLength == candidate.m_nLength) return true;
    return entry.m_nLength < candidate.m_nLength && at > 0 && candidate.m_pBuffer[at - 1] == '.';
}

// Text in the thread's ANSI code page, up to its first NUL; empty when it cannot be converted.
std::string ToAnsi(const wchar_t* text) { return text == nullptr ? std::string() : Tessal::ToThreadAnsi(text); }

}  // namespace

bool MatchUrlWithSiteEntry(const CSafeStringA& url, const CSafeStringA& entry) {
    if (url.m_nLength == 0 || entry.m_nLength == 0) return false;
    const std::string normalised = NormaliseEntry(TextOf(entry));
    if (normalised.empty()) return false;  // "www." or a lone separator names no site
    const CSafeStringA needle(normalised.c_str());

    CSafeStringA hostPart, domainPart, pathPart, portPart;
    if (!CSafeStringA::GetHost(url, hostPart) || !CSafeStringA::GetDomain(url, domainPart)) return false;
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

    // The port forms, in the order the tests take them: none, ":80", the URL's own port.
    std::vector<std::string> portForms{std::string(), ":80"};
    if (!port.empty()) portForms.push_back(":" + port);

    for (const std::string& portForm : portForms) {
        if (EndsAtLabel(domain + portForm, needle)) return true;
    }
    for (const std::string& portForm : portForms) {
        if (EqualsNoCase(normalised, host + portForm)) return true;
    }
    if (!path.empty()) {
        for (const std::string& portForm : portForms) {
            if (EqualsNoCase(normalised, host + portForm + path)) return true;
        }
    }
    return false;
}

bool MatchSiteList(const wchar_t* url, const CSiteList& list, CSafeStringW& matched) {
    if (list.empty()) return false;
    std::string narrowUrl = ToAnsi(url);
    // The host lies well inside the limit of the narrow string: cut an over-long query rather than
    // let it carry the URL past the lists.
    if (narrowUrl.size() > static_cast<std::size_t>(CSafeStringA::kMaxLength)) narrowUrl.resize(CSafeStringA::kMaxLength);
    const CSafeStringA narrow(narrowUrl.c_str());

    for (const CSafeStringW& entry : list) {
        const std::string narrowEntry = ToAnsi(entry.GetString());
        if (narrowEntry.size() > static_cast<std::size_t>(CSafeStringA::kMaxLength)) continue;
        if (MatchUrlWithSiteEntry(narrow, CSafeStringA(narrowEntry.c_str()))) {
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
