#pragma once
// The texts of the call log and of the firewall's state.

#include "suite/interfaces/ZrtFire.h"

#include <windows.h>

#include <string>

namespace HostFirewallStandIn {

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", "null" for a null pointer.
std::wstring GuidText(const GUID* id);
// Decimal, by hand: MinGW's printf family and msvcrt's read the formats differently.
std::wstring Number(long long value);
std::wstring UnsignedNumber(unsigned long long value);
// Dotted IPv4, eight groups of four hex digits for IPv6, "family <n>" otherwise, "null".
std::wstring AddressText(const ZrtFire::Address* address);
// A null text is empty.
std::wstring Text(const wchar_t* text);
std::wstring Widen(const char* text);

}  // namespace HostFirewallStandIn
