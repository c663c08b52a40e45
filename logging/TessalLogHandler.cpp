#include "logging/TessalLogHandler.h"

#include "logging/LogManager.h"
#include "logging/LoggingIf.h"

namespace ETWLogging {

DWORD CTessalLogHandler::MapType(DWORD type) noexcept {
    switch (type) {
        case 0:
        case 1: return LOG_NORMAL;
        case 2: return LOG_ERROR;
        default: return LOG_WARNING;
    }
}

CTessalLogHandler& CTessalLogHandler::Instance() noexcept {
    static CTessalLogHandler instance;
    return instance;
}

void CTessalLogHandler::Handle(DWORD type, const wchar_t* sourceFile, const wchar_t* function, int line,
                               const wchar_t* message) {
    // Only registered while the manager exists; never creates it.
    if (CLogManager* manager = CLogManager::Current()) {
        manager->LogText(sourceFile, function, line, MapType(type), message);
    }
}

CTessalLogHandler::~CTessalLogHandler() {
    if (CLogManager* manager = CLogManager::Current()) manager->ReleaseBridgeToken(this);
}

}  // namespace ETWLogging
