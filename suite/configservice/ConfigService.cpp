#include "ConfigService.h"
#include "StateFile.h"

#include "base/Format.h"
#include "nuvutil/com/Bstr.h"
#include "nuvutil/com/CoInitializeScope.h"
#include "nuvutil/com/HResultError.h"

#include <olectl.h>

#include <algorithm>
#include <chrono>
#include <new>
#include <utility>

namespace QvConfigStandIn {

namespace {

constexpr wchar_t kTemporaryAdult[] = L"adult_temp";
constexpr LONG kSettingUserId = 199;
constexpr LONG kSettingUserName = 200;
constexpr LONG kSettingProtected = 315;
// Reset waits this long for a notification being delivered before it gives up.
constexpr DWORD kResetWaitMs = 10000;

std::wstring Quoted(const wchar_t* text, UINT length) {
    if (text == nullptr) {
        return L"null";
    }
    return L"\"" + std::wstring(text, length) + L"\"";
}

// One notification argument as the event log shows it.
std::wstring ArgumentText(const VARIANT& arg) {
    switch (arg.vt) {
        case VT_UI4:
            return std::to_wstring(arg.ulVal);
        case VT_I4:
            return std::to_wstring(arg.lVal);
        case VT_BOOL:
            return arg.boolVal ? L"true" : L"false";
        case VT_BSTR:
            return Quoted(arg.bstrVal, ::SysStringLen(arg.bstrVal));
        case VT_BYREF | VT_UI4:
            return L"&" + std::to_wstring(*arg.pulVal);
        default:
            return Tessal::Format(L"vt=0x%04X", static_cast<unsigned>(arg.vt));
    }
}

std::wstring JoinLines(const std::vector<std::wstring>& lines) {
    std::wstring text;
    for (const std::wstring& line : lines) {
        text += line;
        text += L'\n';
    }
    return text;
}

// "IConfigSettings.Get(315)" -> {"IConfigSettings.Get", "315"}; no parentheses: any argument.
std::pair<std::wstring, std::wstring> SplitCallName(const wchar_t* callName) {
    const std::wstring text(callName);
    const std::size_t open = text.find(L'(');
    if (open == std::wstring::npos || text.back() != L')') {
        return {text, {}};
    }
    return {text.substr(0, open), text.substr(open + 1, text.size() - open - 2)};
}

// VariantCopy into an empty target. Wine's VariantCopy turns a null BSTR into an empty one; here
// a null stays null (readers of setting 210 tell them apart).
void CopyValue(VARIANT* target, const VARIANT& value) {
    if (value.vt == VT_BSTR && value.bstrVal == nullptr) {
        target->vt = VT_BSTR;
        target->bstrVal = nullptr;
        return;
    }
    NuvCom::ThrowIfFailed(::VariantCopy(target, const_cast<VARIANT*>(&value)), "VariantCopy");
}

NuvCom::CVariant CopyOf(const VARIANT& value) {
    NuvCom::CVariant copy;
    CopyValue(copy.Put(), value);
    return copy;
}

void PutSetting(CategoryData& category, LONG settingId, const VARIANT& value) {
    if (value.vt == VT_EMPTY) {
        category.settings.erase(settingId);
    } else {
        category.settings[settingId] = CopyOf(value);
    }
}

HRESULT InvokeSink(IDispatch* sink, LONG dispId, std::vector<NuvCom::CVariant>& args) {
    // DISPPARAMS lists the arguments last first.
    std::vector<VARIANTARG> reversed;
    reversed.reserve(args.size());
    for (auto arg = args.rbegin(); arg != args.rend(); ++arg) {
        reversed.push_back(*arg->Get());
    }
    DISPPARAMS params = {reversed.empty() ? nullptr : reversed.data(), nullptr, static_cast<UINT>(reversed.size()),
                         0};
    NuvCom::CVariant result;
    EXCEPINFO exception = {};
    UINT argError = 0;
    const HRESULT hr = sink->Invoke(dispId, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result.Put(),
                                    &exception, &argError);
    if (hr == DISP_E_EXCEPTION) {
        NuvCom::CBstr source, description, helpFile;
        source.Reset(exception.bstrSource);
        description.Reset(exception.bstrDescription);
        helpFile.Reset(exception.bstrHelpFile);
    }
    return hr;
}

}  // namespace

CConfigService& CConfigService::Instance() {
    // Never destroyed: the DLL stays loaded for the life of the process (DllCanUnloadNow), and the
    // event thread may still be running when the process exits.
    static CConfigService* const service = [] {
        auto* created = new CConfigService();
        LoadStateFile(*created);
        WatchCommandFile(*created);
        return created;
    }();
    return *service;
}

CConfigService::CConfigService()
    : m_product(std::make_shared<CategoryData>()), m_temporaryAdult(std::make_shared<CategoryData>()) {
    m_product->name = L"product";
    m_temporaryAdult->name = kTemporaryAdult;
    m_temporaryAdult->settings[kSettingUserId] = NuvCom::CVariant(kTemporaryAdult);
    m_temporaryAdult->settings[kSettingUserName] = NuvCom::CVariant(kTemporaryAdult);
    m_temporaryAdult->settings[kSettingProtected] = NuvCom::CVariant(false);
}

Injected CConfigService::BeginCall(const wchar_t* name, const std::wstring& arguments, const std::wstring& detail) {
    LoggedCall call;
    call.name = name;
    call.firstArgument = arguments.substr(0, arguments.find(L", "));
    call.line = call.name + L"(" + arguments + L")";
    if (!detail.empty()) {
        call.line += L" " + detail;
    }

    Injected injected;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        // A rule for this argument wins over one for any argument.
        auto rule = std::find_if(m_failures.begin(), m_failures.end(), [&](const FailureRule& r) {
            return r.name == call.name && !r.argument.empty() && r.argument == call.firstArgument;
        });
        if (rule == m_failures.end()) {
            rule = std::find_if(m_failures.begin(), m_failures.end(),
                                [&](const FailureRule& r) { return r.name == call.name && r.argument.empty(); });
        }
        if (rule != m_failures.end() && rule->fault) rule = m_failures.end();
        if (rule != m_failures.end()) {
            injected = {true, rule->hr, rule->status};
            if (rule->remaining > 0 && --rule->remaining == 0) {
                m_failures.erase(rule);
            }
        }
        m_calls.push_back(std::move(call));
    }
    return injected;
}

