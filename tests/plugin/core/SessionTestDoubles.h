#pragma once
// Recording stand-ins for the session tests (paused connections, listener, host-firewall thread,
// activity log, event processor, terminal services) and the fixture they share: a test module
// with a real configuration client against the stand-in configuration service and a real
// session manager whose event threads record the events they fire.

#include "plugin/core/EventWork.h"
#include "plugin/core/NuvConfig.h"
#include "plugin/core/Session.h"
#include "plugin/core/SessionManager.h"
#include "plugin/services/TimeLimitServices.h"
#include "plugin/core/WtsApi.h"
#include "tests/plugin/core/TestModuleServices.h"
#include "tests/plugin/core/TimeLimitDoubles.h"
#include "tests/plugin/core/ThreadTestDoubles.h"

#include "nuvutil/com/Bstr.h"
#include "nuvutil/com/CoInitializeScope.h"
#include "nuvutil/com/Variant.h"
#include "tests/plugin/core/ConfigServiceStandIn.h"
#include "tests/support/ScopedReplacement.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <configservice.h>
#include <nuvconfig.h>
#include <wrl/client.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace NuvTest {

inline std::wstring Text(const CSafeStringW& s) { return std::wstring(s.GetString(), s.GetLength()); }

inline std::wstring EventName(DWORD eventId) {
    switch (eventId) {
    case kEventSignIn: return L"sign-in";
    case kEventSignOut: return L"sign-out";
    case kEventSignInRequired: return L"sign-in-required";
    default: return L"event " + std::to_wstring(eventId);
    }
}

// A paused connection owned by the test (which holds its first reference); records the calls.
class RecordingHeldConnection : public IHeldConnection {
public:
    RecordingHeldConnection(std::wstring name, CallLog& calls) : m_name(std::move(name)), m_calls(calls) {}
    ULONG AddRef() override { return static_cast<ULONG>(++m_references); }
    ULONG Release() override { return static_cast<ULONG>(--m_references); }
    void dumpUser() override { m_calls.Add(m_name + L" dumpUser"); }
    void Resume() override {
        m_calls.Add(m_name + L" Resume");
        if (onResume) onResume();
    }
    void Ignore() override { m_calls.Add(m_name + L" Ignore"); }

    LONG References() const { return m_references; }
    std::function<void()> onResume;

private:
    std::wstring m_name;
    CallLog& m_calls;
    std::atomic<LONG> m_references{1};
};

class RecordingListener : public ISessionListener {
public:
    explicit RecordingListener(CallLog& calls) : m_calls(calls) {}
    void OnUserLoggedOn(const wchar_t* userName, DWORD sessionId) override {
        m_calls.Add(L"logon " + std::wstring(userName) + L" " + std::to_wstring(sessionId));
    }
    void OnUserLoggedOff(const wchar_t* userName, DWORD sessionId) override {
        m_calls.Add(L"logoff " + std::wstring(userName) + L" " + std::to_wstring(sessionId));
    }

private:
    CallLog& m_calls;
};

// Records "<session> <event>" for every item its event thread processes, and "init"/"end".
class RecordingEventProcessor : public IEventProcessor {
public:
    using Hook = std::function<void(DWORD sessionId, CEventWork& work)>;
    RecordingEventProcessor(CallLog& events, Hook hook) : m_events(events), m_hook(std::move(hook)) {}
    bool Initialize(DWORD sessionId) override {
        m_sessionId = sessionId;
        m_events.Add(L"init " + std::to_wstring(sessionId));
        return true;
    }
    void Process(CEventWork* work) override {
        if (m_hook) m_hook(m_sessionId, *work);
        m_events.Add(std::to_wstring(m_sessionId) + L" " + EventName(work->EventId()));
    }
    void Uninitialize() override { m_events.Add(L"end " + std::to_wstring(m_sessionId)); }

private:
    CallLog& m_events;
    Hook m_hook;
    DWORD m_sessionId = 0;
};

// Parameters that count how many of them are alive: an item freed shows here.
class CountedParameters : public IEventParameters {
public:
    explicit CountedParameters(std::atomic<int>& alive) : m_alive(alive) { ++m_alive; }
    ~CountedParameters() override { --m_alive; }

private:
    std::atomic<int>& m_alive;
};

// Terminal services as the test sets them up. Session user names absent from the map fail the
// query; a token, when given, is this process's own.
class FakeWtsApi : public IWtsApi {
public:
    WtsEnumerateResult EnumerateSessions() override { return enumerateResult; }
    bool QuerySessionUserName(DWORD sessionId, std::wstring& userName) override {
        const auto found = userNames.find(sessionId);
        if (found == userNames.end()) return false;
        userName = found->second;
        return true;
    }
    bool QueryUserToken(DWORD, Tessal::UniqueHandle& token) override {
        return giveToken && ::OpenProcessToken(::GetCurrentProcess(), tokenAccess, token.Put());
    }

    WtsEnumerateResult enumerateResult;
    std::map<DWORD, std::wstring> userNames;
    bool giveToken = false;
    DWORD tokenAccess = TOKEN_QUERY;
};

