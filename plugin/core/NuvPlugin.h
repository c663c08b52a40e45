#pragma once
// The COM class the proxy host creates: IQvPlugin over the module object. No state of its own.

#include "nuvutil/com/ComObject.h"

#include <windows.h>
#include <proxyhost.h>

class CNuvModule;

// {08533142-6DAA-40C0-829F-098475E66646}
constexpr CLSID CLSID_NuvPlugin = {0x08533142, 0x6DAA, 0x40C0, {0x82, 0x9F, 0x09, 0x84, 0x75, 0xE6, 0x66, 0x46}};
// {E9A45E1C-A219-416B-9E79-3C61B547209D}
constexpr GUID APPID_Nuv = {0xE9A45E1C, 0xA219, 0x416B, {0x9E, 0x79, 0x3C, 0x61, 0xB5, 0x47, 0x20, 0x9D}};

// The one module object of the DLL (nuv.cpp).
CNuvModule& TheNuvModule() noexcept;

class CNuvPlugin final : public NuvCom::CComObjectBase<IQvPlugin> {
public:
    CNuvPlugin() noexcept : m_module(TheNuvModule()) {}
    explicit CNuvPlugin(CNuvModule& module) noexcept : m_module(module) {}

    STDMETHODIMP Initialize(DWORD* first, DWORD* second) override;
    STDMETHODIMP Deinitialize() override;
    STDMETHODIMP GetProtocolHandler(int protocol, DWORD sessionId, DWORD processId, IUnknown** handler,
                                    DWORD* reserved) override;

private:
    HRESULT GetProtocolHandlerChecked(int protocol, DWORD sessionId, DWORD processId, IUnknown** handler);
    void SignInTemporaryAdult(DWORD sessionId);

    CNuvModule& m_module;
};
