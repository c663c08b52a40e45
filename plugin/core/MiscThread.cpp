#include "plugin/core/MiscThread.h"

#include "base/OSInfo.h"
#include "logging/Logging.h"
#include "nuvutil/com/ComBoundary.h"
#include "nuvutil/com/CoInitializeScope.h"
#include "plugin/core/Module.h"
#include "plugin/core/ModuleRegistry.h"
#include "plugin/core/NuvException.h"
#include "Shared/AffiliateSettings.h"

#include <wtsapi32.h>

#include <atomic>
#include <exception>

namespace {

// The window procedure finds its thread through this; one misc thread exists per process.
std::atomic<CMiscThread*> g_miscThread{nullptr};

constexpr DWORD kTerminalServiceNotReady = 1702;
constexpr DWORD kTerminalServiceWaitMs = 300000;
constexpr const wchar_t* kWtsApiDll = L"WtsApi32.dll";

HINSTANCE ThisModule() {
    HMODULE module = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(&ThisModule), &module);
    return module;
}

// Callbacks run inside the window procedure and the wait loop: an exception must neither cross
// user32's frames nor end the thread.
template <class F>
void Guarded(const wchar_t* what, F&& call) noexcept {
    try {
        call();
    } catch (...) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"%s failed in MiscThread: %hs\r\n", what, NuvCom::CurrentExceptionText());
    }
}

const wchar_t* SessionCodeName(DWORD code) {
    switch (code) {
        case 1: return L"connect";
        case 2: return L"disconnect";
        case 3: return L"remote connect";
        case 4: return L"remote disconnect";
        case 5: return L"logon";
        case 6: return L"logoff";
        case 7: return L"lock";
        case 8: return L"unlock";
        case 9: return L"remote control";
        default: return L"unknown";
    }
}

DWORD ReadTimeZoneCheckDelay() {
    DWORD delay = 0;
    CAffiliateSettings settings;
    return settings.ReadDword(L"TimeZoneCheckDelay", delay) ? delay : CMiscThread::kDefaultTimeZoneCheckDelay;
}

bool WantConsole() {
    Tessal::internal::OSInfoProxy<Tessal::WinOSVersionAPI> osInfo;
    return osInfo.GetOSClass() == Tessal::OSClass::kWindows2000;
}

using RegisterFn = BOOL(WINAPI*)(HWND, DWORD);
using UnregisterFn = BOOL(WINAPI*)(HWND);

template <class Function>
Function Export(const CModule& module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(module.GetProcAddress(name)));
}

void RegisterSessionNotification(HWND window, HANDLE shutdownEvent) {
    const CModule wts(kWtsApiDll, LOAD_LIBRARY_SEARCH_SYSTEM32);
    const auto registerFn = Export<RegisterFn>(wts, "WTSRegisterSessionNotification");
    if (registerFn == nullptr) return;
    if (registerFn(window, NOTIFY_FOR_ALL_SESSIONS) || ::GetLastError() != kTerminalServiceNotReady) return;
    Tessal::UniqueHandle ready(::OpenEventW(SYNCHRONIZE, FALSE, L"Global\\TermSrvReadyEvent"));
    if (!ready) return;
    // The shutdown event ends this wait too, so a shutdown never waits five minutes for it.
    const HANDLE handles[2] = {ready.Get(), shutdownEvent};
    const DWORD count = shutdownEvent != nullptr ? 2 : 1;
    if (::WaitForMultipleObjects(count, handles, FALSE, kTerminalServiceWaitMs) == WAIT_OBJECT_0) {
        registerFn(window, NOTIFY_FOR_ALL_SESSIONS);
    }
}

void UnregisterSessionNotification(HWND window) {
    const CModule wts(kWtsApiDll, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (const auto unregisterFn = Export<UnregisterFn>(wts, "WTSUnRegisterSessionNotification")) unregisterFn(window);
}

// A registry key watched for value changes (not below it). Its event fires once per arming; it is
// armed once and again right after it fired, before the change is handled: a change made while it
// is handled then fires once more. Arming a notification still pending, at every wake-up, made
// Wine drop later changes.
class CKeyWatch {
public:
    // Opened and armed at once; failures are logged with the texts given and leave it idle.
    CKeyWatch(const wchar_t* path, DWORD openFailureLevel, const wchar_t* openFailure, const wchar_t* armFailure)
        : m_event(::CreateEventW(nullptr, FALSE, FALSE, nullptr)), m_armFailure(armFailure) {
        const LONG error = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_NOTIFY, m_key.Put());
        if (error != ERROR_SUCCESS) NUV_LOG(openFailureLevel, openFailure, static_cast<int>(error));
        Arm();
    }

    void Arm() const {
        if (!m_key || !m_event) return;
        const LONG rc =
            ::RegNotifyChangeKeyValue(m_key.Get(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, m_event.Get(), TRUE);
        if (rc != ERROR_SUCCESS) NUV_LOG(ETWLogging::LOG_WARNING, m_armFailure, static_cast<int>(rc));
    }

    // Null when the key cannot be watched.
    HANDLE Event() const noexcept { return m_key ? m_event.Get() : nullptr; }

private:
    Tessal::UniqueHKey m_key;
    Tessal::UniqueHandle m_event;
    const wchar_t* m_armFailure;
};

}  // namespace

