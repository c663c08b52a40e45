#include "plugin/core/ScanThread.h"

#include "logging/Logging.h"
#include "nuvutil/com/CoInitializeScope.h"
#include "nuvutil/com/ComBoundary.h"

CScanThread::CScanThread(IScanWorkSource* source, DWORD joinLimitMs)
    : CThread(CREATE_SUSPENDED), m_source(source), m_joinLimitMs(joinLimitMs) {
    Resume();
}

CScanThread::~CScanThread() {
    Join(m_joinLimitMs, false, [](DWORD result) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"Scan thread took too long to exit! (%d)\r\n", static_cast<int>(result));
    });
}

DWORD CScanThread::run() {
    NuvCom::CCoInitialize com;
    while (CScanBuffer* buffer = m_source->GetScanWork()) {
        ScanOne(buffer);
    }
    return 0;
}

// A failed pass must not end scanning for every connection: the buffer's connection goes through
// unscanned (it would otherwise wait for a verdict forever) and the thread takes the next item.
void CScanThread::ScanOne(CScanBuffer* buffer) noexcept {
    bool failed = true;
    try {
        m_source->ScanWork(buffer);
        failed = false;
    } catch (...) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Scan pass failed, passing the connection unscanned: %hs\r\n",
                NuvCom::CurrentExceptionText());
    }
    if (failed) {
        m_source->PassUnscanned(buffer);
    }
    m_source->ReleaseScanWork(buffer);
}
