#pragma once
// The system services the loggers depend on, replaceable so tests can drive them: the classic ETW
// provider functions (Wine only stubs them), the common application-data folder and the clock.
// Each module holds its own copy. Replace them before the first log call and restore them after;
// a replacement must outlive every logger that may use it.

#include <windows.h>
#include <evntrace.h>

#include <string>

namespace ETWLogging {

class ETWApi {
public:
    virtual ~ETWApi();
    virtual ULONG RegisterTraceGuids(WMIDPREQUEST callback, void* context, LPCGUID controlGuid, ULONG guidCount,
                                     PTRACE_GUID_REGISTRATION registrations, LPCWSTR mofImagePath,
                                     LPCWSTR mofResourceName, PTRACEHANDLE registrationHandle);
    virtual ULONG UnregisterTraceGuids(TRACEHANDLE registrationHandle);
    virtual ULONG TraceEvent(TRACEHANDLE sessionHandle, PEVENT_TRACE_HEADER header);
    virtual TRACEHANDLE GetTraceLoggerHandle(void* buffer);
    virtual UCHAR GetTraceEnableLevel(TRACEHANDLE sessionHandle);
    virtual ULONG GetTraceEnableFlags(TRACEHANDLE sessionHandle);
};

class LoggingEnvironment {
public:
    virtual ~LoggingEnvironment();
    // FOLDERID_ProgramData, created when missing; a failed HRESULT when it cannot be had.
    virtual HRESULT GetProgramDataFolder(std::wstring& path);
    virtual void GetLocalTime(SYSTEMTIME& now);
};

ETWApi& GetETWApi() noexcept;
LoggingEnvironment& GetLoggingEnvironment() noexcept;

// Install a replacement (null restores the system's); the previous one is returned.
ETWApi* SetETWApi(ETWApi* api) noexcept;
LoggingEnvironment* SetLoggingEnvironment(LoggingEnvironment* environment) noexcept;

}  // namespace ETWLogging
