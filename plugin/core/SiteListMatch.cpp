#include "plugin/core/SiteListMatch.h"

#include "base/TextConversion.h"
#include "nuvutil/UrlCanonical.h"
#include "plugin/core/SiteListIndex.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::size_t kMaxNarrow = static_cast<std::size_t>(CSafeStringA::kMaxLength);

std::string_view ViewOf(const CSafeStringA& s) {
    return s.m_pBuffer != nullptr ? std::string_view(s.m_pBuffer, ::strnlen(s.m_pBuffer, s.m_nLength)) : std::string_view();
}

// Host names are ASCII; a locale-dependent case mapping has no business deciding a match.
char LowerAscii(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

void ToLowerAscii(std::string& text) noexcept {
    for (char& c : text) c = LowerAscii(c);
}

bool EqualsNoCase(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    }
    return true;
}

void RemoveLeadingWww(std::string& text) {
    if (text.size() >= 4 && EqualsNoCase(std::string_view(text).substr(0, 4), "www.")) text.erase(0, 4);
}

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

// An IPv4 literal in any form the address parser reads becomes a dotted quad.
void CanonicalIPv4(std::string& host) {
    std::uint32_t address = 0;
    if (NuvUrl::ParseIPv4Literal(host, address)) host = NuvUrl::FormatIPv4(address);
}

// Decoded, without one trailing '.', lower-case (the hex digits of escapes as well), IPv4 as a
// dotted quad.
void CanonicalUrlHost(std::string& host) {
    NuvUrl::DecodeUnreservedEscapes(host);
    if (!host.empty() && host.back() == '.') host.pop_back();
    ToLowerAscii(host);
    CanonicalIPv4(host);
}

void CanonicalPath(std::string& path) {
    NuvUrl::DecodeUnreservedEscapes(path);
    NuvUrl::RemoveDotSegments(path);
}

