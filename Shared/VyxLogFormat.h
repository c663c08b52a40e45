#pragma once
// The activity-log database "vyxlogdb.dat": the contract between its writer (the plug-in's log
// engine) and its reader (the settings server's reports). A compound file with a "System" storage
// holding "version.dat", and one storage per user holding "login.dat" and one storage per day
// (YYYYMMDD) with "blockedwebsite.dat", "timerestricted.dat" and "timeusage.dat". Integers are
// unsigned 32-bit little-endian, times are 16-byte local SYSTEMTIMEs (wYear 0: not set). Every
// unit of work holds the database mutex (at most 5000 ms to get it) and opens the file for itself.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace VyxLog {

inline constexpr wchar_t kDatabaseFileName[] = L"vyxlogdb.dat";
inline constexpr wchar_t kMutexPrefix[] = L"Global\\{BDFEC727-9C76-451c-B803-0C761C92F531}_";
inline constexpr DWORD kMutexWaitMs = 5000;

inline constexpr wchar_t kSystemStorage[] = L"System";
inline constexpr wchar_t kVersionStream[] = L"version.dat";
inline constexpr std::uint32_t kDatabaseVersion = 0x0015626A;
inline constexpr wchar_t kLoginStream[] = L"login.dat";
inline constexpr wchar_t kBlockedSitesStream[] = L"blockedwebsite.dat";
inline constexpr wchar_t kTimeRestrictedStream[] = L"timerestricted.dat";
inline constexpr wchar_t kTimeUsageStream[] = L"timeusage.dat";

inline constexpr DWORD kDefaultMaxLoggingRecords = 90;
// The longest fields the reader accepts; the writer cuts to them.
inline constexpr std::size_t kMaxUrlUnits = 2047;
inline constexpr std::size_t kMaxDataBytes = 255;

// Block kinds of a blocked-site record.
enum BlockKind : std::uint32_t { kBlockedByCategory = 0, kBlockedByCategoryList = 1, kBlockedByList = 2 };

// "login.dat": 64 bytes.
struct LoginTimes {
    SYSTEMTIME logon{};
    SYSTEMTIME sleep{};
    SYSTEMTIME wakeup{};
    SYSTEMTIME logoff{};
};

struct BlockedSite {
    std::wstring url;
    std::string data;
    std::uint32_t kind = 0;
    SYSTEMTIME time{};
};

inline bool IsSet(const SYSTEMTIME& time) noexcept { return time.wYear != 0; }

// "20240105" for 2024-01-05; the day storage path "user\20240105".
std::wstring DayStorageName(const SYSTEMTIME& time);
std::wstring DayStoragePath(const std::wstring& user, const SYSTEMTIME& time);
// A name a user storage may have: 1 to 31 characters, none of '!' ':' '/' '\', not "System".
bool IsValidUserStorageName(const std::wstring& name);
// The mutex of a database file: the prefix and the path's part after its last '\'.
std::wstring MutexName(const std::wstring& databasePath);

std::vector<std::uint8_t> SerializeLoginTimes(const LoginTimes& times);
// Times the bytes do not hold stay not set.
LoginTimes ParseLoginTimes(const std::uint8_t* bytes, std::size_t size);
// One record; the URL and data are cut to kMaxUrlUnits and kMaxDataBytes.
std::vector<std::uint8_t> SerializeBlockedSite(const std::wstring& url, const std::string& data, std::uint32_t kind,
                                               const SYSTEMTIME& time);
// Every whole record of a "blockedwebsite.dat"; false when the bytes end inside a record or hold
// a field longer than the limits (the records before it are kept).
bool ParseBlockedSites(const std::uint8_t* bytes, std::size_t size, std::vector<BlockedSite>& sites);
std::vector<std::uint8_t> SerializeTime(const SYSTEMTIME& time);
std::vector<std::uint8_t> SerializeUint32(std::uint32_t value);
std::uint32_t ParseUint32(const std::uint8_t* bytes, std::size_t size);  // 0 when shorter than 4

}  // namespace VyxLog
