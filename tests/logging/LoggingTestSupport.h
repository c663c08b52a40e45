#pragma once
// Shared by the logging tests: a controllable environment for the loggers, log
// files read back, and the registry switch between the file and the ETW logger.

#include "logging/LoggingSeams.h"
#include "tests/support/ScratchFolder.h"
#include "tests/support/ScopedReplacement.h"

#include <windows.h>

#include <string>
#include <vector>

namespace NuvTest {

// The common application-data folder and the clock the loggers see.
class FakeEnvironment : public ETWLogging::LoggingEnvironment {
public:
    HRESULT GetProgramDataFolder(std::wstring& path) override;
    void GetLocalTime(SYSTEMTIME& now) override;

    std::wstring dataRoot;
    HRESULT folderResult = S_OK;
    bool fixedClock = true;
    SYSTEMTIME now = {2026, 12, 3, 9, 15, 53, 53, 0};  // Wednesday 9 December 2026, 15:53:53
};

// Installs an environment for its lifetime.
class ScopedEnvironment : public ScopedReplacement<ETWLogging::LoggingEnvironment*> {
public:
    explicit ScopedEnvironment(ETWLogging::LoggingEnvironment* environment)
        : ScopedReplacement(ETWLogging::SetLoggingEnvironment, environment) {}
};

// The raw bytes of a file; empty when it cannot be read.
std::vector<BYTE> ReadBytes(const std::wstring& path);
// A log file's UTF-16 text after its byte-order mark; `hasBom` tells whether it had one.
std::wstring ReadLogText(const std::wstring& path, bool* hasBom = nullptr);
// The lines of a log text, each with its "\r\n".
std::vector<std::wstring> SplitLines(const std::wstring& text);
// Writes a file of exactly `size` bytes: the byte-order mark, then filler lines.
void WriteFilledLog(const std::wstring& path, DWORD size);

// Scrambled "log.ini" entries, as the product's tools write them.
bool WriteIniInt(const std::wstring& path, const wchar_t* key, int value);
bool ReadIniInt(const std::wstring& path, const wchar_t* key, int& value);

// HKLM\SOFTWARE\Oberix\Logging "Logging Mechanism": saved at construction (raw, as stored) and
// put back at destruction, so test programs serialised on this key leave it as they found it.
class ScopedLoggingMechanism {
public:
    ScopedLoggingMechanism();
    ~ScopedLoggingMechanism();
    ScopedLoggingMechanism(const ScopedLoggingMechanism&) = delete;
    ScopedLoggingMechanism& operator=(const ScopedLoggingMechanism&) = delete;

    bool Set(DWORD mechanism);  // scrambled, as the product reads it
    bool RemoveValue();
    // Removes the whole key when nothing but this value lives in it; false otherwise.
    bool RemoveKeyIfOnlyValue();

private:
    bool m_keyExisted = false;
    bool m_valueExisted = false;
    DWORD m_type = 0;
    std::vector<BYTE> m_data;
};

}  // namespace NuvTest
