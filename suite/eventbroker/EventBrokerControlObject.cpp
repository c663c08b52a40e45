#include "EventBrokerControlObject.h"

#include "EventBrokerState.h"

#include "nuvutil/com/Bstr.h"
#include "nuvutil/com/ComBoundary.h"

#include <cstring>
#include <optional>
#include <string>

namespace EventBrokerStandIn {

namespace {

bool IsHandlerKind(EventBrokerHandlerKind kind) noexcept {
    return kind == EventBrokerHandler_None || kind == EventBrokerHandler_Recording ||
           kind == EventBrokerHandler_WithoutInterface;
}

NuvCom::CBstr ToBstr(const std::optional<std::wstring>& text) {
    return text ? NuvCom::CBstr(std::wstring_view(*text)) : NuvCom::CBstr();
}

HRESULT GetCount(std::size_t count, ULONG* out) {
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = static_cast<ULONG>(count);
    return S_OK;
}

}  // namespace

STDMETHODIMP CEventBrokerControlObject::Reset() {
    return NuvCom::ComBoundary(L"CEventBrokerControlObject::Reset", [] {
        CEventBrokerState::Instance().Reset();
        return S_OK;
    });
}

STDMETHODIMP CEventBrokerControlObject::SetCreationResult(HRESULT result) {
    CEventBrokerState::Instance().SetCreationResult(result);
    return S_OK;
}

STDMETHODIMP CEventBrokerControlObject::SetBrokerAnswer(REFIID interfaceId, HRESULT result, DWORD status,
                                                        EventBrokerHandlerKind handler) {
    if (!IsHandlerKind(handler)) {
        return E_INVALIDARG;
    }
    return NuvCom::ComBoundary(L"CEventBrokerControlObject::SetBrokerAnswer", [&] {
        CEventBrokerState::Instance().SetBrokerAnswer(interfaceId, {result, status, handler});
        return S_OK;
    });
}

STDMETHODIMP CEventBrokerControlObject::QueueBrokerAnswer(REFIID interfaceId, HRESULT result, DWORD status,
                                                          EventBrokerHandlerKind handler) {
    if (!IsHandlerKind(handler)) {
        return E_INVALIDARG;
    }
    return NuvCom::ComBoundary(L"CEventBrokerControlObject::QueueBrokerAnswer", [&] {
        CEventBrokerState::Instance().QueueBrokerAnswer(interfaceId, {result, status, handler});
        return S_OK;
    });
}

STDMETHODIMP CEventBrokerControlObject::SetHandlerResult(REFIID interfaceId, HRESULT result) {
    return NuvCom::ComBoundary(L"CEventBrokerControlObject::SetHandlerResult", [&] {
        CEventBrokerState::Instance().SetHandlerResult(interfaceId, result);
        return S_OK;
    });
}

STDMETHODIMP CEventBrokerControlObject::QueueHandlerResult(REFIID interfaceId, HRESULT result) {
    return NuvCom::ComBoundary(L"CEventBrokerControlObject::QueueHandlerResult", [&] {
        CEventBrokerState::Instance().QueueHandlerResult(interfaceId, result);
        return S_OK;
    });
}

STDMETHODIMP CEventBrokerControlObject::GetBrokerCallCount(ULONG* count) {
    return GetCount(CEventBrokerState::Instance().BrokerCallCount(), count);
}

STDMETHODIMP CEventBrokerControlObject::GetBrokerCall(ULONG index, EventBrokerCall* call) {
    if (call == nullptr) {
        return E_POINTER;
    }
    std::memset(call, 0, sizeof(*call));
    return NuvCom::ComBoundary(L"CEventBrokerControlObject::GetBrokerCall", [&] {
        const std::optional<StoredBrokerCall> stored = CEventBrokerState::Instance().BrokerCall(index);
        if (!stored) {
            return E_INVALIDARG;
        }
        NuvCom::CBstr applicationName = ToBstr(stored->applicationName);
        NuvCom::CBstr interfaceIdText = ToBstr(stored->interfaceIdText);
        call->context = stored->context;
        call->flags = stored->flags;
        call->interfaceIdPresent = stored->interfaceId.has_value();
        call->interfaceId = stored->interfaceId.value_or(GUID_NULL);
        call->handlerOutPresent = stored->handlerOutPresent;
        call->statusOutPresent = stored->statusOutPresent;
        call->result = stored->result;
        call->status = stored->status;
        call->handlerSerial = stored->handlerSerial;
        call->applicationName = applicationName.Detach();
        call->interfaceIdText = interfaceIdText.Detach();
        return S_OK;
    });
}

STDMETHODIMP CEventBrokerControlObject::GetHandlerCallCount(ULONG* count) {
    return GetCount(CEventBrokerState::Instance().HandlerCallCount(), count);
}

STDMETHODIMP CEventBrokerControlObject::GetHandlerCall(ULONG index, EventHandlerCall* call) {
    if (call == nullptr) {
        return E_POINTER;
    }
    std::memset(call, 0, sizeof(*call));
    return NuvCom::ComBoundary(L"CEventBrokerControlObject::GetHandlerCall", [&] {
        const std::optional<StoredHandlerCall> stored = CEventBrokerState::Instance().HandlerCall(index);
        if (!stored) {
            return E_INVALIDARG;
        }
        NuvCom::CBstr text1 = ToBstr(stored->text1);
        NuvCom::CBstr text2 = ToBstr(stored->text2);
        call->interfaceId = stored->interfaceId;
        call->handlerSerial = stored->handlerSerial;
        call->sessionId = stored->sessionId;
        call->recordPresent = stored->record.has_value();
        if (stored->record) {
            std::memcpy(call->record, stored->record->data(), sizeof(call->record));
        }
        call->result = stored->result;
        call->text1 = text1.Detach();
        call->text2 = text2.Detach();
        return S_OK;
    });
}

STDMETHODIMP CEventBrokerControlObject::GetLiveHandlerCount(ULONG* count) {
    return GetCount(CEventBrokerState::Instance().LiveHandlers(), count);
}

}  // namespace EventBrokerStandIn
