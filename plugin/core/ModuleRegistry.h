#pragma once
// The module's registry switches and the operating-system tests of start-up. Each reader opens and
// closes its key and never fails its caller: a missing or wrongly typed value reads as off or 0.

#include <windows.h>
#include "Shared/ProductKey.h"

namespace NuvRegistry {
constexpr const wchar_t* kProductKey = kNuvProductKey;
constexpr const wchar_t* kDynaInfoKey = L"" NUV_PRODUCT_KEY "\\DynaInfo";
constexpr const wchar_t* kSubstituteKey = L"SOFTWARE\\Oberix\\Dov\\AppInfo\\Substitute";
constexpr const wchar_t* kTempKey = L"SOFTWARE\\Oberix\\temp";
// The suite's beta channel: a substitute domain beginning with it puts every session under filtering.
constexpr const wchar_t* kBetaChannelHost = L"beta.oberix.com";
}  // namespace NuvRegistry

bool ReadDumpSwitch();
bool ReadLogUrlRequestsSwitch();
DWORD ReadInstallPlatform();
bool isRestartPendingAfterUpdate();
bool IsBetaSubstituteDomain();

// The operating-system class mapped to the module's code: 7 -> 9, 8 -> 11, 9 -> 13, 10 -> 15,
// 11 -> 17, anything else -> 3.
DWORD GetOsCode(DWORD osClass) noexcept;
// Session 0 of the systems whose code is 7 or 9..11 holds no user traffic worth filtering.
bool IsSessionZeroExempt(DWORD osCode, DWORD sessionId) noexcept;
// The sign-in signal thread is wanted only with the OS code 4 and when the installer asked for it
// (HKLM\SOFTWARE\Oberix\temp "UpgradeUsers" = 1). GetOsCode never gives 4: the thread is kept for
// the systems that had that code.
bool IsUpgradeUsersSignalWanted(DWORD osCode);
