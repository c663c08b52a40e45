#pragma once
// Reading back the activity-log database the way its reader does, a settable clock for the
// records, and a second process that holds the database mutex or writes until killed.

#include "Shared/StgStorageDB.h"
#include "Shared/VyxLogFormat.h"
#include "plugin/timelimits/VyxLogEngine.h"
#include "tests/support/TestPaths.h"

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

namespace NuvTest {

// The records' local time: set by the test.
inline SYSTEMTIME g_activityNow = {};
inline void ActivityClock(SYSTEMTIME* now) { *now = g_activityNow; }
inline void SetActivityTime(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second = 0) {
    g_activityNow = {};
    g_activityNow.wYear = year;
    g_activityNow.wMonth = month;
    g_activityNow.wDay = day;
    g_activityNow.wHour = hour;
    g_activityNow.wMinute = minute;
    g_activityNow.wSecond = second;
}

// A stream of the database, read as the reader would (under the database mutex); empty when it
// is missing.
inline std::vector<std::uint8_t> ReadActivityStream(const std::wstring& database, const std::wstring& path,
                                                    const wchar_t* stream) {
    HANDLE mutex = ::CreateMutexW(nullptr, FALSE, VyxLog::MutexName(database).c_str());
    ::WaitForSingleObject(mutex, VyxLog::kMutexWaitMs);
    std::vector<std::uint8_t> bytes;
    CStgStorageDB* store = nullptr;
    BOOL created = FALSE;
    if (SUCCEEDED(CreateStgStorageDB(&store, database.c_str(), STGM_READ, &created))) {
        DWORD handle = 0;
        if (SUCCEEDED(store->OpenFile(path.c_str(), stream, &handle, false, false))) {
            DWORD size = 0;
            store->GetFileSize(handle, &size);
            bytes.resize(size);
            ULONG read = 0;
            store->ReadFile(handle, bytes.data(), size, &read);
            bytes.resize(read);
            store->CloseFile(handle);
        }
        store->Release();
    }
    ::ReleaseMutex(mutex);
    ::CloseHandle(mutex);
    return bytes;
}

// Writes a stream of the database (made when missing) as another writer would, under the
// database mutex; false when the store refuses.
inline bool WriteActivityStream(const std::wstring& database, const std::wstring& path, const wchar_t* stream,
                                const std::vector<std::uint8_t>& bytes) {
    HANDLE mutex = ::CreateMutexW(nullptr, FALSE, VyxLog::MutexName(database).c_str());
    ::WaitForSingleObject(mutex, VyxLog::kMutexWaitMs);
    bool written = false;
    CStgStorageDB* store = nullptr;
    BOOL created = FALSE;
    if (SUCCEEDED(CreateStgStorageDB(&store, database.c_str(), STGM_READWRITE, &created))) {
        DWORD handle = 0;
        if (SUCCEEDED(store->OpenFile(path.c_str(), stream, &handle, true, false))) {
            ULONG count = 0;
            written = SUCCEEDED(store->WriteFile(handle, bytes.data(), static_cast<ULONG>(bytes.size()), &count)) &&
                      count == bytes.size();
            store->CloseFile(handle);
        }
        store->Release();
    }
    ::ReleaseMutex(mutex);
    ::CloseHandle(mutex);
    return written;
}

inline DWORD MinutesOn(const std::wstring& database, const std::wstring& user, const wchar_t* day) {
    const auto bytes = ReadActivityStream(database, user + L"\\" + day, VyxLog::kTimeUsageStream);
    return VyxLog::ParseUint32(bytes.data(), bytes.size());
}

inline VyxLog::LoginTimes LoginTimesOf(const std::wstring& database, const std::wstring& user) {
    const auto bytes = ReadActivityStream(database, user, VyxLog::kLoginStream);
    return VyxLog::ParseLoginTimes(bytes.data(), bytes.size());
}

inline std::vector<VyxLog::BlockedSite> BlockedSitesOn(const std::wstring& database, const std::wstring& user,
                                                       const wchar_t* day) {
    const auto bytes = ReadActivityStream(database, user + L"\\" + day, VyxLog::kBlockedSitesStream);
    std::vector<VyxLog::BlockedSite> sites;
    VyxLog::ParseBlockedSites(bytes.data(), bytes.size(), sites);
    return sites;
}

inline std::vector<std::wstring> DaysOf(const std::wstring& database, const std::wstring& user) {
    std::vector<std::wstring> days;
    CStgStorageDB* store = nullptr;
    BOOL created = FALSE;
    HANDLE mutex = ::CreateMutexW(nullptr, FALSE, VyxLog::MutexName(database).c_str());
    ::WaitForSingleObject(mutex, VyxLog::kMutexWaitMs);
    if (SUCCEEDED(CreateStgStorageDB(&store, database.c_str(), STGM_READ, &created))) {
        store->EnumElements(user.c_str(), &days);
        store->Release();
    }
    ::ReleaseMutex(mutex);
    ::CloseHandle(mutex);
    std::sort(days.begin(), days.end());
    return days;
}

// Starts vyxlog_probe with the arguments and waits until it signals that it is ready.
inline HANDLE StartProbe(const std::wstring& arguments, const std::wstring& readyName) {
    HANDLE ready = ::CreateEventW(nullptr, TRUE, FALSE, readyName.c_str());
    std::wstring command = L"\"" + ExeFolder() + L"\\vyxlog_probe.exe\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        ::CloseHandle(ready);
        return nullptr;
    }
    ::CloseHandle(process.hThread);
    const HANDLE handles[] = {ready, process.hProcess};
    ::WaitForMultipleObjects(2, handles, FALSE, 30000);
    ::CloseHandle(ready);
    return process.hProcess;
}

}  // namespace NuvTest
