#include "Shared/NUVAlertManager.h"

#include "Shared/AffiliateSettings.h"
#include "Shared/NuvPaths.h"
#include "Shared/RtMui.h"

#include "base/FileVersionInfo.h"
#include "base/Format.h"
#include "base/LibraryLoading.h"
#include "base/OSInfo.h"
#include "logging/Logging.h"
#include "nuvutil/com/Bstr.h"
#include "nuvutil/com/HResultError.h"
#include "nuvutil/com/SafeArray.h"
#include "nuvutil/com/Variant.h"

#include <objbase.h>
#include <oleauto.h>
#include <sddl.h>
#include <wrl/client.h>

#include <vector>

using Microsoft::WRL::ComPtr;
using NuvCom::CBstr;
using NuvCom::CVariant;

namespace {

constexpr DWORD kDefaultAlertTimeOut = 5000;
constexpr DWORD kBindDeadlineMs = 5000;
constexpr int kStringCapacity = 2048;

// CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER
constexpr DWORD kAlertClassContext = 23;

constexpr wchar_t kApplicationName[] = L"NUV";

// Alert ids, one per kind; the component and IAlertCallback answers carry them back.
constexpr wchar_t kBlockedByTimeRestrictionId[] = L"FC7D8764-3A40-4e61-B6A6-E1C9BCCB0710";
constexpr wchar_t kTimeRestrictionInEffectId[] = L"00A0391E-0673-434f-AE27-A59EA2F566F3";
constexpr wchar_t kTimeRestrictionAppliedId[] = L"A071F34D-15E4-4660-80AD-A76787E0D7EF";
constexpr wchar_t kTimeRestrictionUpcomingId[] = L"A0352A11-33EB-4d5d-8E44-97B3AC854DEE";
constexpr wchar_t kTimeZoneOutOfSyncId[] = L"5A3B3956-32CF-4554-B595-0F11371BD389";
constexpr wchar_t kTimeZoneUpdatedId[] = L"19B9B9D2-BA4B-4ad1-B617-BF5A578A8417";
constexpr wchar_t kBlacklistId[] = L"3E603C48-5925-4924-8650-E13E3D04E4AA";
constexpr wchar_t kCategoryBlockedId[] = L"C4E6E2AB-6C2A-40eb-AA6C-F57FB866C39B";
constexpr wchar_t kCategoryNotAllowedId[] = L"1B46A405-B519-4f19-838B-90A65320E363";

// String resources of the resource DLL.
enum : UINT {
    IDS_PRODUCT = 14049,
    IDS_TZ_UPDATED_HEADING = 20151,
    IDS_TZ_UPDATED_BODY = 20152,
    IDS_TZ_SYNC_HEADING = 20154,
    IDS_TZ_SYNC_BODY = 20155,
    IDS_TZ_SYNC_SETTINGS_BUTTON = 20157,
    IDS_TZ_SYNC_DISMISS_BUTTON = 20158,
    IDS_BLOCKED_TIME_HEADING = 20159,
    IDS_BLOCKED_TIME_BODY = 20160,
    IDS_UPCOMING_HEADING = 20162,
    IDS_UPCOMING_BODY = 20163,
    IDS_APPLIED_HEADING = 20165,
    IDS_APPLIED_BODY = 20166,
    IDS_CATEGORY_BLOCKED_HEADING = 20179,
    IDS_CATEGORY_BLOCKED_BODY = 20180,
    IDS_BLACKLIST_HEADING = 20182,
    IDS_BLACKLIST_BODY = 20183,
    IDS_NOT_ALLOWED_HEADING = 20185,
    IDS_NOT_ALLOWED_BODY = 20186,
    IDS_BLOCKED_TIME_RESPONSE = 20190,
    IDS_IN_EFFECT_HEADING = 20207,
    IDS_IN_EFFECT_BODY = 20208,
};

// The value the component's buttons action opens the product's settings with.
constexpr wchar_t kSettingsAction[] = L"vyx_settings";

// The three texts of a toast that vary by kind; the fourth is always empty.
struct AlertTexts {
    std::wstring title;
    std::wstring heading;
    std::wstring body;
};

// The arguments every show operation starts with, as BSTRs for the duration of one call.
struct AlertArguments {
    AlertArguments(const AlertTexts& texts, const wchar_t* alertId)
        : title(texts.title), heading(texts.heading), body(texts.body), footnote(L""),
          application(kApplicationName), id(alertId) {}

