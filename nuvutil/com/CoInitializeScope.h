#pragma once
// CoInitializeEx for a scope. Uninitialises only when the call succeeded (S_OK or S_FALSE: both
// take a reference on the apartment); RPC_E_CHANGED_MODE leaves the thread's apartment alone.

#include <windows.h>
#include <objbase.h>

namespace NuvCom {

class CCoInitialize {
public:
    explicit CCoInitialize(DWORD flags = COINIT_MULTITHREADED) noexcept : m_hr(::CoInitializeEx(nullptr, flags)) {}
    ~CCoInitialize() {
        if (SUCCEEDED(m_hr)) {
            ::CoUninitialize();
        }
    }
    CCoInitialize(const CCoInitialize&) = delete;
    CCoInitialize& operator=(const CCoInitialize&) = delete;

    HRESULT Result() const noexcept { return m_hr; }
    bool Succeeded() const noexcept { return SUCCEEDED(m_hr); }

private:
    HRESULT m_hr;
};

}  // namespace NuvCom
