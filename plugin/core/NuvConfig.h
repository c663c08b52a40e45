#pragma once
// The plug-in's client of the configuration service: creates the service's configuration object,
// reads users' settings, signs users into and out of Windows sessions, receives the service's
// notifications (_IQvPSConfigEvents) and keeps per-session filter flags.

#include "base/Sync.h"
#include "nuvutil/SafeString.h"
#include "plugin/core/SessionFilterFlags.h"
#include "plugin/core/UserSettings.h"

#include <windows.h>
#include <configservice.h>
#include <wrl/client.h>

#include <memory>

class IModuleServices;
class CNuvConfigEventSink;

class CNuvConfig {
public:
    // Creates the configuration object. When it cannot: logs, reports problem 40 (affects
    // personal-info scanning) to the module and throws CNuvException(-1001). Then builds the
    // filter flags of the sessions that exist.
    explicit CNuvConfig(IModuleServices& module);
    ~CNuvConfig();
    CNuvConfig(const CNuvConfig&) = delete;
    CNuvConfig& operator=(const CNuvConfig&) = delete;

    // Advises the service's connection point; failures report problem 41 and throw nothing.
    void SubscribeToComEvents();
    // Unadvises and waits (bounded) until no notification is being handled.
    void UnsubscribeFromComEvents();

    std::unique_ptr<CUserSettings> GetSignedInUserSettings(DWORD sessionId);
    std::unique_ptr<CUserSettings> GetUserSettingsById(const CSafeStringW& userId);
    std::unique_ptr<CUserSettings> GetUserSettingsByUserName(const CSafeStringW& userName);
    // Appends setting 337 of the product-wide category when it is a BSTR.
    void GetStoredTimeZone(CSafeStringW& text);
    bool SignIn(DWORD sessionId, const wchar_t* userId);
    void SignOut(DWORD sessionId);

    void UpdateSessionFlags(DWORD sessionId);
    void RebuildSessionFlags();
    // Find-only read for connection threads; false (state all 0) when the session has no entry.
    bool GetSessionFilterState(DWORD sessionId, SessionFilterState& state) const;

    // The notification sink as the service sees it (for tests that call it directly).
    IDispatch* GetEventSink() const noexcept;

private:
    friend class CNuvConfigEventSink;
    HRESULT Invoke(DISPID dispId, DISPPARAMS* parameters);

    // The notifications, on the service's thread.
    HRESULT OnConfigChanged();
    HRESULT OnSignIn(DWORD sessionId, const wchar_t* userId);
    HRESULT OnSignOut(DWORD sessionId);
    HRESULT OnReset();
    HRESULT OnFolderPermissions();
    HRESULT OnReloadSearchEngines();

    // Item `id` of the configuration object as a collection or a settings category.
    bool getConfig(LONG id, Microsoft::WRL::ComPtr<IConfigCollection>& collection);
    bool getConfig(LONG id, Microsoft::WRL::ComPtr<IConfigSettings>& category);
    HRESULT GetItem(LONG id, Microsoft::WRL::ComPtr<IDispatch>& item);
    // The item as `iid`; a failure is logged with `failureFormat` (id, HRESULT).
    bool GetItemAs(LONG id, REFIID iid, void** object, const wchar_t* failureFormat);
    // The record of the first user whose text setting `settingId` equals `text`.
    std::unique_ptr<CUserSettings> FindUser(LONG settingId, const CSafeStringW& text);

    IModuleServices& m_module;
    Microsoft::WRL::ComPtr<IQvConfigCategory> m_config;
    DWORD m_cookie = 0;
    Microsoft::WRL::ComPtr<CNuvConfigEventSink> m_sink;
    mutable Tessal::CCriticalSection m_flagsLock;  // a leaf lock: nothing else is taken under it
    SessionFilterFlags m_flags;
};