    CBstr title;
    CBstr heading;
    CBstr body;
    CBstr footnote;
    CBstr application;
    CBstr id;
};

HRESULT ShowPlainAlert(IQvAlert* alert, const AlertTexts& texts, const wchar_t* alertId, LONG kind, DWORD timeOut,
                       VARIANT_BOOL flag1, VARIANT_BOOL flag2) {
    const AlertArguments a(texts, alertId);
    return alert->ShowAlert(a.title.Get(), a.heading.Get(), a.body.Get(), a.footnote.Get(), a.application.Get(),
                            a.id.Get(), kind, 1, static_cast<LONG>(timeOut), flag1, flag2);
}

// A one-dimensional array of VARIANTs in a VARIANT. Throws CHResultError or std::bad_alloc.
CVariant VariantVector(std::vector<CVariant>& elements) {
    NuvCom::CSafeArray array = NuvCom::CSafeArray::CreateVector(VT_VARIANT, static_cast<ULONG>(elements.size()));
    for (std::size_t index = 0; index < elements.size(); ++index) {
        NuvCom::ThrowIfFailed(array.PutElement(static_cast<LONG>(index), elements[index].Get()), "PutElement");
    }
    CVariant result;
    result.Get()->vt = VT_ARRAY | VT_VARIANT;
    result.Get()->parray = array.Detach();
    return result;
}

// [[label, action], ...] as the component expects its buttons.
CVariant MakeButtons(std::initializer_list<std::pair<std::wstring, std::wstring>> buttons) {
    std::vector<CVariant> list;
    for (const auto& button : buttons) {
        std::vector<CVariant> pair;
        pair.emplace_back(std::wstring_view(button.first));
        pair.emplace_back(std::wstring_view(button.second));
        list.push_back(VariantVector(pair));
    }
    return VariantVector(list);
}

// The class id as "XXXXXXXX-...", without the braces of StringFromGUID2.
std::wstring ClassIdWithoutBraces(REFCLSID clsid) {
    wchar_t text[40] = {};
    if (::StringFromGUID2(clsid, text, ARRAYSIZE(text)) == 0) return {};
    std::wstring result(text);
    if (!result.empty() && result.front() == L'{') result.erase(0, 1);
    if (!result.empty() && result.back() == L'}') result.pop_back();
    return result;
}

using MkParseDisplayNameExFunction = HRESULT(WINAPI*)(IBindCtx*, LPCWSTR, ULONG*, IMoniker**);

// urlmon is bound at run time (not every binary built from this file links it) and stays loaded
// for the life of the process: a moniker it parsed may outlive any one call.
MkParseDisplayNameExFunction BindMkParseDisplayNameEx() {
    static const MkParseDisplayNameExFunction function = [] {
        const HMODULE urlmon = Tessal::LoadSystemLibrary(L"urlmon.dll");
        return urlmon == nullptr ? nullptr
                                 : reinterpret_cast<MkParseDisplayNameExFunction>(
                                       reinterpret_cast<void*>(::GetProcAddress(urlmon, "MkParseDisplayNameEx")));
    }();
    return function;
}

CAlertBindSeam& DefaultSeam() {
    static CAlertBindSeam seam;
    return seam;
}

}  // namespace

bool CAlertBindSeam::IsLocalSystem() {
    return CNUVAlertManager::IsLocalSystem();
}

