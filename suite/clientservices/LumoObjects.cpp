#include "LumoObjects.h"

#include "LumoState.h"

#include "nuvutil/com/ComBoundary.h"

#include <oleauto.h>

#include <string>

namespace ClientServicesStandIn {
namespace {

std::wstring Text(BSTR text) { return text != nullptr ? std::wstring(text, ::SysStringLen(text)) : std::wstring(); }

HRESULT Copy(const std::wstring& text, BSTR* out) {
    *out = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

}  // namespace

STDMETHODIMP CLumoClientObject::GetAppInfo(BSTR request, BSTR* reply) {
    if (reply == nullptr) return E_POINTER;
    *reply = nullptr;
    return NuvCom::ComBoundary(L"CLumoClientObject::GetAppInfo", [&] {
        std::wstring answer;
        const HRESULT result = CLumoState::Instance().Call(Text(request), answer);
        return FAILED(result) ? result : Copy(answer, reply);
    });
}

HRESULT LumoCreation() noexcept { return CLumoState::Instance().Create(); }

STDMETHODIMP CLumoControlObject::Reset() {
    CLumoState::Instance().Reset();
    return S_OK;
}

STDMETHODIMP CLumoControlObject::SetCreationResult(HRESULT result) {
    CLumoState::Instance().SetCreationResult(result);
    return S_OK;
}

STDMETHODIMP CLumoControlObject::SetCallResult(HRESULT result) {
    CLumoState::Instance().SetCallResult(result);
    return S_OK;
}

STDMETHODIMP CLumoControlObject::SetReply(BSTR reply) {
    return NuvCom::ComBoundary(L"CLumoControlObject::SetReply", [&] {
        CLumoState::Instance().SetReply(Text(reply));
        return S_OK;
    });
}

STDMETHODIMP CLumoControlObject::GetCreationCount(ULONG* count) {
    if (count == nullptr) return E_POINTER;
    *count = CLumoState::Instance().CreationCount();
    return S_OK;
}

STDMETHODIMP CLumoControlObject::GetCallCount(ULONG* count) {
    if (count == nullptr) return E_POINTER;
    return NuvCom::ComBoundary(L"CLumoControlObject::GetCallCount", [&] {
        *count = static_cast<ULONG>(CLumoState::Instance().Requests().size());
        return S_OK;
    });
}

STDMETHODIMP CLumoControlObject::GetRequest(ULONG index, BSTR* request) {
    if (request == nullptr) return E_POINTER;
    *request = nullptr;
    return NuvCom::ComBoundary(L"CLumoControlObject::GetRequest", [&] {
        const std::vector<std::wstring> requests = CLumoState::Instance().Requests();
        return index < requests.size() ? Copy(requests[index], request) : E_INVALIDARG;
    });
}

}  // namespace ClientServicesStandIn
