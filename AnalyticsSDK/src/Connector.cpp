#include "AnalyticsAPI/Analytics.h"

#include "base/CommonReplacements.h"

#include <objbase.h>
#include <oleauto.h>

#include <cstdio>
#include <mutex>
#include <vector>

namespace Korin {
namespace Analytics {
namespace {

std::mutex g_selectLock;
std::vector<std::shared_ptr<internal::ITransport>> g_registered;

const std::vector<std::shared_ptr<internal::ITransport>>& DefaultTransports() {
    static const std::vector<std::shared_ptr<internal::ITransport>> transports = {
        std::make_shared<CLegacyTransport>(), std::make_shared<CNullTransport>()};
    return transports;
}

struct ServiceCall {
    BSTR first = nullptr, record = nullptr, third = nullptr;
    ~ServiceCall() {
        ::SysFreeString(first);
        ::SysFreeString(record);
        ::SysFreeString(third);
    }
};

}  // namespace

// {E782BE15-9936-4A7F-8DF9-9AB95D229DF1}
const CLSID CLegacyTransport::kDefaultClassId = {0xE782BE15, 0x9936, 0x4A7F, {0x8D, 0xF9, 0x9A, 0xB9, 0x5D, 0x22, 0x9D, 0xF1}};
// {AC29BAF7-7EFF-4A82-8B29-76B1A3E27A6D}
static const IID kServiceInterface = {0xAC29BAF7, 0x7EFF, 0x4A82, {0x8B, 0x29, 0x76, 0xB1, 0xA3, 0xE2, 0x7A, 0x6D}};
static constexpr DWORD kServiceContext = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;

// The service's one method after IUnknown's.
struct IServiceVtbl : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Track(BSTR first, BSTR record, BSTR third) = 0;
};

CComInitializer::CComInitializer() noexcept {
    const HRESULT result = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    m_initialized = result == S_OK || result == S_FALSE;
}

void CComInitializer::Uninitialize() noexcept {
    if (m_initialized) ::CoUninitialize();
    m_initialized = false;
}

CLegacyTransport::CLegacyTransport(const CLSID* classId)
    : CBaseTransport(L"Legacy", 1),
      m_classId(classId == nullptr || ::IsEqualGUID(*classId, GUID_NULL) ? kDefaultClassId : *classId),
      m_formatter(std::make_unique<CJSONFormatter>()) {}

bool CLegacyTransport::Open() {
    CComInitializer com;
    IUnknown* service = nullptr;
    if (FAILED(::CoCreateInstance(m_classId, nullptr, kServiceContext, kServiceInterface, reinterpret_cast<void**>(&service))) ||
        service == nullptr) {
        return false;
    }
    service->Release();
    return true;
}

bool CLegacyTransport::Send(const Record& record) {
    if (!m_formatter) return false;
    CComInitializer com;
    IServiceVtbl* service = nullptr;
    if (FAILED(::CoCreateInstance(m_classId, nullptr, kServiceContext, kServiceInterface, reinterpret_cast<void**>(&service))) ||
        service == nullptr) {
        return false;
    }
    bool sent = false;
    std::wstring json;
    if (m_formatter->Format(record, json)) {
        ServiceCall call;
        call.first = ::SysAllocString(L"");
        call.record = ::SysAllocString(json.c_str());
        call.third = ::SysAllocString(L"");
        if (call.first != nullptr && call.record != nullptr && call.third != nullptr) {
            sent = SUCCEEDED(service->Track(call.first, call.record, call.third));
        }
    }
    service->Release();
    return sent;
}

void RegisterTransport(std::shared_ptr<internal::ITransport> transport) {
    std::lock_guard<std::mutex> lock(g_selectLock);
    g_registered.push_back(std::move(transport));
}

void ClearRegisteredTransports() {
    std::lock_guard<std::mutex> lock(g_selectLock);
    g_registered.clear();
}

std::shared_ptr<internal::ITransport> CSDKConnector::SelectTransport() {
    std::lock_guard<std::mutex> lock(g_selectLock);
    const std::vector<std::shared_ptr<internal::ITransport>>* const lists[] = {&g_registered, &DefaultTransports()};
    for (const auto* list : lists) {
        for (const auto& transport : *list) {
            if (transport->Open()) return transport;
            transport->Close();
        }
    }
    return std::make_shared<CNullTransport>();
}

bool CSDKConnector::Connect() {
    m_transport.reset();
    m_transport = SelectTransport();
    return m_transport != nullptr;
}

bool CSDKConnector::Send(Record record) {
    if (!m_transport) return false;
    std::wstring caller = L"$(App.Path)";
    Tessal::CommonReplacements().Replace(caller);
    std::wstring doubled;
    for (const wchar_t c : caller) {
        doubled += c;
        if (c == L'\\') doubled += L'\\';
    }
    record[L"__caller.name"] = doubled;
    record[L"__transport.name"] = m_transport->GetName() + L" v" + std::to_wstring(m_transport->GetVersion());
    return m_transport->Send(record);
}

void CSDKConnector::Disconnect() { m_transport.reset(); }

bool CJSONFormatter::NeedsEscape(wchar_t c) noexcept {
    return c < 0x20 || c == L'"' || c == L'/' || c == L'\\' || (c >= 0x7F && c <= 0x9F);
}

std::wstring CJSONFormatter::GetEscapeSequence(wchar_t c) {
    switch (c) {
        case L'\b': return L"\\b";
        case L'\t': return L"\\t";
        case L'\n': return L"\\n";
        case L'\f': return L"\\f";
        case L'\r': return L"\\r";
        case L'"': return L"\\\"";
        case L'/': return L"\\/";
        case L'\\': return L"\\\\";
        default: {
            wchar_t text[8];
            std::swprintf(text, 8, L"\\u%04X", static_cast<unsigned>(c));
            return text;
        }
    }
}

bool CJSONFormatter::Format(const Record& record, std::wstring& text) {
    text.clear();
    if (record.empty()) return false;
    const auto escaped = [](const std::wstring& value) {
        std::wstring out;
        out.reserve(value.size());
        for (const wchar_t c : value) {
            if (NeedsEscape(c)) {
                out += GetEscapeSequence(c);
            } else {
                out += c;
            }
        }
        return out;
    };
    text.reserve(record.size() * 6 + 1);
    text += L'{';
    for (const auto& dimension : record) {
        text += L'"';
        text += escaped(dimension.first);
        text += L"\":\"";
        text += escaped(dimension.second);
        text += L"\",";
    }
    text.back() = L'}';
    return true;
}

}  // namespace Analytics
}  // namespace Korin
