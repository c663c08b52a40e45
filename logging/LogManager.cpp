#include "logging/LogManager.h"

#include "logging/DefaultLogBuilder.h"
#include "logging/Logging.h"
#include "logging/TessalLogHandler.h"

#include "base/Format.h"
#include "base/Logging/Logger.h"

#include <atomic>
#include <memory>
#include <new>
#include <string>

namespace ETWLogging {
namespace {

// Plain, constant-initialised state: log calls may come from other files' static initialisers and
// exit handlers.
std::atomic<CLogManager*> g_manager{nullptr};
SRWLOCK g_createLock = SRWLOCK_INIT;
std::atomic<DWORD> g_creatingThread{0};  // a log call raised by the creation itself gets no manager
std::atomic<bool> g_tornDown{false};
CDefaultLogBuilder* g_defaultBuilder = nullptr;
std::atomic<CLogBuilderIf_ex*> g_builderOverride{nullptr};

class CreateLock {
public:
    CreateLock() noexcept { ::AcquireSRWLockExclusive(&g_createLock); }
    ~CreateLock() { ::ReleaseSRWLockExclusive(&g_createLock); }
    CreateLock(const CreateLock&) = delete;
    CreateLock& operator=(const CreateLock&) = delete;
};

CLogBuilderIf_ex& Builder() {
    if (CLogBuilderIf_ex* replacement = g_builderOverride.load()) return *replacement;
    if (g_defaultBuilder == nullptr) g_defaultBuilder = new CDefaultLogBuilder();
    return *g_defaultBuilder;
}

// The module's exit: the manager and the builder go (the bridge, built later, has gone first). No
// lock: at process exit a thread cut off inside a creation would hold it for ever.
struct ExitCleanup {
    ~ExitCleanup() {
        g_tornDown = true;
        delete g_manager.exchange(nullptr);
        delete g_defaultBuilder;
        g_defaultBuilder = nullptr;
    }
} g_exitCleanup;

}  // namespace

CLogManager* CLogManager::Current() noexcept { return g_manager.load(std::memory_order_acquire); }

CLogManager* CLogManager::Instance() noexcept {
    if (CLogManager* manager = Current()) return manager;
    if (g_tornDown || g_creatingThread.load() == ::GetCurrentThreadId()) return nullptr;

    CreateLock lock;
    if (CLogManager* manager = Current()) return manager;
    if (g_tornDown) return nullptr;

    // Published only once initialised: a failed creation leaves nothing behind and the next call
    // tries again.
    g_creatingThread = ::GetCurrentThreadId();
    CLogManager* created = nullptr;
    try {
        std::unique_ptr<CLogManager> manager(new CLogManager());
        const internal::LoggingParameters parameters = internal::GetLoggingParameters();
        manager->Initialize(parameters.applicationId, parameters.componentName, parameters.module,
                            parameters.fileSuffix, parameters.forceFile);
        created = manager.release();
        g_manager.store(created, std::memory_order_release);
    } catch (...) {
        created = nullptr;
    }
    g_creatingThread = 0;
    return created;
}

void CLogManager::Initialize(const wchar_t* applicationId, const wchar_t* componentName, HMODULE module,
                             const wchar_t* fileSuffix, DWORD forceFile) {
    CLogBuilderIf_ex& builder = Builder();
    CLoggingIf* logger = nullptr;
    if (!builder.Build(applicationId, componentName, module, fileSuffix, forceFile, &logger)) {
        logger = nullptr;
        if (!builder.Build(componentName, module, fileSuffix, forceFile, &logger)) return;
    }
    if (logger == nullptr) return;

    delete m_logger;
    m_logger = logger;
    m_extendedLogger = dynamic_cast<CLoggingIf_ex*>(logger);

    CTessalLogHandler& bridge = CTessalLogHandler::Instance();
    if (Tessal::RegisterLoggingHandler(&bridge) == ERROR_SUCCESS) {
        // Only one bridge exists: a token held already is this one and stays registered.
        if (m_registeredHandler != nullptr && m_registeredHandler != &bridge) {
            Tessal::UnregisterLoggingHandler(m_registeredHandler);
        }
        m_registeredHandler = &bridge;
    }
}

CLogManager::~CLogManager() {
    if (m_registeredHandler != nullptr) Tessal::UnregisterLoggingHandler(m_registeredHandler);
    m_registeredHandler = nullptr;
    delete m_logger;
    m_logger = nullptr;
    m_extendedLogger = nullptr;
}

void CLogManager::ReleaseBridgeToken(CTessalLogHandler* handler) noexcept {
    if (handler == nullptr || m_registeredHandler != handler) return;
    m_registeredHandler = nullptr;
    Tessal::UnregisterLoggingHandler(handler);
}

bool CLogManager::IsLevelEnabled(DWORD level) noexcept {
    try {
        return m_logger != nullptr && m_logger->IsLevelEnabled(level);
    } catch (...) {
        return false;
    }
}

DWORD CLogManager::Log(DWORD level, const wchar_t* sourceFile, const wchar_t* function, int line,
                       const wchar_t* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    const DWORD result = LogV(level, sourceFile, function, line, format, args);
    va_end(args);
    return result;
}

DWORD CLogManager::LogV(DWORD level, const wchar_t* sourceFile, const wchar_t* function, int line,
                        const wchar_t* format, va_list args) noexcept {
    CLoggingIf* const logger = m_logger;
    if (logger == nullptr) return LOG_NO_LOGGER;
    if (format == nullptr) return ERROR_INVALID_PARAMETER;
    try {
        DWORD result = logger->Start();
        if (result != ERROR_SUCCESS) return result;

        if (m_extendedLogger != nullptr) {
            // The extended logger tests the level itself before formatting; its outcome is not reported.
            if (m_extendedLogger->IsLevelEnabled(level)) {
                va_list copy;
                va_copy(copy, args);
                m_extendedLogger->LogFormatV(level, sourceFile, function, line, format, copy);
                va_end(copy);
            }
            return ERROR_SUCCESS;
        }

        result = logger->Start();
        if (result != ERROR_SUCCESS) return result;
        const int length = Tessal::FormattedLengthV(format, args);
        if (length < 0) return ERROR_INVALID_DATA;
        std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
        const int written = Tessal::FormatToV(&text[0], text.size(), format, args);
        text.resize(written < 0 ? 0 : static_cast<std::size_t>(written));
        // One line never carries much more than 2080 characters of text.
        if (text.size() > kMaxWholeChars) text.resize(kCutChars);
        return logger->LogText(sourceFile, function, line, level, text.c_str());
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    } catch (...) {
        return ERROR_INTERNAL_ERROR;
    }
}

DWORD CLogManager::LogText(const wchar_t* sourceFile, const wchar_t* function, int line, DWORD level,
                           const wchar_t* text) noexcept {
    CLoggingIf* const logger = m_logger;
    if (logger == nullptr) return LOG_NO_LOGGER;
    try {
        const DWORD result = logger->Start();
        if (result != ERROR_SUCCESS) return result;
        if (m_extendedLogger != nullptr) return m_extendedLogger->LogTextEx(level, sourceFile, function, line, text);
        return logger->LogText(sourceFile, function, line, level, text);
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    } catch (...) {
        return ERROR_INTERNAL_ERROR;
    }
}

namespace internal {

CLogBuilderIf_ex* SetLogBuilder(CLogBuilderIf_ex* builder) noexcept { return g_builderOverride.exchange(builder); }

}  // namespace internal
}  // namespace ETWLogging
