#include "plugin/core/QvLightWeightAPIWrapper.h"

#include "Shared/SealedRegistry.h"
#include "logging/Logging.h"

#include <shlobj.h>

#include <cwchar>

namespace {

constexpr DWORD kPathChars = MAX_PATH;  // 260
constexpr DWORD kWorkChars = 520;
constexpr const wchar_t* kSuiteKey = L"SOFTWARE\\Oberix\\Dov";
constexpr const wchar_t* kInstallDirValue = L"Install Dir";
constexpr const wchar_t* kSuiteServerClsid = L"{7323885B-407F-4839-9695-96F545FF6286}";
constexpr const wchar_t* kSuiteFolderBelowProgramFiles = L"\\Oberix\\Dov";
constexpr std::size_t kClsidChars = 38;  // with braces

template <class Function>
Function Bind(HMODULE library, const char* name) noexcept {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(library, name)));
}

// Appends within a buffer of `capacity` characters; false (text unchanged) when it does not fit.
bool Append(wchar_t* text, std::size_t capacity, const wchar_t* tail) noexcept {
    const std::size_t length = std::wcslen(text);
    const std::size_t tailLength = std::wcslen(tail);
    if (length + tailLength >= capacity) return false;
    std::wmemcpy(text + length, tail, tailLength + 1);
    return true;
}

bool ReadInstallDirValue(wchar_t* work) noexcept {
    DWORD type = REG_NONE;
    DWORD size = kWorkChars * sizeof(wchar_t);
    const LONG result =
        SealedRegReadValue(HKEY_LOCAL_MACHINE, kSuiteKey, kInstallDirValue, &type, work, &size, SEALED_REG_VIEW64);
    work[kWorkChars - 1] = L'\0';
    return result == ERROR_SUCCESS && type == REG_SZ && work[0] != L'\0';
}

bool ReadSuiteServerFolder(wchar_t* work) noexcept {
    if (!GetComServerPath(kSuiteServerClsid, work, static_cast<int>(kWorkChars)) || work[0] == L'\0') return false;
    wchar_t* const lastBackslash = std::wcsrchr(work, L'\\');
    if (lastBackslash != nullptr && lastBackslash > work) lastBackslash[1] = L'\0';
    return true;
}

}  // namespace

CQvLock::~CQvLock() = default;

CQvLightWeightAPIWrapper::~CQvLightWeightAPIWrapper() { Unload(); }

void CQvLightWeightAPIWrapper::Clear() noexcept {
    m_pRegisterProtectionProvider = nullptr;
    m_pUnregisterProtectionProvider = nullptr;
    m_pNotifyProtectionStatusChange = nullptr;
    m_pReportStaticData = nullptr;
    m_pGetStatisticData = nullptr;
    m_pSetStatisticDataStorageFormat = nullptr;
    m_pGetStatisticDataStorageFormat = nullptr;
}

DWORD CQvLightWeightAPIWrapper::Init() {
    CQvAutoLock lock(*this);
    if (m_library) return ERROR_SUCCESS;
    Clear();

    wchar_t path[kPathChars] = {};
    DWORD failure = GetSuiteInstallFolder(path, kPathChars, true);
    if (failure == ERROR_SUCCESS) {
        if (Append(path, kPathChars, kDllName)) {
            m_library.Reset(::LoadLibraryW(path));
            failure = ERROR_MOD_NOT_FOUND;
        } else {
            failure = ERROR_FILENAME_EXCED_RANGE;
        }
    }
    if (!m_library) {
        // Some failures leave no last error; the caller must still see one.
        DWORD error = ::GetLastError();
        if (error == ERROR_SUCCESS) error = failure;
        NUV_LOG(ETWLogging::LOG_ERROR, L"LoadLibrary:%s failed, error code:%d", kDllName, static_cast<int>(error));
        return error;
    }

    const HMODULE library = m_library.Get();
    m_pRegisterProtectionProvider = Bind<PFN_RegisterProtectionProvider>(library, "RegisterProtectionProvider");
    m_pUnregisterProtectionProvider = Bind<PFN_UnregisterProtectionProvider>(library, "UnregisterProtectionProvider");
    m_pNotifyProtectionStatusChange = Bind<PFN_NotifyProtectionStatusChange>(library, "NotifyProtectionStatusChange");
    m_pReportStaticData = Bind<PFN_ReportStatisticData>(library, "ReportStatisticData");
    m_pGetStatisticData = Bind<PFN_GetStatisticData>(library, "GetStatisticData");
    m_pSetStatisticDataStorageFormat = Bind<PFN_SetStatisticDataStorageFormat>(library, "SetStatisticDataStorageFormat");
    m_pGetStatisticDataStorageFormat = Bind<PFN_GetStatisticDataStorageFormat>(library, "GetStatisticDataStorageFormat");
    if (m_pRegisterProtectionProvider == nullptr || m_pUnregisterProtectionProvider == nullptr ||
        m_pNotifyProtectionStatusChange == nullptr || m_pReportStaticData == nullptr ||
        m_pGetStatisticData == nullptr || m_pSetStatisticDataStorageFormat == nullptr ||
        m_pGetStatisticDataStorageFormat == nullptr) {
        Unload();
        return ERROR_PROC_NOT_FOUND;
    }
    return ERROR_SUCCESS;
}

