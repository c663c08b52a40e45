#include "EventHandlers.h"

#include "EventBrokerState.h"
#include "eventbroker.h"

#include "nuvutil/com/ComBoundary.h"
#include "nuvutil/com/ComObject.h"

#include <cstring>
#include <utility>

namespace EventBrokerStandIn {

namespace {

static_assert(sizeof(UrlVisitedEventData) == 24 && sizeof(AccessDeniedEventData) == 24,
              "the records are 24 bytes on both sides");

// Registers the handler with the state for its lifetime: serial number and live count.
class CHandlerLife {
public:
    CHandlerLife() noexcept : m_serial(CEventBrokerState::Instance().HandlerCreated()) {}
    ~CHandlerLife() { CEventBrokerState::Instance().HandlerDestroyed(); }
    CHandlerLife(const CHandlerLife&) = delete;
    CHandlerLife& operator=(const CHandlerLife&) = delete;

    ULONG Serial() const noexcept { return m_serial; }

private:
    ULONG m_serial;
};

template <class Interface>
class CRecordingHandler : public NuvCom::CComObjectBase<Interface> {
public:
    ULONG Serial() const noexcept { return m_life.Serial(); }

protected:
    // Stores the call with the result steered for this interface, and answers that result.
    HRESULT Record(StoredHandlerCall call) {
        CEventBrokerState& state = CEventBrokerState::Instance();
        call.interfaceId = __uuidof(Interface);
        call.handlerSerial = m_life.Serial();
        call.result = state.TakeHandlerResult(__uuidof(Interface));
        const HRESULT result = call.result;
        state.RecordHandlerCall(std::move(call));
        return result;
    }

private:
    CHandlerLife m_life;
};

template <class Record>
std::array<BYTE, 24> RecordBytes(const Record* data) {
    std::array<BYTE, 24> bytes;
    std::memcpy(bytes.data(), data, bytes.size());
    return bytes;
}

std::optional<std::wstring> Text(const wchar_t* text) {
    if (text == nullptr) {
        return std::nullopt;
    }
    return std::wstring(text);
}

class CSignInHandler final : public CRecordingHandler<ISignInEventHandler> {
public:
    STDMETHODIMP OnSignInEvent() override {
        return NuvCom::ComBoundary(L"CSignInHandler::OnSignInEvent", [&] { return Record({}); });
    }
};

class CSignOutHandler final : public CRecordingHandler<ISignOutEventHandler> {
public:
    STDMETHODIMP OnSignOutEvent() override {
        return NuvCom::ComBoundary(L"CSignOutHandler::OnSignOutEvent", [&] { return Record({}); });
    }
};

class CSignInRequiredHandler final : public CRecordingHandler<ISignInRequiredEventHandler> {
public:
    STDMETHODIMP OnSignInRequiredEvent(DWORD sessionId) override {
        return NuvCom::ComBoundary(L"CSignInRequiredHandler::OnSignInRequiredEvent", [&] {
            StoredHandlerCall call;
            call.sessionId = sessionId;
            return Record(std::move(call));
        });
    }
};

class CUrlVisitedHandler final : public CRecordingHandler<IUrlVisitedEventHandler> {
public:
    STDMETHODIMP OnUrlVisitedEvent(const UrlVisitedEventData* data) override {
        return NuvCom::ComBoundary(L"CUrlVisitedHandler::OnUrlVisitedEvent", [&] {
            StoredHandlerCall call;
            if (data != nullptr) {
                call.record = RecordBytes(data);
                call.text1 = Text(data->host);
                call.text2 = Text(data->path);
            }
            return Record(std::move(call));
        });
    }
};

class CAccessDeniedHandler final : public CRecordingHandler<IAccessDeniedEventHandler> {
public:
    STDMETHODIMP OnAccessDeniedEvent(const AccessDeniedEventData* data) override {
        return NuvCom::ComBoundary(L"CAccessDeniedHandler::OnAccessDeniedEvent", [&] {
            StoredHandlerCall call;
            if (data != nullptr) {
                call.record = RecordBytes(data);
                call.text1 = Text(data->url);
            }
            return Record(std::move(call));
        });
    }
};

// Answers IUnknown only.
class CBareHandler final : public NuvCom::CComObjectBase<IUnknown> {
public:
    ULONG Serial() const noexcept { return m_life.Serial(); }

private:
    CHandlerLife m_life;
};

template <class Handler>
Microsoft::WRL::ComPtr<IUnknown> Create(ULONG* serial) {
    Microsoft::WRL::ComPtr<Handler> handler = NuvCom::MakeComObject<Handler>();
    *serial = handler->Serial();
    Microsoft::WRL::ComPtr<IUnknown> identity;
    handler.As(&identity);
    return identity;
}

}  // namespace

Microsoft::WRL::ComPtr<IUnknown> CreateHandler(EventBrokerHandlerKind kind, const IID& iid, ULONG* serial) {
    *serial = 0;
    if (kind == EventBrokerHandler_WithoutInterface) {
        return Create<CBareHandler>(serial);
    }
    if (kind != EventBrokerHandler_Recording) {
        return nullptr;
    }
    if (::IsEqualIID(iid, __uuidof(ISignInEventHandler))) {
        return Create<CSignInHandler>(serial);
    }
    if (::IsEqualIID(iid, __uuidof(ISignOutEventHandler))) {
        return Create<CSignOutHandler>(serial);
    }
    if (::IsEqualIID(iid, __uuidof(ISignInRequiredEventHandler))) {
        return Create<CSignInRequiredHandler>(serial);
    }
    if (::IsEqualIID(iid, __uuidof(IUrlVisitedEventHandler))) {
        return Create<CUrlVisitedHandler>(serial);
    }
    if (::IsEqualIID(iid, __uuidof(IAccessDeniedEventHandler))) {
        return Create<CAccessDeniedHandler>(serial);
    }
    return nullptr;
}

}  // namespace EventBrokerStandIn
