#include "LegacyConfigStore.h"

#include "nuvutil/com/SafeArray.h"

#include <initializer_list>
#include <string_view>

namespace {

using NuvCom::CSafeArray;
using NuvCom::CVariant;

// The web categories: mask text and the resource string id of the display name.
struct Category {
    const wchar_t* mask;
    LONG nameId;
};

constexpr Category kCategories[] = {
    {L"00000000000010000800400440000000", 20096},  // Adult
    {L"0000000000000000000000000000000C", 20097},  // Anonymizers
    {L"00000000000000000000000000100020", 20098},  // Chat or Instant Messaging
    {L"00000000008000000000000002000000", 20099},  // Dating
    {L"00000000000000000001000000000102", 20100},  // Drugs; Alcohol or Tobacco
    {L"00000000000000000000000800000000", 20101},  // File Sharing
    {L"00000000000000008000000000002000", 20102},  // Gambling
    {L"00000000000000000000000000004000", 20103},  // Games
    {L"00000000000000000000000000080000", 20104},  // Hate or Discrimination
    {L"00000000002000000000000000000000", 20105},  // Historical Revisionism
    {L"00000000200000000000000000000000", 20106},  // Kid Safe Websites
    {L"00000000000001140000800010010080", 20107},  // Malicious Sites
    {L"00000000000008000000100000400000", 20108},  // Multimedia or Streaming
    {L"00000000000000000200000000000000", 20109},  // Profanity
    {L"00000000000000000400000000000000", 20110},  // School Cheating
    {L"00000000000000000000200000000000", 20111},  // Shareware or Freeware
    {L"00000000000000000080000200000000", 20112},  // Shopping or Auctions
    {L"00000000040000000000000000000000", 20113},  // Social Networking
    {L"00000000000000021014000000000800", 20114},  // Weapons or Violence
};

constexpr const wchar_t* kKidSafe = L"00000000200000000000000000000000";
constexpr const wchar_t* kGames = L"00000000000000000000000000004000";

// Age-group default ids.
constexpr LONG kDefaultSafeSearch = 210;
constexpr LONG kDefaultCalendar = 223;
constexpr LONG kDefaultCategoryList = 233;
constexpr LONG kDefaultCategoryMode = 234;
constexpr LONG kDefaultBlockedSites = 240;
constexpr LONG kDefaultAllowedSites = 241;

struct AgeGroupDefaults {
    LONG ageGroup;
    LONG safeSearch;             // 1 on, 0 off
    int allowedFromHour;         // internet access every day from this hour ...
    int allowedToHour;           // ... to this one (0 to 24: always)
    LONG categoryMode;           // 1: the list holds the allowed categories
    const wchar_t* categoryList;
};

// Masks of the blocked lists, by table row.
std::wstring Masks(std::initializer_list<int> rows) {
    std::wstring text;
    for (int row : rows) {
        if (!text.empty()) text += L' ';
        text += kCategories[row].mask;
    }
    return text;
}

// The week in five-minute blocks, Sunday first: '1' where access is allowed.
std::wstring Calendar(int fromHour, int toHour) {
    std::wstring day(288, L'0');
    for (int block = fromHour * 12; block < toHour * 12; ++block) day[block] = L'1';
    std::wstring week;
    for (int i = 0; i < 7; ++i) week += day;
    return week;
}

}  // namespace

CVariant MakeVariantArray(std::vector<CVariant>& elements) {
    CSafeArray array = CSafeArray::CreateVector(VT_VARIANT, static_cast<ULONG>(elements.size()));
    for (size_t i = 0; i < elements.size(); ++i) {
        NuvCom::ThrowIfFailed(array.PutElement(static_cast<LONG>(i), elements[i].Get()), "SafeArrayPutElement");
    }
    VARIANT value;
    ::VariantInit(&value);
    value.vt = VT_ARRAY | VT_VARIANT;
    value.parray = array.Detach();
    CVariant result;
    result.Attach(&value);
    return result;
}

