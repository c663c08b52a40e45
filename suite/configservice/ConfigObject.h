#pragma once
// The configuration object (class QvPSConfig): items, sign-in, the connection point of
// _IQvPSConfigEvents and the stand-in's test control. Every instance works on the one
// process-wide service state.

#include "configservice.h"

#include "nuvutil/com/ComObject.h"
#include "nuvutil/com/DispatchImpl.h"

#include <ocidl.h>
#include <wrl/client.h>

namespace QvConfigStandIn {

class CQvPSConfig final
    : public NuvCom::CComObjectBase<NuvCom::CDispatchImpl<IQvConfigCategory>, NuvCom::CDispatchImpl<IConfigSignIn>,
                                    IConnectionPointContainer, IQvConfigServiceControl> {
public:
    // An injected "CreateInstance" failure throws it (the class factory returns its HRESULT).
    CQvPSConfig();

    // Logs, and can fail, the requests for IConfigSignIn and IConnectionPointContainer.
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;

    // IQvConfigCategory
    STDMETHODIMP Get(LONG itemId, VARIANT* value, LONG* status) override;

    // IConfigSignIn
    STDMETHODIMP IsSignedIn(ULONG sessionId, VARIANT_BOOL* signedIn, LONG* status) override;
    STDMETHODIMP SignIn(ULONG sessionId, BSTR userId, LONG flags, LONG* status) override;
    STDMETHODIMP SignOut(ULONG sessionId, LONG* status) override;
    STDMETHODIMP GetSignedInUser(ULONG sessionId, VARIANT* user, LONG* status) override;

    // IConnectionPointContainer
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** points) override;
    STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** point) override;

    // IQvConfigServiceControl
    STDMETHODIMP Reset() override;
    STDMETHODIMP AddUser(BSTR userId, BSTR userName) override;
    STDMETHODIMP RemoveUser(BSTR userId) override;
    STDMETHODIMP SetUserSetting(BSTR userId, LONG settingId, VARIANT value) override;
    STDMETHODIMP SetProductSetting(LONG settingId, VARIANT value) override;
    STDMETHODIMP SignInUser(ULONG sessionId, BSTR userId) override;
    STDMETHODIMP SignOutUser(ULONG sessionId) override;
    STDMETHODIMP FireEvent(LONG dispId, ULONG argCount, const VARIANT* args) override;
    STDMETHODIMP WaitForEvents(ULONG timeoutMs) override;
    STDMETHODIMP GetEventThreadId(ULONG* threadId) override;
    STDMETHODIMP GetSinkCount(ULONG* count) override;
    STDMETHODIMP FailCall(BSTR callName, HRESULT hr, LONG status, LONG times) override;
    STDMETHODIMP GetCallLog(BSTR* log) override;
    STDMETHODIMP GetCallCount(BSTR callName, ULONG* count) override;
    STDMETHODIMP GetEventLog(BSTR* log) override;
    STDMETHODIMP ClearLogs() override;
};

// The one connection point of the configuration object. Subscriptions belong to the service, so
// a cookie from any instance can be unadvised through any other.
class CConfigConnectionPoint final : public NuvCom::CComObjectBase<IConnectionPoint> {
public:
    explicit CConfigConnectionPoint(IConnectionPointContainer* container) : m_container(container) {}

    STDMETHODIMP GetConnectionInterface(IID* iid) override;
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** container) override;
    STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override;
    STDMETHODIMP Unadvise(DWORD cookie) override;
    STDMETHODIMP EnumConnections(IEnumConnections** connections) override;

private:
    Microsoft::WRL::ComPtr<IConnectionPointContainer> m_container;
};

}  // namespace QvConfigStandIn
