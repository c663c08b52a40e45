#include "plugin/core/Thread.h"

#include "logging/Logging.h"
#include "nuvutil/com/ComBoundary.h"
#include "plugin/core/StructuredExceptions.h"

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

// Processor exceptions of the body become CNuvException(-1000) at the fault, as a structured-
// exception translator makes them; whatever escapes the body ends here, so nothing leaves a thread.
DWORD WINAPI CThread::StartRoutine(void* parameter) noexcept {
    return StructuredExceptions::CallTranslated(&CThread::RunBody, parameter);
}

DWORD CThread::RunBody(void* parameter) noexcept {
    try {
        return static_cast<CThread*>(parameter)->run();
    } catch (...) {
        NUV_LOG(ETWLogging::LOG_CRITICAL, L"Unhandled exception in thread %lu: %hs\r\n", ::GetCurrentThreadId(),
                NuvCom::CurrentExceptionText());
    }
    return kUnhandledExceptionExitCode;
}
