#pragma once
// The ETW logger: registers the process as a classic (MOF) trace provider and turns every accepted
// message into one trace event carrying its origin record and its text as UTF-8. The ETW functions
// are reached through the replaceable ETWApi (LoggingSeams.h).

#include "logging/ETWAppProperties.h"
#include "logging/EventOrigin.h"
#include "logging/LoggingIf.h"

#include "base/Sync.h"

#include <evntrace.h>

#include <atomic>
#include <memory>
#include <string>

namespace ETWLogging {

// The 80-byte block of one event: header and two MOF fields (origin record, UTF-8 text).
struct ETWEventBlock {
    EVENT_TRACE_HEADER header;
    MOF_FIELD fields[2];
};
static_assert(sizeof(ETWEventBlock) == 80, "consumers decode this layout");

class CETWLogging : public CLoggingIf_ex {
public:
    // Messages are cut to this buffer, terminator included.
    static constexpr std::size_t kTextBufferChars = 2080;

    CETWLogging();
    ~CETWLogging() override;
    CETWLogging(const CETWLogging&) = delete;
    CETWLogging& operator=(const CETWLogging&) = delete;

    // CLoggingIf
    DWORD Initialize(const wchar_t* componentName, HMODULE module, const wchar_t* fileSuffix,
                     LoggingConfigListenerIf* listener) override;
    DWORD Start() override;
    void GetLogName(std::wstring& name) override;
    void GetComponentName(std::wstring& name) override;
    DWORD Uninitialize() override;
    void SetEnabled(DWORD enable) override;
    bool IsEnabled() override;
    void LogFormatted(DWORD level, const wchar_t* sourceFile, const wchar_t* function, int line,
                      const wchar_t* format, ...) override;
    DWORD LogText(const wchar_t* sourceFile, const wchar_t* function, int line, DWORD level,
                  const wchar_t* text) override;
    bool IsLevelEnabled(DWORD level) override;
    void SetMaxEntries(DWORD count) override;
    DWORD GetMaxEntries() override;
    void SetMaxSize(DWORD bytes) override;
    DWORD GetMaxSize() override;
    DWORD SetSeverity(DWORD level) override;
    DWORD GetSeverity() override;
    LONG AddRef() override;
    LONG Release() override;

    // CLoggingIf_ex
    DWORD InitializeEx(const wchar_t* applicationId, const wchar_t* componentName, HMODULE module,
                       const wchar_t* fileSuffix, LoggingConfigListenerIf* listener) override;
    DWORD LogTextEx(DWORD level, const wchar_t* sourceFile, const wchar_t* function, int line,
                    const wchar_t* text) override;
    DWORD LogFormatV(DWORD level, const wchar_t* sourceFile, const wchar_t* function, int line,
                     const wchar_t* format, va_list args) override;
    DWORD LogFormatEx(DWORD level, const wchar_t* sourceFile, const wchar_t* function, int line,
                      const wchar_t* format, ...) override;
    bool IsOwnTraceHandle(ULONG64 handle) override;
    ULONG OnControl(ULONG requestCode, void* buffer) override;
    void SetEventClass() override;
    void GetModuleBaseName(std::wstring& name, HMODULE module, bool stripExtension) override;
    void BuildLogName() override;
    ULONG UnregisterProvider() override;
    ULONG Stop() override;
    DWORD MapLevel(DWORD level) override;
    void FillRecord(const wchar_t* sourceFile, const wchar_t* function, int line, EventOrigin& record) override;

    const internal::ETWAppProperties& GetProperties() const noexcept { return m_properties; }
    const std::wstring& GetModuleFile() const noexcept { return m_moduleFileName; }
    const std::wstring& GetModuleVersion() const noexcept { return m_moduleVersion; }

    // The module that holds this code and the FileVersion of its version resource ("%u,%u,%u,%u"
    // rewritten with dots); taken once per process.
    struct ModuleImage {
        std::wstring fileName;
        std::wstring version;
    };
    static const ModuleImage& GetModuleImage();
    static std::wstring ReadModuleVersion(const std::wstring& path);

private:
    static ULONG WINAPI ControlCallback(WMIDPREQUESTCODE requestCode, void* context, ULONG* bufferSize,
                                        void* buffer);
    ULONG HandleControl(ULONG requestCode, void* buffer);

    std::atomic<DWORD> m_registered{0};
    Tessal::CCriticalSection m_lock;  // provider registration
    DWORD m_processId = 0;
    GUID m_eventClass = {};
    std::unique_ptr<LoggingConfigListenerIf> m_listener;
    // Changed by the control callback on an ETW thread and read by writers, without a lock.
    std::atomic<DWORD> m_enabled{1};
    std::atomic<DWORD> m_severity{3};
    std::wstring m_componentName;
    std::wstring m_fileSuffix;
    std::wstring m_processImageName;
    std::wstring m_moduleBaseName;
    std::wstring m_logName;
    std::wstring m_moduleFileName;
    std::wstring m_moduleVersion;
    std::atomic<ULONG64> m_traceHandle{0};  // of the session that enabled the provider
    TRACEHANDLE m_registrationHandle = 0;
    internal::ETWAppProperties m_properties;
};

}  // namespace ETWLogging
