#include "LogProbe.h"

#include "logging/ETWLogging.h"
#include "logging/FileLogging.h"
#include "logging/Logging.h"
#include "logging/LoggingSeams.h"

#include "base/Logging/Logger.h"

#include <cstring>
#include <cwchar>
#include <mutex>
#include <string>
#include <vector>

namespace {

class ProbeEnvironment : public ETWLogging::LoggingEnvironment {
public:
    HRESULT GetProgramDataFolder(std::wstring& path) override {
        path = dataRoot;
        return S_OK;
    }
    std::wstring dataRoot;
};

void CopyText(wchar_t* out, std::size_t capacity, const std::wstring& text) {
    const std::size_t kept = text.size() < capacity - 1 ? text.size() : capacity - 1;
    std::wmemcpy(out, text.c_str(), kept);
    out[kept] = 0;
}

// Keeps every event with its origin record decoded.
class CaptureApi : public ETWLogging::ETWApi {
public:
    ULONG RegisterTraceGuids(WMIDPREQUEST, void*, LPCGUID, ULONG, PTRACE_GUID_REGISTRATION, LPCWSTR, LPCWSTR,
                             PTRACEHANDLE handle) override {
        *handle = 0x600D;
        return 0;
    }
    ULONG UnregisterTraceGuids(TRACEHANDLE) override { return 0; }
    ULONG TraceEvent(TRACEHANDLE, PEVENT_TRACE_HEADER header) override {
        const auto* block = reinterpret_cast<const ETWLogging::ETWEventBlock*>(header);
        const BYTE* origin = reinterpret_cast<const BYTE*>(block->fields[0].DataPtr);
        std::size_t at = 0;
        const auto u32 = [&] {
            DWORD value = 0;
            std::memcpy(&value, origin + at, 4);
            at += 4;
            return value;
        };
        const auto counted = [&] {
            USHORT chars = 0;
            std::memcpy(&chars, origin + at, 2);
            std::wstring text(chars, L'\0');
            if (chars != 0) std::memcpy(&text[0], origin + at + 2, chars * 2u);
            at += 2 + chars * 2u;
            return text;
        };
        ProbeEvent event = {};
        event.level = header->Class.Level;
        u32();
        u32();
        counted();
        CopyText(event.sourceFile, 64, counted());
        CopyText(event.function, 128, counted());
        event.line = u32();
        CopyText(event.moduleFile, 64, counted());
        CopyText(event.moduleVersion, 32, counted());
        CopyText(event.component, 64, counted());
        event.textBytes = block->fields[1].Length;
        const std::size_t kept = event.textBytes < sizeof(event.text) ? event.textBytes : sizeof(event.text);
        std::memcpy(event.text, reinterpret_cast<const void*>(block->fields[1].DataPtr), kept);
        std::lock_guard<std::mutex> lock(m_lock);
        m_events.push_back(event);
        return 0;
    }
    TRACEHANDLE GetTraceLoggerHandle(void*) override { return static_cast<TRACEHANDLE>(-1); }

    DWORD Count() {
        std::lock_guard<std::mutex> lock(m_lock);
        return static_cast<DWORD>(m_events.size());
    }
    bool Get(DWORD index, ProbeEvent* event) {
        std::lock_guard<std::mutex> lock(m_lock);
        if (index >= m_events.size()) return false;
        *event = m_events[index];
        return true;
    }

private:
    std::mutex m_lock;
    std::vector<ProbeEvent> m_events;
};

// Both outlive the module's logger, which is torn down by the module's exit code.
ProbeEnvironment& Environment() {
    static ProbeEnvironment* const environment = new ProbeEnvironment();
    return *environment;
}

CaptureApi& Capture() {
    static CaptureApi* const capture = new CaptureApi();
    return *capture;
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    // As the deliverables do: the component name, and this module as the one naming the log.
    if (reason == DLL_PROCESS_ATTACH) ETWLogging::ConfigureLogging(nullptr, L"LogProbe", nullptr, nullptr, 0);
    return TRUE;
}

__declspec(dllexport) void WINAPI Probe_Setup(const wchar_t* dataRoot, BOOL captureEtw) {
    Environment().dataRoot = dataRoot;
    ETWLogging::SetLoggingEnvironment(&Environment());
    if (captureEtw) ETWLogging::SetETWApi(&Capture());
}

__declspec(dllexport) void WINAPI Probe_Configure(const wchar_t* componentName, DWORD forceFile) {
    ETWLogging::ConfigureLogging(nullptr, componentName, nullptr, nullptr, forceFile);
}

__declspec(dllexport) int WINAPI Probe_LoggerKind() {
    ETWLogging::CLogManager* const manager = ETWLogging::GetLogManager();
    ETWLogging::CLoggingIf* const logger = manager != nullptr ? manager->GetLogger() : nullptr;
    if (dynamic_cast<ETWLogging::CLogging*>(logger) != nullptr) return kProbeFileLogger;
    if (dynamic_cast<ETWLogging::CETWLogging*>(logger) != nullptr) return kProbeEtwLogger;
    return kProbeNoLogger;
}

__declspec(dllexport) BOOL WINAPI Probe_IsLevelEnabled(DWORD level) { return ETWLogging::IsLogLevelEnabled(level); }

__declspec(dllexport) void WINAPI Probe_Log(DWORD level, const wchar_t* text) { NUV_LOG(level, L"%s", text); }

__declspec(dllexport) DWORD WINAPI Probe_LogFormat(DWORD level, const wchar_t* text) {
    return ETWLogging::LogFormat(level, L"LogProbe", L"Probe_LogFormat", __LINE__, L"%s", text);
}

__declspec(dllexport) DWORD WINAPI Probe_ManagerLog(DWORD level, const wchar_t* text) {
    ETWLogging::CLogManager* const manager = ETWLogging::GetLogManager();
    return manager != nullptr ? manager->Log(level, L"LogProbe", L"Probe_ManagerLog", __LINE__, L"%s", text)
                              : ERROR_NOT_FOUND;
}

__declspec(dllexport) void WINAPI Probe_BaseLog(DWORD type, const wchar_t* text) { TESSAL_LOG(type, L"%s", text); }

__declspec(dllexport) DWORD WINAPI Probe_EventCount() { return Capture().Count(); }

__declspec(dllexport) BOOL WINAPI Probe_GetEvent(DWORD index, ProbeEvent* event) {
    return Capture().Get(index, event) ? TRUE : FALSE;
}

}  // extern "C"