CMiscThread::CMiscThread(ISessionNotificationCallback* sessionCallback, IRegistryChangedCallback* registryCallback,
                         const Options& options)
    : CThread(CREATE_SUSPENDED),
      m_sessionCallback(sessionCallback),
      m_registryCallback(registryCallback),
      m_timeZoneCheckDelay(options.timeZoneCheckDelay ? *options.timeZoneCheckDelay : ReadTimeZoneCheckDelay()),
      m_shutdownEvent(options.shutdownEvent),
      m_power(options.power),
      m_timeZoneCheck(options.timeZoneCheck),
      m_timeChange(options.timeChange),
      m_joinLimitMs(options.joinLimitMs),
      m_useConsole(options.useConsole ? *options.useConsole : WantConsole()) {
    Resume();
}

CMiscThread::~CMiscThread() {
    Join(m_joinLimitMs, true, [](DWORD) {
        NUV_LOG(ETWLogging::LOG_INFORMATION, L"Misc Thread took too long to exit\r\n");
    });
    // The members (timer, set, console) go with the object; none takes a lock the thread held.
    CMiscThread* self = this;
    g_miscThread.compare_exchange_strong(self, nullptr);
}

// The hidden window of session and power notifications, with its class and its sign-up for
// session notifications, all undone in reverse order when it goes.
class CMiscThread::CNotificationWindow {
public:
    CNotificationWindow(CMiscThread* thread, HANDLE shutdownEvent) {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = &CMiscThread::_wndProc;
        windowClass.hInstance = ThisModule();
        windowClass.lpszClassName = kWindowClassName;
        if (::RegisterClassW(&windowClass) == 0) {
            NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to register the MiscThread window class (Err %lu)\r\n",
                    ::GetLastError());
            return;
        }
        m_classRegistered = true;
        m_window = ::CreateWindowExW(0, kWindowClassName, L"", 0, 0, 0, 0, 0, nullptr, nullptr, ThisModule(), thread);
        if (m_window == nullptr) {
            NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to create the MiscThread window (Err %lu)\r\n", ::GetLastError());
            return;
        }
        RegisterSessionNotification(m_window, shutdownEvent);
    }
    ~CNotificationWindow() {
        if (m_window != nullptr) {
            UnregisterSessionNotification(m_window);
            ::DestroyWindow(m_window);
        }
        if (m_classRegistered) ::UnregisterClassW(kWindowClassName, ThisModule());
    }
    CNotificationWindow(const CNotificationWindow&) = delete;
    CNotificationWindow& operator=(const CNotificationWindow&) = delete;

private:
    bool m_classRegistered = false;
    HWND m_window = nullptr;
};

DWORD CMiscThread::run() {
    NUV_LOG(ETWLogging::LOG_NORMAL, L"MiscThread running\r\n");
    {
        NuvCom::CCoInitialize com;

        // The watches come first: the window's sign-up for session notifications may wait minutes
        // for the terminal service, and a change made meanwhile must still be seen. So once the
        // window exists, every later change of the keys is seen.
        const CKeyWatch product(NuvRegistry::kProductKey, ETWLogging::LOG_WARNING,
                                L"Failed to open NUV reg key (Error %d)\r\n",
                                L"Failed to register for key change notifications (Err %d)\r\n");
        const CKeyWatch timeZone(L"System\\CurrentControlSet\\Control\\TimeZoneInformation", ETWLogging::LOG_ERROR,
                                 L"Failed to open time zone reg key (Error %d)\r\n",
                                 L"Failed to register for time zone reg key change notifications (Err %d)\r\n");

        std::unique_ptr<CNotificationWindow> window;
        if (m_useConsole) {
            NUV_LOG(ETWLogging::LOG_NORMAL, L"Creating Win2K console\r\n");
            m_console = std::make_unique<CWin2kConsole>(m_sessionCallback);
            m_console->Initialize();
        } else {
            window = std::make_unique<CNotificationWindow>(this, m_shutdownEvent);
        }
        m_timeZoneTimer.Reset(::CreateWaitableTimerW(nullptr, FALSE, nullptr));

        // A missing handle would fail every wait; such slots get the shutdown event instead, which
        // wakes the loop only for shutdown.
        auto orShutdown = [this](HANDLE h) { return h != nullptr ? h : m_shutdownEvent; };
        const HANDLE handles[4] = {m_shutdownEvent, orShutdown(product.Event()), orShutdown(timeZone.Event()),
                                   orShutdown(m_timeZoneTimer.Get())};
        for (;;) {
            // MWMO_INPUTAVAILABLE: a message that arrived while the loop handled something else is
            // already queued and would not count as new input; without it the wait sleeps on it.
            const DWORD result = ::MsgWaitForMultipleObjectsEx(4, handles, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
            if (result == WAIT_OBJECT_0) {
                break;
            }
            if (result == WAIT_OBJECT_0 + 1) {
                NUV_LOG(ETWLogging::LOG_NORMAL, L"NUV registry change detected\r\n");
                product.Arm();
                Guarded(L"OnRegistryChanged", [this] { m_registryCallback->OnRegistryChanged(); });
            } else if (result == WAIT_OBJECT_0 + 2) {
                NUV_LOG(ETWLogging::LOG_NORMAL, L"Time zone registry change detected\r\n");
                timeZone.Arm();
                _CheckTimeZone();
                _TimeChanged();
            } else if (result == WAIT_OBJECT_0 + 3) {
                NUV_LOG(ETWLogging::LOG_NORMAL, L"Checks whether time zone setting is out of sync\r\n");
                if (!m_loggedOnSessions.empty()) {
                    _CheckTimeZone();
                }
            } else if (result == WAIT_OBJECT_0 + 4) {
                MSG message;
                while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                    ::TranslateMessage(&message);
                    ::DispatchMessageW(&message);
                }
            } else {
                NUV_LOG(ETWLogging::LOG_ERROR, L"Wait failed (%d) in MiscThread (Err %d)\r\n",
                        static_cast<int>(result), static_cast<int>(::GetLastError()));
                break;
            }
        }
    }
    NUV_LOG(ETWLogging::LOG_NORMAL, L"MiscThread exiting\r\n");
    return 0;
}