constexpr const wchar_t* kAlice = L"alice";
constexpr const wchar_t* kAliceName = L"Alice";
constexpr const wchar_t* kBob = L"bob";
constexpr const wchar_t* kBobName = L"Bob";

// The test module with a configuration client and a session manager; the stand-in service knows
// alice and bob (both protected: nothing stored for setting 315) and nobody is signed in.
class SessionFixture : public ::testing::Test {
public:
    void SetUp() override {
        ASSERT_TRUE(m_com.Succeeded());
        ASSERT_TRUE(NuvTest::ConnectConfigService(m_service, m_control));
        AddUser(kAlice, kAliceName);
        AddUser(kBob, kBobName);
        // The protected-user count fails, so no report looks for the statistics DLL: another test
        // program may be placing its copy in the suite's folder of this prefix meanwhile, and one
        // mapped here (even refused) cannot be deleted there.
        ASSERT_HRESULT_SUCCEEDED(
            ::CoCreateInstance(CLSID_NuvConfig, nullptr, CLSCTX_INPROC_SERVER, IID_INuvConfig, &m_nuvConfig))
            << "the stand-in NuvConfig is not registered";
        ASSERT_HRESULT_SUCCEEDED(m_nuvConfig.As(&m_nuvControl));
        ASSERT_HRESULT_SUCCEEDED(m_nuvControl->Reset());
        ASSERT_HRESULT_SUCCEEDED(
            m_nuvControl->FailCall(NuvConfigOp_GetVORLUserList, E_FAIL, 0, NUVCONFIG_FAIL_ALWAYS));
        m_wtsInstalled.emplace(SetWtsApi, &m_wts);
        m_module.makeEventProcessor = [this] {
            return std::make_unique<RecordingEventProcessor>(m_events, [this](DWORD id, CEventWork& work) {
                if (m_onProcess) m_onProcess(id, work);
            });
        };
        m_module.config = std::make_unique<CNuvConfig>(m_module);
        NewManager();
        TakeLoggedLines();
    }

    void TearDown() override {
        m_module.Detach();
        m_wtsInstalled.reset();
        if (m_control) m_control->Reset();
        if (m_nuvControl) m_nuvControl->Reset();
    }

    // Ends the current manager (every event thread finishes its items) and starts a new one.
    void NewManager() {
        m_module.manager.reset();
        m_module.manager = std::make_unique<CSessionManager>(m_module, std::make_unique<RecordingFirewall>(m_calls));
    }
    // Ends the manager: afterwards every event of every session has been recorded.
    void EndManager() { m_module.manager.reset(); }
    CSessionManager& Manager() { return *m_module.manager; }

    void AddUser(const wchar_t* id, const wchar_t* name) {
        ASSERT_HRESULT_SUCCEEDED(m_control->AddUser(NuvCom::CBstr(id).Get(), NuvCom::CBstr(name).Get()));
    }
    void SetUserSetting(const wchar_t* id, LONG setting, const NuvCom::CVariant& value) {
        ASSERT_HRESULT_SUCCEEDED(m_control->SetUserSetting(NuvCom::CBstr(id).Get(), setting, *value.Get())) << setting;
    }
    void SetProtected(const wchar_t* id, bool isProtected) {
        SetUserSetting(id, CUserSettings::kProtected, NuvCom::CVariant(isProtected));
    }
    void SignInAtService(DWORD sessionId, const wchar_t* id) {
        ASSERT_HRESULT_SUCCEEDED(m_control->SignInUser(sessionId, NuvCom::CBstr(id).Get()));
    }
    ULONG ServiceCallCount(const wchar_t* call) {
        ULONG count = 0;
        EXPECT_HRESULT_SUCCEEDED(m_control->GetCallCount(NuvCom::CBstr(call).Get(), &count));
        return count;
    }

    // Under the session's lock, as callers outside the session read it.
    static std::wstring UserOf(CSession& session) {
        Tessal::CAutoLock lock(session.GetLock());
        return Text(session.GetUserId());
    }

    // Events recorded so far for one session, in order ("sign-in", ...), without init/end.
    std::vector<std::wstring> EventsOf(DWORD sessionId) {
        const std::wstring prefix = std::to_wstring(sessionId) + L" ";
        std::vector<std::wstring> events;
        for (const auto& e : m_events.Calls()) {
            if (e.compare(0, prefix.size(), prefix) == 0) events.push_back(e.substr(prefix.size()));
        }
        return events;
    }

    NuvCom::CCoInitialize m_com;
    Microsoft::WRL::ComPtr<IQvConfigCategory> m_service;
    Microsoft::WRL::ComPtr<IQvConfigServiceControl> m_control;
    Microsoft::WRL::ComPtr<INuvConfig> m_nuvConfig;  // the legacy object counting protected users
    Microsoft::WRL::ComPtr<INuvConfigStandIn> m_nuvControl;
    FakeWtsApi m_wts;
    std::optional<ScopedReplacement<IWtsApi*>> m_wtsInstalled;
    CallLog m_calls;   // listener, firewall, activity log, paused connections
    CallLog m_events;  // what the event threads processed
    LogLines m_log;
    std::function<void(DWORD, CEventWork&)> m_onProcess;
    TestModuleServices m_module;
};

}  // namespace NuvTest
