// The analytics service stand-in: the service class (the suite's class id) records the JSON record
// of every Track call and answers what tests steer; the control class reads and steers it.
#include "AnalyticsControl.h"
#include "analytics.h"

#include "base/Sync.h"
#include "nuvutil/com/ClassFactory.h"
#include "nuvutil/com/ComBoundary.h"
#include "nuvutil/com/ComObject.h"
#include "nuvutil/com/Module.h"
#include "nuvutil/com/Registration.h"
#include "nuvutil/com/ServerExports.h"

#include <oleauto.h>

#include <string>
#include <vector>

namespace {

class CAnalyticsState {
public:
    static CAnalyticsState& Instance() {
        static CAnalyticsState state;
        return state;
    }
    void Reset() {
        Tessal::CAutoLock lock(m_lock);
        m_creationResult = m_callResult = S_OK;
        m_creations = 0;
        m_records.clear();
    }
    HRESULT Create() {
        Tessal::CAutoLock lock(m_lock);
        ++m_creations;
        return m_creationResult;
    }
    HRESULT Track(const std::wstring& record) {
        Tessal::CAutoLock lock(m_lock);
        m_records.push_back(record);
        return m_callResult;
    }
    void SetCreationResult(HRESULT result) {
        Tessal::CAutoLock lock(m_lock);
        m_creationResult = result;
    }
    void SetCallResult(HRESULT result) {
        Tessal::CAutoLock lock(m_lock);
        m_callResult = result;
    }
    ULONG Creations() {
        Tessal::CAutoLock lock(m_lock);
        return m_creations;
    }
    std::vector<std::wstring> Records() {
        Tessal::CAutoLock lock(m_lock);
        return m_records;
    }

private:
    Tessal::CCriticalSection m_lock;
    HRESULT m_creationResult = S_OK;
    HRESULT m_callResult = S_OK;
    ULONG m_creations = 0;
    std::vector<std::wstring> m_records;
};

std::wstring Text(BSTR text) { return text != nullptr ? std::wstring(text, ::SysStringLen(text)) : std::wstring(); }

class CServiceObject final : public NuvCom::CComObjectBase<IQvAnalyticsService> {
public:
    STDMETHODIMP Track(BSTR, BSTR record, BSTR) override {
        return NuvCom::ComBoundary(L"CServiceObject::Track", [&] { return CAnalyticsState::Instance().Track(Text(record)); });
    }
};

// Creation can be made to fail.
HRESULT ServiceCreation() noexcept { return CAnalyticsState::Instance().Create(); }
using CServiceClassObject = NuvCom::CClassFactory<CServiceObject, &ServiceCreation>;

class CControlObject final : public NuvCom::CComObjectBase<IQvAnalyticsControl> {
public:
    STDMETHODIMP Reset() override {
        CAnalyticsState::Instance().Reset();
        return S_OK;
    }
    STDMETHODIMP SetCreationResult(HRESULT result) override {
        CAnalyticsState::Instance().SetCreationResult(result);
        return S_OK;
    }
    STDMETHODIMP SetCallResult(HRESULT result) override {
        CAnalyticsState::Instance().SetCallResult(result);
        return S_OK;
    }
    STDMETHODIMP GetCreationCount(ULONG* count) override {
        if (count == nullptr) return E_POINTER;
        *count = CAnalyticsState::Instance().Creations();
        return S_OK;
    }
    STDMETHODIMP GetRecordCount(ULONG* count) override {
        if (count == nullptr) return E_POINTER;
        *count = static_cast<ULONG>(CAnalyticsState::Instance().Records().size());
        return S_OK;
    }
    STDMETHODIMP GetRecord(ULONG index, BSTR* record) override {
        if (record == nullptr) return E_POINTER;
        *record = nullptr;
        return NuvCom::ComBoundary(L"CControlObject::GetRecord", [&] {
            const std::vector<std::wstring> records = CAnalyticsState::Instance().Records();
            if (index >= records.size()) return E_INVALIDARG;
            *record = ::SysAllocStringLen(records[index].data(), static_cast<UINT>(records[index].size()));
            return *record != nullptr ? S_OK : E_OUTOFMEMORY;
        });
    }
};

const NuvCom::ComClassDescription kClasses[] = {
    {__uuidof(QvAnalyticsService), L"QvAnalyticsService Class", nullptr, nullptr, NuvCom::ThreadingModel::Both,
     GUID_NULL, false, &CServiceClassObject::GetClassObject},
    {__uuidof(QvAnalyticsControl), L"QvAnalyticsControl Class", nullptr, nullptr, NuvCom::ThreadingModel::Both,
     GUID_NULL, false, &NuvCom::CClassFactory<CControlObject>::GetClassObject},
};

const NuvCom::ComServerDescription kServer = {kClasses};

}  // namespace

NUVCOM_SERVER_EXPORTS(kServer)
