#pragma once
// The stand-in configuration service of this test process, connected and emptied for a test.

#include <gtest/gtest.h>

#include <windows.h>
#include <configservice.h>
#include <wrl/client.h>

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

}  // namespace NuvTest
