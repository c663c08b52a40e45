#pragma once
// Where an event thread finds the suite's handler of each event kind: the event broker, asked once
// per interface id, with the answers kept until a handler fails with an RPC error.

#include "base/Sync.h"
#include "plugin/core/EventWork.h"
#include "plugin/services/ThreadCallbacks.h"

#include <windows.h>
#include <eventbroker.h>
#include <wrl/client.h>

#include <map>
#include <memory>
#include <string>

class IModuleServices;
namespace NuvCom {
class CCoInitialize;
}

class CEventHandlerCache {
public:
    // Throws std::system_error when the lock cannot be created.
    CEventHandlerCache(const wchar_t* applicationName, IModuleServices& module);
    ~CEventHandlerCache();
    CEventHandlerCache(const CEventHandlerCache&) = delete;
    CEventHandlerCache& operator=(const CEventHandlerCache&) = delete;

    // Creates the broker; a failure reports problem 20 and is returned.
    HRESULT Initialize();
    // S_OK with a handler (one reference for the caller), 1 when no handler is registered for the
    // interface, else the broker's failure (reported as problem 21).
    HRESULT GetHandler(const wchar_t* iidText, REFIID iid, IUnknown** handler);
    // Forgets the first entry holding this handler.
    void Invalidate(IUnknown* handler);
    // Drops every handler and the broker; 1 when there was no broker.
    HRESULT Uninitialize();

private:
    // Data1, Data2, Data3 as unsigned numbers, then the bytes of Data4.
    struct IidLess {
        bool operator()(const IID& a, const IID& b) const noexcept;
    };

    std::wstring m_applicationName;
    Tessal::CCriticalSection m_lock;
    std::map<IID, Microsoft::WRL::ComPtr<IUnknown>, IidLess> m_handlers;
    Microsoft::WRL::ComPtr<IEventBroker> m_broker;
    IModuleServices& m_module;
};

// One event thread's handler source: its COM apartment and its cache, from Initialize to
// Uninitialize, both on the event thread.
class CEventHandlerSource : public IEventHandlerSource, public IEventProcessor {
public:
    static constexpr const wchar_t* kApplicationName = L"NUV";

    explicit CEventHandlerSource(IModuleServices& module) noexcept;
    ~CEventHandlerSource() override;
    CEventHandlerSource(const CEventHandlerSource&) = delete;
    CEventHandlerSource& operator=(const CEventHandlerSource&) = delete;

    // IEventProcessor
    bool Initialize(DWORD sessionId) override;
    // Fires the item; nothing it throws leaves, so the thread goes on with the next item.
    void Process(CEventWork* work) override;
    void Uninitialize() override;

    // IEventHandlerSource
    HRESULT Get(const wchar_t* iidText, REFIID iid, IUnknown** handler) override;
    HRESULT Get(REFIID iid, IUnknown** handler) override;
    void Invalidate(IUnknown* handler) override;

private:
    IModuleServices& m_module;
    // Declared before the cache: the cache's COM pointers go before the apartment does.
    std::unique_ptr<NuvCom::CCoInitialize> m_com;
    std::unique_ptr<CEventHandlerCache> m_cache;
};
