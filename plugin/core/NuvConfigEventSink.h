#pragma once
// The object the configuration service calls with its notifications (_IQvPSConfigEvents). It is
// reference-counted on its own: the service may hold it, and even call it, after the
// configuration client is gone. Calls go to the client through a back pointer; once the client
// detaches, they are refused with 0x80080008.

#include "nuvutil/com/ComObject.h"
#include "plugin/core/PluginResults.h"

#include <windows.h>
#include <configservice.h>

#include <condition_variable>
#include <mutex>
#include <vector>

class CNuvConfig;

class CNuvConfigEventSink final
    : public NuvCom::CComObjectBase<NuvCom::InterfaceChain<_IQvPSConfigEvents, IDispatch>> {
public:
    // What a detached sink answers.
    static constexpr HRESULT kDetached = NuvResult::kShuttingDown;

    explicit CNuvConfigEventSink(CNuvConfig* owner) noexcept;

    // (Re)connects the sink to its client.
    void Attach(CNuvConfig* owner) noexcept;
    // Disconnects it and waits until no call is inside the client any more, except calls of the
    // calling thread itself (a handler may end up here). False when `timeoutMs` passed first.
    bool Detach(DWORD timeoutMs);

    // IDispatch: only Invoke is served; the dispid and the parameters go to the client.
    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT index, LCID locale, ITypeInfo** typeInfo) override;
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID locale, DISPID* dispIds) override;
    STDMETHODIMP Invoke(DISPID dispId, REFIID riid, LCID locale, WORD flags, DISPPARAMS* parameters,
                        VARIANT* result, EXCEPINFO* exceptionInfo, UINT* argumentError) override;

private:
    bool OnlyCallerInside(DWORD threadId) const noexcept;

    std::mutex m_lock;
    std::condition_variable m_left;  // a call left the client
    CNuvConfig* m_owner;
    std::vector<DWORD> m_callers;  // thread of each call inside the client
};
