#pragma once
// The dump of one connection, recorded while the "Dump" switch is on: the bytes received and sent
// in each direction and a time-stamped summary of what the connection's handler did, in five
// files of a day folder below "<install folder>\Dump". A file that cannot be made is simply not
// written; recording costs nothing while the switch is off (the handler makes no dump).

#include "base/Sync.h"
#include "base/UniqueHandle.h"

#include <windows.h>

#include <string>

class CConnectionDump {
public:
    CConnectionDump() = default;
    ~CConnectionDump() { Close(); }
    CConnectionDump(const CConnectionDump&) = delete;
    CConnectionDump& operator=(const CConnectionDump&) = delete;

    // Creates the folders and the five files for the handler at `handler`, named after the local
    // time `now`; false when the install folder cannot be read or no folder can be had.
    bool Open(const void* handler, const SYSTEMTIME& now);
    // The four data files, then "Destroying Handler" into the summary and the summary itself.
    void Close();

    // Raw bytes into a direction's ".in.log" (received) or ".out.log" (sent).
    void Write(const void* bytes, DWORD size, bool inbound, bool received);
    // One summary line: "HH:MM:SS.mmm - " (UTC) and the narrow printf-formatted text.
    void Print(const char* format, ...);

    // "<day folder>\HH-MM-SS_mmm.<address>.1401450", empty before Open.
    const std::wstring& BaseName() const noexcept { return m_baseName; }

    // "OK", "FAIL", "BYPASS", "DEFER", "DROP", "unknown".
    static const char* VerdictName(DWORD verdict) noexcept;
    // "None", "Young Child", "Child", "Young Teen", "Old Teen", "Adult"; "None" for others.
    static const char* AgeGroupName(LONG ageGroup) noexcept;

private:
    static constexpr int kResponseIn = 0, kResponseOut = 1, kRequestIn = 2, kRequestOut = 3;

    Tessal::CCriticalSection m_lock;  // one summary line at a time
    Tessal::UniqueHandle m_data[4];
    Tessal::UniqueHandle m_summary;
    std::wstring m_baseName;
};
