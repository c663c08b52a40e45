#include "plugin/filter/InboundEmbeddedUrlScan.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr char kScheme[] = "http://";
constexpr std::size_t kSchemeLength = 7;

bool IsHostChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

}  // namespace

void CInboundEmbeddedUrlScan::Scan(CScanAlgorithmState& baseState) {
    CState& state = static_cast<CState&>(baseState);
    if (state.m_first == nullptr || state.m_last == nullptr) return;
    const char* const first = state.m_first;
    const char* const last = state.m_last;
    const bool more = state.GetFlag();
    const char* q = first + state.GetPosition();
    if (q > last) return;
    while (q <= last) {
        // Every byte of an allowed page passes here: a cheap test of the first letter before
        // the comparison.
        if ((*q | 0x20) != 'h') {
            ++q;
            continue;
        }
        const std::size_t left = static_cast<std::size_t>(last - q) + 1;
        const std::size_t m = std::min(left, kSchemeLength);
        if (::_strnicmp(q, kScheme, m) != 0) {
            ++q;
            continue;
        }
        if (m == kSchemeLength && left > kSchemeLength) {
            const char* const h = q + kSchemeLength;
            const char* e = h;
            while (e <= last && IsHostChar(*e)) ++e;
            if (e > last && more) {
                state.SetPosition(static_cast<LONG>(q - first));  // the rest of the host comes later
                return;
            }
            if (e > h && state.m_callback != nullptr) {
                state.m_callback->OnInboundEmbeddedUrl(h, static_cast<DWORD>(e - h), state.m_strRequestHost);
            }
            q = e > h ? e : h;  // not a host: go on after the "http://"
            continue;
        }
        // A proper prefix of "http://", or exactly "http://", at the end of the piece.
        if (more) {
            state.SetPosition(static_cast<LONG>(q - first));
            return;
        }
        ++q;
    }
    state.SetPosition(static_cast<LONG>(last - first) + 1);
}
