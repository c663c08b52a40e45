#include "nuvutil/com/Bstr.h"

#include <new>
#include <utility>

namespace NuvCom {

namespace {

BSTR Allocate(const wchar_t* text, std::size_t length) {
    if (text == nullptr) {
        return nullptr;
    }
    if (length > 0x7FFFFFF0u / sizeof(wchar_t)) {
        throw std::bad_alloc();
    }
    BSTR bstr = ::SysAllocStringLen(text, static_cast<UINT>(length));
    if (bstr == nullptr) {
        throw std::bad_alloc();
    }
    return bstr;
}

}  // namespace

CBstr::CBstr(const wchar_t* text) : m_bstr(Allocate(text, text ? std::wstring_view(text).size() : 0)) {}

CBstr::CBstr(std::wstring_view text) : m_bstr(Allocate(text.data() ? text.data() : L"", text.size())) {}

CBstr::CBstr(const CBstr& other) : m_bstr(other.m_bstr ? Allocate(other.m_bstr, other.Length()) : nullptr) {}

CBstr& CBstr::operator=(const CBstr& other) {
    if (this != &other) {
        CBstr copy(other);
        Reset(copy.Detach());
    }
    return *this;
}

CBstr& CBstr::operator=(CBstr&& other) noexcept {
    if (this != &other) {
        Reset(other.Detach());
    }
    return *this;
}

BSTR* CBstr::Put() noexcept {
    Reset();
    return &m_bstr;
}

void CBstr::Reset(BSTR owned) noexcept {
    if (m_bstr != nullptr && m_bstr != owned) {
        ::SysFreeString(m_bstr);
    }
    m_bstr = owned;
}

BSTR CBstr::Detach() noexcept { return std::exchange(m_bstr, nullptr); }

HRESULT CBstr::CopyTo(BSTR* out) const noexcept {
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = nullptr;
    if (m_bstr == nullptr) {
        return S_OK;
    }
    *out = ::SysAllocStringLen(m_bstr, Length());
    return *out ? S_OK : E_OUTOFMEMORY;
}

}  // namespace NuvCom
