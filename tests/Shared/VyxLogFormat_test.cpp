// The activity-log database's byte layouts, with golden bytes, and the reader's parse of what the
// writer's serialisers produce.
#include "Shared/VyxLogFormat.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

SYSTEMTIME Time(WORD year, WORD month, WORD day, WORD hour = 0, WORD minute = 0, WORD second = 0) {
    SYSTEMTIME time = {};
    time.wYear = year;
    time.wMonth = month;
    time.wDay = day;
    time.wDayOfWeek = 5;
    time.wHour = hour;
    time.wMinute = minute;
    time.wSecond = second;
    time.wMilliseconds = 7;
    return time;
}

TEST(VyxLogFormat, BlockedSiteRecordHasItsGoldenBytes) {
    const std::vector<std::uint8_t> record = VyxLog::SerializeBlockedSite(L"a.com", "", 2, Time(2024, 1, 5, 13, 45, 12));
    const std::vector<std::uint8_t> golden = {
        5, 0, 0, 0,                                   // URL length in code units
        'a', 0, '.', 0, 'c', 0, 'o', 0, 'm', 0,       // URL, UTF-16LE
        0, 0, 0, 0,                                   // data length
        2, 0, 0, 0,                                   // block kind
        0xE8, 0x07, 1, 0, 5, 0, 5, 0, 13, 0, 45, 0, 12, 0, 7, 0,  // SYSTEMTIME
    };
    EXPECT_EQ(38u, record.size());
    EXPECT_EQ(golden, record);
    EXPECT_EQ(L"20240105", VyxLog::DayStorageName(Time(2024, 1, 5)));
    EXPECT_EQ(L"child\\20241231", VyxLog::DayStoragePath(L"child", Time(2024, 12, 31)));
    EXPECT_EQ((std::vector<std::uint8_t>{0x6A, 0x62, 0x15, 0x00}), VyxLog::SerializeUint32(VyxLog::kDatabaseVersion));
    EXPECT_EQ(L"Global\\{BDFEC727-9C76-451c-B803-0C761C92F531}_vyxlogdb.dat",
              VyxLog::MutexName(L"C:\\ProgramData\\Oberix\\NUV\\vyxlogdb.dat"));
}

TEST(VyxLogFormat, LoginTimesAreFourTimesAndShortStreamsLeaveTheRestUnset) {
    VyxLog::LoginTimes times;
    times.logon = Time(2024, 1, 5, 23, 30);
    times.logoff = Time(2024, 1, 6, 1, 10);
    const std::vector<std::uint8_t> bytes = VyxLog::SerializeLoginTimes(times);
    ASSERT_EQ(64u, bytes.size());
    EXPECT_EQ(0xE8, bytes[0]);
    EXPECT_EQ(0, bytes[16]) << "sleep not set";
    EXPECT_EQ(6, bytes[48 + 6]) << "log-off day";
    const VyxLog::LoginTimes back = VyxLog::ParseLoginTimes(bytes.data(), bytes.size());
    EXPECT_EQ(23, back.logon.wHour);
    EXPECT_FALSE(VyxLog::IsSet(back.sleep));
    EXPECT_EQ(10, back.logoff.wMinute);
    const VyxLog::LoginTimes shorter = VyxLog::ParseLoginTimes(bytes.data(), 20);
    EXPECT_TRUE(VyxLog::IsSet(shorter.logon));
    EXPECT_FALSE(VyxLog::IsSet(shorter.logoff));
}

TEST(VyxLogFormat, TheReaderParsesWhatTheWriterWrote) {
    std::vector<std::uint8_t> stream;
    const std::wstring longUrl(3000, L'u');
    const std::string longData(400, 'd');
    for (const auto& piece : {VyxLog::SerializeBlockedSite(L"a.com", "", 2, Time(2024, 1, 5)),
                              VyxLog::SerializeBlockedSite(L"b.org/p\u00e9", "00000000040000000000000000000000", 1,
                                                           Time(2024, 1, 5, 9)),
                              VyxLog::SerializeBlockedSite(longUrl, longData, 0, Time(2024, 1, 5, 10))}) {
        stream.insert(stream.end(), piece.begin(), piece.end());
    }
    std::vector<VyxLog::BlockedSite> sites;
    ASSERT_TRUE(VyxLog::ParseBlockedSites(stream.data(), stream.size(), sites));
    ASSERT_EQ(3u, sites.size());
    EXPECT_EQ(L"b.org/p\u00e9", sites[1].url);
    EXPECT_EQ("00000000040000000000000000000000", sites[1].data);
    EXPECT_EQ(1u, sites[1].kind);
    EXPECT_EQ(9, sites[1].time.wHour);
    EXPECT_EQ(2047u, sites[2].url.size()) << "cut on write to what the reader accepts";
    EXPECT_EQ(255u, sites[2].data.size());
    sites.clear();
    EXPECT_FALSE(VyxLog::ParseBlockedSites(stream.data(), stream.size() - 1, sites)) << "a cut record";
    EXPECT_EQ(2u, sites.size()) << "the whole records before it are kept";
}

TEST(VyxLogFormat, UserStorageNames) {
    const struct {
        const wchar_t* name;
        bool valid;
    } cases[] = {{L"child", true},          {L"alice.b", true},        {L"System", false}, {L"", false},
                 {L"PC\\child", false},      {L"a:b", false},           {L"a/b", false},    {L"a!b", false},
                 {L"abcdefghijklmnopqrstuvwxyz01234", true}, {L"abcdefghijklmnopqrstuvwxyz012345", false}};
    for (const auto& c : cases) EXPECT_EQ(c.valid, VyxLog::IsValidUserStorageName(c.name)) << c.name;
}

}  // namespace
