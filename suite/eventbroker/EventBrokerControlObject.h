#pragma once
// IEventBrokerControl over the process's one stand-in state.

#include "EventBrokerControl.h"

#include "nuvutil/com/ComObject.h"

namespace EventBrokerStandIn {

class CEventBrokerControlObject final : public NuvCom::CComObjectBase<IEventBrokerControl> {
public:
    STDMETHODIMP Reset() override;
    STDMETHODIMP SetCreationResult(HRESULT result) override;
    STDMETHODIMP SetBrokerAnswer(REFIID interfaceId, HRESULT result, DWORD status,
                                 EventBrokerHandlerKind handler) override;
    STDMETHODIMP QueueBrokerAnswer(REFIID interfaceId, HRESULT result, DWORD status,
                                   EventBrokerHandlerKind handler) override;
    STDMETHODIMP SetHandlerResult(REFIID interfaceId, HRESULT result) override;
    STDMETHODIMP QueueHandlerResult(REFIID interfaceId, HRESULT result) override;
    STDMETHODIMP GetBrokerCallCount(ULONG* count) override;
    STDMETHODIMP GetBrokerCall(ULONG index, EventBrokerCall* call) override;
    STDMETHODIMP GetHandlerCallCount(ULONG* count) override;
    STDMETHODIMP GetHandlerCall(ULONG index, EventHandlerCall* call) override;
    STDMETHODIMP GetLiveHandlerCount(ULONG* count) override;
};

}  // namespace EventBrokerStandIn
