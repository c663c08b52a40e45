#include "plugin/core/NuvConfigEventSink.h"

#include "plugin/core/NuvConfig.h"

#include <algorithm>
#include <chrono>

CNuvConfigEventSink::CNuvConfigEventSink(CNuvConfig* owner) noexcept : m_owner(owner) {}

void CNuvConfigEventSink::Attach(CNuvConfig* owner) noexcept {
    std::lock_guard<std::mutex> lock(m_lock);
    m_owner = owner;
}

bool CNuvConfigEventSink::Detach(DWORD timeoutMs) {
    const DWORD self = ::GetCurrentThreadId();
    std::unique_lock<std::mutex> lock(m_lock);
    m_owner = nullptr;
    return m_left.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return OnlyCallerInside(self); });
}

bool CNuvConfigEventSink::OnlyCallerInside(DWORD threadId) const noexcept {
    return std::all_of(m_callers.begin(), m_callers.end(), [&](DWORD caller) { return caller == threadId; });
}

STDMETHODIMP CNuvConfigEventSink::GetTypeInfoCount(UINT*) { return E_NOTIMPL; }

STDMETHODIMP CNuvConfigEventSink::GetTypeInfo(UINT, LCID, ITypeInfo**) { return E_NOTIMPL; }

STDMETHODIMP CNuvConfigEventSink::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return E_NOTIMPL; }

STDMETHODIMP CNuvConfigEventSink::Invoke(DISPID dispId, REFIID, LCID, WORD, DISPPARAMS* parameters, VARIANT*,
                                         EXCEPINFO*, UINT*) {
    return NuvCom::ComBoundary(L"CNuvConfigEventSink::Invoke", [&]() -> HRESULT {
        const DWORD self = ::GetCurrentThreadId();
        CNuvConfig* owner = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (m_owner == nullptr) return kDetached;
            owner = m_owner;
            m_callers.push_back(self);  // may throw std::bad_alloc: nothing entered yet
        }
        // Leaves the client even when the handler throws.
        struct Leave {
            CNuvConfigEventSink& sink;
            DWORD self;
            ~Leave() {
                std::lock_guard<std::mutex> lock(sink.m_lock);
                sink.m_callers.erase(std::find(sink.m_callers.begin(), sink.m_callers.end(), self));
                sink.m_left.notify_all();
            }
        } leave{*this, self};
        return owner->Invoke(dispId, parameters);
    });
}
