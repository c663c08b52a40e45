#include "EventBroker.h"

#include "EventBrokerState.h"
#include "EventHandlers.h"

#include "nuvutil/com/ComBoundary.h"

#include <cwchar>
#include <optional>
#include <string>
#include <utility>

namespace EventBrokerStandIn {

namespace {

// The suite's handlers are registered for this application only.
constexpr wchar_t kApplicationName[] = L"NUV";

std::optional<std::wstring> Text(const wchar_t* text) {
    if (text == nullptr) {
        return std::nullopt;
    }
    return std::wstring(text);
}

// Fills in the answer of one request: result, status, and the handler delivered with its serial.
void Answer(const wchar_t* applicationName, const wchar_t* interfaceIdText, const IID* interfaceId, bool outsPresent,
            StoredBrokerCall& call, Microsoft::WRL::ComPtr<IUnknown>& delivered) {
    if (!outsPresent) {
        call.result = E_POINTER;
        return;
    }
    if (applicationName == nullptr || interfaceIdText == nullptr || interfaceId == nullptr) {
        call.result = E_INVALIDARG;
        call.status = ERROR_INVALID_PARAMETER;
        return;
    }
    // The text and the id must name the same interface.
    IID parsed = GUID_NULL;
    if (FAILED(::IIDFromString(interfaceIdText, &parsed)) || !::IsEqualIID(parsed, *interfaceId)) {
        call.result = E_INVALIDARG;
        call.status = ERROR_INVALID_PARAMETER;
        return;
    }
    if (std::wcscmp(applicationName, kApplicationName) != 0) {
        call.result = REGDB_E_CLASSNOTREG;
        call.status = ERROR_NOT_FOUND;
        return;
    }
    const BrokerAnswer answer = CEventBrokerState::Instance().TakeBrokerAnswer(*interfaceId);
    call.result = answer.result;
    call.status = answer.status;
    if (FAILED(answer.result)) {
        return;  // never a handler with a failure
    }
    delivered = CreateHandler(answer.handler, *interfaceId, &call.handlerSerial);
    if (answer.handler == EventBrokerHandler_Recording && !delivered) {
        call.result = E_NOINTERFACE;  // no recording handler exists for this interface
    }
}

}  // namespace

STDMETHODIMP CEventBroker::GetHandler(LPCWSTR applicationName, LPCWSTR interfaceIdText, void* context, DWORD flags,
                                      const IID* interfaceId, IUnknown** handler, DWORD* status) {
    if (handler != nullptr) {
        *handler = nullptr;
    }
    if (status != nullptr) {
        *status = 0;
    }
    return NuvCom::ComBoundary(L"CEventBroker::GetHandler", [&] {
        StoredBrokerCall call;
        call.applicationName = Text(applicationName);
        call.interfaceIdText = Text(interfaceIdText);
        call.context = reinterpret_cast<ULONG_PTR>(context);
        call.flags = flags;
        if (interfaceId != nullptr) {
            call.interfaceId = *interfaceId;
        }
        call.handlerOutPresent = handler != nullptr;
        call.statusOutPresent = status != nullptr;

        Microsoft::WRL::ComPtr<IUnknown> delivered;
        Answer(applicationName, interfaceIdText, interfaceId, handler != nullptr && status != nullptr, call, delivered);
        const HRESULT result = call.result;
        const DWORD answeredStatus = call.status;
        CEventBrokerState::Instance().RecordBrokerCall(std::move(call));
        if (status != nullptr) {
            *status = answeredStatus;
        }
        if (handler != nullptr) {
            *handler = delivered.Detach();
        }
        return result;
    });
}

HRESULT BrokerCreation() noexcept { return CEventBrokerState::Instance().CreationResult(); }

}  // namespace EventBrokerStandIn
