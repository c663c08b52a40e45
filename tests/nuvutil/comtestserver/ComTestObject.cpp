#include "ComTestObject.h"

#include "nuvutil/com/Bstr.h"
#include "nuvutil/com/ComBoundary.h"
#include "nuvutil/com/HResultError.h"

#include <new>
#include <stdexcept>
#include <string>
#include <system_error>

STDMETHODIMP CComTestObject::Add(LONG a, LONG b, LONG* sum) {
    if (sum == nullptr) {
        return E_POINTER;
    }
    *sum = a + b;
    return S_OK;
}

STDMETHODIMP CComTestObject::Echo(BSTR text, BSTR* echoed) {
    if (echoed == nullptr) {
        return E_POINTER;
    }
    *echoed = nullptr;
    return NuvCom::ComBoundary(L"CComTestObject::Echo", [&] {
        std::wstring result = L"<";
        result.append(text ? text : L"", ::SysStringLen(text));
        result += L">";
        return NuvCom::CBstr(std::wstring_view(result)).CopyTo(echoed);
    });
}

STDMETHODIMP CComTestObject::get_Counter(LONG* value) {
    if (value == nullptr) {
        return E_POINTER;
    }
    *value = m_counter.load();
    return S_OK;
}

STDMETHODIMP CComTestObject::put_Counter(LONG value) {
    m_counter.store(value);
    return S_OK;
}

STDMETHODIMP CComTestObject::Fail(LONG kind) {
    return NuvCom::ComBoundary(L"CComTestObject::Fail", [&]() -> HRESULT {
        switch (kind) {
            case 0:
                throw std::bad_alloc();
            case 1:
                throw NuvCom::CHResultError(HRESULT_FROM_WIN32(ERROR_INVALID_DATA), "test: HRESULT error");
            case 2:
                throw std::system_error(ERROR_ACCESS_DENIED, std::system_category(), "test: system error");
            case 3:
                throw std::invalid_argument("test: invalid argument");
            case 4:
                throw std::runtime_error("test: runtime error");
            default:
                throw kind;
        }
    });
}
