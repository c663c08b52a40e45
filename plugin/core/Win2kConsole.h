#pragma once
// Where no session notifications exist, a console's log-off control event stands in for them.
// One console object at a time is registered process-wide.

#include "plugin/services/ThreadCallbacks.h"

#include <windows.h>

class CWin2kConsole {
public:
    explicit CWin2kConsole(ISessionNotificationCallback* callback) noexcept : m_callback(callback) {}
    ~CWin2kConsole();
    CWin2kConsole(const CWin2kConsole&) = delete;
    CWin2kConsole& operator=(const CWin2kConsole&) = delete;

    // Allocates the console and installs the control handler; false (logged) when there is no console.
    bool Initialize();

    // The console control handler; answers TRUE for every control type.
    static BOOL WINAPI _ctrlHandler(DWORD controlType) noexcept;

private:
    ISessionNotificationCallback* m_callback;
    bool m_registered = false;
};
