#include "Shared/VyxLogFormat.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace VyxLog {
namespace {

void PutUint32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

void PutTime(std::vector<std::uint8_t>& out, const SYSTEMTIME& time) {
    const WORD fields[] = {time.wYear, time.wMonth, time.wDayOfWeek, time.wDay,
                           time.wHour, time.wMinute, time.wSecond, time.wMilliseconds};
    for (const WORD field : fields) {
        out.push_back(static_cast<std::uint8_t>(field));
        out.push_back(static_cast<std::uint8_t>(field >> 8));
    }
}

std::uint32_t GetUint32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

SYSTEMTIME GetTime(const std::uint8_t* at) {
    WORD fields[8];
    for (int i = 0; i < 8; ++i) fields[i] = static_cast<WORD>(at[2 * i] | at[2 * i + 1] << 8);
    SYSTEMTIME time;
    time.wYear = fields[0];
    time.wMonth = fields[1];
    time.wDayOfWeek = fields[2];
    time.wDay = fields[3];
    time.wHour = fields[4];
    time.wMinute = fields[5];
    time.wSecond = fields[6];
    time.wMilliseconds = fields[7];
    return time;
}

}  // namespace

std::wstring DayStorageName(const SYSTEMTIME& time) {
    wchar_t name[32];
    std::swprintf(name, 32, L"%d%02d%02d", time.wYear, time.wMonth, time.wDay);
    return name;
}

std::wstring DayStoragePath(const std::wstring& user, const SYSTEMTIME& time) {
    return user + L"\\" + DayStorageName(time);
}

bool IsValidUserStorageName(const std::wstring& name) {
    if (name.empty() || name.size() > 31 || name == kSystemStorage) return false;
    return name.find_first_of(L"!:/\\") == std::wstring::npos;
}

std::wstring MutexName(const std::wstring& databasePath) {
    const std::size_t slash = databasePath.rfind(L'\\');
    return kMutexPrefix + (slash == std::wstring::npos ? databasePath : databasePath.substr(slash + 1));
}

std::vector<std::uint8_t> SerializeLoginTimes(const LoginTimes& times) {
    std::vector<std::uint8_t> out;
    for (const SYSTEMTIME* time : {&times.logon, &times.sleep, &times.wakeup, &times.logoff}) PutTime(out, *time);
    return out;
}

LoginTimes ParseLoginTimes(const std::uint8_t* bytes, std::size_t size) {
    LoginTimes times;
    SYSTEMTIME* const fields[] = {&times.logon, &times.sleep, &times.wakeup, &times.logoff};
    for (std::size_t i = 0; i < 4 && (i + 1) * 16 <= size; ++i) *fields[i] = GetTime(bytes + i * 16);
    return times;
}

std::vector<std::uint8_t> SerializeBlockedSite(const std::wstring& url, const std::string& data, std::uint32_t kind,
                                               const SYSTEMTIME& time) {
    const std::size_t units = std::min(url.size(), kMaxUrlUnits);
    const std::size_t dataBytes = std::min(data.size(), kMaxDataBytes);
    std::vector<std::uint8_t> out;
    out.reserve(28 + 2 * units + dataBytes);
    PutUint32(out, static_cast<std::uint32_t>(units));
    for (std::size_t i = 0; i < units; ++i) {
        out.push_back(static_cast<std::uint8_t>(url[i]));
        out.push_back(static_cast<std::uint8_t>(url[i] >> 8));
    }
    PutUint32(out, static_cast<std::uint32_t>(dataBytes));
    out.insert(out.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(dataBytes));
    PutUint32(out, kind);
    PutTime(out, time);
    return out;
}

bool ParseBlockedSites(const std::uint8_t* bytes, std::size_t size, std::vector<BlockedSite>& sites) {
    std::size_t at = 0;
    while (at < size) {
        if (size - at < 4) return false;
        const std::uint32_t units = GetUint32(bytes + at);
        if (units > kMaxUrlUnits || size - at - 4 < 2ull * units + 4) return false;
        BlockedSite site;
        for (std::uint32_t i = 0; i < units; ++i) {
            site.url += static_cast<wchar_t>(bytes[at + 4 + 2 * i] | bytes[at + 5 + 2 * i] << 8);
        }
        at += 4 + 2ull * units;
        const std::uint32_t dataBytes = GetUint32(bytes + at);
        if (dataBytes > kMaxDataBytes || size - at - 4 < dataBytes + 20ull) return false;
        site.data.assign(reinterpret_cast<const char*>(bytes + at + 4), dataBytes);
        at += 4 + dataBytes;
        site.kind = GetUint32(bytes + at);
        site.time = GetTime(bytes + at + 4);
        at += 20;
        sites.push_back(std::move(site));
    }
    return true;
}

std::vector<std::uint8_t> SerializeTime(const SYSTEMTIME& time) {
    std::vector<std::uint8_t> out;
    PutTime(out, time);
    return out;
}

std::vector<std::uint8_t> SerializeUint32(std::uint32_t value) {
    std::vector<std::uint8_t> out;
    PutUint32(out, value);
    return out;
}

std::uint32_t ParseUint32(const std::uint8_t* bytes, std::size_t size) { return size < 4 ? 0 : GetUint32(bytes); }

}  // namespace VyxLog
