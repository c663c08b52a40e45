#include "LegacyConfigObject.h"

#include "LegacyConfigStore.h"

#include "nuvutil/com/Bstr.h"
#include "nuvutil/com/ComBoundary.h"
#include "nuvutil/com/HResultError.h"
#include "nuvutil/com/SafeArray.h"
#include "nuvutil/com/Variant.h"

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace {

using NuvCom::CVariant;

constexpr wchar_t kWhere[] = L"NuvConfig stand-in";

// Failing statuses of the stand-in's own; each fails the (result & 0x1FFFF) test.
constexpr LONG kStatusAccessDenied = ERROR_ACCESS_DENIED;  // administrator values before preparation, reading the password
constexpr LONG kStatusNotFound = ERROR_NOT_FOUND;          // an operation on a user that is not known

// Where an operation reports its status: a long, a VARIANT holding a VT_I4, or nowhere.
struct ResultSlot {
    LONG* asLong = nullptr;
    VARIANT* asVariant = nullptr;

    void Write(LONG value) const noexcept {
        if (asLong != nullptr) {
            *asLong = value;
        }
        if (asVariant != nullptr) {
            ::VariantClear(asVariant);
            asVariant->vt = VT_I4;
            asVariant->lVal = value;
        }
    }
};

std::wstring_view View(BSTR text) noexcept { return {text ? text : L"", ::SysStringLen(text)}; }

std::wstring Quoted(BSTR text) {
    return text == nullptr ? std::wstring(L"null") : L"\"" + std::wstring(View(text)) + L"\"";
}

// A copy with any VT_BYREF resolved, as late-bound callers may pass one.
CVariant CopyOf(const VARIANT& value) {
    CVariant copy;
    NuvCom::ThrowIfFailed(::VariantCopyInd(copy.Get(), const_cast<VARIANT*>(&value)), "VariantCopyInd");
    return copy;
}

std::wstring ValueText(const VARIANT& value) {
    const CVariant copy = CopyOf(value);
    const VARIANT& v = *copy.Get();
    switch (v.vt) {
        case VT_EMPTY:
            return L"EMPTY";
        case VT_NULL:
            return L"NULL";
        case VT_I4:
            return L"I4:" + std::to_wstring(v.lVal);
        case VT_I2:
            return L"I2:" + std::to_wstring(v.iVal);
        case VT_BOOL:
            return L"BOOL:" + std::to_wstring(v.boolVal);
        case VT_BSTR:
            return L"BSTR:" + Quoted(v.bstrVal);
        default:
            return L"VT_" + std::to_wstring(v.vt);
    }
}

std::wstring CallLine(const wchar_t* operation, std::initializer_list<std::wstring> arguments) {
    std::wstring line = operation;
    line += L'(';
    bool first = true;
    for (const std::wstring& argument : arguments) {
        if (!first) line += L", ";
        line += argument;
        first = false;
    }
    line += L')';
    return line;
}

// Ids travel as VT_I4 VARIANTs; anything convertible is taken.
LONG IdOf(const VARIANT& id) {
    CVariant converted = CopyOf(id);
    NuvCom::ThrowIfFailed(converted.ChangeType(VT_I4), "id is not a number");
    return converted.Get()->lVal;
}

void CopyOut(const CVariant& stored, VARIANT* out) {
    NuvCom::ThrowIfFailed(::VariantCopy(out, const_cast<VARIANT*>(stored.Get())), "VariantCopy");
}

// One INuvConfig call: logged, answered as planned by the test or else by `body`, all under
// the store's lock. Outputs were emptied by the caller; the status is 0 unless set otherwise.
template <class Line, class Body>
HRESULT Run(NuvConfigOperation operation, ResultSlot slot, Line&& line, Body&& body) noexcept {
    return NuvCom::ComBoundary(kWhere, [&]() -> HRESULT {
        CLegacyConfigStore& store = CLegacyConfigStore::Instance();
        Tessal::CAutoLock lock(store.Lock());
        const auto planned = store.RecordCall(operation, line());
        slot.Write(0);
        if (planned && planned->Fails()) {
            slot.Write(planned->result);
            return planned->hr;
        }
        const HRESULT hr = body(store.State());
        if (planned && SUCCEEDED(hr)) {
            slot.Write(planned->result);
            return planned->hr;
        }
        return hr;
    });
}

// The test controls act on the store directly.
template <class Body>
HRESULT Control(Body&& body) noexcept {
    return NuvCom::ComBoundary(kWhere, [&]() -> HRESULT {
        CLegacyConfigStore& store = CLegacyConfigStore::Instance();
        Tessal::CAutoLock lock(store.Lock());
        return body(store);
    });
}

const CVariant* FindValue(const std::map<LONG, CVariant>& values, LONG id) {
    const auto found = values.find(id);
    return found == values.end() ? nullptr : &found->second;
}

CLegacyConfigState::User* FindUser(CLegacyConfigState& state, BSTR userId) {
    const auto found = state.users.find(std::wstring(View(userId)));
    return found == state.users.end() ? nullptr : &found->second;
}

CLegacyConfigState::User* FindKnownUser(CLegacyConfigState& state, BSTR userId) {
    CLegacyConfigState::User* user = FindUser(state, userId);
    return user != nullptr && user->known ? user : nullptr;
}

bool IsValidOperation(NuvConfigOperation operation) noexcept {
    return operation >= NuvConfigOp_GetProductValue && operation <= NuvConfigOp_CanSetAdminPassword;
}

}  // namespace

