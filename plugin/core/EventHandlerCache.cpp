#include "plugin/core/EventHandlerCache.h"

#include "base/UniqueHandle.h"
#include "logging/Logging.h"
#include "nuvutil/com/ComBoundary.h"
#include "nuvutil/com/CoInitializeScope.h"
#include "plugin/services/ModuleServices.h"
#include "plugin/core/NuvException.h"

#include <objbase.h>

#include <cstring>
#include <exception>

namespace {

constexpr int kProblemNoEventBroker = 20;
constexpr int kProblemEventBrokerFailed = 21;

}  // namespace

bool CEventHandlerCache::IidLess::operator()(const IID& a, const IID& b) const noexcept {
    if (a.Data1 != b.Data1) return a.Data1 < b.Data1;
    if (a.Data2 != b.Data2) return a.Data2 < b.Data2;
    if (a.Data3 != b.Data3) return a.Data3 < b.Data3;
    return std::memcmp(a.Data4, b.Data4, sizeof(a.Data4)) < 0;
}

CEventHandlerCache::CEventHandlerCache(const wchar_t* applicationName, IModuleServices& module)
    : m_applicationName(applicationName != nullptr ? applicationName : L""), m_module(module) {}

CEventHandlerCache::~CEventHandlerCache() = default;

HRESULT CEventHandlerCache::Initialize() {
    const HRESULT hr = ::CoCreateInstance(__uuidof(EventBroker), nullptr, CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER,
                                          __uuidof(IEventBroker), reinterpret_cast<void**>(m_broker.ReleaseAndGetAddressOf()));
    if (FAILED(hr)) {
        m_broker.Reset();
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to create Event Broker (0x%08X)\r\n", static_cast<unsigned>(hr));
        m_module.ReportProblem(kProblemNoEventBroker, false, hr);
        return hr;
    }
    return S_OK;
}

HRESULT CEventHandlerCache::GetHandler(const wchar_t* iidText, REFIID iid, IUnknown** handler) {
    if (handler == nullptr) return E_POINTER;
    *handler = nullptr;
    if (iidText == nullptr || *iidText == L'\0') return E_INVALIDARG;

    Tessal::CAutoLock lock(m_lock);
    const auto found = m_handlers.find(iid);
    if (found != m_handlers.end()) {
        return found->second->QueryInterface(iid, reinterpret_cast<void**>(handler));
    }
    if (!m_broker) return E_UNEXPECTED;

    DWORD status = 0;
    IUnknown* delivered = nullptr;
    const HRESULT hr = m_broker->GetHandler(m_applicationName.c_str(), iidText, nullptr, 0, &iid, &delivered, &status);
    if (SUCCEEDED(hr) && delivered != nullptr) {
        *handler = delivered;                // the broker's reference, for the caller
        m_handlers.emplace(iid, delivered);  // and one of the cache's own
        return hr;
    }
    if (delivered != nullptr) {
        delivered->Release();  // a failure that still handed something out
    }
    // A broker that answers success without a handler has none to give: the same as "not registered".
    const DWORD maskedStatus = status & EVENT_BROKER_STATUS_MASK;
    if (SUCCEEDED(hr) || hr == REGDB_E_CLASSNOTREG || maskedStatus == EVENT_BROKER_STATUS_NO_HANDLER ||
        maskedStatus == ERROR_NOT_FOUND) {
        return 1;
    }
    m_module.ReportProblem(kProblemEventBrokerFailed, false, static_cast<HRESULT>(maskedStatus));
    return hr;
}

void CEventHandlerCache::Invalidate(IUnknown* handler) {
    if (handler == nullptr) return;
    Tessal::CAutoLock lock(m_lock);
    for (auto entry = m_handlers.begin(); entry != m_handlers.end(); ++entry) {
        if (entry->second.Get() == handler) {
            m_handlers.erase(entry);
            return;
        }
    }
}

HRESULT CEventHandlerCache::Uninitialize() {
    {
        Tessal::CAutoLock lock(m_lock);
        m_handlers.clear();
    }
    if (!m_broker) return 1;
    m_broker.Reset();
    return S_OK;
}

CEventHandlerSource::CEventHandlerSource(IModuleServices& module) noexcept : m_module(module) {}

CEventHandlerSource::~CEventHandlerSource() {
    // Normally Uninitialize has run on the event thread already; this only covers a source
    // abandoned between the two.
    m_cache.reset();
    m_com.reset();
}

bool CEventHandlerSource::Initialize(DWORD sessionId) {
    m_com = std::make_unique<NuvCom::CCoInitialize>(COINIT_MULTITHREADED);
    try {
        auto cache = std::make_unique<CEventHandlerCache>(kApplicationName, m_module);
        if (cache->Initialize() == S_OK) {
            m_cache = std::move(cache);
            return true;
        }
    } catch (...) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Cannot create the event handler cache of session %d: %hs\r\n",
                static_cast<int>(sessionId), NuvCom::CurrentExceptionText());
    }
    m_com.reset();  // Uninitialize is not called after a failed Initialize
    return false;
}

void CEventHandlerSource::Process(CEventWork* work) {
    if (work == nullptr) return;
    try {
        work->Process(*this);
    } catch (...) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Caught an exception while firing event %d: %hs\r\n",
                static_cast<int>(work->EventId()), NuvCom::CurrentExceptionText());
    }
}

void CEventHandlerSource::Uninitialize() {
    if (m_cache) {
        m_cache->Uninitialize();
        m_cache.reset();
    }
    m_com.reset();
}

HRESULT CEventHandlerSource::Get(const wchar_t* iidText, REFIID iid, IUnknown** handler) {
    if (handler == nullptr) return E_POINTER;
    *handler = nullptr;
    if (!m_cache) return E_UNEXPECTED;
    return m_cache->GetHandler(iidText, iid, handler);
}

HRESULT CEventHandlerSource::Get(REFIID iid, IUnknown** handler) {
    if (handler == nullptr) return E_POINTER;
    *handler = nullptr;
    if (!m_cache) return E_UNEXPECTED;
    Tessal::UniqueCoTaskMem text;
    const HRESULT hr = ::StringFromCLSID(iid, reinterpret_cast<LPOLESTR*>(text.Put()));
    if (FAILED(hr)) return hr;
    return m_cache->GetHandler(static_cast<const wchar_t*>(text.Get()), iid, handler);
}

void CEventHandlerSource::Invalidate(IUnknown* handler) {
    if (m_cache) m_cache->Invalidate(handler);
}