void FillInitialState(CLegacyConfigState& state) {
    state = CLegacyConfigState();

    std::vector<CVariant> none;
    state.windowsUsers = MakeVariantArray(none);

    std::vector<CVariant> rows;
    for (const Category& category : kCategories) {
        std::vector<CVariant> row;
        row.emplace_back(category.mask);
        row.emplace_back(category.nameId);
        rows.push_back(MakeVariantArray(row));
    }
    state.categories = MakeVariantArray(rows);

    const std::wstring kidSafeAndGames = std::wstring(kKidSafe) + L' ' + kGames;
    // Rows of kCategories.
    const std::wstring under13 = Masks({0, 1, 2, 3, 4, 5, 6, 8, 9, 11, 13, 14, 18});
    const std::wstring under16 = Masks({0, 1, 3, 4, 6, 8, 11, 18});
    const std::wstring under19 = Masks({0, 6, 11});
    const AgeGroupDefaults groups[] = {
        {1, 1, 7, 20, 1, kKidSafe},
        {2, 1, 7, 20, 1, kidSafeAndGames.c_str()},
        {3, 1, 7, 21, 0, under13.c_str()},
        {4, 1, 6, 22, 0, under16.c_str()},
        {5, 0, 0, 24, 0, under19.c_str()},
        {6, 0, 0, 24, 0, L""},
    };
    for (const AgeGroupDefaults& group : groups) {
        state.defaults[{group.ageGroup, kDefaultSafeSearch}] = CVariant(group.safeSearch);
        state.defaults[{group.ageGroup, kDefaultCalendar}] = CVariant(Calendar(group.allowedFromHour, group.allowedToHour));
        state.defaults[{group.ageGroup, kDefaultCategoryList}] = CVariant(group.categoryList);
        state.defaults[{group.ageGroup, kDefaultCategoryMode}] = CVariant(group.categoryMode);
        state.defaults[{group.ageGroup, kDefaultBlockedSites}] = CVariant(L"");
        state.defaults[{group.ageGroup, kDefaultAllowedSites}] = CVariant(L"");
    }
}

CLegacyConfigStore& CLegacyConfigStore::Instance() {
    // Never destroyed: the DLL stays until the process ends, and clearing VARIANTs at process
    // detach would call into oleaut32 under the loader lock.
    static CLegacyConfigStore* const store = new CLegacyConfigStore();
    return *store;
}

CLegacyConfigStore::CLegacyConfigStore() {
    // The state lives as long as the process, like the real component's storage: the DLL stays
    // loaded even when COM frees unused libraries between two users of the object.
    HMODULE self = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                         reinterpret_cast<LPCWSTR>(&FillInitialState), &self);
    FillInitialState(m_state);
}

void CLegacyConfigStore::Reset() {
    FillInitialState(m_state);
    m_plans.clear();
    ClearCallLog();
}

std::optional<CLegacyConfigStore::PlannedAnswer> CLegacyConfigStore::RecordCall(NuvConfigOperation operation,
                                                                                std::wstring line) {
    m_calls.push_back(std::move(line));
    ++m_callCounts[operation];
    const auto plan = m_plans.find(operation);
    if (plan == m_plans.end()) {
        return std::nullopt;
    }
    const PlannedAnswer answer = plan->second.answer;
    if (plan->second.remaining != NUVCONFIG_FAIL_ALWAYS && --plan->second.remaining <= 0) {
        m_plans.erase(plan);
    }
    return answer;
}

void CLegacyConfigStore::PlanFailure(NuvConfigOperation operation, HRESULT hr, LONG result, LONG count) {
    if (count == 0) {
        m_plans.erase(operation);
    } else {
        m_plans[operation] = Plan{{hr, result}, count < 0 ? NUVCONFIG_FAIL_ALWAYS : count};
    }
}

LONG CLegacyConfigStore::CallCount(NuvConfigOperation operation) const {
    const auto count = m_callCounts.find(operation);
    return count == m_callCounts.end() ? 0 : count->second;
}

std::wstring CLegacyConfigStore::CallLog() const {
    std::wstring log;
    for (const std::wstring& line : m_calls) {
        log += line;
        log += L'\n';
    }
    return log;
}

void CLegacyConfigStore::ClearCallLog() {
    m_calls.clear();
    m_callCounts.clear();
}