STDMETHODIMP CLegacyConfigObject::GetProductValue(VARIANT id, VARIANT* result, VARIANT* value) {
    if (result == nullptr || value == nullptr) return E_POINTER;
    ::VariantInit(result);
    ::VariantInit(value);
    return Run(NuvConfigOp_GetProductValue, {nullptr, result},
               [&] { return CallLine(L"GetProductValue", {ValueText(id)}); },
               [&](CLegacyConfigState& state) {
                   if (const CVariant* stored = FindValue(state.productValues, IdOf(id))) CopyOut(*stored, value);
                   return S_OK;
               });
}

STDMETHODIMP CLegacyConfigObject::SetProductValue(VARIANT id, VARIANT value, LONG* result) {
    if (result == nullptr) return E_POINTER;
    *result = 0;
    return Run(NuvConfigOp_SetProductValue, {result},
               [&] { return CallLine(L"SetProductValue", {ValueText(id), ValueText(value)}); },
               [&](CLegacyConfigState& state) {
                   state.productValues[IdOf(id)] = CopyOf(value);
                   return S_OK;
               });
}

STDMETHODIMP CLegacyConfigObject::GetVORLUserList(VARIANT* users) {
    if (users == nullptr) return E_POINTER;
    ::VariantInit(users);
    return Run(NuvConfigOp_GetVORLUserList, {}, [&] { return CallLine(L"GetVORLUserList", {}); },
               [&](CLegacyConfigState& state) {
                   CopyOut(state.windowsUsers, users);
                   return S_OK;
               });
}

STDMETHODIMP CLegacyConfigObject::RemoveUser(BSTR userId, LONG* result) {
    if (result == nullptr) return E_POINTER;
    *result = 0;
    return Run(NuvConfigOp_RemoveUser, {result}, [&] { return CallLine(L"RemoveUser", {Quoted(userId)}); },
               [&](CLegacyConfigState& state) {
                   if (FindKnownUser(state, userId) == nullptr) {
                       *result = kStatusNotFound;
                   } else {
                       state.users.erase(std::wstring(View(userId)));
                   }
                   return S_OK;
               });
}

STDMETHODIMP CLegacyConfigObject::GetKnownUserList(VARIANT* userIds) {
    if (userIds == nullptr) return E_POINTER;
    ::VariantInit(userIds);
    return Run(NuvConfigOp_GetKnownUserList, {}, [&] { return CallLine(L"GetKnownUserList", {}); },
               [&](CLegacyConfigState& state) {
                   std::vector<CVariant> ids;
                   for (const auto& user : state.users) {
                       if (user.second.known) ids.emplace_back(std::wstring_view(user.first));
                   }
                   MakeVariantArray(ids).Detach(userIds);
                   return S_OK;
               });
}

STDMETHODIMP CLegacyConfigObject::ClearUserSettings(BSTR userId, LONG* result) {
    if (result == nullptr) return E_POINTER;
    *result = 0;
    return Run(NuvConfigOp_ClearUserSettings, {result},
               [&] { return CallLine(L"ClearUserSettings", {Quoted(userId)}); },
               [&](CLegacyConfigState& state) {
                   if (CLegacyConfigState::User* user = FindUser(state, userId)) user->settings.clear();
                   return S_OK;
               });
}

STDMETHODIMP CLegacyConfigObject::AddUser(BSTR userId, LONG* result) {
    if (result == nullptr) return E_POINTER;
    *result = 0;
    return Run(NuvConfigOp_AddUser, {result}, [&] { return CallLine(L"AddUser", {Quoted(userId)}); },
               [&](CLegacyConfigState& state) {
                   state.users[std::wstring(View(userId))].known = true;
                   return S_OK;
               });
}

