#pragma once
// The event-broker stand-in's records as owned C++ values, for tests of the stand-in and of the
// code that fires events. The stand-in's state lives as long as EventBrokerStandIn.dll stays
// loaded: keep a control object for the whole test, or COM may unload the DLL in between.

#include "EventBrokerControl.h"

#include "nuvutil/com/Bstr.h"
#include "nuvutil/com/HResultError.h"

#include <windows.h>
#include <objbase.h>
#include <wrl/client.h>

#include <array>
#include <cstring>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace EventBrokerStandIn {

// The stand-in keeps the most recent calls of each kind, so that a long run (a soak, a demo kept
// serving) does not grow with every event; older ones go first.
constexpr std::size_t kMaxRecordsPerKind = 4096;

struct BrokerCallRecord {
    std::optional<std::wstring> applicationName;
    std::optional<std::wstring> interfaceIdText;
    ULONGLONG context = 0;
    DWORD flags = 0;
    std::optional<IID> interfaceId;
    bool handlerOutPresent = false;
    bool statusOutPresent = false;
    HRESULT result = S_OK;
    DWORD status = 0;
    ULONG handlerSerial = 0;  // 0: no handler delivered
};

struct HandlerCallRecord {
    IID interfaceId = GUID_NULL;
    ULONG handlerSerial = 0;
    DWORD sessionId = 0;
    std::optional<std::array<BYTE, 24>> record;
    std::optional<std::wstring> text1;
    std::optional<std::wstring> text2;
    HRESULT result = S_OK;
};

// The control object (CoCreateInstance in the calling thread's apartment). Throws CHResultError.
inline Microsoft::WRL::ComPtr<IEventBrokerControl> CreateControl() {
    Microsoft::WRL::ComPtr<IEventBrokerControl> control;
    NuvCom::ThrowIfFailed(::CoCreateInstance(__uuidof(EventBrokerControl), nullptr, CLSCTX_INPROC_SERVER,
                                             IID_PPV_ARGS(&control)),
                          "CoCreateInstance(EventBrokerControl)");
    return control;
}

namespace detail {

inline NuvCom::CBstr Own(BSTR text) noexcept {
    NuvCom::CBstr owned;
    owned.Reset(text);
    return owned;
}

inline std::optional<std::wstring> Text(const NuvCom::CBstr& text) {
    if (text.Get() == nullptr) {
        return std::nullopt;
    }
    return text.Str();
}

}  // namespace detail

// Every GetHandler call so far, oldest first. Throws CHResultError.
inline std::vector<BrokerCallRecord> ReadBrokerCalls(IEventBrokerControl* control) {
    ULONG count = 0;
    NuvCom::ThrowIfFailed(control->GetBrokerCallCount(&count), "GetBrokerCallCount");
    std::vector<BrokerCallRecord> records;
    for (ULONG index = 0; index < count; ++index) {
        EventBrokerCall call{};
        NuvCom::ThrowIfFailed(control->GetBrokerCall(index, &call), "GetBrokerCall");
        const NuvCom::CBstr applicationName = detail::Own(call.applicationName);
        const NuvCom::CBstr interfaceIdText = detail::Own(call.interfaceIdText);
        BrokerCallRecord record;
        record.applicationName = detail::Text(applicationName);
        record.interfaceIdText = detail::Text(interfaceIdText);
        record.context = call.context;
        record.flags = call.flags;
        if (call.interfaceIdPresent) {
            record.interfaceId = call.interfaceId;
        }
        record.handlerOutPresent = call.handlerOutPresent != FALSE;
        record.statusOutPresent = call.statusOutPresent != FALSE;
        record.result = call.result;
        record.status = call.status;
        record.handlerSerial = call.handlerSerial;
        records.push_back(std::move(record));
    }
    return records;
}

// Every handler-method call so far, oldest first. Throws CHResultError.
inline std::vector<HandlerCallRecord> ReadHandlerCalls(IEventBrokerControl* control) {
    ULONG count = 0;
    NuvCom::ThrowIfFailed(control->GetHandlerCallCount(&count), "GetHandlerCallCount");
    std::vector<HandlerCallRecord> records;
    for (ULONG index = 0; index < count; ++index) {
        EventHandlerCall call{};
        NuvCom::ThrowIfFailed(control->GetHandlerCall(index, &call), "GetHandlerCall");
        const NuvCom::CBstr text1 = detail::Own(call.text1);
        const NuvCom::CBstr text2 = detail::Own(call.text2);
        HandlerCallRecord record;
        record.text1 = detail::Text(text1);
        record.text2 = detail::Text(text2);
        record.interfaceId = call.interfaceId;
        record.handlerSerial = call.handlerSerial;
        record.sessionId = call.sessionId;
        if (call.recordPresent) {
            std::array<BYTE, 24> bytes;
            std::memcpy(bytes.data(), call.record, bytes.size());
            record.record = bytes;
        }
        record.result = call.result;
        records.push_back(std::move(record));
    }
    return records;
}

}  // namespace EventBrokerStandIn
