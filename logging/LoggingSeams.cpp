#include "logging/LoggingSeams.h"

#include "base/ShlObjAPI.h"
#include "base/UniqueHandle.h"

#include <atomic>

namespace ETWLogging {
namespace {

// Never destroyed: loggers torn down by other modules' exit code may still reach them.
ETWApi& SystemETWApi() noexcept {
    static ETWApi* const api = new ETWApi();
    return *api;
}

LoggingEnvironment& SystemEnvironment() noexcept {
    static LoggingEnvironment* const environment = new LoggingEnvironment();
    return *environment;
}

std::atomic<ETWApi*> g_etwApi{nullptr};
std::atomic<LoggingEnvironment*> g_environment{nullptr};

}  // namespace

ETWApi::~ETWApi() = default;

ULONG ETWApi::RegisterTraceGuids(WMIDPREQUEST callback, void* context, LPCGUID controlGuid, ULONG guidCount,
                                 PTRACE_GUID_REGISTRATION registrations, LPCWSTR mofImagePath,
                                 LPCWSTR mofResourceName, PTRACEHANDLE registrationHandle) {
    return ::RegisterTraceGuidsW(callback, context, controlGuid, guidCount, registrations, mofImagePath,
                                 mofResourceName, registrationHandle);
}

ULONG ETWApi::UnregisterTraceGuids(TRACEHANDLE registrationHandle) {
    return ::UnregisterTraceGuids(registrationHandle);
}

ULONG ETWApi::TraceEvent(TRACEHANDLE sessionHandle, PEVENT_TRACE_HEADER header) {
    return ::TraceEvent(sessionHandle, header);
}

TRACEHANDLE ETWApi::GetTraceLoggerHandle(void* buffer) { return ::GetTraceLoggerHandle(buffer); }

UCHAR ETWApi::GetTraceEnableLevel(TRACEHANDLE sessionHandle) { return ::GetTraceEnableLevel(sessionHandle); }

ULONG ETWApi::GetTraceEnableFlags(TRACEHANDLE sessionHandle) { return ::GetTraceEnableFlags(sessionHandle); }

LoggingEnvironment::~LoggingEnvironment() = default;

HRESULT LoggingEnvironment::GetProgramDataFolder(std::wstring& path) {
    Tessal::UniqueCoTaskMem folder;
    Tessal::ShlObjAPI shell;
    const HRESULT hr = shell.GetKnownFolderPath(FOLDERID_ProgramData, KF_FLAG_CREATE, nullptr,
                                                reinterpret_cast<PWSTR*>(folder.Put()));
    if (FAILED(hr)) return hr;
    if (!folder) return E_FAIL;
    path = static_cast<const wchar_t*>(folder.Get());
    return S_OK;
}

void LoggingEnvironment::GetLocalTime(SYSTEMTIME& now) { ::GetLocalTime(&now); }

ETWApi& GetETWApi() noexcept {
    ETWApi* const api = g_etwApi.load();
    return api != nullptr ? *api : SystemETWApi();
}

LoggingEnvironment& GetLoggingEnvironment() noexcept {
    LoggingEnvironment* const environment = g_environment.load();
    return environment != nullptr ? *environment : SystemEnvironment();
}

ETWApi* SetETWApi(ETWApi* api) noexcept { return g_etwApi.exchange(api); }

LoggingEnvironment* SetLoggingEnvironment(LoggingEnvironment* environment) noexcept {
    return g_environment.exchange(environment);
}

}  // namespace ETWLogging