STDMETHODIMP CLegacyConfigObject::GetUserSetting(BSTR userId, LONG id, VARIANT* value) {
    if (value == nullptr) return E_POINTER;
    ::VariantInit(value);
    return Run(NuvConfigOp_GetUserSetting, {},
               [&] { return CallLine(L"GetUserSetting", {Quoted(userId), std::to_wstring(id)}); },
               [&](CLegacyConfigState& state) {
                   // A user nobody added reads as a user without settings: callers ask before they
                   // prepare the user.
                   if (const CLegacyConfigState::User* user = FindUser(state, userId)) {
                       if (const CVariant* stored = FindValue(user->settings, id)) CopyOut(*stored, value);
                   }
                   return S_OK;
               });
}

STDMETHODIMP CLegacyConfigObject::SetUserSetting(BSTR userId, LONG id, VARIANT value, LONG* result) {
    if (result == nullptr) return E_POINTER;
    *result = 0;
    return Run(NuvConfigOp_SetUserSetting, {result},
               [&] { return CallLine(L"SetUserSetting", {Quoted(userId), std::to_wstring(id), ValueText(value)}); },
               [&](CLegacyConfigState& state) {
                   // Taken for users not known too: both writers store the calendar without
                   // preparing the user first.
                   state.users[std::wstring(View(userId))].settings[id] = CopyOf(value);
                   return S_OK;
               });
}

STDMETHODIMP CLegacyConfigObject::IsUserKnown(BSTR userId, LONG* result) {
    if (result == nullptr) return E_POINTER;
    *result = 0;
    return Run(NuvConfigOp_IsUserKnown, {result}, [&] { return CallLine(L"IsUserKnown", {Quoted(userId)}); },
               [&](CLegacyConfigState& state) {
                   *result = FindKnownUser(state, userId) != nullptr ? 1 : 0;
                   return S_OK;
               });
}

STDMETHODIMP CLegacyConfigObject::RemoveUserSetting(BSTR userId, LONG id, LONG* result) {
    if (result == nullptr) return E_POINTER;
    *result = 0;
    return Run(NuvConfigOp_RemoveUserSetting, {result},
               [&] { return CallLine(L"RemoveUserSetting", {Quoted(userId), std::to_wstring(id)}); },
               [&](CLegacyConfigState& state) {
                   if (CLegacyConfigState::User* user = FindUser(state, userId)) user->settings.erase(id);
                   return S_OK;
               });
}

STDMETHODIMP CLegacyConfigObject::IsAdminPasswordSet(VARIANT_BOOL* isSet) {
    if (isSet == nullptr) return E_POINTER;
    *isSet = VARIANT_FALSE;
    return Run(NuvConfigOp_IsAdminPasswordSet, {}, [&] { return CallLine(L"IsAdminPasswordSet", {}); },
               [&](CLegacyConfigState& state) {
                   *isSet = FindValue(state.adminValues, kAdminPasswordId) != nullptr ? VARIANT_TRUE : VARIANT_FALSE;
                   return S_OK;
               });
}

STDMETHODIMP CLegacyConfigObject::GetValue(VARIANT id, VARIANT* result, VARIANT* value) {
    if (result == nullptr || value == nullptr) return E_POINTER;
    ::VariantInit(result);
    ::VariantInit(value);
    return Run(NuvConfigOp_GetValue, {nullptr, result}, [&] { return CallLine(L"GetValue", {ValueText(id)}); },
               [&](CLegacyConfigState& state) {
                   const LONG key = IdOf(id);
                   if (key == kAdminPasswordId) {
                       ResultSlot{nullptr, result}.Write(kStatusAccessDenied);
                   } else if (const CVariant* stored = FindValue(state.adminValues, key)) {
                       CopyOut(*stored, value);
                   }
                   return S_OK;
               });
}

STDMETHODIMP CLegacyConfigObject::SetValue(VARIANT id, VARIANT value, LONG* result) {
    if (result == nullptr) return E_POINTER;
    *result = 0;
    return Run(NuvConfigOp_SetValue, {result}, [&] { return CallLine(L"SetValue", {ValueText(id), ValueText(value)}); },
               [&](CLegacyConfigState& state) {
                   const LONG key = IdOf(id);
                   if ((key == kAdminPasswordId || key == kAdminHintId) && !state.adminPasswordPrepared) {
                       *result = kStatusAccessDenied;
                   } else {
                       state.adminValues[key] = CopyOf(value);
                   }
                   return S_OK;
               });
}

