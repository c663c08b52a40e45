#pragma once
// The process logger of this module: one manager, created on first use from the parameters of
// ConfigureLogging, owning the one logger the builder chose, with the base library's logger core
// bridged into it.

#include "logging/LoggingIf.h"

#include <cstdarg>

namespace ETWLogging {

class CLogBuilderIf_ex;
class CTessalLogHandler;

class CLogManager {
public:
    // Messages longer than this reach a logger without the extended interface cut to kCutChars.
    static constexpr std::size_t kMaxWholeChars = 4160;
    static constexpr std::size_t kCutChars = 2080;

    // The manager, created on the first call (thread-safe). Null when creation failed (the next call
    // tries again) or after the module's exit clean-up. Throws nothing.
    static CLogManager* Instance() noexcept;
    // The manager if it exists; never creates it.
    static CLogManager* Current() noexcept;

    // 0 or a Win32 code: 1627 without logger, 87 for a null format, 13 for a format the formatter
    // refuses, the logger's Start failure. The level is tested only for the extended logger.
    DWORD Log(DWORD level, const wchar_t* sourceFile, const wchar_t* function, int line, const wchar_t* format,
              ...) noexcept;
    DWORD LogV(DWORD level, const wchar_t* sourceFile, const wchar_t* function, int line, const wchar_t* format,
               va_list args) noexcept;
    // The text goes to the logger unchanged (no length cut, no level test).
    DWORD LogText(const wchar_t* sourceFile, const wchar_t* function, int line, DWORD level,
                  const wchar_t* text) noexcept;

    bool IsLevelEnabled(DWORD level) noexcept;
    CLoggingIf* GetLogger() const noexcept { return m_logger; }

    // At exit the bridge gives its registration up before the manager goes.
    void ReleaseBridgeToken(CTessalLogHandler* handler) noexcept;

    ~CLogManager();
    CLogManager(const CLogManager&) = delete;
    CLogManager& operator=(const CLogManager&) = delete;

private:
    CLogManager() = default;
    void Initialize(const wchar_t* applicationId, const wchar_t* componentName, HMODULE module,
                    const wchar_t* fileSuffix, DWORD forceFile);

    CLoggingIf* m_logger = nullptr;  // owned
    CTessalLogHandler* m_registeredHandler = nullptr;  // the registration token
    CLoggingIf_ex* m_extendedLogger = nullptr;  // m_logger when it has the extended interface
};

namespace internal {
// Replaces the builder the manager uses (null: the default one); for tests, before the first log
// call. The caller keeps ownership. Returns the previous replacement.
CLogBuilderIf_ex* SetLogBuilder(CLogBuilderIf_ex* builder) noexcept;
}  // namespace internal

}  // namespace ETWLogging
