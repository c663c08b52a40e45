#pragma once
// Taking narrow http URLs apart and bringing their parts to one canonical spelling, so that two
// spellings a server reads as the same site compare equal: escapes of unreserved characters
// decoded, dot segments removed from paths, IPv4 literals in every form the platform's address
// parser accepts written as a dotted quad. Pure functions on texts of any length; no fixed-size
// buffers, nothing shared between calls.

#include <cstdint>
#include <string>
#include <string_view>

namespace NuvUrl {

// The authority of "[http://][userinfo@]host[:port][/path]": it ends at the first '/', '\\', '?'
// or '#' behind the optional "http://" (any case). The userinfo ends at the authority's last '@'.
// The host is an IP literal in brackets ("[::1]") or runs to the first ':'; what follows that ':'
// is the port (hasPort, possibly empty). Views into the URL passed in.
struct Authority {
    std::string_view host;
    std::string_view port;
    bool hasPort = false;
    bool hasUserInfo = false;  // an '@' in the authority
};

// False for an empty URL (the parts are then empty); a URL without a host ("/index.html") has an
// empty one.
bool SplitAuthority(std::string_view url, Authority& parts);

// From the first '/' behind the optional "http://", cut before the first '?', ';' or '#'; empty
// when there is no '/'.
std::string_view PathOf(std::string_view url);

// Decodes the escapes of unreserved characters (ALPHA / DIGIT / "-" / "." / "_" / "~") once, in
// place; every other well-formed escape stays, with upper-case hex digits ("%2f" becomes "%2F").
// A '%' not followed by two hex digits stays as it is.
void DecodeUnreservedEscapes(std::string& text);

// Removes the "." and ".." segments of a path (RFC 3986, 5.2.4), in place: "/a/./b/../c" becomes
// "/a/c"; ".." above the root goes away. A path beginning with '/' keeps it.
void RemoveDotSegments(std::string& path);

// An IPv4 literal as inet_addr reads it: one to four parts separated by '.', each decimal, octal
// (a leading 0) or hexadecimal ("0x"/"0X"); the last part fills the bytes the others leave
// ("127.2" is 127.0.0.2, "2130706434" too). False, with `address` untouched, for anything else
// (an empty part, a digit its base does not have, a part too large for its bytes, a sign or a
// blank). The address is in host order.
bool ParseIPv4Literal(std::string_view text, std::uint32_t& address);

// "a.b.c.d" in decimal.
std::string FormatIPv4(std::uint32_t address);

// The registrable domain of a host: its last two labels, or three when the top-level label has at
// most two characters (then without a leading "www."); a numeric address, a single label or a host
// of two labels stays whole.
std::string RegistrableDomain(std::string_view host);

}  // namespace NuvUrl
