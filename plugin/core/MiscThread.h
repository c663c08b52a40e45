#pragma once
// Windows session, power and clock notifications (through a hidden window), changes of the
// product's registry key and of the time-zone key, and the time-zone check a while after each
// log-on.

#include "base/UniqueHandle.h"
#include "plugin/core/Thread.h"
#include "plugin/services/ThreadCallbacks.h"
#include "plugin/core/Win2kConsole.h"

#include <windows.h>

#include <memory>
#include <optional>
#include <set>

class CMiscThread : public CThread {
public:
    static constexpr wchar_t kWindowClassName[] = L"{88703655-3B61-4dff-AE96-F9F02D028741}";
    static constexpr DWORD kDefaultTimeZoneCheckDelay = 120;  // seconds

    struct Options {
        HANDLE shutdownEvent = nullptr;                  // the module's; set once, never reset
        IPowerNotificationCallback* power = nullptr;     // null: power events are ignored
        ITimeZoneCheck* timeZoneCheck = nullptr;         // null: no check
        ITimeChangeCallback* timeChange = nullptr;       // null: time changes are not passed on
        DWORD joinLimitMs = kDefaultJoinLimitMs;
        std::optional<DWORD> timeZoneCheckDelay;         // seconds; unset: the affiliate setting
        std::optional<bool> useConsole;                  // unset: only on the OS class without sessions
    };

    // Starts at once.
    CMiscThread(ISessionNotificationCallback* sessionCallback, IRegistryChangedCallback* registryCallback,
                const Options& options);
    ~CMiscThread() override;

    DWORD run() override;

    DWORD TimeZoneCheckDelay() const noexcept { return m_timeZoneCheckDelay; }

private:
    static LRESULT CALLBACK _wndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void onPowerBroadcast(WPARAM event);
    void onSessionChange(DWORD sessionId, DWORD code);
    void _CheckTimeZone();
    void _TimeChanged();
    class CNotificationWindow;

    ISessionNotificationCallback* m_sessionCallback;
    IRegistryChangedCallback* m_registryCallback;
    std::unique_ptr<CWin2kConsole> m_console;
    DWORD m_timeZoneCheckDelay;
    std::set<DWORD> m_loggedOnSessions;  // touched on this thread only
    Tessal::UniqueHandle m_timeZoneTimer;

    HANDLE m_shutdownEvent;
    IPowerNotificationCallback* m_power;
    ITimeZoneCheck* m_timeZoneCheck;
    ITimeChangeCallback* m_timeChange;
    DWORD m_joinLimitMs;
    bool m_useConsole;
};
