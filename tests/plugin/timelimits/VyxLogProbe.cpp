// A second process for the activity-log tests.
//   vyxlog_probe hold-mutex <mutex name> <ready event name> <ms>: owns the database mutex for a while
//   vyxlog_probe write <database path> <ready event name>: logs blocked sites until it is killed
#include "plugin/timelimits/VyxLogEngine.h"

#include <windows.h>

#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv) {
    if (argc == 5 && std::wcscmp(argv[1], L"hold-mutex") == 0) {
        HANDLE mutex = ::CreateMutexW(nullptr, TRUE, argv[2]);
        if (mutex == nullptr) return 1;
        ::WaitForSingleObject(mutex, INFINITE);
        HANDLE ready = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[3]);
        if (ready != nullptr) ::SetEvent(ready);
        ::Sleep(static_cast<DWORD>(std::wcstoul(argv[4], nullptr, 10)));
        ::ReleaseMutex(mutex);
        return 0;
    }
    if (argc == 4 && std::wcscmp(argv[1], L"write") == 0) {
        IVyxLogEngine* engine = nullptr;
        if (CreateVyxLogEngine(argv[2], &engine) != 0) return 1;
        engine->LogUserLogon(L"child");
        for (int n = 0;; ++n) {
            engine->LogWebSiteBlocked(L"child", 2, (L"site" + std::to_wstring(n) + L".test").c_str(), "");
            if (n == 50) {
                HANDLE ready = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[3]);
                if (ready != nullptr) ::SetEvent(ready);
            }
            ::Sleep(1);
        }
    }
    return 2;
}
