#include "plugin/core/ModuleRegistry.h"

#include "Shared/AffiliateSettings.h"
#include "Shared/SealedRegistry.h"
#include "base/OSInfo.h"
#include "base/RegKey.h"
#include "logging/Logging.h"

#include <cwchar>
#include <vector>

namespace {

bool ReadSwitch(const wchar_t* keyPath, const wchar_t* name) {
    DWORD value = 0;
    return ReadRegistryDword(HKEY_LOCAL_MACHINE, keyPath, name, value) && value == 1;
}

}  // namespace

bool ReadDumpSwitch() { return ReadSwitch(NuvRegistry::kProductKey, L"Dump"); }

bool ReadLogUrlRequestsSwitch() { return ReadSwitch(NuvRegistry::kProductKey, L"LogUrlRequests"); }

DWORD ReadInstallPlatform() {
    DWORD value = 0;
    return ReadRegistryDword(HKEY_LOCAL_MACHINE, NuvRegistry::kProductKey, L"InstallPlatform", value) ? value : 0;
}

bool isRestartPendingAfterUpdate() {
    NUV_LOG(ETWLogging::LOG_NORMAL, L"Checking if restart is required after upgrade...");
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof(value);
    const LONG result =
        SealedRegReadValue(HKEY_LOCAL_MACHINE, NuvRegistry::kDynaInfoKey, L"UpdRestartReq", &type, &value, &size, 0);
    if (result == ERROR_FILE_NOT_FOUND) return false;
    if (result != ERROR_SUCCESS) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"Failed to read UpdateRestartReq value from registry - error %d",
                static_cast<int>(result));
        return false;
    }
    if (type != REG_DWORD) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"Invalid value type");
        return false;
    }
    if (value == 1) {
        NUV_LOG(ETWLogging::LOG_NORMAL, L"Restart is required");
        return true;
    }
    NUV_LOG(ETWLogging::LOG_NORMAL, L"dwValue is %d", static_cast<int>(value));
    return false;
}

bool IsBetaSubstituteDomain() {
    Tessal::CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, NuvRegistry::kSubstituteKey, KEY_READ) != ERROR_SUCCESS) return false;
    DWORD type = 0;
    ULONG size = 0;
    if (key.QueryValue(L"domain", &type, nullptr, &size) != ERROR_SUCCESS) return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
    if (size < 2 || size > 511) return false;
    // As many characters as the value holds (an odd byte count rounds up), plus one.
    const ULONG chars = (size + 1) / sizeof(wchar_t);
    std::vector<wchar_t> text(chars + 1, L'\0');
    ULONG readSize = static_cast<ULONG>(text.size() * sizeof(wchar_t));
    if (key.QueryValue(L"domain", &type, text.data(), &readSize) != ERROR_SUCCESS) return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
    const size_t hostLength = std::wcslen(NuvRegistry::kBetaChannelHost);
    return ::_wcsnicmp(text.data(), NuvRegistry::kBetaChannelHost, hostLength) == 0;
}

DWORD GetOsCode(DWORD osClass) noexcept {
    switch (osClass) {
        case Tessal::OSClass::kWindowsVista: return 9;
        case Tessal::OSClass::kWindows7: return 11;
        case Tessal::OSClass::kWindows8: return 13;
        case Tessal::OSClass::kWindows81: return 15;
        case Tessal::OSClass::kWindows10: return 17;
        default: return 3;
    }
}

bool IsSessionZeroExempt(DWORD osCode, DWORD sessionId) noexcept {
    return sessionId == 0 && (osCode == 7 || (osCode >= 9 && osCode <= 11));
}

bool IsUpgradeUsersSignalWanted(DWORD osCode) {
    if (osCode != 4) return false;
    DWORD value = 0;
    return ReadRegistryDword(HKEY_LOCAL_MACHINE, NuvRegistry::kTempKey, L"UpgradeUsers", value) && value == 1;
}
