#pragma once
// The stand-in configuration service of this test process, connected and emptied for a test.

#include <gtest/gtest.h>

#include <windows.h>
#include <configservice.h>
#include <wrl/client.h>

#include <string>

namespace NuvTest {

// Creates the service's object as its clients do, takes its control interface and resets the
// service's process-wide state.
inline ::testing::AssertionResult ConnectConfigService(Microsoft::WRL::ComPtr<IQvConfigCategory>& service,
                                                       Microsoft::WRL::ComPtr<IQvConfigServiceControl>& control) {
    HRESULT hr = ::CoCreateInstance(CLSID_QvPSConfig, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER,
                                    IID_IQvConfigCategory, &service);
    if (FAILED(hr)) {
        return ::testing::AssertionFailure() << "the stand-in configuration service is not registered (0x" << std::hex
                                             << hr << ")";
    }
    if (FAILED(hr = service.As(&control)) || FAILED(hr = control->Reset())) {
        return ::testing::AssertionFailure() << "the service's control failed (0x" << std::hex << hr << ")";
    }
    return ::testing::AssertionSuccess();
}

// How often the service saw a call, by "Interface.Method(first argument)" or the name alone.
inline ULONG ServiceCallCount(IQvConfigServiceControl* control, const wchar_t* call) {
    ULONG count = 0;
    BSTR name = ::SysAllocString(call);
    const HRESULT hr = control->GetCallCount(name, &count);
    ::SysFreeString(name);
    EXPECT_HRESULT_SUCCEEDED(hr);
    return count;
}

// Every call the service saw, one a line, as narrow text for messages and searches.
inline std::string ServiceCallLog(IQvConfigServiceControl* control) {
    BSTR log = nullptr;
    std::string text;
    if (SUCCEEDED(control->GetCallLog(&log))) {
        for (const wchar_t* c = log; c != nullptr && *c != 0; ++c) text.push_back(static_cast<char>(*c));
    }
    ::SysFreeString(log);
    return text;
}

}  // namespace NuvTest
