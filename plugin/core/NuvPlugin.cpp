#include "plugin/core/NuvPlugin.h"

#include "logging/Logging.h"
#include "nuvutil/com/ComBoundary.h"
#include "plugin/core/NuvConfig.h"
#include "plugin/core/NuvModule.h"
#include "plugin/core/Session.h"
#include "plugin/core/UserSettings.h"
#include "plugin/core/PluginResults.h"

#include <atomic>

namespace {
// The protocol the plug-in filters.
constexpr int kProtocolHttp = 1;

// Logged once per process; a second line from a race is harmless.
std::atomic<bool> g_problemLogged{false};
}  // namespace

STDMETHODIMP CNuvPlugin::Initialize(DWORD* first, DWORD* second) {
    if (::IsBadWritePtr(first, sizeof(DWORD)) || ::IsBadWritePtr(second, sizeof(DWORD))) return E_POINTER;
    return NuvCom::ComBoundary(L"CNuvPlugin::Initialize", [&] {
        NUV_LOG(ETWLogging::LOG_NORMAL, L"Initializing NUV Plugin\r\n");
        m_module.StartInitialization();
        *first = 1;
        *second = 0;
        return S_OK;
    });
}

STDMETHODIMP CNuvPlugin::Deinitialize() {
    return NuvCom::ComBoundary(L"CNuvPlugin::Deinitialize", [&] {
        NUV_LOG(ETWLogging::LOG_NORMAL, L"Terminating NUV Plugin\r\n");
        m_module.Deinitialize();
        return S_OK;
    });
}

// The host's own value is checked before anything is written to it.
STDMETHODIMP CNuvPlugin::GetProtocolHandler(int protocol, DWORD sessionId, DWORD processId, IUnknown** handler,
                                            DWORD* reserved) {
    NUV_LOG(ETWLogging::LOG_NORMAL, L"GetProtocolHander( Session %d, Process %d )\r\n", static_cast<int>(sessionId),
            static_cast<int>(processId));
    if (::IsBadWritePtr(reserved, sizeof(DWORD))) return E_POINTER;
    *reserved = 0;
    if (::IsBadWritePtr(handler, sizeof(IUnknown*))) return E_POINTER;
    if (protocol != kProtocolHttp) return E_INVALIDARG;
    *handler = nullptr;
    return NuvCom::ComBoundary(L"CNuvPlugin::GetProtocolHandler",
                               [&] { return GetProtocolHandlerChecked(protocol, sessionId, processId, handler); });
}

HRESULT CNuvPlugin::GetProtocolHandlerChecked(int, DWORD sessionId, DWORD processId, IUnknown** handler) {
    if (!m_module.WaitForInitialization()) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"Refusing HTTP events because initialization failed\r\n");
        return NuvResult::kInitializationFailed;
    }
    if (m_module.IsShuttingDown()) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"Refusing HTTP events because we're shutting down\r\n");
        return NuvResult::kShuttingDown;
    }
    if (m_module.IsRestartPending()) return E_FAIL;

    const int problem = m_module.GetCurrentProblem();
    if (problem != 0) {
        const bool bypass = m_module.IsBypassingTraffic();
        if (!g_problemLogged.exchange(true)) {
            if (bypass) {
                NUV_LOG(ETWLogging::LOG_WARNING, L"Bypassing traffic because NUV has problem %d\r\n", problem);
            } else {
                NUV_LOG(ETWLogging::LOG_WARNING, L"Only performing Personal Info scanning because NUV has problem %d\r\n",
                        problem);
            }
        }
        if (bypass) return E_UNEXPECTED;
        SignInTemporaryAdult(sessionId);
    }

    if (m_module.IsFilteringUnnecessary(sessionId)) {
        NUV_LOG(ETWLogging::LOG_NORMAL, L"Filtering is unnecessary in session %d\r\n", static_cast<int>(sessionId));
        return S_FALSE;
    }
    IUnknown* created = m_module.CreateHttpEventHandler(sessionId, processId);
    if (created == nullptr) return E_FAIL;
    const HRESULT hr = created->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(handler));
    created->Release();
    return hr;
}

void CNuvPlugin::SignInTemporaryAdult(DWORD sessionId) {
    CSession* session = m_module.GetSession(sessionId);
    bool resign = false;
    {
        Tessal::CAutoLock lock(session->GetLock());
        resign = !session->GetUserId().IsEqual(CUserSettings::kTemporaryAdult);
    }
    if (!resign) return;
    if (CNuvConfig* config = m_module.GetConfig()) {
        config->SignOut(sessionId);
        config->SignIn(sessionId, CUserSettings::kTemporaryAdult);
    }
}