void CConfigService::CrashIfAsked(const wchar_t* name) {
    bool crash = false;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        crash = std::any_of(m_failures.begin(), m_failures.end(),
                            [&](const FailureRule& r) { return r.fault && r.name == name; });
    }
    if (crash) {
        // A broken component: an access violation on the caller's thread, outside any handler of
        // the service's own and with none of its locks held.
        volatile int* volatile nowhere = nullptr;
        *nowhere = 1;
    }
}

CategoryPtr CConfigService::ProductCategory() { return m_product; }

std::vector<CategoryPtr> CConfigService::Users() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_users;
}

bool CConfigService::ReadSetting(const CategoryPtr& category, LONG settingId, VARIANT* value) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (category->removed) {
        return false;
    }
    const auto found = category->settings.find(settingId);
    if (found == category->settings.end()) {
        return false;
    }
    CopyValue(value, *found->second.Get());
    return true;
}

bool CConfigService::IsSignedIn(DWORD sessionId) {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_signedIn.count(sessionId) != 0;
}

bool CConfigService::SignIn(DWORD sessionId, const wchar_t* userId) {
    if (userId == nullptr || *userId == L'\0') {
        return false;
    }
    std::lock_guard<std::mutex> lock(m_lock);
    CategoryPtr user = std::wstring_view(userId) == kTemporaryAdult ? m_temporaryAdult : FindUserLocked(userId);
    if (!user) {
        return false;
    }
    // A user already signed in is replaced without a sign-out notification: subscribers sign the
    // previous user out themselves when they see the new one.
    m_signedIn[sessionId] = user;
    QueueSignInLocked(sessionId, user->name, 2);
    return true;
}