HRESULT CAlertBindSeam::ParseDisplayName(IBindCtx* context, const wchar_t* displayName, ULONG* eaten,
                                         IMoniker** moniker) {
    const MkParseDisplayNameExFunction parse = BindMkParseDisplayNameEx();
    if (parse == nullptr) return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    return parse(context, displayName, eaten, moniker);
}

CNUVAlertManager::CNUVAlertManager(CAlertBindSeam* seam)
    : m_alertTimeOut(kDefaultAlertTimeOut), m_seam(seam != nullptr ? seam : &DefaultSeam()) {
    wchar_t path[2 * MAX_PATH] = {};
    if (GetNuvResourceDllPath(path, ARRAYSIZE(path))) {
        m_resourceDllPath = path;
    }
    DWORD timeOut = 0;
    if (CAffiliateSettings().ReadDword(L"AlertTimeOut", timeOut)) {
        m_alertTimeOut = timeOut;
    }
}

CNUVAlertManager::~CNUVAlertManager() = default;

bool CNUVAlertManager::_LoadResourceFileIfNeeded() {
    if (m_resourceLibrary) return true;
    if (m_resourceDllPath.empty()) {
        // No install folder: no name to hand to the loader, which would search for it.
        ::SetLastError(ERROR_PATH_NOT_FOUND);
    } else {
        m_resourceLibrary.Reset(RtMuiLoadLibraryEx(m_resourceDllPath.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    }
    if (!m_resourceLibrary) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to load the resource library (Error %d)\r\n", ::GetLastError());
        return false;
    }
    return true;
}

std::wstring CNUVAlertManager::LoadResourceString(UINT id) const {
    if (!m_resourceLibrary) return {};
    wchar_t buffer[kStringCapacity] = {};
    const int length = RtMuiLoadString(m_resourceLibrary.Get(), id, buffer, kStringCapacity);
    if (length <= 0) return {};
    return std::wstring(buffer, static_cast<std::size_t>(length < kStringCapacity ? length : kStringCapacity - 1));
}

std::wstring CNUVAlertManager::GetProductName(const wchar_t* path) {
    Tessal::FileVersionInfo info;
    if (path == nullptr || !info.Load(path)) return {};
    return info.GetValue(L"ProductName");
}

bool CNUVAlertManager::IsLocalSystem() {
    Tessal::UniqueHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.Put())) return false;
    DWORD size = 0;
    ::GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &size);
    if (size == 0) return false;
    std::vector<BYTE> data(size);
    if (!::GetTokenInformation(token.Get(), TokenUser, data.data(), size, &size)) return false;
    LPWSTR raw = nullptr;
    if (!::ConvertSidToStringSidW(reinterpret_cast<const TOKEN_USER*>(data.data())->User.Sid, &raw)) return false;
    const Tessal::UniqueLocalMem text(raw);
    return ::CompareStringOrdinal(raw, -1, L"S-1-5-18", -1, TRUE) == CSTR_EQUAL;
}

