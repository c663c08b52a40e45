#pragma once
// The logger interfaces the process logger drives: CLoggingIf (every logger) and CLoggingIf_ex
// (the ETW logger's extended interface), their configuration listener, levels and result codes.

#include <windows.h>

#include <cstdarg>
#include <cstddef>
#include <string>

namespace ETWLogging {

// Log levels. 0 and levels above 6 have no name.
enum : DWORD {
    LOG_NORMAL = 1,
    LOG_WARNING = 2,
    LOG_INFORMATION = 3,
    LOG_ERROR = 4,
    LOG_CRITICAL = 5,
    LOG_INFORMATION_6 = 6,
};

// Logger result codes besides Win32 ones.
enum : DWORD {
    LOG_ALREADY_INITIALIZED = 20001,
    LOG_NOT_INITIALIZED = 20002,
    LOG_NO_LOGGER = ERROR_FUNCTION_FAILED,  // 1627
};

// "Normal", "Warning", ...; null for levels without a name.
const wchar_t* LevelName(DWORD level) noexcept;

// Messages of the fixed-level operations (LogNormal ...) are cut to this buffer, terminator included.
constexpr std::size_t kFixedLevelBufferChars = 4160;

class CLoggingIf;

class LoggingConfigListenerIf {
public:
    virtual void OnConfigChange(DWORD enable, DWORD level, DWORD flags) = 0;
    virtual ~LoggingConfigListenerIf() = default;
    virtual bool SetLogger(CLoggingIf* logger) = 0;
    virtual void GetProviderKey(HKEY& rootKey, std::wstring& keyPath) = 0;
    virtual void ApplyKeySettings(HKEY rootKey, const std::wstring& keyPath) = 0;
};

class CLoggingIf {
public:
    virtual ~CLoggingIf() = default;
    virtual DWORD Initialize(const wchar_t* componentName, HMODULE module, const wchar_t* fileSuffix,
                             LoggingConfigListenerIf* listener) = 0;
    virtual DWORD Start() = 0;
    virtual void GetLogName(std::wstring& name) = 0;
    virtual void GetComponentName(std::wstring& name) = 0;
    virtual DWORD Uninitialize() = 0;
    virtual void SetEnabled(DWORD enable) = 0;
    virtual bool IsEnabled() = 0;
    virtual void LogFormatted(DWORD level, const wchar_t* sourceFile, const wchar_t* function, int line,
                              const wchar_t* format, ...) = 0;
    virtual DWORD LogText(const wchar_t* sourceFile, const wchar_t* function, int line, DWORD level,
                          const wchar_t* text) = 0;
    virtual bool IsLevelEnabled(DWORD level) = 0;
    virtual void SetMaxEntries(DWORD count) = 0;
    virtual DWORD GetMaxEntries() = 0;
    virtual void SetMaxSize(DWORD bytes) = 0;
    virtual DWORD GetMaxSize() = 0;
    virtual DWORD SetSeverity(DWORD level) = 0;
    virtual DWORD GetSeverity() = 0;
    virtual LONG AddRef() = 0;
    virtual LONG Release() = 0;
    // Fixed levels 1, 4, 2, 5, 3; the level is not tested, the text is cut at 4159 characters.
    virtual DWORD LogNormal(const wchar_t* sourceFile, const wchar_t* function, int line, const wchar_t* format, ...);
    virtual DWORD LogError(const wchar_t* sourceFile, const wchar_t* function, int line, const wchar_t* format, ...);
    virtual DWORD LogWarning(const wchar_t* sourceFile, const wchar_t* function, int line, const wchar_t* format, ...);
    virtual DWORD LogCritical(const wchar_t* sourceFile, const wchar_t* function, int line, const wchar_t* format,
                              ...);
    virtual DWORD LogInformation(const wchar_t* sourceFile, const wchar_t* function, int line,
                                 const wchar_t* format, ...);

protected:
    DWORD LogFixedLevelV(DWORD level, const wchar_t* sourceFile, const wchar_t* function, int line,
                         const wchar_t* format, va_list args);
};

struct EventOrigin;

class CLoggingIf_ex : public CLoggingIf {
public:
    virtual DWORD InitializeEx(const wchar_t* applicationId, const wchar_t* componentName, HMODULE module,
                               const wchar_t* fileSuffix, LoggingConfigListenerIf* listener) = 0;
    virtual DWORD LogTextEx(DWORD level, const wchar_t* sourceFile, const wchar_t* function, int line,
                            const wchar_t* text) = 0;
    virtual DWORD LogFormatV(DWORD level, const wchar_t* sourceFile, const wchar_t* function, int line,
                             const wchar_t* format, va_list args) = 0;
    virtual DWORD LogFormatEx(DWORD level, const wchar_t* sourceFile, const wchar_t* function, int line,
                              const wchar_t* format, ...) = 0;
    // The ETW logger's own operations.
    virtual bool IsOwnTraceHandle(ULONG64 handle) = 0;
    virtual ULONG OnControl(ULONG requestCode, void* buffer) = 0;
    virtual void SetEventClass() = 0;
    virtual void GetModuleBaseName(std::wstring& name, HMODULE module, bool stripExtension) = 0;
    virtual void BuildLogName() = 0;
    virtual ULONG UnregisterProvider() = 0;
    virtual ULONG Stop() = 0;
    virtual DWORD MapLevel(DWORD level) = 0;
    virtual void FillRecord(const wchar_t* sourceFile, const wchar_t* function, int line, EventOrigin& record) = 0;
};

namespace internal {
// The severity shared by all loggers of this module (initially 3); returns the previous one.
DWORD ExchangeProcessSeverity(DWORD severity) noexcept;
// 0 becomes 1, above 6 becomes 6.
DWORD ClampSeverity(DWORD level) noexcept;
}  // namespace internal

}  // namespace ETWLogging