bool CConfigService::SignOut(DWORD sessionId) {
    std::lock_guard<std::mutex> lock(m_lock);
    const auto found = m_signedIn.find(sessionId);
    if (found == m_signedIn.end()) {
        return false;
    }
    const std::wstring userId = found->second->name;
    m_signedIn.erase(found);
    QueueSignInLocked(sessionId, userId, 3);
    return true;
}

CategoryPtr CConfigService::SignedInUser(DWORD sessionId) {
    std::lock_guard<std::mutex> lock(m_lock);
    const auto found = m_signedIn.find(sessionId);
    return found == m_signedIn.end() ? nullptr : found->second;
}

DWORD CConfigService::Advise(IDispatch* sink) {
    std::lock_guard<std::mutex> lock(m_lock);
    const DWORD cookie = m_nextCookie++;
    m_sinks[cookie] = sink;
    return cookie;
}

HRESULT CConfigService::Unadvise(DWORD cookie) {
    Microsoft::WRL::ComPtr<IDispatch> sink;
    {
        std::unique_lock<std::mutex> lock(m_lock);
        const auto found = m_sinks.find(cookie);
        if (found == m_sinks.end()) {
            return CONNECT_E_NOCONNECTION;
        }
        sink.Swap(found->second);
        m_sinks.erase(found);
        // After Unadvise the subscriber may go away: let a call into it finish first. A subscriber
        // that unadvises from inside its own notification is not waited for.
        if (!OnEventThread()) {
            m_changed.wait(lock, [&] { return m_deliveringCookie != cookie; });
        }
    }
    return S_OK;  // the service's reference goes with `sink`, outside the lock
}

HRESULT CConfigService::Reset() {
    std::vector<CategoryPtr> users;
    {
        std::unique_lock<std::mutex> lock(m_lock);
        m_events.clear();
        if (!OnEventThread() &&
            !m_changed.wait_for(lock, std::chrono::milliseconds(kResetWaitMs), [this] { return !m_delivering; })) {
            return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
        }
        for (const CategoryPtr& user : m_users) {
            user->removed = true;
        }
        users.swap(m_users);
        m_product->settings.clear();
        m_signedIn.clear();
        m_failures.clear();
        m_calls.clear();
        m_eventLog.clear();
    }
    return S_OK;  // the users' settings are freed outside the lock
}

HRESULT CConfigService::AddUser(const wchar_t* userId, BSTR userName) {
    if (userId == nullptr || *userId == L'\0') {
        return E_INVALIDARG;
    }
    auto user = std::make_shared<CategoryData>();
    user->name = userId;
    user->settings[kSettingUserId] = NuvCom::CVariant(userId);
    VARIANT name;
    name.vt = VT_BSTR;
    name.bstrVal = userName;  // a null name stays a null BSTR
    user->settings[kSettingUserName] = CopyOf(name);

    std::lock_guard<std::mutex> lock(m_lock);
    if (user->name == kTemporaryAdult || FindUserLocked(userId)) {
        return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
    }
    m_users.push_back(std::move(user));
    return S_OK;
}

HRESULT CConfigService::RemoveUser(const wchar_t* userId) {
    std::lock_guard<std::mutex> lock(m_lock);
    const CategoryPtr user = FindUserLocked(userId);
    if (!user) {
        return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    }
    for (auto session = m_signedIn.begin(); session != m_signedIn.end();) {
        if (session->second == user) {
            QueueSignInLocked(session->first, user->name, 3);
            session = m_signedIn.erase(session);
        } else {
            ++session;
        }
    }
    user->removed = true;
    m_users.erase(std::find(m_users.begin(), m_users.end(), user));
    return S_OK;
}

