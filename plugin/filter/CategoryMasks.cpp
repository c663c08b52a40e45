#include "plugin/filter/CategoryMasks.h"

#include <algorithm>
#include <cwchar>

namespace {

constexpr std::size_t kMaxMaskText = 2084;

struct CodeMask {
    LONG code;
    const char* mask;
};

// The reputation service's category codes that the product knows, in code order.
constexpr CodeMask kCodeMasks[] = {
    {101, "00000000000000000001000000000102"}, {102, "0000000000000000000000000000000C"},
    {103, "00000000000010000800400440000000"}, {106, "00000000000000000000000000100020"},
    {110, "00000000000000000001000000000102"}, {115, "00000000000000008000000000002000"},
    {116, "00000000000000000000000000004000"}, {121, "00000000000000000000000000080000"},
    {122, "00000000000000000000000000100020"}, {127, "00000000008000000000000002000000"},
    {130, "00000000000001140000800010010080"}, {132, "00000000000010000800400440000000"},
    {136, "00000000000000000080000200000000"}, {138, "00000000000000000000000800000000"},
    {147, "00000000000008000000100000400000"}, {148, "00000000000000000000200000000000"},
    {149, "00000000000010000800400440000000"}, {151, "00000000000000000001000000000102"},
    {153, "00000000000000021014000000000800"}, {155, "00000000000000021014000000000800"},
    {158, "00000000000000000080000200000000"}, {160, "00000000000000000200000000000000"},
    {161, "00000000000000000400000000000000"}, {162, "00000000000010000800400440000000"},
    {166, "00000000000000008000000000002000"}, {168, "00000000000000000000000000004000"},
    {180, "00000000000010000800400440000000"}, {190, "00000000002000000000000000000000"},
    {192, "00000000008000000000000002000000"}, {195, "00000000040000000000000000000000"},
    {600, "00000000200000000000000000000000"},
};

std::size_t LengthOf(const wchar_t* text) noexcept { return text == nullptr ? 0 : ::wcsnlen(text, kMaxMaskText); }

}  // namespace

int HexDigitValue(wchar_t c) noexcept {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

bool IsValidCategoryMask(const char* text) noexcept {
    if (text == nullptr) return false;
    for (; *text != '\0'; ++text) {
        if (HexDigitValue(static_cast<unsigned char>(*text)) < 0) return false;
    }
    return true;
}

bool MasksIntersect(const wchar_t* a, const wchar_t* b) noexcept {
    const std::size_t la = LengthOf(a);
    const std::size_t lb = LengthOf(b);
    for (std::size_t i = 0; i < std::min(la, lb); ++i) {
        const int da = HexDigitValue(a[la - 1 - i]);
        const int db = HexDigitValue(b[lb - 1 - i]);
        if (da < 0 || db < 0) return false;
        if ((da & db) != 0) return true;
    }
    return false;
}

bool IsCategoryInList(const wchar_t* mask, const wchar_t* list, CSafeStringW* matched) {
    if (mask == nullptr || *mask == L'\0' || list == nullptr || *list == L'\0') return false;
    std::wstring member;
    for (const wchar_t* at = list;;) {
        const wchar_t* end = std::wcschr(at, L' ');
        member.assign(at, end != nullptr ? static_cast<std::size_t>(end - at) : std::wcslen(at));
        if (member.empty()) return false;
        if (MasksIntersect(mask, member.c_str())) {
            if (matched != nullptr) matched->Assign(member.c_str());
            return true;
        }
        if (end == nullptr) return false;
        at = end;
        while (*at == L' ') ++at;  // a run of blanks ends one member
    }
}

const char* CategoryMaskOfCode(LONG code) noexcept {
    const auto found = std::lower_bound(std::begin(kCodeMasks), std::end(kCodeMasks), code,
                                        [](const CodeMask& entry, LONG value) { return entry.code < value; });
    return found != std::end(kCodeMasks) && found->code == code ? found->mask : nullptr;
}
