#pragma once
// Owner of one VARIANT: cleared (strings freed, interfaces released) exactly once.

#include <windows.h>
#include <oaidl.h>
#include <oleauto.h>

#include <string_view>

namespace NuvCom {

class CVariant {
public:
    CVariant() noexcept { ::VariantInit(&m_value); }
    explicit CVariant(LONG value) noexcept;
    explicit CVariant(int value) noexcept : CVariant(static_cast<LONG>(value)) {}
    explicit CVariant(bool value) noexcept;
    // Copies the text (throws std::bad_alloc); embedded nulls are kept.
    explicit CVariant(std::wstring_view text);
    explicit CVariant(const wchar_t* text) : CVariant(std::wstring_view(text ? text : L"")) {}
    // Adds a reference of its own; a null pointer is kept as a null VT_UNKNOWN/VT_DISPATCH.
    explicit CVariant(IUnknown* object) noexcept;
    explicit CVariant(IDispatch* object) noexcept;

    // VariantCopy: deep copy of strings and arrays, AddRef of interfaces. Throws CHResultError.
    CVariant(const CVariant& other);
    CVariant& operator=(const CVariant& other);
    CVariant(CVariant&& other) noexcept;
    CVariant& operator=(CVariant&& other) noexcept;
    ~CVariant() { Clear(); }

    VARTYPE Type() const noexcept { return m_value.vt; }
    const VARIANT* Get() const noexcept { return &m_value; }
    VARIANT* Get() noexcept { return &m_value; }
    // For [out] VARIANT* parameters; clears what was held first.
    VARIANT* Put() noexcept;

    void Clear() noexcept;
    // Takes over the value (the source is left VT_EMPTY).
    void Attach(VARIANT* source) noexcept;
    // Hands the value to `target`, which must hold nothing that needs clearing.
    void Detach(VARIANT* target) noexcept;

    // VariantChangeType in place.
    HRESULT ChangeType(VARTYPE type) noexcept;

private:
    VARIANT m_value;
};

}  // namespace NuvCom