STDMETHODIMP CLegacyConfigObject::Authenticate(BSTR password, VARIANT_BOOL* authenticated) {
    if (authenticated == nullptr) return E_POINTER;
    *authenticated = VARIANT_FALSE;
    return Run(NuvConfigOp_Authenticate, {}, [&] { return CallLine(L"Authenticate", {Quoted(password)}); },
               [&](CLegacyConfigState& state) {
                   const CVariant* stored = FindValue(state.adminValues, kAdminPasswordId);
                   // Without a stored password nothing authenticates. A null BSTR equals "".
                   if (stored != nullptr && stored->Type() == VT_BSTR && View(stored->Get()->bstrVal) == View(password)) {
                       *authenticated = VARIANT_TRUE;
                   }
                   return S_OK;
               });
}

STDMETHODIMP CLegacyConfigObject::NeedsConfiguration(VARIANT_BOOL* needsConfiguration) {
    if (needsConfiguration == nullptr) return E_POINTER;
    *needsConfiguration = VARIANT_FALSE;
    return Run(NuvConfigOp_NeedsConfiguration, {}, [&] { return CallLine(L"NeedsConfiguration", {}); },
               [&](CLegacyConfigState& state) {
                   // The product counts as configured once an administrator password is stored.
                   *needsConfiguration = FindValue(state.adminValues, kAdminPasswordId) == nullptr ? VARIANT_TRUE : VARIANT_FALSE;
                   return S_OK;
               });
}

STDMETHODIMP CLegacyConfigObject::SetDefaultSetting(LONG ageGroup, VARIANT id, VARIANT value, LONG* result) {
    if (result == nullptr) return E_POINTER;
    *result = 0;
    return Run(NuvConfigOp_SetDefaultSetting, {result},
               [&] { return CallLine(L"SetDefaultSetting", {std::to_wstring(ageGroup), ValueText(id), ValueText(value)}); },
               [&](CLegacyConfigState& state) {
                   state.defaults[{ageGroup, IdOf(id)}] = CopyOf(value);
                   return S_OK;
               });
}

STDMETHODIMP CLegacyConfigObject::GetDefaultSetting(LONG ageGroup, VARIANT id, VARIANT* result, VARIANT* value) {
    if (result == nullptr || value == nullptr) return E_POINTER;
    ::VariantInit(result);
    ::VariantInit(value);
    return Run(NuvConfigOp_GetDefaultSetting, {nullptr, result},
               [&] { return CallLine(L"GetDefaultSetting", {std::to_wstring(ageGroup), ValueText(id)}); },
               [&](CLegacyConfigState& state) {
                   const auto found = state.defaults.find({ageGroup, IdOf(id)});
                   if (found != state.defaults.end()) CopyOut(found->second, value);
                   return S_OK;
               });
}

STDMETHODIMP CLegacyConfigObject::GetCategoryList(VARIANT* categories) {
    if (categories == nullptr) return E_POINTER;
    ::VariantInit(categories);
    return Run(NuvConfigOp_GetCategoryList, {}, [&] { return CallLine(L"GetCategoryList", {}); },
               [&](CLegacyConfigState& state) {
                   CopyOut(state.categories, categories);
                   return S_OK;
               });
}

STDMETHODIMP CLegacyConfigObject::IsUserProtected(BSTR userId, VARIANT_BOOL* isProtected) {
    if (isProtected == nullptr) return E_POINTER;
    *isProtected = VARIANT_FALSE;
    return Run(NuvConfigOp_IsUserProtected, {}, [&] { return CallLine(L"IsUserProtected", {Quoted(userId)}); },
               [&](CLegacyConfigState& state) {
                   const CLegacyConfigState::User* user = FindKnownUser(state, userId);
                   *isProtected = user != nullptr && user->isProtected ? VARIANT_TRUE : VARIANT_FALSE;
                   return S_OK;
               });
}

STDMETHODIMP CLegacyConfigObject::SetUserProtected(BSTR userId, LONG protect, LONG* result) {
    if (result == nullptr) return E_POINTER;
    *result = 0;
    return Run(NuvConfigOp_SetUserProtected, {result},
               [&] { return CallLine(L"SetUserProtected", {Quoted(userId), std::to_wstring(protect)}); },
               [&](CLegacyConfigState& state) -> HRESULT {
                   // The flag is a COM boolean as a long: a caller passing 1 for true is wrong.
                   if (protect != 0 && protect != -1) return E_INVALIDARG;
                   CLegacyConfigState::User* user = FindKnownUser(state, userId);
                   if (user == nullptr) {
                       *result = kStatusNotFound;
                   } else {
                       user->isProtected = protect != 0;
                   }
                   return S_OK;
               });
}

