#include "logging/ETWAppProperties.h"

#include "logging/LoggingSeams.h"

#include "base/ObfuscatedRegKey.h"
#include "base/RegKey.h"

#include <objbase.h>

#include <cwchar>

namespace ETWLogging {

const GUID kEventClassGuid = {0xCD1DAAD0, 0x54CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};
const GUID kBuiltInProviderGuid = {0xE16CA450, 0x55CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};
const GUID kBuiltInSessionIdGuid = {0x491FB070, 0x54CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};

namespace internal {
namespace {

constexpr wchar_t kBuiltInApplicationId[] = L"KVT";
constexpr wchar_t kDefaultLogPath[] = L"\\Oberix\\QVLOGS";
constexpr wchar_t kDefaultEtlPath[] = L"\\Oberix\\QVLOGS\\ETW";
constexpr std::size_t kMaxGuidTextChars = 64;

bool QueryGuid(Tessal::CRegKey& key, const wchar_t* name, GUID& value) {
    std::wstring text;
    if (key.QueryStringValue(name, text) != ERROR_SUCCESS) return false;
    if (text.empty() || text.size() > kMaxGuidTextChars || text[0] != L'{') return false;
    return SUCCEEDED(::IIDFromString(text.c_str(), &value));
}

}  // namespace

bool ETWAppProperties::Load(const wchar_t* applicationId) {
    if (!m_applicationId.empty()) return false;
    m_applicationId = applicationId != nullptr && applicationId[0] != 0 ? applicationId : kBuiltInApplicationId;
    if (m_dataRoot.empty() && GetDataRoot(m_dataRoot) != ERROR_SUCCESS) return false;

    std::wstring path;
    GetAppKeyPath(path, nullptr);
    Tessal::CRegKey applicationKey;
    if (applicationKey.Open(m_rootKey, path.c_str(), KEY_READ) == ERROR_SUCCESS) {
        return LoadFromRegistry(m_dataRoot, applicationKey);
    }
    return LoadBuiltIn(m_dataRoot);
}

DWORD ETWAppProperties::GetDataRoot(std::wstring& dataRoot) {
    std::wstring path;
    if (FAILED(GetLoggingEnvironment().GetProgramDataFolder(path)) || path.empty()) return ERROR_INVALID_PARAMETER;
    dataRoot = path;
    return ERROR_SUCCESS;
}

bool ETWAppProperties::LoadFromRegistry(const std::wstring& dataRoot, Tessal::CRegKey& applicationKey) {
    // The values of these keys are stored scrambled.
    Tessal::CObfuscatedRegKey application;
    application.Attach(applicationKey.Detach());
    Tessal::CObfuscatedRegKey session;
    Tessal::CObfuscatedRegKey provider;
    Tessal::CObfuscatedRegKey controller;
    if (session.Open(application, L"Session", KEY_READ) != ERROR_SUCCESS ||
        provider.Open(application, L"Provider", KEY_READ) != ERROR_SUCCESS ||
        controller.Open(application, L"Controller", KEY_READ) != ERROR_SUCCESS) {
        return false;
    }

    GetAppKeyPath(m_applicationKeyPath, nullptr);
    GetAppKeyPath(m_controllerKeyPath, L"Controller");
    GetAppKeyPath(m_providerKeyPath, L"Provider");
    m_applicationKeyPathCopy = m_applicationKeyPath;

    std::wstring value;
    m_logPath = dataRoot + (application.QueryStringValue(L"Log Path", value) == ERROR_SUCCESS ? value
                                                                                              : kDefaultLogPath);
    m_etlFolder = dataRoot + (application.QueryStringValue(L"ETL Path", value) == ERROR_SUCCESS ? value
                                                                                                : kDefaultEtlPath);
    m_etlFile = m_etlFolder + L"\\" + GetEtlFileName();

    return controller.QueryStringValue(L"Controller Path", m_controllerPath) == ERROR_SUCCESS &&
           controller.QueryStringValue(L"Owner Mutex Name", m_ownerMutexName) == ERROR_SUCCESS &&
           QueryGuid(session, L"Session ID Guid", m_sessionIdGuid) &&
           session.QueryStringValue(L"Session Name", m_sessionName) == ERROR_SUCCESS &&
           QueryGuid(provider, L"Provider Guid", m_providerGuid);
}

bool ETWAppProperties::LoadBuiltIn(const std::wstring& dataRoot) {
    if (::_wcsicmp(m_applicationId.c_str(), kBuiltInApplicationId) != 0) return false;
    m_applicationKeyPath = L"SOFTWARE\\Oberix\\Logging";
    m_controllerKeyPath = L"SOFTWARE\\Oberix\\Logging\\Controller";
    m_providerKeyPath = L"SOFTWARE\\Oberix\\Logging\\Provider";
    m_applicationKeyPathCopy = m_applicationKeyPath;
    m_logPath = dataRoot + kDefaultLogPath;
    m_etlFolder = dataRoot + kDefaultEtlPath;
    m_etlFile = m_etlFolder + L"\\" + GetEtlFileName();
    m_ownerMutexName = L"Global\\Oberix.{0696D115-BE52-46c3-BFEE-D73A305B6581}";
    m_sessionIdGuid = kBuiltInSessionIdGuid;
    m_providerGuid = kBuiltInProviderGuid;
    m_sessionName = L"Oberix.{E4367DA7-2B80-47f3-86D2-7626A18FC6F4}";
    m_controllerPath.clear();
    return true;
}

const wchar_t* ETWAppProperties::GetEtlFileName() const { return L"qvlogs.etl"; }

const wchar_t* ETWAppProperties::GetRegistryRoot() const { return L"SOFTWARE\\Oberix.logging"; }

void ETWAppProperties::GetAppKeyPath(std::wstring& path, const wchar_t* subKey) const {
    path = std::wstring(GetRegistryRoot()) + L"\\" + m_applicationId;
    if (subKey != nullptr) path += std::wstring(L"\\") + subKey;
}

}  // namespace internal
}  // namespace ETWLogging
