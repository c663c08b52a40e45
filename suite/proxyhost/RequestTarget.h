#pragma once
// Where a proxied connection goes when no fixed upstream is given: from the first request that the
// plug-in let through, as a browser using the host as its proxy sends it (absolute-form target or
// CONNECT authority), or from its Host header (a client that was redirected to the host).

#include <cstddef>
#include <string>
#include <string_view>

namespace QvProxyStandIn {

struct RequestTarget {
    enum class Result { NeedMore, Invalid, Ok };
    Result result = Result::NeedMore;
    std::string host;  // without brackets for an IPv6 literal
    unsigned short port = 0;
    bool connect = false;       // a CONNECT request: tunnel after answering it
    size_t headerLength = 0;    // bytes of the request line and header block, final blank line included
};

// The longest header block looked at; a request whose header block is longer is refused.
constexpr size_t kMaxRequestHead = 64 * 1024;

RequestTarget ParseRequestTarget(std::string_view bytes);

}  // namespace QvProxyStandIn
