#include "plugin/core/Thread.h"

#include "logging/Logging.h"
#include "plugin/core/NuvException.h"

#include <exception>
#include <system_error>

CThread::CThread(DWORD creationFlags) {
    m_handle.Reset(::CreateThread(nullptr, 0, &CThread::StartRoutine, this, creationFlags, &m_threadId));
    if (!m_handle) {
        throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(), "CreateThread");
    }
}

CThread::~CThread() {
    m_threadId = 0;
}

DWORD CThread::run() {
    return 0;
}

DWORD CThread::Resume() {
    return ::ResumeThread(m_handle.Get());
}

// MinGW g++ has no structured-exception translator: C++ exceptions are stopped here instead, so
// none leaves a thread body.
DWORD WINAPI CThread::StartRoutine(void* parameter) noexcept {
    auto* self = static_cast<CThread*>(parameter);
    try {
        return self->run();
    } catch (const CNuvException& e) {
        NUV_LOG(ETWLogging::LOG_CRITICAL, L"Unhandled exception in thread %lu: %s\r\n", ::GetCurrentThreadId(),
                e.Message());
    } catch (const std::exception& e) {
        NUV_LOG(ETWLogging::LOG_CRITICAL, L"Unhandled exception in thread %lu: %hs\r\n", ::GetCurrentThreadId(),
                e.what());
    } catch (...) {
        NUV_LOG(ETWLogging::LOG_CRITICAL, L"Unhandled exception in thread %lu\r\n", ::GetCurrentThreadId());
    }
    return kUnhandledExceptionExitCode;
}
