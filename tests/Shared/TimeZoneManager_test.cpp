#include "Shared/TimeZoneManager.h"

#include "base/Format.h"
#include "base/RegKey.h"

#include "tests/support/ScratchRegistryKey.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

SYSTEMTIME Time(WORD year, WORD month, WORD day, WORD hour, WORD minute = 0) {
    SYSTEMTIME time = {};
    time.wYear = year;
    time.wMonth = month;
    time.wDay = day;
    time.wHour = hour;
    time.wMinute = minute;
    return time;
}

// A yearly rule: wDay is the week of the month (5 = last), wDayOfWeek the weekday.
SYSTEMTIME Rule(WORD month, WORD week, WORD hour) {
    SYSTEMTIME rule = {};
    rule.wMonth = month;
    rule.wDay = week;
    rule.wHour = hour;
    return rule;
}

struct Zone {
    long bias = 0;
    long standardBias = 0;
    long daylightBias = 0;
    SYSTEMTIME standardDate = {};
    SYSTEMTIME daylightDate = {};
};

// The registry's 44-byte "TZI" layout.
std::vector<BYTE> Tzi(const Zone& zone) {
    std::vector<BYTE> bytes(44);
    const LONG biases[3] = {zone.bias, zone.standardBias, zone.daylightBias};
    std::memcpy(&bytes[0], biases, sizeof(biases));
    std::memcpy(&bytes[12], &zone.standardDate, sizeof(SYSTEMTIME));
    std::memcpy(&bytes[28], &zone.daylightDate, sizeof(SYSTEMTIME));
    return bytes;
}

Zone CentralEurope() {
    Zone zone;
    zone.bias = -60;
    zone.daylightBias = -60;
    zone.standardDate = Rule(10, 5, 3);
    zone.daylightDate = Rule(3, 5, 2);
    return zone;
}

// A small zone database of the registry's layout below HKCU.
class TimeZoneManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(database_.Create(HKEY_CURRENT_USER, path_.c_str()), ERROR_SUCCESS);
        ASSERT_NE(::GetTimeZoneInformation(&pc_), TIME_ZONE_ID_INVALID);
    }
    void TearDown() override {
        database_.Close();
    }

    void AddZone(const wchar_t* name, const wchar_t* standardName, const std::vector<BYTE>& tzi) {
        Tessal::CRegKey zone;
        ASSERT_EQ(zone.Create(database_, name), ERROR_SUCCESS);
        ASSERT_EQ(zone.SetStringValue(L"std", standardName), ERROR_SUCCESS);  // names match without case
        ASSERT_EQ(zone.SetStringValue(L"Dlt", L"Daylight"), ERROR_SUCCESS);
        ASSERT_EQ(zone.SetStringValue(L"Display", L"ignored"), ERROR_SUCCESS);
        ASSERT_EQ(zone.SetBinaryValue(L"TZI", tzi.data(), static_cast<ULONG>(tzi.size())), ERROR_SUCCESS);
    }
    void AddZone(const wchar_t* name, const wchar_t* standardName, const Zone& zone) {
        AddZone(name, standardName, Tzi(zone));
    }

    // The PC's own zone as the database would hold it.
    Zone PcZone() const {
        Zone zone;
        zone.bias = pc_.Bias;
        zone.standardBias = pc_.StandardBias;
        zone.daylightBias = pc_.DaylightBias;
        zone.standardDate = pc_.StandardDate;
        zone.daylightDate = pc_.DaylightDate;
        return zone;
    }

    NuvTest::ScratchRegistryKey scratch_{L"TimeZones"};
    const std::wstring& path_ = scratch_.Path();
    Tessal::CRegKey database_;
    TIME_ZONE_INFORMATION pc_ = {};
};