// The entry's own text normalised (a leading "www.", trailing and doubled separators) after its
// host and path are brought to the URLs' canonical spelling; in place. The host keeps its case
// (domain tests respect it) but the hex digits of its escapes are lower-case, as in the URL's
// lower-cased host.
void PrepareEntry(std::string& entry) {
    const std::size_t slash = entry.find('/');
    std::string host = entry.substr(0, entry.find_first_of(":/"));
    std::string rest = entry.substr(host.size(), slash == std::string::npos ? std::string::npos : slash - host.size());
    std::string path = slash == std::string::npos ? std::string() : entry.substr(slash);

    NuvUrl::DecodeUnreservedEscapes(host);
    for (std::size_t at = host.find('%'); at != std::string::npos; at = host.find('%', at + 1)) {
        if (at + 2 < host.size()) {
            host[at + 1] = LowerAscii(host[at + 1]);
            host[at + 2] = LowerAscii(host[at + 2]);
        }
    }
    bool rootOnly = false;
    if (!path.empty()) {
        const bool wasRoot = path == "/";
        CanonicalPath(path);
        // "host/x/.." names the root page; the separator rules below would make it the whole host.
        rootOnly = !wasRoot && path == "/";
    }
    entry = host + rest + path;
    NormaliseEntry(entry);
    if (rootOnly && !entry.empty()) entry.push_back('/');

    // The separator rules may have taken a '.' off an address ("127.2./x"): its form is read last.
    const std::size_t hostLength = std::min(entry.find_first_of(":/"), entry.size());
    std::string address = entry.substr(0, hostLength);
    CanonicalIPv4(address);
    entry.replace(0, hostLength, address);
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

ParsedUrl ParseUrl(std::string_view url) {
    ParsedUrl parsed;
    NuvUrl::Authority parts;
    if (!NuvUrl::SplitAuthority(url, parts)) return parsed;
    // A Host header may come in any case; "EXAMPLE.COM" must not pass the entry "example.com".
    std::string host(parts.host);
    CanonicalUrlHost(host);
    const std::string domain = NuvUrl::RegistrableDomain(host);
    RemoveLeadingWww(host);
    std::string path(NuvUrl::PathOf(url));
    if (!path.empty()) CanonicalPath(path);
    std::vector<std::string> portForms = {std::string(), ":80"};
    if (!parts.port.empty()) portForms.push_back(":" + std::string(parts.port));
    for (const std::string& portForm : portForms) {
        parsed.domainForms.push_back(domain + portForm);
        parsed.hostForms.push_back(host + portForm);
        if (!path.empty()) parsed.hostPathForms.push_back(host + portForm + path);
    }
    parsed.valid = true;
    return parsed;
}

// `entry` is a prepared one.
bool MatchParsed(const ParsedUrl& url, const std::string& entry) {
    if (!url.valid || entry.empty()) return false;  // "www." or a lone separator names no site
    for (const std::string& candidate : url.domainForms) {
        if (SiteEntryEndsAtLabel(candidate, entry)) return true;
    }
    for (const std::string& candidate : url.hostForms) {
        if (SiteEntryEqualsNoCase(candidate, entry)) return true;
    }
    for (const std::string& candidate : url.hostPathForms) {
        if (SiteEntryEqualsNoCase(candidate, entry)) return true;
    }
    return false;
}

// The lowest position of an entry that MatchParsed accepts, looked up for each of the URL's
// spellings: the same tests in the same order, so the same first entry.
std::size_t FirstIndexedMatch(const CSiteListIndex& index, const ParsedUrl& url) {
    std::size_t first = CSiteListIndex::kNone;
    for (const std::string& candidate : url.domainForms) first = index.FirstDomainMatch(candidate, first);
    for (const std::string& candidate : url.hostForms) first = index.FirstExactMatch(candidate, first);
    for (const std::string& candidate : url.hostPathForms) first = index.FirstExactMatch(candidate, first);
    return first;
}

bool IsHexDigit(char c) noexcept { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// A canonical host the lists can be compared with: empty, an IPv6 address in brackets, or a name of
// the characters RFC 3986 allows a registered name (unreserved and sub-delimiters) and of bytes of
// the ANSI code page beyond ASCII. A '%' left after decoding means a byte the server decodes and
// the lists never see.
bool IsJudgeableHost(std::string_view host) noexcept {
    if (!host.empty() && host.front() == '[') {
        if (host.size() < 3 || host.back() != ']') return false;
        for (const char c : host.substr(1, host.size() - 2)) {
            if (!IsHexDigit(c) && c != ':' && c != '.') return false;
        }
        return true;
    }
    for (const char c : host) {
        const auto byte = static_cast<unsigned char>(c);
        const bool letter = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z');
        if (byte >= 0x80 || letter || (byte >= '0' && byte <= '9')) continue;
        if (byte == 0 || std::strchr("-._~!$&'()*+,;=", byte) == nullptr) return false;
    }
    return true;
}

}  // namespace

CSiteListEntry::CSiteListEntry(const CSafeStringW& text) : m_text(text) { Prepare(); }

CSiteListEntry::CSiteListEntry(const wchar_t* text) : m_text(text) { Prepare(); }

void CSiteListEntry::Prepare() {
    std::string narrow;
    for (const wchar_t* p = m_text.GetString(); *p != L'\0'; ++p) {
        if (*p >= 0x80) return;  // converted in the code page of the thread that matches
        narrow.push_back(static_cast<char>(*p));
    }
    if (narrow.size() > kMaxNarrow) {
        narrow.clear();  // too long to name a site: matches nothing
    } else {
        PrepareEntry(narrow);
    }
    m_canonical.swap(narrow);
    m_prepared = true;
}

CSiteList::CSiteList() noexcept = default;

CSiteList::CSiteList(std::initializer_list<CSiteListEntry> entries) : m_entries(entries) {}

CSiteList::CSiteList(const CSiteList& other) : m_entries(other.m_entries) {}

CSiteList::CSiteList(CSiteList&& other) noexcept
    : m_entries(std::move(other.m_entries)), m_indexOwner(std::move(other.m_indexOwner)),
      m_index(other.m_index.exchange(nullptr)) {}

CSiteList& CSiteList::operator=(const CSiteList& other) {
    if (this != &other) {
        m_entries = other.m_entries;
        DropIndex();
    }
    return *this;
}

CSiteList& CSiteList::operator=(CSiteList&& other) noexcept {
    if (this != &other) {
        m_entries = std::move(other.m_entries);
        m_indexOwner = std::move(other.m_indexOwner);
        m_index.store(other.m_index.exchange(nullptr));
    }
    return *this;
}

CSiteList::~CSiteList() = default;

void CSiteList::clear() noexcept {
    m_entries.clear();
    DropIndex();
}

void CSiteList::DropIndex() noexcept {
    m_index.store(nullptr);
    m_indexOwner.reset();
}

const CSiteListIndex& CSiteList::Index() const {
    if (const CSiteListIndex* index = m_index.load(std::memory_order_acquire)) return *index;
    // Not call_once: a build that throws must leave the next call free to try again.
    const std::lock_guard<std::mutex> lock(m_buildLock);
    if (m_indexOwner == nullptr) {
        std::vector<const std::string*> prepared;
        prepared.reserve(m_entries.size());
        for (const CSiteListEntry& entry : m_entries) prepared.push_back(entry.Prepared());
        m_indexOwner = std::make_unique<const CSiteListIndex>(prepared);
        m_index.store(m_indexOwner.get(), std::memory_order_release);
    }
    return *m_indexOwner;
}

bool MatchUrlWithSiteEntry(const CSafeStringA& url, const CSafeStringA& entry) {
    if (url.m_nLength == 0 || entry.m_nLength == 0) return false;
    std::string text(ViewOf(entry));
    PrepareEntry(text);
    return MatchParsed(ParseUrl(ViewOf(url)), text);
}

bool MatchSiteList(const wchar_t* url, const CSiteList& list, CSafeStringW& matched) {
    if (list.empty()) return false;
    std::string narrowUrl;
    ToAnsi(url, narrowUrl);
    // The URL is taken apart once for the whole list, whatever its length.
    const ParsedUrl parsed = ParseUrl(narrowUrl);
    if (!parsed.valid) return false;

    const CSiteListIndex& index = list.Index();
    std::size_t first = FirstIndexedMatch(index, parsed);
    // Entries that are not prepared mean what the thread's code page makes of them: converted
    // here, as far as they come before the first indexed match.
    std::string converted;
    for (const std::size_t position : index.Unprepared()) {
        if (position >= first) break;
        ToAnsi(list[position].GetString(), converted);
        if (converted.size() > kMaxNarrow) continue;
        PrepareEntry(converted);
        if (MatchParsed(parsed, converted)) {
            first = position;
            break;
        }
    }
    if (first == CSiteListIndex::kNone) return false;
    const CSiteListEntry& entry = list[first];
    matched.Append(entry.GetString(), entry.GetLength());
    return true;
}

bool CanJudgeUrl(const wchar_t* url) {
    std::string narrow;
    ToAnsi(url, narrow);
    NuvUrl::Authority parts;
    if (!NuvUrl::SplitAuthority(narrow, parts)) return false;
    const std::string_view authorityEnd = parts.hasPort ? parts.port : parts.host;
    if (narrow.size() >= kMaxNarrow && authorityEnd.data() + authorityEnd.size() == narrow.data() + narrow.size()) {
        return false;
    }
    // Readers that strip a userinfo and readers that do not (a Host header is no URL) see different
    // hosts; so do readers of a port that is not a number. Clients send neither.
    if (parts.hasUserInfo) return false;
    for (const char c : parts.port) {
        if (c < '0' || c > '9') return false;
    }
    std::string host(parts.host);
    CanonicalUrlHost(host);
    return IsJudgeableHost(host);
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