void CQvLightWeightAPIWrapper::Unload() {
    CQvAutoLock lock(*this);
    m_library.Reset();
    Clear();
}

HRESULT CQvLightWeightAPIWrapper::ReportStatisticData(const wchar_t* category, const wchar_t* name,
                                                      const VARIANT* value, DWORD flags) {
    // The caller normally holds the lock already (it is recursive): Unload on another thread
    // must not free the DLL under the call.
    CQvAutoLock lock(*this);
    if (m_pReportStaticData == nullptr) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"ReportStatisticData failed, m_pReportStaticData pointer is null");
        return E_FAIL;
    }
    return m_pReportStaticData(category, name, value, flags);
}

HRESULT CQvLightWeightAPIWrapper::ReportUserProtected(ULONG protectedUsers) {
    CQvAutoLock lock(*this);
    Init();  // a failure is logged there; the report below then answers E_FAIL
    VARIANT value;
    ::VariantInit(&value);
    value.vt = VT_UI4;
    value.ulVal = protectedUsers;
    return ReportStatisticData(kActivityCategory, kUserProtectedStatistic, &value, 0);
}

DWORD GetSuiteInstallFolder(wchar_t* folder, DWORD capacity, bool trailingBackslash) {
    if (folder == nullptr || capacity == 0) return ERROR_INVALID_PARAMETER;
    folder[0] = L'\0';

    wchar_t work[kWorkChars] = {};
    if (!ReadInstallDirValue(work)) {
        work[0] = L'\0';
        if (!ReadSuiteServerFolder(work)) {
            work[0] = L'\0';
            if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, work))) {
                return ERROR_BAD_PIPE;  // 232: no folder at all
            }
            if (!Append(work, kWorkChars, kSuiteFolderBelowProgramFiles)) return ERROR_INSUFFICIENT_BUFFER;
        }
    }

    // Exactly one final backslash when asked for, none otherwise, whatever the source gave.
    std::size_t length = std::wcslen(work);
    while (length > 0 && work[length - 1] == L'\\') work[--length] = L'\0';
    if (trailingBackslash && !Append(work, kWorkChars, L"\\")) return ERROR_INSUFFICIENT_BUFFER;

    // A server path like "\"C:\\Suite\\server.exe\" /arg" leaves its opening quote behind.
    const wchar_t* const text = work[0] == L'"' ? work + 1 : work;
    const std::size_t textLength = std::wcslen(text);
    if (textLength >= capacity) return ERROR_INSUFFICIENT_BUFFER;
    std::wmemcpy(folder, text, textLength + 1);
    return textLength == 0 ? ::GetLastError() : ERROR_SUCCESS;
}

bool GetComServerPath(const wchar_t* clsidText, wchar_t* path, int capacity) {
    if (path == nullptr || capacity <= 0) return false;
    path[0] = L'\0';
    if (clsidText == nullptr || clsidText[0] == L'\0') return false;

    const std::size_t clsidLength = wcsnlen(clsidText, kClsidChars);
    std::wstring clsid(clsidText, clsidLength);
    if (clsid.front() != L'{') clsid.insert(clsid.begin(), L'{');
    if (clsid.back() != L'}') clsid.push_back(L'}');

    static const wchar_t* const kServerKeys[] = {L"\\InprocServer32", L"\\LocalServer32"};
    static const REGSAM kViews[] = {0, KEY_WOW64_32KEY, KEY_WOW64_64KEY};
    Tessal::UniqueHKey key;
    for (const wchar_t* serverKey : kServerKeys) {
        const std::wstring subKey = L"CLSID\\" + clsid + serverKey;
        if (subKey.size() > kPathChars) continue;
        for (const REGSAM view : kViews) {
            if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, subKey.c_str(), 0, KEY_QUERY_VALUE | view, key.Put()) == ERROR_SUCCESS) {
                break;
            }
        }
        if (key) break;
    }
    if (!key) return false;

    DWORD bytes = static_cast<DWORD>(capacity) * sizeof(wchar_t);
    if (::RegQueryValueExW(key.Get(), nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(path), &bytes) != ERROR_SUCCESS) {
        path[0] = L'\0';
        return false;
    }
    // Registry data need not carry its terminator.
    const std::size_t stored = bytes / sizeof(wchar_t);
    path[stored < static_cast<std::size_t>(capacity) ? stored : capacity - 1] = L'\0';

    const std::size_t length = std::wcslen(path);
    if (length > 2 && path[0] == L'"' && path[length - 1] == L'"') {
        std::wmemmove(path, path + 1, length - 2);
        path[length - 2] = L'\0';
    }
    return path[0] != L'\0';
}
