#pragma once
// The alert stand-in's records as owned C++ values, for tests of the stand-in and of the code
// that shows alerts. The stand-in's state lives as long as AlertStandIn.dll stays loaded: keep a
// control object for the whole test, or COM may unload the DLL in between.

#include "AlertControl.h"

#include "nuvutil/com/Bstr.h"
#include "nuvutil/com/HResultError.h"

#include <windows.h>
#include <objbase.h>
#include <wrl/client.h>

#include <optional>
#include <string>
#include <vector>

namespace AlertStandIn {

struct CreationRecord {
    QvAlertCreationPath path = QvAlertCreation_ClassFactory;
    IID interfaceId = GUID_NULL;
    HRESULT result = S_OK;
};

struct CallRecord {
    QvAlertMethod method = QvAlertMethod_ShowAlert;
    std::wstring title;
    std::wstring heading;
    std::wstring body;
    std::wstring footnote;
    std::wstring applicationName;
    std::wstring alertId;
    LONG kind = 0;
    LONG count = 0;
    LONG timeOut = 0;
    VARIANT_BOOL flag1 = VARIANT_FALSE;
    VARIANT_BOOL flag2 = VARIANT_FALSE;
    std::optional<std::wstring> buttons;  // ShowAlertWithButtons with a buttons pointer
    bool callbackPresent = false;
    std::wstring responseText;
    HRESULT result = S_OK;
};

// The control object (CoCreateInstance in the calling thread's apartment). Throws CHResultError.
inline Microsoft::WRL::ComPtr<IQvAlertControl> CreateControl() {
    Microsoft::WRL::ComPtr<IQvAlertControl> control;
    NuvCom::ThrowIfFailed(::CoCreateInstance(__uuidof(QvAlertControl), nullptr, CLSCTX_INPROC_SERVER,
                                             IID_PPV_ARGS(&control)),
                          "CoCreateInstance(QvAlertControl)");
    return control;
}

// Every creation of an alert object so far, oldest first. Throws CHResultError.
inline std::vector<CreationRecord> ReadCreations(IQvAlertControl* control) {
    ULONG count = 0;
    NuvCom::ThrowIfFailed(control->GetCreationCount(&count), "GetCreationCount");
    std::vector<CreationRecord> records;
    for (ULONG index = 0; index < count; ++index) {
        QvAlertCreation creation{};
        NuvCom::ThrowIfFailed(control->GetCreation(index, &creation), "GetCreation");
        records.push_back({creation.path, creation.interfaceId, creation.result});
    }
    return records;
}

// Every show call so far, oldest first. Throws CHResultError.
inline std::vector<CallRecord> ReadCalls(IQvAlertControl* control) {
    ULONG count = 0;
    NuvCom::ThrowIfFailed(control->GetCallCount(&count), "GetCallCount");
    std::vector<CallRecord> records;
    for (ULONG index = 0; index < count; ++index) {
        QvAlertCall call{};
        NuvCom::ThrowIfFailed(control->GetCall(index, &call), "GetCall");
        NuvCom::CBstr texts[8];
        BSTR* const fields[8] = {&call.title,           &call.heading, &call.body,    &call.footnote,
                                 &call.applicationName, &call.alertId, &call.buttons, &call.responseText};
        for (int i = 0; i < 8; ++i) {
            texts[i].Reset(*fields[i]);
        }
        CallRecord record;
        record.method = call.method;
        record.title = texts[0].Str();
        record.heading = texts[1].Str();
        record.body = texts[2].Str();
        record.footnote = texts[3].Str();
        record.applicationName = texts[4].Str();
        record.alertId = texts[5].Str();
        if (texts[6].Get() != nullptr) {
            record.buttons = texts[6].Str();
        }
        record.responseText = texts[7].Str();
        record.kind = call.kind;
        record.count = call.count;
        record.timeOut = call.timeOut;
        record.flag1 = call.flag1;
        record.flag2 = call.flag2;
        record.callbackPresent = call.callbackPresent != FALSE;
        record.result = call.result;
        records.push_back(std::move(record));
    }
    return records;
}

}  // namespace AlertStandIn
