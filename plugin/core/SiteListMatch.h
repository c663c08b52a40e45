#pragma once
// Whether a URL falls under an entry of a user's allowed or blocked site list; and the line-end
// finder the request scan cuts header lines with.
//
// Entries are a domain ("example.com": the domain and every host below it), a host
// ("mail.example.com": that host only), either with a port (":80" is the same as none) or a host
// with a path (that exact path, the query ignored). URLs are narrow texts with or without a
// leading "http://". Nothing is kept between calls: any number of threads may match at once.

#include "nuvutil/SafeString.h"

#include <windows.h>

#include <vector>

// A user's site list, in the order of the setting's text.
using CSiteList = std::vector<CSafeStringW>;

// Domain tests (the entry ending the URL's registrable domain at a label boundary) respect the
// entry's case; host and path tests ignore it. The URL's host is lower-cased first, so the case
// of a Host header never decides. An entry that is empty once normalised matches nothing.
bool MatchUrlWithSiteEntry(const CSafeStringA& url, const CSafeStringA& entry);

// The first entry of the list that matches the URL (both converted to the thread's ANSI code
// page) is appended to `matched`; false when none does.
bool MatchSiteList(const wchar_t* url, const CSiteList& list, CSafeStringW& matched);

// The first line end in the bytes first..last (last included): CR LF (a CR as the last byte is no
// line end) or a lone LF. `consumed` is the line's length with its terminator. Both outputs are 0
// when there is none, or when first lies behind last.
bool FindLineEnd(const BYTE* first, const BYTE* last, DWORD& consumed, DWORD& terminatorLength);
