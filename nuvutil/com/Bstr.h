#pragma once
// Owner of one BSTR. A null BSTR is a valid empty string, as everywhere in COM.

#include <windows.h>
#include <oleauto.h>

#include <string>
#include <string_view>

namespace NuvCom {

class CBstr {
public:
    CBstr() noexcept = default;
    // Copies the text; throws std::bad_alloc. A null pointer gives a null BSTR.
    explicit CBstr(const wchar_t* text);
    // Keeps embedded null characters.
    explicit CBstr(std::wstring_view text);
    CBstr(const CBstr& other);
    CBstr& operator=(const CBstr& other);
    CBstr(CBstr&& other) noexcept : m_bstr(other.Detach()) {}
    CBstr& operator=(CBstr&& other) noexcept;
    ~CBstr() { Reset(); }

    BSTR Get() const noexcept { return m_bstr; }
    // For [out] BSTR* parameters; frees what was held first.
    BSTR* Put() noexcept;
    void Reset(BSTR owned = nullptr) noexcept;
    [[nodiscard]] BSTR Detach() noexcept;

    UINT Length() const noexcept { return ::SysStringLen(m_bstr); }
    bool Empty() const noexcept { return Length() == 0; }
    std::wstring_view View() const noexcept { return {m_bstr ? m_bstr : L"", Length()}; }
    std::wstring Str() const { return std::wstring(View()); }

    // A new copy for the caller of an [out, retval] BSTR* (E_POINTER, E_OUTOFMEMORY).
    HRESULT CopyTo(BSTR* out) const noexcept;

private:
    BSTR m_bstr = nullptr;
};

}  // namespace NuvCom
