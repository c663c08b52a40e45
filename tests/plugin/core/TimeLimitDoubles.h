#pragma once
// Recording stand-ins of the time-limit objects the plug-in core calls: the host-firewall thread
// and the activity-log manager. Each call is added to the test's call log as text.

#include "plugin/services/TimeLimitServices.h"
#include "tests/plugin/core/ThreadTestDoubles.h"

#include <windows.h>

#include <string>

namespace NuvTest {

class RecordingFirewall : public IHostFirewallThread {
public:
    explicit RecordingFirewall(CallLog& calls) : m_calls(calls) {}
    ~RecordingFirewall() override { m_calls.Add(L"firewall stopped"); }
    void OnUserLogon(const wchar_t* userName, DWORD sessionId) override {
        m_calls.Add(L"firewall logon " + std::wstring(userName) + L" " + std::to_wstring(sessionId));
    }
    void OnUserLogoff(const wchar_t* userName) override { m_calls.Add(L"firewall logoff " + std::wstring(userName)); }
    void OnSettingsChanged() override { m_calls.Add(L"firewall settings"); }
    void OnTimeChanged() override { m_calls.Add(L"firewall time"); }

private:
    CallLog& m_calls;
};

class RecordingActivityLog : public IActivityLogManager {
public:
    explicit RecordingActivityLog(CallLog& calls) : m_calls(calls) {}
    ~RecordingActivityLog() override { m_calls.Add(L"activity log stopped"); }
    DWORD Logon(const wchar_t* userName, DWORD sessionId) override {
        m_calls.Add(L"activity logon " + std::wstring(userName) + L" " + std::to_wstring(sessionId));
        return result;
    }
    DWORD Logoff(const wchar_t* userName, DWORD sessionId) override {
        m_calls.Add(L"activity logoff " + std::wstring(userName) + L" " + std::to_wstring(sessionId));
        return result;
    }
    DWORD SystemSleep() override {
        m_calls.Add(L"activity sleep");
        return result;
    }
    DWORD SystemWakeup() override {
        m_calls.Add(L"activity wakeup");
        return result;
    }
    DWORD WebSiteBlocked(DWORD, DWORD, const wchar_t*, const char*) override { return 0; }
    DWORD AccessAttemptBlocked(DWORD, const wchar_t*) override { return 0; }

    DWORD result = 0;

private:
    CallLog& m_calls;
};

}  // namespace NuvTest
