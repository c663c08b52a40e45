// IQvPlugin over a module object of the test's own: the answers the proxy host gets, in the
// order the checks are made.

#include "plugin/core/NuvPlugin.h"

#include "nuvutil/com/Bstr.h"
#include "nuvutil/com/CoInitializeScope.h"
#include "nuvutil/com/Variant.h"
#include "plugin/core/ModuleRegistry.h"
#include "plugin/core/NuvModule.h"
#include "plugin/core/UserSettings.h"
#include "tests/support/MachineKeyGuard.h"
#include "tests/plugin/core/ModuleTestDoubles.h"
#include "logging/Logging.h"
#include "plugin/core/Thread.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/LogRecorder.h"
#include "tests/plugin/core/ConfigServiceStandIn.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <configservice.h>
#include <wrl/client.h>

#include <memory>

namespace {

using Microsoft::WRL::ComPtr;

constexpr HRESULT kInitializationFailed = 1114;
constexpr HRESULT kServerStopping = static_cast<HRESULT>(0x80080008);
IUnknown* const kUntouched = reinterpret_cast<IUnknown*>(static_cast<uintptr_t>(0x5A5A));

class PluginTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_com.Succeeded());
        ASSERT_TRUE(NuvTest::ConnectConfigService(m_service, m_control));
        ASSERT_TRUE(m_guard.CreateKey(L"SOFTWARE\\Oberix\\NUV"));
        m_guard.DeleteValue(L"SOFTWARE\\Oberix\\NUV", L"Report");
        m_guard.DeleteValue(NuvRegistry::kDynaInfoKey, L"UpdRestartReq");
        NuvTest::TakeLoggedLines();
    }
    void TearDown() override {
        m_filter.Release();
        if (m_plugin) m_plugin->Deinitialize();
        m_plugin.Reset();
        m_module.reset();
        if (m_control) m_control->Reset();
    }

    // A plug-in over a new module, initialized as the host does.
    IQvPlugin& Start() {
        CNuvModule::Options options;
        options.filter = &m_filter;
        // Long: killing a thread that merely ran slow on a loaded machine could leave a lock of
        // the process held and hang the next test.
        options.threadJoinLimitMs = 30000;
        options.timeZoneCheckDelay = 0;
        options.osClass = 10;
        m_module = std::make_unique<CNuvModule>(options);
        m_plugin = NuvCom::MakeComObject<CNuvPlugin>(*m_module);
        DWORD first = 7;
        DWORD second = 7;
        EXPECT_EQ(S_OK, m_plugin->Initialize(&first, &second));
        EXPECT_EQ(1u, first);
        EXPECT_EQ(0u, second);
        return *m_plugin.Get();
    }

    struct Answer {
        HRESULT hr;
        IUnknown* handler;
        DWORD reserved;
    };
    Answer Connect(int protocol, DWORD session) {
        Answer answer{E_NOTIMPL, kUntouched, 0xFFFFFFFF};
        answer.hr = m_plugin->GetProtocolHandler(protocol, session, 4242, &answer.handler, &answer.reserved);
        if (answer.hr == S_OK && answer.handler != nullptr) {
            answer.handler->Release();
            answer.handler = reinterpret_cast<IUnknown*>(static_cast<uintptr_t>(1));  // "a handler came"
        }
        return answer;
    }

    void AddUser(const wchar_t* id, bool isProtected) {
        ASSERT_HRESULT_SUCCEEDED(m_control->AddUser(NuvCom::CBstr(id).Get(), NuvCom::CBstr(id).Get()));
        NuvCom::CVariant protectedValue(isProtected);
        ASSERT_HRESULT_SUCCEEDED(m_control->SetUserSetting(NuvCom::CBstr(id).Get(), CUserSettings::kProtected,
                                                           *protectedValue.Get()));
    }
    ULONG ServiceCalls(const wchar_t* call) { return NuvTest::ServiceCallCount(m_control.Get(), call); }
    std::string CallLog() { return NuvTest::ServiceCallLog(m_control.Get()); }

    NuvCom::CCoInitialize m_com;
    ComPtr<IQvConfigCategory> m_service;
    ComPtr<IQvConfigServiceControl> m_control;
    NuvTest::MachineKeyGuard m_guard;
    NuvTest::CallLog m_log;
    NuvTest::RecordingFilter m_filter{m_log};
    std::unique_ptr<CNuvModule> m_module;
    ComPtr<CNuvPlugin> m_plugin;
    NuvTest::LogLines m_lines;
};

TEST_F(PluginTest, UnwritableOutputsAreRefusedBeforeAnythingIsWritten) {
    IQvPlugin& plugin = Start();
    DWORD value = 0;
    EXPECT_EQ(E_POINTER, plugin.Initialize(nullptr, &value));
    EXPECT_EQ(E_POINTER, plugin.Initialize(&value, nullptr));

    IUnknown* handler = kUntouched;
    EXPECT_EQ(E_POINTER, plugin.GetProtocolHandler(1, 1, 1, &handler, nullptr));
    EXPECT_EQ(kUntouched, handler);
    DWORD reserved = 9;
    EXPECT_EQ(E_POINTER, plugin.GetProtocolHandler(1, 1, 1, nullptr, &reserved));
    EXPECT_EQ(0u, reserved);
}

TEST_F(PluginTest, OnlyHttpIsAccepted) {
    Start();
    const Answer answer = Connect(2, 1);
    EXPECT_EQ(E_INVALIDARG, answer.hr);
    EXPECT_EQ(kUntouched, answer.handler);
    EXPECT_EQ(0u, answer.reserved);
}

