#pragma once
// The misc thread's time-zone check: when some user has time limits and the time-zone name
// stored with the product's settings is not the zone the PC is set to, the console session is
// told that the schedule and the PC's clock disagree.

#include "plugin/services/ThreadCallbacks.h"

#include <windows.h>
#include <configservice.h>

#include <string>

class CAlertBindSeam;

// True when a user of the configuration service has a week of setting 210 that restricts some
// block (or one that cannot be built). With `skipUnprotected`, users whose setting 315 is FALSE
// do not count. A user collection that cannot be read has no such user. Throws nothing.
bool HasUserWithTimeLimits(IQvConfigCategory* config, bool skipUnprotected);
// The same question of a configuration object made for it; false (logged with the result and
// `purpose`) when it cannot be made.
bool HasUserWithTimeLimits(bool skipUnprotected, const wchar_t* purpose);

class CTimeZoneCheck final : public ITimeZoneCheck {
public:
    // Item of the configuration object holding the product-wide settings, and the stored
    // time-zone name among them.
    static constexpr LONG kProductItem = 100;
    static constexpr LONG kStoredTimeZoneSetting = 337;

    // The system: the alert component bound as the alert manager does by itself, the time-zone
    // database of HKLM.
    CTimeZoneCheck() = default;
    // Tests: another alert bind (may be null; must outlive the checker) and a time-zone database
    // below another key.
    CTimeZoneCheck(CAlertBindSeam* alertSeam, HKEY zoneDatabaseRoot, std::wstring zoneDatabasePath);

    // On the calling thread, which must have COM initialised. Failures are logged; only an
    // allocation failure escapes.
    void CheckTimeZone() override;

private:
    bool ReadLocalTimeZone(std::wstring& name) const;

    CAlertBindSeam* m_alertSeam = nullptr;
    HKEY m_zoneDatabaseRoot = nullptr;  // null: the system's database
    std::wstring m_zoneDatabasePath;
};
