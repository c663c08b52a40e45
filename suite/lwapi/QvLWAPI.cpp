// Stand-in for the suite's lightweight API DLL: statistics kept in memory, protection providers
// counted, and every call written to the record file a test names (QvLWAPIStandIn.h).

#include "base/TextConversion.h"
#include "suite/lwapi/QvLWAPIStandIn.h"

#include "base/Sync.h"
#include "base/UniqueHandle.h"

#include <windows.h>
#include <oleauto.h>

#include <cwchar>
#include <map>
#include <new>
#include <string>

namespace {

std::wstring Environment(const wchar_t* name) {
    wchar_t value[MAX_PATH] = {};
    const DWORD length = ::GetEnvironmentVariableW(name, value, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(value, length) : std::wstring();
}

std::string Utf8(const std::wstring& text) { return Tessal::ToUtf8(text); }

std::string Hex(DWORD value) {
    char text[11] = "0x";
    static const char digits[] = "0123456789ABCDEF";
    for (int i = 0; i < 8; ++i) text[2 + i] = digits[(value >> (28 - 4 * i)) & 0xF];
    return text;
}

// One line per call, appended whole, so concurrent callers do not interleave.
void Record(const std::string& line) {
    const std::wstring path = Environment(QVLWAPI_RECORD_VARIABLE);
    if (path.empty()) return;
    Tessal::UniqueHandle file(::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    const std::string text = line + "\r\n";
    DWORD written = 0;
    ::WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// The HRESULT the test asked every export to fail with; S_OK when none.
HRESULT ForcedFailure() {
    const std::wstring text = Environment(QVLWAPI_FAIL_VARIABLE);
    return text.empty() ? S_OK : static_cast<HRESULT>(std::wcstoul(text.c_str(), nullptr, 16));
}

std::string ValueText(const VARIANT* value) {
    if (value == nullptr) return "(null)";
    VARIANT text;
    ::VariantInit(&text);
    std::string result = "?";
    if (SUCCEEDED(::VariantChangeType(&text, const_cast<VARIANT*>(value), 0, VT_BSTR)) && text.bstrVal != nullptr) {
        result = Utf8(std::wstring(text.bstrVal, ::SysStringLen(text.bstrVal)));
    }
    ::VariantClear(&text);
    return result;
}

std::wstring Text(const wchar_t* text) { return text != nullptr ? text : L"(null)"; }

class Store {
public:
    ~Store() {
        for (auto& entry : m_values) ::VariantClear(&entry.second);
    }

    HRESULT Put(const std::wstring& key, const VARIANT* value) {
        Tessal::CAutoLock lock(m_lock);
        VARIANT& slot = m_values[key];  // value-initialised: VT_EMPTY
        return ::VariantCopy(&slot, const_cast<VARIANT*>(value));  // only read
    }
    HRESULT Get(const std::wstring& key, VARIANT* value) {
        Tessal::CAutoLock lock(m_lock);
        const auto found = m_values.find(key);
        if (found == m_values.end()) return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
        ::VariantInit(value);
        return ::VariantCopy(value, &found->second);
    }
    DWORD NewCookie() {
        Tessal::CAutoLock lock(m_lock);
        return ++m_lastCookie;
    }
    bool IsCookie(DWORD cookie) {
        Tessal::CAutoLock lock(m_lock);
        return cookie != 0 && cookie <= m_lastCookie;
    }

    DWORD storageFormat = 0;

private:
    Tessal::CCriticalSection m_lock;
    std::map<std::wstring, VARIANT> m_values;
    DWORD m_lastCookie = 0;
};

Store* g_store = nullptr;

}  // namespace

extern "C" {

HRESULT WINAPI RegisterProtectionProvider(REFGUID, const wchar_t* displayName, DWORD flags, DWORD* cookie) {
    HRESULT hr = ForcedFailure();
    if (SUCCEEDED(hr)) {
        if (cookie == nullptr) {
            hr = E_POINTER;
        } else {
            *cookie = g_store->NewCookie();
        }
    }
    Record("RegisterProtectionProvider|" + Utf8(Text(displayName)) + "|" + std::to_string(flags) + "|" + Hex(hr));
    return hr;
}

HRESULT WINAPI UnregisterProtectionProvider(DWORD cookie) {
    HRESULT hr = ForcedFailure();
    if (SUCCEEDED(hr) && !g_store->IsCookie(cookie)) hr = E_INVALIDARG;
    Record("UnregisterProtectionProvider|" + std::to_string(cookie) + "|" + Hex(hr));
    return hr;
}

HRESULT WINAPI NotifyProtectionStatusChange(DWORD cookie, DWORD status) {
    HRESULT hr = ForcedFailure();
    if (SUCCEEDED(hr) && !g_store->IsCookie(cookie)) hr = E_INVALIDARG;
    Record("NotifyProtectionStatusChange|" + std::to_string(cookie) + "|" + std::to_string(status) + "|" + Hex(hr));
    return hr;
}

HRESULT WINAPI ReportStatisticData(const wchar_t* category, const wchar_t* name, const VARIANT* value, DWORD flags) {
    HRESULT hr = ForcedFailure();
    if (SUCCEEDED(hr)) {
        hr = category == nullptr || name == nullptr || value == nullptr
                 ? E_INVALIDARG
                 : g_store->Put(std::wstring(category) + L"\\" + name, value);
    }
    Record("ReportStatisticData|" + Utf8(Text(category)) + "|" + Utf8(Text(name)) + "|" +
           (value != nullptr ? std::to_string(value->vt) : std::string("-")) + "|" + ValueText(value) + "|" +
           std::to_string(flags) + "|" + Hex(hr));
    return hr;
}

HRESULT WINAPI GetStatisticData(const wchar_t* category, const wchar_t* name, VARIANT* value) {
    HRESULT hr = ForcedFailure();
    if (SUCCEEDED(hr)) {
        hr = category == nullptr || name == nullptr || value == nullptr
                 ? E_INVALIDARG
                 : g_store->Get(std::wstring(category) + L"\\" + name, value);
    }
    Record("GetStatisticData|" + Utf8(Text(category)) + "|" + Utf8(Text(name)) + "|" + Hex(hr));
    return hr;
}

HRESULT WINAPI SetStatisticDataStorageFormat(DWORD format) {
    const HRESULT hr = ForcedFailure();
    if (SUCCEEDED(hr)) g_store->storageFormat = format;
    Record("SetStatisticDataStorageFormat|" + std::to_string(format) + "|" + Hex(hr));
    return hr;
}

HRESULT WINAPI GetStatisticDataStorageFormat(DWORD* format) {
    HRESULT hr = ForcedFailure();
    if (SUCCEEDED(hr)) {
        if (format == nullptr) {
            hr = E_POINTER;
        } else {
            *format = g_store->storageFormat;
        }
    }
    Record("GetStatisticDataStorageFormat|" + Hex(hr));
    return hr;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, void* reserved) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        if (!Environment(QVLWAPI_REFUSE_LOAD_VARIABLE).empty()) {
            Record("refused");
            return FALSE;
        }
        g_store = new (std::nothrow) Store();
        if (g_store == nullptr) return FALSE;
        Record("load");
        break;
    case DLL_PROCESS_DETACH:
        Record("unload");
        // At process exit other threads are gone mid-call: leave the store to the system.
        if (reserved == nullptr) delete g_store;
        g_store = nullptr;
        break;
    default:
        break;
    }
    return TRUE;
}

}  // extern "C"