bool CNUVAlertManager::_GetQvAlert(IQvAlert** alert, DWORD sessionId) {
    if (alert == nullptr) return false;
    *alert = nullptr;

    if (sessionId == kConsoleSession && !m_seam->IsLocalSystem()) {
        const HRESULT hr = ::CoCreateInstance(__uuidof(QvAlert), nullptr, kAlertClassContext, __uuidof(IQvAlert),
                                              reinterpret_cast<void**>(alert));
        if (FAILED(hr)) {
            NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to create alert object: 0x%08X \r\n", hr);
            return false;
        }
        return true;
    }

    // Another session's alert component (or the console's, seen from a service) is reached
    // through its class object in that session.
    ComPtr<IBindCtx> context;
    ComPtr<IMoniker> moniker;
    HRESULT hr = ::CreateBindCtx(0, context.GetAddressOf());
    if (SUCCEEDED(hr)) {
        const std::wstring classText = ClassIdWithoutBraces(__uuidof(QvAlert));
        const std::wstring displayName =
            sessionId == kConsoleSession ? Tessal::Format(L"Session:Console!clsid:%s", classText.c_str())
                                         : Tessal::Format(L"Session:%u!clsid:%s", sessionId, classText.c_str());
        ULONG eaten = 0;
        hr = m_seam->ParseDisplayName(context.Get(), displayName.c_str(), &eaten, moniker.GetAddressOf());
    }
    if (SUCCEEDED(hr) && moniker) {
        BIND_OPTS2 options = {};
        options.cbStruct = sizeof(options);
#ifdef _WIN64
        static_assert(sizeof(BIND_OPTS2) == 40, "the bind options the component's callers pass");
#endif
        bool optionsSet = SUCCEEDED(context->GetBindOptions(&options));
        if (optionsSet) {
            options.dwTickCountDeadline = ::GetTickCount() + kBindDeadlineMs;
            optionsSet = SUCCEEDED(context->SetBindOptions(&options));
        }
        if (!optionsSet) {
            NUV_LOG(ETWLogging::LOG_ERROR, L"IN _GetQvAlert setbindoption failed");
        }
        ComPtr<IQvAlertFactory> factory;
        hr = moniker->BindToObject(context.Get(), nullptr, __uuidof(IQvAlertFactory),
                                   reinterpret_cast<void**>(factory.GetAddressOf()));
        if (SUCCEEDED(hr)) {
            hr = factory->CreateAlert(__uuidof(IQvAlert), reinterpret_cast<void**>(alert));
        }
    } else if (SUCCEEDED(hr)) {
        hr = E_UNEXPECTED;  // a parse that succeeds without a moniker
    }
    if (FAILED(hr)) {
        if (*alert != nullptr) {
            (*alert)->Release();
            *alert = nullptr;
        }
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to create alert object using session moniker: 0x%08X \r\n", hr);
        return false;
    }
    return *alert != nullptr;
}

void CNUVAlertManager::ShowBlockedDueToTimeRestriction(const wchar_t* imagePath, IAlertCallback* callback,
                                                       DWORD sessionId) {
    // The component may keep the callback; ours stays alive at least until we are done.
    const ComPtr<IAlertCallback> callbackReference(callback);
    NUV_LOG(ETWLogging::LOG_NORMAL,
            L"About to show internet access blocked due to time restriction alert for session ID %d\r\n", sessionId);
    if (!_LoadResourceFileIfNeeded()) return;
    ComPtr<IQvAlert> alert;
    if (!_GetQvAlert(alert.GetAddressOf(), sessionId)) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Unable to show internet access blocked due to time restriction alert\r\n");
        return;
    }

    std::wstring name = GetProductName(imagePath);
    if (name.empty() && imagePath != nullptr) name = imagePath;
    const AlertTexts texts = {LoadResourceString(IDS_PRODUCT), LoadResourceString(IDS_BLOCKED_TIME_HEADING),
                              Tessal::Format(LoadResourceString(IDS_BLOCKED_TIME_BODY).c_str(), name.c_str())};
    const AlertArguments a(texts, kBlockedByTimeRestrictionId);
    const CBstr responseText(LoadResourceString(IDS_BLOCKED_TIME_RESPONSE));
    HRESULT hr = alert->ShowAlertWithCallback(a.title.Get(), a.heading.Get(), a.body.Get(), a.footnote.Get(),
                                              a.application.Get(), a.id.Get(), 3, 1, static_cast<LONG>(m_alertTimeOut),
                                              VARIANT_TRUE, VARIANT_FALSE, callback, responseText.Get());
    if (FAILED(hr)) {
        // A component that cannot take answers still tells the user the restriction holds.
        hr = ShowPlainAlert(alert.Get(),
                            {LoadResourceString(IDS_PRODUCT), LoadResourceString(IDS_IN_EFFECT_HEADING),
                             LoadResourceString(IDS_IN_EFFECT_BODY)},
                            kTimeRestrictionInEffectId, 2, m_alertTimeOut, VARIANT_TRUE, VARIANT_TRUE);
        NUV_LOG(ETWLogging::LOG_NORMAL, L"Showing Time Restriction already in effect alert, hr = 0x%08X\r\n", hr);
    }
}

