#include "AnalyticsAPI/Analytics.h"

#include "base/CommonReplacements.h"
#include "nuvutil/com/Bstr.h"
#include "nuvutil/com/CoInitializeScope.h"
#include "nuvutil/json/JsonText.h"

#include <objbase.h>
#include <oleauto.h>

#include <mutex>
#include <new>
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

CLegacyTransport::CLegacyTransport(const CLSID* classId)
    : CBaseTransport(L"Legacy", 1),
      m_classId(classId == nullptr || ::IsEqualGUID(*classId, GUID_NULL) ? kDefaultClassId : *classId),
      m_formatter(std::make_unique<CJSONFormatter>()) {}

bool CLegacyTransport::Open() {
    const NuvCom::CCoInitialize com;
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
    const NuvCom::CCoInitialize com;
    IServiceVtbl* service = nullptr;
    if (FAILED(::CoCreateInstance(m_classId, nullptr, kServiceContext, kServiceInterface, reinterpret_cast<void**>(&service))) ||
        service == nullptr) {
        return false;
    }
    bool sent = false;
    std::wstring json;
    if (m_formatter->Format(record, json)) {
        try {
            const NuvCom::CBstr first(L""), text(json.c_str()), third(L"");
            sent = SUCCEEDED(service->Track(first.Get(), text.Get(), third.Get()));
        } catch (const std::bad_alloc&) {
            // The record is dropped, as when the service cannot be reached.
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

bool CJSONFormatter::Format(const Record& record, std::wstring& text) {
    text.clear();
    if (record.empty()) return false;
    NuvJson::Document document(rapidjson::kObjectType);
    NuvJson::Allocator& allocator = document.GetAllocator();
    const auto copy = [&allocator](const std::wstring& value) {
        return NuvJson::Value(value.data(), static_cast<rapidjson::SizeType>(value.size()), allocator);
    };
    for (const auto& dimension : record) document.AddMember(copy(dimension.first), copy(dimension.second), allocator);
    return NuvJson::ToString(document, text, NuvJson::Escapes::kSolidusAndC1);
}

}  // namespace Analytics
}  // namespace Korin
