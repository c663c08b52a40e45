#include "nuvutil/com/Variant.h"

#include "nuvutil/com/HResultError.h"

#include <new>
#include <utility>

namespace NuvCom {

CVariant::CVariant(LONG value) noexcept {
    ::VariantInit(&m_value);
    m_value.vt = VT_I4;
    m_value.lVal = value;
}

CVariant::CVariant(bool value) noexcept {
    ::VariantInit(&m_value);
    m_value.vt = VT_BOOL;
    m_value.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
}

CVariant::CVariant(std::wstring_view text) {
    ::VariantInit(&m_value);
    BSTR bstr = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (bstr == nullptr) {
        throw std::bad_alloc();
    }
    m_value.vt = VT_BSTR;
    m_value.bstrVal = bstr;
}

CVariant::CVariant(IUnknown* object) noexcept {
    ::VariantInit(&m_value);
    m_value.vt = VT_UNKNOWN;
    m_value.punkVal = object;
    if (object != nullptr) {
        object->AddRef();
    }
}

CVariant::CVariant(IDispatch* object) noexcept {
    ::VariantInit(&m_value);
    m_value.vt = VT_DISPATCH;
    m_value.pdispVal = object;
    if (object != nullptr) {
        object->AddRef();
    }
}

CVariant::CVariant(const CVariant& other) {
    ::VariantInit(&m_value);
    // MinGW declares the source non-const; VariantCopy does not modify it.
    ThrowIfFailed(::VariantCopy(&m_value, const_cast<VARIANT*>(&other.m_value)), "VariantCopy");
}

CVariant& CVariant::operator=(const CVariant& other) {
    if (this != &other) {
        CVariant copy(other);
        *this = std::move(copy);
    }
    return *this;
}

CVariant::CVariant(CVariant&& other) noexcept {
    // A VARIANT has no self-references: moving the bits moves ownership.
    m_value = other.m_value;
    ::VariantInit(&other.m_value);
}

CVariant& CVariant::operator=(CVariant&& other) noexcept {
    if (this != &other) {
        Clear();
        m_value = other.m_value;
        ::VariantInit(&other.m_value);
    }
    return *this;
}

VARIANT* CVariant::Put() noexcept {
    Clear();
    return &m_value;
}

void CVariant::Clear() noexcept {
    // VariantClear fails only for types it cannot free; the value is dropped either way.
    ::VariantClear(&m_value);
    ::VariantInit(&m_value);
}

void CVariant::Attach(VARIANT* source) noexcept {
    Clear();
    if (source != nullptr) {
        m_value = *source;
        ::VariantInit(source);
    }
}

void CVariant::Detach(VARIANT* target) noexcept {
    if (target != nullptr) {
        *target = m_value;
        ::VariantInit(&m_value);
    }
}

HRESULT CVariant::ChangeType(VARTYPE type) noexcept { return ::VariantChangeType(&m_value, &m_value, 0, type); }

}  // namespace NuvCom
