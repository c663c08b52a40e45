#include "plugin/core/Win2kConsole.h"

#include "logging/Logging.h"

#include <atomic>
#include <exception>

namespace {
std::atomic<CWin2kConsole*> g_console{nullptr};
}

CWin2kConsole::~CWin2kConsole() {
    if (m_registered) {
        ::SetConsoleCtrlHandler(&CWin2kConsole::_ctrlHandler, FALSE);
        ::FreeConsole();
        CWin2kConsole* self = this;
        g_console.compare_exchange_strong(self, nullptr);
    }
}

bool CWin2kConsole::Initialize() {
    if (!::AllocConsole()) {
        NUV_LOG(ETWLogging::LOG_CRITICAL, L"Failed to create a console (Err %d)\r\n",
                static_cast<int>(::GetLastError()));
        return false;
    }
    m_registered = true;
    g_console.store(this);
    ::SetConsoleCtrlHandler(&CWin2kConsole::_ctrlHandler, TRUE);
    return true;
}

BOOL WINAPI CWin2kConsole::_ctrlHandler(DWORD controlType) noexcept {
    if (controlType == CTRL_LOGOFF_EVENT) {
        NUV_LOG(ETWLogging::LOG_NORMAL, L"Win2K Logoff\r\n");
        CWin2kConsole* console = g_console.load();
        if (console != nullptr && console->m_callback != nullptr) {
            try {
                console->m_callback->OnSessionLogoff(0);
            } catch (...) {
                // Runs on a system thread: nothing may escape.
                NUV_LOG(ETWLogging::LOG_ERROR, L"Session log-off from the console failed\r\n");
            }
        }
    }
    return TRUE;
}
