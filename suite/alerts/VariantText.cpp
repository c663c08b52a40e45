#include "VariantText.h"

#include "nuvutil/com/HResultError.h"
#include "nuvutil/com/Variant.h"

#include <oleauto.h>

namespace AlertStandIn {

namespace {

// Deeper nesting than any caller builds is cut off rather than followed.
constexpr int kMaxDepth = 8;

void AppendQuoted(std::wstring& out, const wchar_t* text, UINT length) {
    out += L'"';
    for (UINT i = 0; i < length; ++i) {
        if (text[i] == L'"' || text[i] == L'\\') {
            out += L'\\';
        }
        out += text[i];
    }
    out += L'"';
}

void AppendHex(std::wstring& out, unsigned value) {
    constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
    out += L"0x";
    for (int shift = 12; shift >= 0; shift -= 4) {
        out += kDigits[(value >> shift) & 0xF];
    }
}

void Append(std::wstring& out, const VARIANT& value, int depth);

void AppendArray(std::wstring& out, SAFEARRAY* array, int depth) {
    if (array == nullptr || ::SafeArrayGetDim(array) != 1) {
        out += L"<array>";
        return;
    }
    LONG lower = 0;
    LONG upper = -1;
    NuvCom::ThrowIfFailed(::SafeArrayGetLBound(array, 1, &lower), "SafeArrayGetLBound");
    NuvCom::ThrowIfFailed(::SafeArrayGetUBound(array, 1, &upper), "SafeArrayGetUBound");
    if (lower != 0) {
        out += L'@' + std::to_wstring(lower) + L':';
    }
    out += L'[';
    for (LONG index = lower; index <= upper; ++index) {
        if (index != lower) {
            out += L',';
        }
        NuvCom::CVariant element;
        NuvCom::ThrowIfFailed(::SafeArrayGetElement(array, &index, element.Put()), "SafeArrayGetElement");
        Append(out, *element.Get(), depth + 1);
    }
    out += L']';
}

void Append(std::wstring& out, const VARIANT& value, int depth) {
    if (depth > kMaxDepth) {
        out += L"...";
        return;
    }
    switch (value.vt) {
        case VT_EMPTY:
            out += L"empty";
            return;
        case VT_BSTR:
            AppendQuoted(out, value.bstrVal ? value.bstrVal : L"", ::SysStringLen(value.bstrVal));
            return;
        case VT_ARRAY | VT_VARIANT:
            AppendArray(out, value.parray, depth);
            return;
        case VT_BYREF | VT_VARIANT:
            out += L'&';
            if (value.pvarVal == nullptr) {
                out += L"null";
            } else {
                Append(out, *value.pvarVal, depth + 1);
            }
            return;
        default:
            out += L"<vt ";
            AppendHex(out, value.vt);
            out += L'>';
            return;
    }
}

}  // namespace

std::wstring DescribeVariant(const VARIANT& value) {
    std::wstring out;
    Append(out, value, 0);
    return out;
}

}  // namespace AlertStandIn
