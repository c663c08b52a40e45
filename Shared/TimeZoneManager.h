#pragma once
// The Windows time-zone database, read from the registry once, and conversion of UTC into the
// local time of a zone named in the user's settings rather than the PC's own zone.
// Read-only after construction: one manager may serve several threads.

#include "Shared/AffiliateSettings.h"

#include <windows.h>

#include <map>
#include <string>

class CTimeZoneManager {
public:
    // HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Time Zones.
    CTimeZoneManager();
    // Reads the zones below another key (tests keep a small database of their own).
    CTimeZoneManager(HKEY root, const wchar_t* databasePath);
    ~CTimeZoneManager();
    CTimeZoneManager(const CTimeZoneManager&) = delete;
    CTimeZoneManager& operator=(const CTimeZoneManager&) = delete;

    // The database name of the zone the PC is set to: by bias and standard name, else by bias and
    // transition rules (for a PC whose zone names are localised).
    bool GetLocalTimeZone(std::wstring& name) const;

    // In the named zone; a null, empty or unknown name converts in the PC's current zone.
    bool ConvertToLocalTime(const wchar_t* zoneName, const SYSTEMTIME* utc, SYSTEMTIME* local) const;

private:
    using ZoneMap = std::map<std::wstring, TIME_ZONE_INFORMATION, NoCaseLess>;

    void LoadDatabase(HKEY root, const wchar_t* databasePath);
    static void _FillDZIWithRegSettings(const RegValueList& values, TIME_ZONE_INFORMATION& information);

    ZoneMap m_zones;
};