TEST_F(TimeZoneManagerTest, ConvertsInNamedZone) {
    AddZone(L"Central Europe Fake", L"Central Europe Standard", CentralEurope());
    Zone plusTwo;
    plusTwo.bias = -120;
    std::vector<BYTE> biasOnly = Tzi(plusTwo);
    biasOnly.resize(4);
    AddZone(L"Bias Only", L"Bias Only Standard", biasOnly);
    std::vector<BYTE> longer = Tzi(CentralEurope());
    longer.insert(longer.end(), {0xFF, 0xFF, 0xFF, 0xFF});
    AddZone(L"Longer TZI", L"Longer Standard", longer);
    CTimeZoneManager manager(HKEY_CURRENT_USER, path_.c_str());

    struct Case {
        const wchar_t* zone;
        SYSTEMTIME utc;
        WORD localHour;
    };
    const Case cases[] = {
        {L"Central Europe Fake", Time(2023, 1, 15, 12), 13},
        {L"Central Europe Fake", Time(2023, 7, 15, 12), 14},  // daylight time
        {L"CENTRAL europe fake", Time(2023, 7, 15, 12), 14},
        {L"Bias Only", Time(2023, 7, 15, 12), 14},           // a 4-byte TZI fills the bias only
        {L"Longer TZI", Time(2023, 7, 15, 12), 14},          // its first 44 bytes count
        {L"Longer TZI", Time(2023, 1, 15, 12), 13},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::string(c.zone, c.zone + wcslen(c.zone)) << " month " << c.utc.wMonth);
        SYSTEMTIME local = {};
        ASSERT_TRUE(manager.ConvertToLocalTime(c.zone, &c.utc, &local));
        EXPECT_EQ(local.wHour, c.localHour);
        EXPECT_EQ(local.wDay, c.utc.wDay);
    }
}

TEST_F(TimeZoneManagerTest, UnknownNullOrEmptyZoneConvertsInPcZone) {
    Zone farAway;
    farAway.bias = 300;
    AddZone(L"Far Away", L"Far Away Standard", farAway);
    CTimeZoneManager manager(HKEY_CURRENT_USER, path_.c_str());

    const SYSTEMTIME utc = Time(2023, 7, 15, 12, 30);
    SYSTEMTIME expected = {};
    ASSERT_TRUE(::SystemTimeToTzSpecificLocalTime(&pc_, &utc, &expected));
    for (const wchar_t* zone : {static_cast<const wchar_t*>(nullptr), L"", L"Nowhere"}) {
        SYSTEMTIME local = {};
        ASSERT_TRUE(manager.ConvertToLocalTime(zone, &utc, &local));
        EXPECT_EQ(std::memcmp(&local, &expected, sizeof(local)), 0);
    }
}

TEST_F(TimeZoneManagerTest, NamesPcZoneByStandardNameBeforeRules) {
    // Earlier in the database and equal in its rules, but under another name.
    AddZone(L"A Rules Only", L"Localised Standard Name", PcZone());
    Zone sameName = PcZone();
    sameName.daylightDate = Rule(4, 1, 1);  // rules differ: only the name pass can find it
    AddZone(L"B Same Name", pc_.StandardName, sameName);
    CTimeZoneManager manager(HKEY_CURRENT_USER, path_.c_str());

    std::wstring name;
    ASSERT_TRUE(manager.GetLocalTimeZone(name));
    EXPECT_EQ(name, L"B Same Name");
}

TEST_F(TimeZoneManagerTest, NamesPcZoneByRulesInCaseFreeOrder) {
    Zone otherDaylightBias = PcZone();
    otherDaylightBias.daylightBias += 30;  // not compared
    AddZone(L"Bravo", L"Localised One", otherDaylightBias);
    AddZone(L"alpha", L"Localised Two", PcZone());
    Zone otherBias = PcZone();
    otherBias.bias += 60;
    AddZone(L"Aardvark", pc_.StandardName, otherBias);
    CTimeZoneManager manager(HKEY_CURRENT_USER, path_.c_str());

    std::wstring name;
    ASSERT_TRUE(manager.GetLocalTimeZone(name));
    EXPECT_EQ(name, L"alpha");  // before "Bravo" without regard to case
}

TEST_F(TimeZoneManagerTest, NoMatchLeavesNameAlone) {
    Zone otherRules = PcZone();
    otherRules.standardBias += 15;
    AddZone(L"Other", pc_.StandardName, otherRules);
    CTimeZoneManager manager(HKEY_CURRENT_USER, path_.c_str());

    std::wstring name = L"previous";
    EXPECT_FALSE(manager.GetLocalTimeZone(name));
    EXPECT_EQ(name, L"previous");

    CTimeZoneManager empty(HKEY_CURRENT_USER, (path_ + L"\\Missing").c_str());
    EXPECT_FALSE(empty.GetLocalTimeZone(name));
}

}  // namespace
