#include "plugin/core/EventThread.h"

#include "logging/Logging.h"
#include "nuvutil/com/CoInitializeScope.h"

CEventThread::CEventThread(DWORD sessionId, IEventWorkSource* session, IEventThreadHost* host, DWORD joinLimitMs)
    : CThread(CREATE_SUSPENDED), m_sessionId(sessionId), m_session(session), m_host(host), m_joinLimitMs(joinLimitMs) {}

CEventThread::~CEventThread() {
    Join(m_joinLimitMs, true, [this](DWORD) {
        NUV_LOG(ETWLogging::LOG_INFORMATION, L"Event Thread for Session [%d] took too long to exit\r\n",
                static_cast<int>(m_sessionId));
    });
}

DWORD CEventThread::run() {
    if (!m_host->WaitForInitialization()) {
        NUV_LOG(ETWLogging::LOG_WARNING,
                L"Terminating event thread for session %d because NUV failed to initialize\r\n",
                static_cast<int>(m_sessionId));
        return kNotInitializedExitCode;
    }
    NUV_LOG(ETWLogging::LOG_NORMAL, L"CEventThread[%d]::run()\r\n", static_cast<int>(m_sessionId));
    NuvCom::CCoInitialize com;

    HRESULT result = E_FAIL;
    std::unique_ptr<IEventProcessor> handlerSource = m_host->CreateEventProcessor();
    if (handlerSource && handlerSource->Initialize(m_sessionId)) {
        mainLoop(*handlerSource);
        handlerSource->Uninitialize();
        result = S_OK;
    } else {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to initialize event handling in Session %d\r\n",
                static_cast<int>(m_sessionId));
    }
    return static_cast<DWORD>(result);
}

// The pointer-probing checks of older builds (IsBadWritePtr on the item, the thread object and the
// session's table) are left out: they cannot detect a freed object reliably and hide the fault.
void CEventThread::mainLoop(IEventProcessor& handlerSource) {
    for (CEventWork* item = m_session->GetEventWork(); item != nullptr; item = m_session->GetEventWork()) {
        handlerSource.Process(item);
        m_session->ReleaseEventWork(item);
    }
    NUV_LOG(ETWLogging::LOG_NORMAL, L"CEventThread[%d]::mainloop() - exiting\r\n", static_cast<int>(m_sessionId));
}
