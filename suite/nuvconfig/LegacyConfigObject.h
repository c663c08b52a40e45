#pragma once
// The NuvConfig stand-in: INuvConfig (dual) over the process-wide store, and the test control
// INuvConfigStandIn.

#include "nuvconfig.h"

#include "nuvutil/com/ComObject.h"
#include "nuvutil/com/DispatchImpl.h"

class CLegacyConfigObject final
    : public NuvCom::CComObjectBase<NuvCom::CDispatchImpl<INuvConfig>, INuvConfigStandIn> {
public:
    // INuvConfig
    STDMETHODIMP GetProductValue(VARIANT id, VARIANT* result, VARIANT* value) override;
    STDMETHODIMP SetProductValue(VARIANT id, VARIANT value, LONG* result) override;
    STDMETHODIMP GetVORLUserList(VARIANT* users) override;
    STDMETHODIMP RemoveUser(BSTR userId, LONG* result) override;
    STDMETHODIMP GetKnownUserList(VARIANT* userIds) override;
    STDMETHODIMP ClearUserSettings(BSTR userId, LONG* result) override;
    STDMETHODIMP AddUser(BSTR userId, LONG* result) override;
    STDMETHODIMP GetUserSetting(BSTR userId, LONG id, VARIANT* value) override;
    STDMETHODIMP SetUserSetting(BSTR userId, LONG id, VARIANT value, LONG* result) override;
    STDMETHODIMP IsUserKnown(BSTR userId, LONG* result) override;
    STDMETHODIMP RemoveUserSetting(BSTR userId, LONG id, LONG* result) override;
    STDMETHODIMP IsAdminPasswordSet(VARIANT_BOOL* isSet) override;
    STDMETHODIMP GetValue(VARIANT id, VARIANT* result, VARIANT* value) override;
    STDMETHODIMP SetValue(VARIANT id, VARIANT value, LONG* result) override;
    STDMETHODIMP Authenticate(BSTR password, VARIANT_BOOL* authenticated) override;
    STDMETHODIMP NeedsConfiguration(VARIANT_BOOL* needsConfiguration) override;
    STDMETHODIMP SetDefaultSetting(LONG ageGroup, VARIANT id, VARIANT value, LONG* result) override;
    STDMETHODIMP GetDefaultSetting(LONG ageGroup, VARIANT id, VARIANT* result, VARIANT* value) override;
    STDMETHODIMP GetCategoryList(VARIANT* categories) override;
    STDMETHODIMP IsUserProtected(BSTR userId, VARIANT_BOOL* isProtected) override;
    STDMETHODIMP SetUserProtected(BSTR userId, LONG protect, LONG* result) override;
    STDMETHODIMP PrepareAdminPassword(LONG* result) override;
    STDMETHODIMP CanSetAdminPassword(VARIANT_BOOL* canSet) override;

    // INuvConfigStandIn
    STDMETHODIMP Reset() override;
    STDMETHODIMP AddWindowsUser(BSTR displayName, BSTR userId, VARIANT_BOOL isAdministrator) override;
    STDMETHODIMP SetWindowsUserList(VARIANT users) override;
    STDMETHODIMP SetCategoryList(VARIANT categories) override;
    STDMETHODIMP SetAdminPasswordPrepared(VARIANT_BOOL prepared) override;
    STDMETHODIMP FailCall(NuvConfigOperation operation, HRESULT hr, LONG result, LONG count) override;
    STDMETHODIMP GetCallCount(NuvConfigOperation operation, LONG* count) override;
    STDMETHODIMP GetCallLog(BSTR* log) override;
    STDMETHODIMP ClearCallLog() override;
};