HRESULT CConfigService::SetUserSetting(const wchar_t* userId, LONG settingId, const VARIANT& value) {
    std::lock_guard<std::mutex> lock(m_lock);
    const CategoryPtr user = FindUserLocked(userId);
    if (!user) {
        return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    }
    PutSetting(*user, settingId, value);
    return S_OK;
}

HRESULT CConfigService::SetProductSetting(LONG settingId, const VARIANT& value) {
    std::lock_guard<std::mutex> lock(m_lock);
    PutSetting(*m_product, settingId, value);
    return S_OK;
}

HRESULT CConfigService::FireEvent(LONG dispId, ULONG argCount, const VARIANT* args) {
    if (args == nullptr && argCount != 0) {
        return E_POINTER;
    }
    PendingEvent event;
    event.dispId = dispId;
    for (ULONG i = 0; i < argCount; ++i) {
        const VARIANT& arg = args[i];
        if ((arg.vt & VT_BYREF) == 0) {
            event.args.push_back(CopyOf(arg));
            continue;
        }
        // The caller's referenced value may be gone when the event thread gets to it: keep a copy
        // and point the argument at it.
        auto value = std::make_unique<NuvCom::CVariant>();
        NuvCom::ThrowIfFailed(::VariantCopyInd(value->Get(), const_cast<VARIANT*>(&arg)), "VariantCopyInd");
        NuvCom::CVariant byReference;
        byReference.Get()->vt = arg.vt;
        byReference.Get()->byref =
            arg.vt == (VT_BYREF | VT_VARIANT) ? static_cast<void*>(value->Get()) : &value->Get()->llVal;
        event.storage.push_back(std::move(value));
        event.args.push_back(std::move(byReference));
    }
    std::lock_guard<std::mutex> lock(m_lock);
    QueueLocked(std::move(event));
    return S_OK;
}

HRESULT CConfigService::WaitForEvents(DWORD timeoutMs) {
    std::unique_lock<std::mutex> lock(m_lock);
    if (OnEventThread()) {
        return E_UNEXPECTED;  // it would wait for itself
    }
    return WaitIdleLocked(lock, timeoutMs) ? S_OK : HRESULT_FROM_WIN32(ERROR_TIMEOUT);
}

DWORD CConfigService::EventThreadId() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_eventThreadId;
}

ULONG CConfigService::SinkCount() {
    std::lock_guard<std::mutex> lock(m_lock);
    return static_cast<ULONG>(m_sinks.size());
}

HRESULT CConfigService::FailCall(const wchar_t* callName, HRESULT hr, LONG status, LONG times) {
    if (callName == nullptr || *callName == L'\0' || times < -1) {
        return E_INVALIDARG;
    }
    auto [name, argument] = SplitCallName(callName);
    std::lock_guard<std::mutex> lock(m_lock);
    m_failures.erase(std::remove_if(m_failures.begin(), m_failures.end(),
                                    [&](const FailureRule& r) { return r.name == name && r.argument == argument; }),
                     m_failures.end());
    if (times != 0) {
        m_failures.push_back({std::move(name), std::move(argument), hr, status, times, false});
    }
    return S_OK;
}

void CConfigService::FaultCall(const wchar_t* callName) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_failures.push_back({callName, {}, S_OK, QV_CONFIG_STATUS_OK, -1, true});
}

std::wstring CConfigService::CallLog() {
    std::vector<std::wstring> lines;
    std::lock_guard<std::mutex> lock(m_lock);
    for (const LoggedCall& call : m_calls) {
        lines.push_back(call.line);
    }
    return JoinLines(lines);
}

