#pragma once
// Chooses and creates the process logger: the file logger when the scrambled DWORD "Logging
// Mechanism" under HKLM\SOFTWARE\Oberix\Logging is 1 (or file logging is forced), the ETW logger
// for any other value, a missing value or a missing key.

#include "logging/LoggingIf.h"

namespace ETWLogging {

class CLogBuilderIf {
public:
    virtual bool Build(const wchar_t* componentName, HMODULE module, const wchar_t* fileSuffix, DWORD forceFile,
                       CLoggingIf** logger) = 0;

protected:
    ~CLogBuilderIf() = default;
};

class CLogBuilderIf_ex : public CLogBuilderIf {
public:
    using CLogBuilderIf::Build;
    virtual bool Build(const wchar_t* applicationId, const wchar_t* componentName, HMODULE module,
                       const wchar_t* fileSuffix, DWORD forceFile, CLoggingIf** logger) = 0;

protected:
    ~CLogBuilderIf_ex() = default;
};

class CDefaultLogBuilder final : public CLogBuilderIf_ex {
public:
    static constexpr const wchar_t* kLoggingKey = L"SOFTWARE\\Oberix\\Logging";
    static constexpr const wchar_t* kLoggingMechanismValue = L"Logging Mechanism";
    static constexpr DWORD kFileMechanism = 1;

    // Without application id: the other overload with a null one.
    bool Build(const wchar_t* componentName, HMODULE module, const wchar_t* fileSuffix, DWORD forceFile,
               CLoggingIf** logger) override;
    // True with an initialised logger (AddRef'd) in *logger. Refused when *logger holds one, or
    // a given component name or suffix is empty. Throws nothing.
    bool Build(const wchar_t* applicationId, const wchar_t* componentName, HMODULE module,
               const wchar_t* fileSuffix, DWORD forceFile, CLoggingIf** logger) override;

    // True when the registry asks for the file logger.
    static bool IsFileLoggingConfigured();
};

}  // namespace ETWLogging