STDMETHODIMP CLegacyConfigObject::PrepareAdminPassword(LONG* result) {
    if (result == nullptr) return E_POINTER;
    *result = 0;
    // The caller's rights are not checked: a test plans a failure for a refused preparation.
    return Run(NuvConfigOp_PrepareAdminPassword, {result}, [&] { return CallLine(L"PrepareAdminPassword", {}); },
               [&](CLegacyConfigState& state) {
                   state.adminPasswordPrepared = true;
                   return S_OK;
               });
}

STDMETHODIMP CLegacyConfigObject::CanSetAdminPassword(VARIANT_BOOL* canSet) {
    if (canSet == nullptr) return E_POINTER;
    *canSet = VARIANT_FALSE;
    return Run(NuvConfigOp_CanSetAdminPassword, {}, [&] { return CallLine(L"CanSetAdminPassword", {}); },
               [&](CLegacyConfigState& state) {
                   *canSet = state.adminPasswordPrepared ? VARIANT_TRUE : VARIANT_FALSE;
                   return S_OK;
               });
}

STDMETHODIMP CLegacyConfigObject::Reset() {
    return Control([](CLegacyConfigStore& store) {
        store.Reset();
        return S_OK;
    });
}

STDMETHODIMP CLegacyConfigObject::AddWindowsUser(BSTR displayName, BSTR userId, VARIANT_BOOL isAdministrator) {
    return Control([&](CLegacyConfigStore& store) {
        CVariant& list = store.State().windowsUsers;
        std::vector<CVariant> users;
        if (list.Type() == (VT_ARRAY | VT_VARIANT) && list.Get()->parray != nullptr) {
            // Access ends before the list is replaced: a locked array cannot be destroyed.
            NuvCom::CSafeArrayData<VARIANT> elements(list.Get()->parray);
            for (VARIANT& element : elements) users.push_back(CopyOf(element));
        }
        std::vector<CVariant> user;
        user.emplace_back(View(displayName));
        user.emplace_back(View(userId));
        user.emplace_back(isAdministrator != VARIANT_FALSE);
        users.push_back(MakeVariantArray(user));
        list = MakeVariantArray(users);
        return S_OK;
    });
}

STDMETHODIMP CLegacyConfigObject::SetWindowsUserList(VARIANT users) {
    return Control([&](CLegacyConfigStore& store) {
        store.State().windowsUsers = CopyOf(users);
        return S_OK;
    });
}

STDMETHODIMP CLegacyConfigObject::SetCategoryList(VARIANT categories) {
    return Control([&](CLegacyConfigStore& store) {
        store.State().categories = CopyOf(categories);
        return S_OK;
    });
}

STDMETHODIMP CLegacyConfigObject::SetAdminPasswordPrepared(VARIANT_BOOL prepared) {
    return Control([&](CLegacyConfigStore& store) {
        store.State().adminPasswordPrepared = prepared != VARIANT_FALSE;
        return S_OK;
    });
}

STDMETHODIMP CLegacyConfigObject::FailCall(NuvConfigOperation operation, HRESULT hr, LONG result, LONG count) {
    if (!IsValidOperation(operation)) return E_INVALIDARG;
    return Control([&](CLegacyConfigStore& store) {
        store.PlanFailure(operation, hr, result, count);
        return S_OK;
    });
}

STDMETHODIMP CLegacyConfigObject::GetCallCount(NuvConfigOperation operation, LONG* count) {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    if (!IsValidOperation(operation)) return E_INVALIDARG;
    return Control([&](CLegacyConfigStore& store) {
        *count = store.CallCount(operation);
        return S_OK;
    });
}

STDMETHODIMP CLegacyConfigObject::GetCallLog(BSTR* log) {
    if (log == nullptr) return E_POINTER;
    *log = nullptr;
    return Control([&](CLegacyConfigStore& store) { return NuvCom::CBstr(std::wstring_view(store.CallLog())).CopyTo(log); });
}

STDMETHODIMP CLegacyConfigObject::ClearCallLog() {
    return Control([](CLegacyConfigStore& store) {
        store.ClearCallLog();
        return S_OK;
    });
}