void CNUVAlertManager::ShowTimeRestrictionApplied(const wchar_t* /*userId*/, DWORD sessionId) {
    NUV_LOG(ETWLogging::LOG_NORMAL, L"About to show time restriction applied alert for session ID %d\r\n", sessionId);
    if (!_LoadResourceFileIfNeeded()) return;
    ComPtr<IQvAlert> alert;
    if (!_GetQvAlert(alert.GetAddressOf(), sessionId)) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Unable to show time restriction applied alert\r\n");
        return;
    }
    ShowPlainAlert(alert.Get(),
                   {LoadResourceString(IDS_PRODUCT), LoadResourceString(IDS_APPLIED_HEADING),
                    LoadResourceString(IDS_APPLIED_BODY)},
                   kTimeRestrictionAppliedId, 2, m_alertTimeOut, VARIANT_FALSE, VARIANT_TRUE);
}

void CNUVAlertManager::ShowTimeRestrictionUpcoming(DWORD minutes, DWORD sessionId) {
    NUV_LOG(ETWLogging::LOG_NORMAL, L"About to show time restriction warning alert for session ID %d\r\n", sessionId);
    if (!_LoadResourceFileIfNeeded()) return;
    ComPtr<IQvAlert> alert;
    if (!_GetQvAlert(alert.GetAddressOf(), sessionId)) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Unable to show time restriction warning alert\r\n");
        return;
    }
    // The body is a format too, used without arguments.
    ShowPlainAlert(alert.Get(),
                   {LoadResourceString(IDS_PRODUCT),
                    Tessal::Format(LoadResourceString(IDS_UPCOMING_HEADING).c_str(), minutes),
                    Tessal::Format(LoadResourceString(IDS_UPCOMING_BODY).c_str())},
                   kTimeRestrictionUpcomingId, 2, m_alertTimeOut, VARIANT_FALSE, VARIANT_FALSE);
}

void CNUVAlertManager::ShowTimeZoneOutOfSync(DWORD sessionId) {
    NUV_LOG(ETWLogging::LOG_NORMAL, L"About to show time zone out of sync toaster alert for session ID %d\r\n",
            sessionId);
    if (!_LoadResourceFileIfNeeded()) return;
    ComPtr<IQvAlert> alert;
    if (!_GetQvAlert(alert.GetAddressOf(), sessionId)) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Unable to show Time Zone out of sync alert\r\n");
        return;
    }
    const AlertTexts texts = {LoadResourceString(IDS_PRODUCT), LoadResourceString(IDS_TZ_SYNC_HEADING),
                              LoadResourceString(IDS_TZ_SYNC_BODY)};
    CVariant buttons = MakeButtons({{LoadResourceString(IDS_TZ_SYNC_SETTINGS_BUTTON), kSettingsAction},
                                    {LoadResourceString(IDS_TZ_SYNC_DISMISS_BUTTON), L""}});
    const AlertArguments a(texts, kTimeZoneOutOfSyncId);
    alert->ShowAlertWithButtons(a.title.Get(), a.heading.Get(), a.body.Get(), a.footnote.Get(), a.application.Get(),
                                a.id.Get(), 2, 1, static_cast<LONG>(m_alertTimeOut), buttons.Get(), VARIANT_FALSE,
                                VARIANT_FALSE);
}

