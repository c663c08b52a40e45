#pragma once
// Whether a URL falls under an entry of a user's allowed or blocked site list; and the line-end
// finder the request scan cuts header lines with.
//
// Entries are a domain ("example.com": the domain and every host below it), a host
// ("mail.example.com": that host only), either with a port (":80" is the same as none) or a host
// with a path (that exact path, the query ignored). URLs are narrow texts with or without a
// leading "http://". Nothing is kept between calls but a list's index (CSiteList): any number of
// threads may match at once.
//
// URL and entry are compared in one canonical spelling, so that every spelling a server reads as
// a listed site meets its entry: in host and path the escapes of unreserved characters are decoded
// (other escapes stay, their hex digits compared without case), the path loses its dot segments
// ("/x/../banned" is "/banned", "/banned/.." the root), and an IPv4 literal the platform's address
// parser accepts ("2130706434", "127.2", "0177.0.0.2", "0x7f.0.0.2") is written as a dotted quad.
// An entry whose path only loses dot segments down to the root names the root page, not the whole
// host ("school.example/homework/.." does not allow all of school.example). Hosts of any length are
// taken whole. The entries of a CSiteList are brought to that spelling once, when the list is
// built, and looked up in an index over them; MatchUrlWithSiteEntry does it on every call.

#include "nuvutil/SafeString.h"

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class CSiteListIndex;

// One entry of a site list: the text as the setting writes it (what a match reports), and the
// canonical form URLs are compared with. Immutable, so any number of threads may read it.
class CSiteListEntry {
public:
    // Implicit, so that a list is written as {CSafeStringW(L"a.example"), ...}.
    CSiteListEntry(const CSafeStringW& text);  // NOLINT(google-explicit-constructor)
    // A null text gives the empty entry, which matches nothing.
    explicit CSiteListEntry(const wchar_t* text);

    const wchar_t* GetString() const noexcept { return m_text.GetString(); }
    int GetLength() const noexcept { return m_text.GetLength(); }
    operator const CSafeStringW&() const noexcept { return m_text; }  // NOLINT(google-explicit-constructor)

    // The canonical form, when it could be made once: for an ASCII text (the same in every ANSI code
    // page). Else nullptr, and each match converts the text in the matching thread's code page.
    const std::string* Prepared() const noexcept { return m_prepared ? &m_canonical : nullptr; }

private:
    void Prepare();

    CSafeStringW m_text;
    std::string m_canonical;
    bool m_prepared = false;
};

// A user's site list, in the order of the setting's text, with the index a match looks the URL up
// in. The index is built by the first Index() after a change (under a lock, then published) and
// only read afterwards: matches may run on any number of threads at once, but a change must not
// overlap them, as with any container.
class CSiteList {
public:
    using const_iterator = std::vector<CSiteListEntry>::const_iterator;

    CSiteList() noexcept;
    CSiteList(std::initializer_list<CSiteListEntry> entries);
    // A copy builds its own index when first matched.
    CSiteList(const CSiteList& other);
    CSiteList(CSiteList&& other) noexcept;
    CSiteList& operator=(const CSiteList& other);
    CSiteList& operator=(CSiteList&& other) noexcept;
    ~CSiteList();

    template <typename... Args>
    CSiteListEntry& emplace_back(Args&&... args) {
        DropIndex();
        return m_entries.emplace_back(std::forward<Args>(args)...);
    }
    void clear() noexcept;

    bool empty() const noexcept { return m_entries.empty(); }
    std::size_t size() const noexcept { return m_entries.size(); }
    const_iterator begin() const noexcept { return m_entries.begin(); }
    const_iterator end() const noexcept { return m_entries.end(); }
    const CSiteListEntry& operator[](std::size_t position) const noexcept { return m_entries[position]; }

    // Throws std::bad_alloc (when it must build the index).
    const CSiteListIndex& Index() const;

private:
    void DropIndex() noexcept;

    std::vector<CSiteListEntry> m_entries;
    mutable std::mutex m_buildLock;
    mutable std::unique_ptr<const CSiteListIndex> m_indexOwner;  // written under m_buildLock
    mutable std::atomic<const CSiteListIndex*> m_index{nullptr};  // published once complete
};

// Domain tests (the entry ending the URL's registrable domain at a label boundary) respect the
// entry's case; host and path tests ignore it. The URL's host is lower-cased first, so the case
// of a Host header never decides. An entry that is empty once normalised matches nothing.
bool MatchUrlWithSiteEntry(const CSafeStringA& url, const CSafeStringA& entry);

// The first entry of the list that matches the URL (both converted to the thread's ANSI code
// page) is appended to `matched`; false when none does. An entry longer than the narrow strings'
// limit matches nothing. The URL's spellings are looked up in the list's index; only entries that
// are not ASCII are converted and tested one by one, and only those ahead of the first match.
bool MatchSiteList(const wchar_t* url, const CSiteList& list, CSafeStringW& matched);

// Whether the site lists can judge the URL at all: a request whose URL they cannot judge must be
// refused, since no entry would ever match it. False for a null or empty URL; for a host that runs
// to the end of a text of the narrow strings' full length (it may have been cut there); for an
// authority with a userinfo ("user@host") or a port that is not a number, which different readers
// take apart differently; and for a host that still holds, once canonical, what no host name
// holds: an escape left after decoding (an escaped reserved or non-ASCII byte, a lone '%'), a
// blank, a control or other delimiter character, brackets around anything but an IPv6 address.
// A URL without a host ("/index.html", a request without a Host header) can be judged: it names
// no listed site.
bool CanJudgeUrl(const wchar_t* url);

// The first line end in the bytes first..last (last included): CR LF (a CR as the last byte is no
// line end) or a lone LF. `consumed` is the line's length with its terminator. Both outputs are 0
// when there is none, or when first lies behind last.
bool FindLineEnd(const BYTE* first, const BYTE* last, DWORD& consumed, DWORD& terminatorLength);
