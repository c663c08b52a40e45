#include "suite/hostfirewall/FirewallText.h"

#include <objbase.h>

namespace HostFirewallStandIn {

std::wstring GuidText(const GUID* id) {
    if (id == nullptr) return L"null";
    wchar_t text[40] = {};
    ::StringFromGUID2(*id, text, 40);
    return text;
}

std::wstring UnsignedNumber(unsigned long long value) {
    wchar_t digits[24];
    int at = 24;
    do {
        digits[--at] = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    return std::wstring(digits + at, digits + 24);
}

std::wstring Number(long long value) {
    if (value >= 0) return UnsignedNumber(static_cast<unsigned long long>(value));
    // Negated as unsigned: the most negative value has no positive counterpart.
    return L"-" + UnsignedNumber(0ULL - static_cast<unsigned long long>(value));
}

std::wstring AddressText(const ZrtFire::Address* address) {
    if (address == nullptr) return L"null";
    const BYTE* b = address->bytes;
    std::wstring text;
    if (address->family == 4) {
        for (int i = 0; i < 4; ++i) {
            if (i != 0) text += L'.';
            text += UnsignedNumber(b[i]);
        }
    } else if (address->family == 6) {
        constexpr wchar_t kHex[] = L"0123456789abcdef";
        for (int i = 0; i < 16; ++i) {
            if (i != 0 && i % 2 == 0) text += L':';
            text += kHex[b[i] >> 4];
            text += kHex[b[i] & 0xF];
        }
    } else {
        text = L"family " + UnsignedNumber(address->family);
    }
    return text;
}

std::wstring Text(const wchar_t* text) { return text != nullptr ? std::wstring(text) : std::wstring(); }

std::wstring Widen(const char* text) {
    std::wstring wide;
    if (text != nullptr) {
        for (; *text != '\0'; ++text) wide += static_cast<wchar_t>(static_cast<unsigned char>(*text));
    }
    return wide;
}

}  // namespace HostFirewallStandIn