void CNUVAlertManager::ShowTimeZoneUpdated(DWORD sessionId) {
    NUV_LOG(ETWLogging::LOG_NORMAL, L"About to show time zone updated toaster alert for session ID %d\r\n", sessionId);
    if (!_LoadResourceFileIfNeeded()) return;
    ComPtr<IQvAlert> alert;
    if (!_GetQvAlert(alert.GetAddressOf(), sessionId)) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Unable to show Time Zone updated alert\r\n");
        return;
    }
    AlertTexts texts;
    LoadResString(texts.body, IDS_TZ_UPDATED_BODY);
    LoadResString(texts.heading, IDS_TZ_UPDATED_HEADING);
    LoadResString(texts.title, IDS_PRODUCT);
    ShowPlainAlert(alert.Get(), texts, kTimeZoneUpdatedId, 3, m_alertTimeOut, VARIANT_FALSE, VARIANT_FALSE);
}

void CNUVAlertManager::ShowURLBlockedDueToBlacklist(const wchar_t* /*imagePath*/, const wchar_t* domain,
                                                    DWORD sessionId) {
    NUV_LOG(ETWLogging::LOG_NORMAL, L"About to show URL blocked due to blacklist alert for session ID %d\r\n",
            sessionId);
    if (!_LoadResourceFileIfNeeded()) return;
    ComPtr<IQvAlert> alert;
    if (!_GetQvAlert(alert.GetAddressOf(), sessionId)) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Unable to show URL blocked due to blacklist alert\r\n");
        return;
    }
    ShowPlainAlert(alert.Get(),
                   {LoadResourceString(IDS_PRODUCT), LoadResourceString(IDS_BLACKLIST_HEADING),
                    Tessal::Format(LoadResourceString(IDS_BLACKLIST_BODY).c_str(), domain != nullptr ? domain : L"")},
                   kBlacklistId, 3, m_alertTimeOut, VARIANT_TRUE, VARIANT_FALSE);
}

void CNUVAlertManager::ShowURLBlockedDueToCategoryBlocked(const wchar_t* /*imagePath*/, const wchar_t* /*domain*/,
                                                          UINT categoryNameId, DWORD sessionId) {
    NUV_LOG(ETWLogging::LOG_NORMAL, L"About to show URL blocked due to category blocked alert for session ID %d\r\n",
            sessionId);
    if (!_LoadResourceFileIfNeeded()) return;
    ComPtr<IQvAlert> alert;
    if (!_GetQvAlert(alert.GetAddressOf(), sessionId)) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Unable to show URL blocked due to category blocked alert\r\n");
        return;
    }
    const std::wstring category = LoadResourceString(categoryNameId);
    ShowPlainAlert(alert.Get(),
                   {LoadResourceString(IDS_PRODUCT), LoadResourceString(IDS_CATEGORY_BLOCKED_HEADING),
                    Tessal::Format(LoadResourceString(IDS_CATEGORY_BLOCKED_BODY).c_str(), category.c_str())},
                   kCategoryBlockedId, 3, m_alertTimeOut, VARIANT_TRUE, VARIANT_FALSE);
}

void CNUVAlertManager::ShowURLBlockedDueToCategoryNotAllowed(const wchar_t* /*imagePath*/, const wchar_t* domain,
                                                             DWORD sessionId) {
    NUV_LOG(ETWLogging::LOG_NORMAL,
            L"About to show URL blocked due to category not allowed alert for session ID %d\r\n", sessionId);
    if (!_LoadResourceFileIfNeeded()) return;
    ComPtr<IQvAlert> alert;
    if (!_GetQvAlert(alert.GetAddressOf(), sessionId)) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Unable to show URL blocked due to category not allowed alert\r\n");
        return;
    }
    ShowPlainAlert(alert.Get(),
                   {LoadResourceString(IDS_PRODUCT), LoadResourceString(IDS_NOT_ALLOWED_HEADING),
                    Tessal::Format(LoadResourceString(IDS_NOT_ALLOWED_BODY).c_str(), domain != nullptr ? domain : L"")},
                   kCategoryNotAllowedId, 3, m_alertTimeOut, VARIANT_TRUE, VARIANT_FALSE);
}

bool IsVistaOrWindows7() { return Tessal::IsSessionZeroIsolated(Tessal::GetOSVersionClass()); }
