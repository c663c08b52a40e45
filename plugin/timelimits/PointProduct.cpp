#include "plugin/timelimits/PointProduct.h"

#include "logging/Logging.h"
#include "plugin/timelimits/NotComDll.h"

#include <objbase.h>

#include <cwchar>

void CHeldPointProduct::Reset() noexcept {
    if (m_product != nullptr) {
        m_product->Release();
        m_product = nullptr;
    }
    m_library.Reset();
}

void CHeldPointProduct::Attach(ZrtFire::IPointProduct* product, Tessal::UniqueHModule library) noexcept {
    Reset();
    m_product = product;
    m_library = std::move(library);
}

bool _RegisterAsPointProduct(CHeldPointProduct& product, const GUID& productId) {
    product.Reset();
    DWORD error = ERROR_SUCCESS;
    ZrtFire::IPointProductFactory* factory = nullptr;
    CNotComDll library(ZrtFire::kControlLibrary);
    error = library.Load();
    if (error == ERROR_SUCCESS) {
        if (library.Handle() != nullptr) {
            const auto getInterface = reinterpret_cast<ZrtFire::NotComDllGetInterfaceFunction>(
                reinterpret_cast<void*>(::GetProcAddress(library.Handle(), ZrtFire::kGetInterfaceExport)));
            if (getInterface == nullptr) {
                error = ::GetLastError();
            } else {
                void* out = nullptr;
                error = static_cast<DWORD>(getInterface(ZrtFire::kPointProductFactoryName, &out));
                factory = error == ERROR_SUCCESS ? static_cast<ZrtFire::IPointProductFactory*>(out) : nullptr;
                if (error == ERROR_SUCCESS && factory == nullptr) error = ERROR_INVALID_FUNCTION;
            }
        } else {
            error = ::GetLastError();
            if (error == ERROR_SUCCESS) error = ERROR_FILE_NOT_FOUND;
        }
    }
    if (error != ERROR_SUCCESS) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"SarvexRegisterPointProductCreate failed (0x%08X)", error);
        return false;
    }
    ZrtFire::IPointProduct* registered = nullptr;
    const ZrtFire::Result result = factory->Register(&registered, &ZrtFire::kPointProductInterface, &productId);
    factory->Release();
    if (result != 0 || registered == nullptr) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Registration failed (0x%08X)", static_cast<unsigned>(result));
        if (registered != nullptr) registered->Release();
        return false;
    }
    product.Attach(registered, library.Detach());
    return true;
}

bool _OpenPolicyBuilder(ZrtFire::IPointProduct* product, ZrtFire::Ref<ZrtFire::IPolicyManager>& policies,
                        ZrtFire::Ref<ZrtFire::IPolicyBuilder>& policy) {
    const ZrtFire::Result got = product->GetInterface(policies.PutVoid(), &ZrtFire::kPolicyManagerInterface);
    if (!policies) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to get policy manager (0x%08X)", static_cast<unsigned>(got));
        return false;
    }
    policies->CreatePolicyBuilder(policy.Put());
    if (!policy) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to create policy builder");
        return false;
    }
    return true;
}

std::wstring IpAddressToText(const ZrtFire::Address& address) {
    wchar_t text[48] = {};
    const BYTE* b = address.bytes;
    if (address.family == 4) {
        std::swprintf(text, 48, L"%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    } else if (address.family == 6) {
        std::swprintf(text, 48, L"%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x", b[0], b[1],
                      b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    }
    return text;
}

std::wstring GuidText(const GUID& id) {
    wchar_t text[40] = {};
    ::StringFromGUID2(id, text, 40);
    return text;
}
