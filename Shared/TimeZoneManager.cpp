#include "Shared/TimeZoneManager.h"

#include "logging/Logging.h"

#include <cstring>
#include <cwchar>
#include <vector>

namespace {

constexpr wchar_t kTimeZonesPath[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Time Zones";

// The "TZI" value as the registry stores it.
#pragma pack(push, 1)
struct RegistryTzi {
    LONG Bias;
    LONG StandardBias;
    LONG DaylightBias;
    SYSTEMTIME StandardDate;
    SYSTEMTIME DaylightDate;
};
#pragma pack(pop)
static_assert(sizeof(RegistryTzi) == 44, "TZI layout");

// Zone names are kept to the 31 characters TIME_ZONE_INFORMATION holds.
template <std::size_t N>
void CopyZoneName(const std::wstring& text, WCHAR (&target)[N]) {
    const std::size_t length = text.size() < N - 1 ? text.size() : N - 1;
    std::wmemcpy(target, text.c_str(), length);
    target[length] = L'\0';
}

bool SameDate(const SYSTEMTIME& left, const SYSTEMTIME& right) {
    return std::memcmp(&left, &right, sizeof(SYSTEMTIME)) == 0;
}

}  // namespace

CTimeZoneManager::CTimeZoneManager() { LoadDatabase(HKEY_LOCAL_MACHINE, kTimeZonesPath); }

CTimeZoneManager::CTimeZoneManager(HKEY root, const wchar_t* databasePath) { LoadDatabase(root, databasePath); }

CTimeZoneManager::~CTimeZoneManager() = default;

void CTimeZoneManager::LoadDatabase(HKEY root, const wchar_t* databasePath) {
    std::vector<std::wstring> names;
    EnumRegistrySubkeys(root, databasePath, &names);
    for (const std::wstring& name : names) {
        RegValueList values;
        EnumRegistryValues(root, (std::wstring(databasePath) + L"\\" + name).c_str(), &values);
        TIME_ZONE_INFORMATION information = {};
        _FillDZIWithRegSettings(values, information);
        m_zones[name] = information;
    }
}

void CTimeZoneManager::_FillDZIWithRegSettings(const RegValueList& values, TIME_ZONE_INFORMATION& information) {
    for (const CRegValueEntry& value : values) {
        if (::_wcsicmp(value.m_strName.c_str(), L"Dlt") == 0) {
            CopyZoneName(value.m_strText, information.DaylightName);
        } else if (::_wcsicmp(value.m_strName.c_str(), L"Std") == 0) {
            CopyZoneName(value.m_strText, information.StandardName);
        } else if (::_wcsicmp(value.m_strName.c_str(), L"TZI") == 0) {
            // A shorter value fills what it holds; a longer one is cut to the known layout.
            RegistryTzi tzi = {};
            const std::size_t bytes = value.m_data.GetSize() < sizeof(tzi) ? value.m_data.GetSize() : sizeof(tzi);
            if (bytes > 0) {
                if (value.m_data.GetData() == nullptr) {
                    NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to copy memory to regTZI(Err %d)\r\n",
                            static_cast<int>(::GetLastError()));
                    continue;
                }
                std::memcpy(&tzi, value.m_data.GetData(), bytes);
            }
            information.Bias = tzi.Bias;
            information.StandardBias = tzi.StandardBias;
            information.DaylightBias = tzi.DaylightBias;
            information.StandardDate = tzi.StandardDate;
            information.DaylightDate = tzi.DaylightDate;
        }
    }
}

bool CTimeZoneManager::GetLocalTimeZone(std::wstring& name) const {
    TIME_ZONE_INFORMATION current = {};
    const DWORD result = ::GetTimeZoneInformation(&current);
    NUV_LOG(ETWLogging::LOG_NORMAL,
            L"GetTimeZoneInformation() returns %d. StandardName: %s, DaylightName: %s, bias: %d, standardbias: %d\r\n",
            static_cast<int>(result), current.StandardName, current.DaylightName, static_cast<int>(current.Bias),
            static_cast<int>(current.StandardBias));

    for (const auto& zone : m_zones) {
        const TIME_ZONE_INFORMATION& candidate = zone.second;
        if (candidate.Bias == current.Bias && candidate.StandardBias == current.StandardBias &&
            std::wcsncmp(candidate.StandardName, current.StandardName, ARRAYSIZE(current.StandardName)) == 0) {
            name = zone.first;
            return true;
        }
    }

    NUV_LOG(ETWLogging::LOG_WARNING,
            L"GetLocalTimeZone() unable to find matching Time Zone name, try comparing actual TZI data\r\n");
    for (const auto& zone : m_zones) {
        const TIME_ZONE_INFORMATION& candidate = zone.second;
        if (candidate.Bias == current.Bias && candidate.StandardBias == current.StandardBias &&
            SameDate(candidate.StandardDate, current.StandardDate) &&
            SameDate(candidate.DaylightDate, current.DaylightDate)) {
            name = zone.first;
            return true;
        }
    }

    NUV_LOG(ETWLogging::LOG_ERROR, L"GetLocalTimeZone() failed\r\n");
    return false;
}

bool CTimeZoneManager::ConvertToLocalTime(const wchar_t* zoneName, const SYSTEMTIME* utc, SYSTEMTIME* local) const {
    if (zoneName != nullptr) {
        const auto zone = m_zones.find(zoneName);
        if (zone != m_zones.end()) {
            return ::SystemTimeToTzSpecificLocalTime(&zone->second, utc, local) != FALSE;
        }
    }
    TIME_ZONE_INFORMATION current = {};
    if (::GetTimeZoneInformation(&current) == TIME_ZONE_ID_INVALID) return false;
    return ::SystemTimeToTzSpecificLocalTime(&current, utc, local) != FALSE;
}