ULONG CConfigService::CallCount(const wchar_t* callName) {
    if (callName == nullptr) {
        return 0;
    }
    const auto [name, argument] = SplitCallName(callName);
    std::lock_guard<std::mutex> lock(m_lock);
    return static_cast<ULONG>(std::count_if(m_calls.begin(), m_calls.end(), [&](const LoggedCall& call) {
        return call.name == name && (argument.empty() || call.firstArgument == argument);
    }));
}

std::wstring CConfigService::EventLog() {
    std::lock_guard<std::mutex> lock(m_lock);
    return JoinLines(m_eventLog);
}

void CConfigService::ClearLogs() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_calls.clear();
    m_eventLog.clear();
}

CategoryPtr CConfigService::FindUserLocked(const wchar_t* userId) const {
    if (userId == nullptr) {
        return nullptr;
    }
    const auto found = std::find_if(m_users.begin(), m_users.end(),
                                    [&](const CategoryPtr& user) { return user->name == userId; });
    return found == m_users.end() ? nullptr : *found;
}

void CConfigService::QueueSignInLocked(DWORD sessionId, const std::wstring& userId, LONG dispId) {
    PendingEvent event;
    event.dispId = dispId;
    NuvCom::CVariant session;
    session.Get()->vt = VT_UI4;
    session.Get()->ulVal = sessionId;
    event.args.push_back(std::move(session));
    event.args.emplace_back(std::wstring_view(userId));
    QueueLocked(std::move(event));
}

void CConfigService::QueueLocked(PendingEvent event) {
    if (!m_eventThread) {
        DWORD threadId = 0;
        m_eventThread.Reset(::CreateThread(nullptr, 0, &CConfigService::EventThreadMain, this, 0, &threadId));
        if (!m_eventThread) {
            NuvCom::ThrowLastError("CreateThread");
        }
        m_eventThreadId = threadId;
    }
    m_events.push_back(std::move(event));
    m_changed.notify_all();
}

bool CConfigService::WaitIdleLocked(std::unique_lock<std::mutex>& lock, DWORD timeoutMs) {
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [this] { return m_events.empty() && !m_delivering; });
}

DWORD WINAPI CConfigService::EventThreadMain(void* parameter) {
    NuvCom::CCoInitialize com(COINIT_MULTITHREADED);
    try {
        static_cast<CConfigService*>(parameter)->DeliverEvents();
    } catch (...) {
        // Out of memory for a log line: no more notifications in this process.
    }
    return 0;
}

void CConfigService::DeliverEvents() {
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        m_changed.wait(lock, [this] { return !m_events.empty(); });
        PendingEvent event = std::move(m_events.front());
        m_events.pop_front();
        m_delivering = true;

        std::vector<DWORD> cookies;
        for (const auto& sink : m_sinks) {
            cookies.push_back(sink.first);
        }
        for (const DWORD cookie : cookies) {
            const auto found = m_sinks.find(cookie);
            if (found == m_sinks.end()) {
                continue;  // unadvised meanwhile
            }
            Microsoft::WRL::ComPtr<IDispatch> sink = found->second;
            m_deliveringCookie = cookie;
            lock.unlock();

            // Subscribers call back into the service from here: no lock is held.
            const HRESULT hr = InvokeSink(sink.Get(), event.dispId, event.args);
            sink.Reset();
            std::wstring line;
            try {
                line = std::to_wstring(event.dispId) + L"(";
                for (std::size_t i = 0; i < event.args.size(); ++i) {
                    line += (i == 0 ? L"" : L", ") + ArgumentText(*event.args[i].Get());
                }
                line += Tessal::Format(L") -> 0x%08lX", static_cast<unsigned long>(hr));
            } catch (const std::bad_alloc&) {
                line.clear();  // an Unadvise may be waiting for this delivery to end: go on
            }

            lock.lock();
            m_deliveringCookie = 0;
            m_eventLog.push_back(std::move(line));
            m_changed.notify_all();
        }
        m_delivering = false;
        m_changed.notify_all();
    }
}

}  // namespace QvConfigStandIn