TEST_F(PluginTest, FailedStartUpRefusesEveryConnection) {
    m_filter.throwIn = L"StartUrlClassification";
    Start();
    for (DWORD session : {1u, 2u}) {
        const Answer answer = Connect(1, session);
        EXPECT_EQ(kInitializationFailed, answer.hr);
        EXPECT_EQ(nullptr, answer.handler);
    }
    EXPECT_TRUE(m_lines.Has(ETWLogging::LOG_CRITICAL, L"Exception during initialization\r\n"));
    EXPECT_TRUE(m_lines.Has(ETWLogging::LOG_WARNING, L"Refusing HTTP events because initialization failed\r\n"));
}

TEST_F(PluginTest, AfterDeinitializeConnectionsAreRefused) {
    IQvPlugin& plugin = Start();
    ASSERT_TRUE(m_module->WaitForInitialization()) << "as when the host's first connection came";
    EXPECT_EQ(S_OK, plugin.Deinitialize());
    EXPECT_EQ(kServerStopping, Connect(1, 1).hr);
}

TEST_F(PluginTest, PendingRestartRefusesWithoutALogLine) {
    ASSERT_TRUE(m_guard.SetDword(NuvRegistry::kDynaInfoKey, L"UpdRestartReq", 1));
    Start();
    EXPECT_EQ(E_FAIL, Connect(1, 1).hr);
    EXPECT_EQ(0u, m_log.Count(L"CreateHttpEventHandler 1 4242 session"));
}

TEST_F(PluginTest, BypassProblemLetsEveryConnectionThroughUnfiltered) {
    Start();
    m_module->ReportProblem(41, false, E_FAIL);
    m_module->ReportProblem(40, true, E_FAIL);
    EXPECT_EQ(E_UNEXPECTED, Connect(1, 1).hr);
    EXPECT_EQ(E_UNEXPECTED, Connect(1, 2).hr);
}

// The problem line is logged once per process, which only a process of its own can show: this
// program runs the disabled case below alone.
TEST_F(PluginTest, ProblemLineIsLoggedOncePerProcess) {
    wchar_t exe[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
    const auto child = NuvTest::RunChild(std::wstring(L"\"") + exe +
                                         L"\" --gtest_also_run_disabled_tests "
                                         L"--gtest_filter=PluginTest.DISABLED_ProblemLineInAFreshProcess");
    EXPECT_EQ(0u, child.exitCode) << child.output;
    EXPECT_NE(std::string::npos, child.output.find("[  PASSED  ] 1 test")) << child.output;
}

TEST_F(PluginTest, DISABLED_ProblemLineInAFreshProcess) {
    Start();
    m_module->ReportProblem(40, true, E_FAIL);
    for (DWORD session : {1u, 2u, 1u}) EXPECT_EQ(E_UNEXPECTED, Connect(1, session).hr);
    m_module->ReportProblem(41, false, E_FAIL);
    Connect(1, 3);
    EXPECT_EQ(1u, m_lines.Count(ETWLogging::LOG_WARNING, L"Bypassing traffic because NUV has problem 40\r\n"));
    EXPECT_EQ(0u, m_lines.Count(ETWLogging::LOG_WARNING,
                                L"Only performing Personal Info scanning because NUV has problem 41\r\n"));
}

TEST_F(PluginTest, ProblemWithoutBypassSignsTheSessionInAsTheTemporaryAdult) {
    AddUser(L"kid", true);
    ASSERT_HRESULT_SUCCEEDED(m_control->SignInUser(3, NuvCom::CBstr(L"kid").Get()));
    Start();
    m_module->ReportProblem(21, false, E_FAIL);
    Connect(1, 3);
    EXPECT_EQ(1u, ServiceCalls(L"IConfigSignIn.SignOut(3)"));
    EXPECT_EQ(1u, ServiceCalls(L"IConfigSignIn.SignIn(3)"));
    const std::string log = CallLog();
    EXPECT_LT(log.find("IConfigSignIn.SignOut(3)"), log.find("IConfigSignIn.SignIn(3, \"adult_temp\", 0)")) << log;
    EXPECT_NE(std::string::npos, log.find("IConfigSignIn.SignIn(3, \"adult_temp\", 0)")) << log;
}

TEST_F(PluginTest, SessionWithoutNeedForFilteringGetsNoHandler) {
    AddUser(L"grown-up", false);
    ASSERT_HRESULT_SUCCEEDED(m_control->SignInUser(4, NuvCom::CBstr(L"grown-up").Get()));
    Start();
    const Answer first = Connect(1, 4);  // the session is created with its user
    EXPECT_EQ(S_OK, first.hr);
    const Answer second = Connect(1, 4);
    EXPECT_EQ(S_FALSE, second.hr);
    EXPECT_EQ(nullptr, second.handler);
    EXPECT_TRUE(m_lines.Has(ETWLogging::LOG_NORMAL, L"Filtering is unnecessary in session 4\r\n"));
}

TEST_F(PluginTest, HandlerComesFromWebFilteringOrTheConnectionIsRefused) {
    Start();
    const Answer answer = Connect(1, 8);
    EXPECT_EQ(S_OK, answer.hr);
    EXPECT_NE(nullptr, answer.handler);
    EXPECT_EQ(1u, m_log.Count(L"CreateHttpEventHandler 8 4242 session"));

    m_filter.makeHandlers = false;
    const Answer refused = Connect(1, 8);
    EXPECT_EQ(E_FAIL, refused.hr);
    EXPECT_EQ(nullptr, refused.handler);
}

}  // namespace
