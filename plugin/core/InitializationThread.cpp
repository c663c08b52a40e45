#include "plugin/core/InitializationThread.h"

#include "logging/Logging.h"
#include "plugin/core/NuvException.h"

CInitializationThread::CInitializationThread(IInitializationCallback* callback, DWORD joinLimitMs)
    : CThread(CREATE_SUSPENDED), m_callback(callback), m_joinLimitMs(joinLimitMs) {
    Resume();
}

CInitializationThread::~CInitializationThread() {
    Join(m_joinLimitMs, true, [](DWORD) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"Initialization thread took too long to exit!\r\n");
    });
}

DWORD CInitializationThread::run() {
    NUV_LOG(ETWLogging::LOG_NORMAL, L"Initializing NUV...\r\n");
    try {
        const HRESULT hr = m_callback->OnInitialize();
        if (hr < 0) {
            return static_cast<DWORD>(hr);
        }
    } catch (const CNuvException&) {
        NUV_LOG(ETWLogging::LOG_CRITICAL, L"Failed to initialize NUV\r\n");
        return kFailedExitCode;
    }
    NUV_LOG(ETWLogging::LOG_NORMAL, L"Initialization complete.\r\n");
    return 0;
}
