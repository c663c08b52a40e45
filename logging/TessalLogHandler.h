#pragma once
// Bridges the base library's logger core into the process logger: registered with Tessal::CLogger
// while the process logger exists, so messages raised inside the base library land in the same log.

#include "base/Logging/Logger.h"

namespace ETWLogging {

class CTessalLogHandler : public Tessal::ILoggingHandler {
public:
    // Base-library message type to log level: 0 and 1 "Normal", 2 "Error", any other "Warning".
    static DWORD MapType(DWORD type) noexcept;

    // The one instance, built on first use and destroyed at exit.
    static CTessalLogHandler& Instance() noexcept;

    // The level is not tested: every message of the logger core is written.
    void Handle(DWORD type, const wchar_t* sourceFile, const wchar_t* function, int line,
                const wchar_t* message) override;
    virtual ~CTessalLogHandler();
};

}  // namespace ETWLogging
