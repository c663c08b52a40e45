#include "plugin/core/EventFiring.h"

#include <wrl/client.h>

using Microsoft::WRL::ComPtr;

namespace {

// The handler's pointer for the interface, held apart from the handler; empty when it has none.
ComPtr<IUnknown> Query(IUnknown* handler, REFIID iid) {
    ComPtr<IUnknown> holder;
    if (handler != nullptr && FAILED(handler->QueryInterface(iid, reinterpret_cast<void**>(holder.GetAddressOf())))) {
        holder.Reset();
    }
    return holder;
}

// 0 when the call succeeded, 1 when there was nothing to call, else the call's failure.
HRESULT Call(IUnknown* holder, const std::function<HRESULT(IUnknown*)>& call) {
    if (holder == nullptr) return 1;
    const HRESULT hr = call(holder);
    return SUCCEEDED(hr) ? S_OK : hr;
}

}  // namespace

bool IsRpcFailure(HRESULT hr) noexcept {
    const auto code = static_cast<unsigned long>(hr);
    return code >= 0x800706A4ul && code <= 0x8007078Bul;
}

HRESULT FireToHandler(IEventHandlerSource& source, REFIID iid, const std::function<HRESULT(IUnknown*)>& call,
                      const FiringObserver& observe) {
    ComPtr<IUnknown> handler;
    const HRESULT got = source.Get(iid, handler.GetAddressOf());
    if (got != S_OK) return got;

    ComPtr<IUnknown> holder = Query(handler.Get(), iid);
    observe(FiringStep::Calling, S_OK);
    HRESULT status = Call(holder.Get(), call);
    if (IsRpcFailure(status)) {
        observe(FiringStep::FirstAttemptFailed, status);
        // The broken handler must not come back from the cache.
        source.Invalidate(handler.Get());
        holder.Reset();
        handler.Reset();
        const HRESULT again = source.Get(iid, handler.GetAddressOf());
        if (FAILED(again)) {
            observe(FiringStep::ReacquireFailed, again);
            return S_OK;
        }
        holder = Query(handler.Get(), iid);
        status = Call(holder.Get(), call);
        observe(SUCCEEDED(status) ? FiringStep::RefireSucceeded : FiringStep::RefireFailed, status);
    } else if (FAILED(status)) {
        observe(FiringStep::Failed, status);
    }
    return S_OK;
}