LRESULT CALLBACK CMiscThread::_wndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE: {
            const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
            g_miscThread.store(static_cast<CMiscThread*>(create->lpCreateParams));
            break;
        }
        case WM_POWERBROADCAST:
            if (CMiscThread* self = g_miscThread.load()) {
                self->onPowerBroadcast(wParam);
            }
            break;
        case WM_WTSSESSION_CHANGE:
            if (CMiscThread* self = g_miscThread.load()) {
                self->onSessionChange(static_cast<DWORD>(lParam), static_cast<DWORD>(wParam));
            }
            break;
        case WM_TIMECHANGE:
            if (CMiscThread* self = g_miscThread.load()) self->_TimeChanged();
            break;
        default:
            break;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

void CMiscThread::onPowerBroadcast(WPARAM event) {
    if (m_power == nullptr || (event != PBT_APMSUSPEND && event != PBT_APMRESUMEAUTOMATIC)) {
        return;
    }
    Guarded(L"Power notification", [&] {
        const DWORD result = event == PBT_APMSUSPEND ? m_power->OnSystemSuspend() : m_power->OnSystemResume();
        if (result != 0) {
            NUV_LOG(ETWLogging::LOG_ERROR, L"Unable to log system sleep/wakeup event, dwRet=%d\r\n",
                    static_cast<int>(result));
        }
    });
}

void CMiscThread::onSessionChange(DWORD sessionId, DWORD code) {
    NUV_LOG(ETWLogging::LOG_NORMAL, L"Session Notification [%s]\r\n", SessionCodeName(code));
    if (code == WTS_SESSION_LOGON) {
        Guarded(L"OnSessionLogon", [&] { m_sessionCallback->OnSessionLogon(sessionId); });
        if (m_timeZoneCheckDelay != 0) {
            LARGE_INTEGER due;
            due.QuadPart = -static_cast<LONGLONG>(m_timeZoneCheckDelay) * 10000000LL;
            ::SetWaitableTimer(m_timeZoneTimer.Get(), &due, 0, nullptr, nullptr, FALSE);
            NUV_LOG(ETWLogging::LOG_NORMAL,
                    L"Started timer for time zone checking after 1st user logs in, delay sets to %d seconds",
                    static_cast<int>(m_timeZoneCheckDelay));
        }
        Guarded(L"Session set", [&] { m_loggedOnSessions.insert(sessionId); });
    } else if (code == WTS_SESSION_LOGOFF) {
        Guarded(L"OnSessionLogoff", [&] { m_sessionCallback->OnSessionLogoff(sessionId); });
        m_loggedOnSessions.erase(sessionId);
        if (m_loggedOnSessions.empty() && m_timeZoneCheckDelay != 0) {
            ::CancelWaitableTimer(m_timeZoneTimer.Get());
            NUV_LOG(ETWLogging::LOG_NORMAL, L"Cancelled timer for time zone checking after last user logs off");
        }
    }
}

void CMiscThread::_CheckTimeZone() {
    if (m_timeZoneCheck != nullptr) {
        Guarded(L"Time zone check", [this] { m_timeZoneCheck->CheckTimeZone(); });
    }
}

void CMiscThread::_TimeChanged() {
    if (m_timeChange != nullptr) {
        Guarded(L"OnSystemTimeChanged", [this] { m_timeChange->OnSystemTimeChanged(); });
    }
}
