#pragma once
// Which trace provider the ETW logger registers as and where its registry overrides live: read
// from SOFTWARE\Oberix.logging\<application id>, or built in for the application id "KVT".

#include <windows.h>

#include <string>

namespace Tessal {
class CRegKey;
}

namespace ETWLogging {

// {CD1DAAD0-54CC-11E0-B8AF-0800200C9A66}: the GUID of every event and the one trace GUID registered.
extern const GUID kEventClassGuid;
// {E16CA450-55CC-11E0-B8AF-0800200C9A66}
extern const GUID kBuiltInProviderGuid;
// {491FB070-54CC-11E0-B8AF-0800200C9A66}
extern const GUID kBuiltInSessionIdGuid;

namespace internal {

class ETWAppProperties {
public:
    ETWAppProperties() = default;
    ETWAppProperties(const ETWAppProperties&) = default;
    ETWAppProperties& operator=(const ETWAppProperties&) = default;
    virtual ~ETWAppProperties() = default;

    // False when an application id is already held, or the properties cannot be had. A null or
    // empty id means "KVT".
    virtual bool Load(const wchar_t* applicationId);
    // FOLDERID_ProgramData: 0 or 87.
    virtual DWORD GetDataRoot(std::wstring& dataRoot);
    // Takes the opened application key over.
    virtual bool LoadFromRegistry(const std::wstring& dataRoot, Tessal::CRegKey& applicationKey);
    virtual bool LoadBuiltIn(const std::wstring& dataRoot);
    virtual const wchar_t* GetEtlFileName() const;
    virtual const wchar_t* GetRegistryRoot() const;
    // The registry root, "\" and the application id, plus "\" and the subkey when one is given.
    virtual void GetAppKeyPath(std::wstring& path, const wchar_t* subKey) const;

    const std::wstring& GetApplicationId() const noexcept { return m_applicationId; }
    const std::wstring& GetDataRootPath() const noexcept { return m_dataRoot; }
    const GUID& GetSessionIdGuid() const noexcept { return m_sessionIdGuid; }
    const std::wstring& GetSessionName() const noexcept { return m_sessionName; }
    const GUID& GetProviderGuid() const noexcept { return m_providerGuid; }
    const std::wstring& GetOwnerMutexName() const noexcept { return m_ownerMutexName; }
    const std::wstring& GetLogPath() const noexcept { return m_logPath; }
    const std::wstring& GetEtlFolder() const noexcept { return m_etlFolder; }
    const std::wstring& GetEtlFile() const noexcept { return m_etlFile; }
    const std::wstring& GetControllerPath() const noexcept { return m_controllerPath; }
    HKEY GetRootKey() const noexcept { return m_rootKey; }
    const std::wstring& GetApplicationKeyPath() const noexcept { return m_applicationKeyPath; }
    const std::wstring& GetControllerKeyPath() const noexcept { return m_controllerKeyPath; }
    const std::wstring& GetProviderKeyPath() const noexcept { return m_providerKeyPath; }

private:
    std::wstring m_applicationId;
    std::wstring m_dataRoot;
    GUID m_sessionIdGuid = {};
    std::wstring m_sessionName;
    GUID m_providerGuid = {};
    std::wstring m_ownerMutexName;
    std::wstring m_logPath;
    std::wstring m_etlFolder;
    std::wstring m_etlFile;
    std::wstring m_controllerPath;
    HKEY m_rootKey = HKEY_LOCAL_MACHINE;
    std::wstring m_applicationKeyPath;
    std::wstring m_controllerKeyPath;
    std::wstring m_providerKeyPath;
    std::wstring m_applicationKeyPathCopy;
};

}  // namespace internal
}  // namespace ETWLogging
