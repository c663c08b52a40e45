// Drives the stand-in configuration service the way its clients do: CoCreateInstance by CLSID
// (scripts/test.sh registers QvPSConfig.dll), the dual interfaces, the connection point of
// _IQvPSConfigEvents; set up and inspected through IQvConfigServiceControl.
#include "configservice.h"

#include "base/UniqueHandle.h"
#include "nuvutil/com/Bstr.h"
#include "nuvutil/com/CoInitializeScope.h"
#include "nuvutil/com/Variant.h"

#include <gtest/gtest.h>
#include <oleauto.h>
#include <olectl.h>
#include <wrl/client.h>

#include <algorithm>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Microsoft::WRL::ComPtr;
using NuvCom::CBstr;
using NuvCom::CVariant;

constexpr DWORD kClassContext = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER;  // 3, as the plug-in asks
constexpr LONG kOk = 0x8020000;
constexpr LONG kFailed = 0x8020001;
constexpr DWORD kWaitMs = 5000;

// A value as "type:value", so a mismatch prints readably.
std::wstring Describe(const VARIANT& value) {
    switch (value.vt) {
        case VT_EMPTY:
            return L"empty";
        case VT_I4:
            return L"i4:" + std::to_wstring(value.lVal);
        case VT_UI4:
            return L"ui4:" + std::to_wstring(value.ulVal);
        case VT_BOOL:
            return L"bool:" + std::to_wstring(value.boolVal);
        case VT_BSTR:
            return value.bstrVal ? L"bstr:" + std::wstring(value.bstrVal, ::SysStringLen(value.bstrVal)) : L"bstr:null";
        case VT_DISPATCH:
            return L"dispatch";
        case VT_BYREF | VT_UI4:
            return L"byref ui4:" + std::to_wstring(*value.pulVal);
        default:
            return L"vt " + std::to_wstring(value.vt);
    }
}

CVariant Bool(bool value) { return CVariant(value); }

CVariant NullBstr() {
    CVariant value;
    value.Get()->vt = VT_BSTR;
    value.Get()->bstrVal = nullptr;
    return value;
}

struct ReadResult {
    HRESULT hr;
    LONG status;
    CVariant value;
};

ReadResult Read(IConfigSettings* category, LONG settingId) {
    ReadResult result{E_UNEXPECTED, 0, CVariant()};
    result.hr = category->Get(settingId, result.value.Put(), &result.status);
    return result;
}

ComPtr<IConfigSettings> AsCategory(const VARIANT& value) {
    ComPtr<IConfigSettings> category;
    if (value.vt == VT_DISPATCH && value.pdispVal != nullptr) {
        value.pdispVal->QueryInterface(IID_PPV_ARGS(&category));
    }
    return category;
}

// A subscriber as the plug-in is one: free-threaded, answers Invoke by dispid only. Records every
// call with its arguments (first argument first) and thread; can hold a call inside Invoke.
class CRecordingSink final : public IDispatch {
public:
    struct Call {
        DISPID dispId;
        std::vector<std::wstring> args;
        UINT namedArgs;
        DWORD threadId;
    };

    static ComPtr<CRecordingSink> Create() {
        CRecordingSink* created = new CRecordingSink();
        ComPtr<CRecordingSink> sink(created);
        created->Release();  // the pointer's reference is the only one
        return sink;
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        if (::IsEqualIID(riid, IID_IUnknown) || ::IsEqualIID(riid, IID_IDispatch) ||
            ::IsEqualIID(riid, DIID__IQvPSConfigEvents)) {
            *ppv = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(::InterlockedIncrement(&m_refs)); }
    STDMETHODIMP_(ULONG) Release() override {
        const LONG refs = ::InterlockedDecrement(&m_refs);
        if (refs == 0) {
            delete this;
        }
        return static_cast<ULONG>(refs);
    }
    LONG References() const { return ::InterlockedCompareExchange(const_cast<LONG*>(&m_refs), 0, 0); }

    STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }

    STDMETHODIMP Invoke(DISPID dispId, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                        UINT*) override {
        Call call{dispId, {}, params ? params->cNamedArgs : 0, ::GetCurrentThreadId()};
        for (UINT i = params ? params->cArgs : 0; i-- > 0;) {
            VARIANT& arg = params->rgvarg[i];
            call.args.push_back(Describe(arg));
            if (arg.vt == (VT_BYREF | VT_UI4)) {
                *arg.pulVal = m_answer;
            }
        }
        ::SetEvent(m_entered.Get());
        ::WaitForSingleObject(m_gate.Get(), INFINITE);
        std::lock_guard<std::mutex> lock(m_lock);
        m_calls.push_back(std::move(call));
        return m_result;
    }

    void ReturnFromInvoke(HRESULT result) { m_result = result; }
    void AnswerByReference(ULONG answer) { m_answer = answer; }
    // While closed, Invoke waits before it records and returns.
    void CloseGate() { ::ResetEvent(m_gate.Get()); }
    void OpenGate() { ::SetEvent(m_gate.Get()); }
    bool WaitEntered(DWORD ms) { return ::WaitForSingleObject(m_entered.Get(), ms) == WAIT_OBJECT_0; }

    std::vector<Call> Calls() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_calls;
    }

private:
    CRecordingSink() = default;
    ~CRecordingSink() = default;

    LONG m_refs = 1;
    HRESULT m_result = S_OK;
    ULONG m_answer = 0;
    Tessal::UniqueHandle m_gate{::CreateEventW(nullptr, TRUE, TRUE, nullptr)};
    Tessal::UniqueHandle m_entered{::CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    std::mutex m_lock;
    std::vector<Call> m_calls;
};

class ConfigServiceTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_com.Succeeded());
        m_config = Create();
        ASSERT_TRUE(m_config);
        ASSERT_EQ(S_OK, m_config.As(&m_control));
        ASSERT_EQ(S_OK, m_control->Reset());
    }

    void TearDown() override {
        for (const DWORD cookie : m_cookies) {
            Unadvise(cookie);
        }
        if (m_control) {
            EXPECT_EQ(S_OK, m_control->Reset());
        }
    }

    static ComPtr<IQvConfigCategory> Create() {
        ComPtr<IQvConfigCategory> config;
        EXPECT_EQ(S_OK, ::CoCreateInstance(__uuidof(QvPSConfig), nullptr, kClassContext, IID_PPV_ARGS(&config)));
        return config;
    }

    void AddUser(const wchar_t* id, const wchar_t* name) {
        ASSERT_EQ(S_OK, m_control->AddUser(CBstr(id).Get(), CBstr(name).Get()));
    }

    void Set(const wchar_t* id, LONG settingId, const CVariant& value) {
        ASSERT_EQ(S_OK, m_control->SetUserSetting(CBstr(id).Get(), settingId, *value.Get()));
    }

    ComPtr<IConfigSignIn> SignIn() {
        ComPtr<IConfigSignIn> signIn;
        EXPECT_EQ(S_OK, m_config.As(&signIn));
        return signIn;
    }

    ComPtr<IEnumVARIANT> EnumerateUsers() {
        CVariant users;
        LONG status = 0;
        EXPECT_EQ(S_OK, m_config->Get(QV_CONFIG_ITEM_USERS, users.Put(), &status));
        EXPECT_EQ(kOk, status);
        ComPtr<IConfigCollection> collection;
        ComPtr<IUnknown> enumerator;
        ComPtr<IEnumVARIANT> result;
        if (users.Type() == VT_DISPATCH && SUCCEEDED(users.Get()->pdispVal->QueryInterface(IID_PPV_ARGS(&collection))) &&
            SUCCEEDED(collection->get__NewEnum(&enumerator))) {
            enumerator.As(&result);
        }
        return result;
    }

    // The category of the user with that id (setting 199), found as the plug-in finds it.
    ComPtr<IConfigSettings> User(const wchar_t* id) {
        ComPtr<IEnumVARIANT> users = EnumerateUsers();
        if (!users) {
            return nullptr;
        }
        CVariant element;
        ULONG fetched = 0;
        while (users->Next(1, element.Put(), &fetched) == S_OK && fetched == 1) {
            ComPtr<IConfigSettings> category = AsCategory(*element.Get());
            if (category && Describe(*Read(category.Get(), 199).value.Get()) == L"bstr:" + std::wstring(id)) {
                return category;
            }
        }
        return nullptr;
    }

    ComPtr<IConnectionPoint> ConnectionPoint(IQvConfigCategory* config) {
        ComPtr<IConnectionPointContainer> container;
        ComPtr<IConnectionPoint> point;
        EXPECT_EQ(S_OK, config->QueryInterface(IID_PPV_ARGS(&container)));
        if (container) {
            EXPECT_EQ(S_OK, container->FindConnectionPoint(DIID__IQvPSConfigEvents, &point));
        }
        return point;
    }

    DWORD Advise(IDispatch* sink) {
        DWORD cookie = 0;
        ComPtr<IConnectionPoint> point = ConnectionPoint(m_config.Get());
        EXPECT_EQ(S_OK, point->Advise(sink, &cookie));
        m_cookies.push_back(cookie);
        return cookie;
    }

    HRESULT Unadvise(DWORD cookie) {
        m_cookies.erase(std::remove(m_cookies.begin(), m_cookies.end(), cookie), m_cookies.end());
        return ConnectionPoint(m_config.Get())->Unadvise(cookie);
    }

    std::wstring CallLog() {
        CBstr log;
        EXPECT_EQ(S_OK, m_control->GetCallLog(log.Put()));
        return log.Str();
    }

    std::wstring EventLog() {
        CBstr log;
        EXPECT_EQ(S_OK, m_control->GetEventLog(log.Put()));
        return log.Str();
    }

    ULONG CallCount(const wchar_t* name) {
        ULONG count = 0;
        EXPECT_EQ(S_OK, m_control->GetCallCount(CBstr(name).Get(), &count));
        return count;
    }

    void FailCall(const wchar_t* name, HRESULT hr, LONG status, LONG times) {
        ASSERT_EQ(S_OK, m_control->FailCall(CBstr(name).Get(), hr, status, times));
    }

    NuvCom::CCoInitialize m_com{COINIT_MULTITHREADED};
    ComPtr<IQvConfigCategory> m_config;
    ComPtr<IQvConfigServiceControl> m_control;
    std::vector<DWORD> m_cookies;
};

// Clients bind by vtable slot and by dispid: the registered type library must give the order
// they rely on (the first own operation of each dual interface in slot 7).
TEST_F(ConfigServiceTest, TypeLibraryGivesSlotsAndDispids) {
    ComPtr<ITypeLib> library;
    ASSERT_EQ(S_OK, ::LoadRegTypeLib(LIBID_QvPSConfigLib, 1, 0, LOCALE_NEUTRAL, &library));

    const struct {
        const IID* iid;
        std::vector<std::wstring> operations;
    } interfaces[] = {
        {&__uuidof(IQvConfigCategory), {L"Get"}},
        {&__uuidof(IConfigSettings), {L"Get"}},
        {&__uuidof(IConfigCollection), {L"_NewEnum"}},
        {&__uuidof(IConfigSignIn), {L"IsSignedIn", L"SignIn", L"SignOut", L"GetSignedInUser"}},
    };
    for (const auto& expected : interfaces) {
        ComPtr<ITypeInfo> dispatchInfo, vtableInfo;
        ASSERT_EQ(S_OK, library->GetTypeInfoOfGuid(*expected.iid, &dispatchInfo));
        HREFTYPE vtableRef = 0;
        ASSERT_EQ(S_OK, dispatchInfo->GetRefTypeOfImplType(static_cast<UINT>(-1), &vtableRef));  // the dual's vtable side
        ASSERT_EQ(S_OK, dispatchInfo->GetRefTypeInfo(vtableRef, &vtableInfo));
        for (UINT index = 0; index < expected.operations.size(); ++index) {
            FUNCDESC* function = nullptr;
            ASSERT_EQ(S_OK, vtableInfo->GetFuncDesc(index, &function));
            CBstr name;
            vtableInfo->GetDocumentation(function->memid, name.Put(), nullptr, nullptr, nullptr);
            EXPECT_EQ(expected.operations[index], name.Str());
            EXPECT_EQ(static_cast<SHORT>((7 + index) * sizeof(void*)), function->oVft) << name.Str();
            vtableInfo->ReleaseFuncDesc(function);
        }
    }

    ComPtr<ITypeInfo> events;
    ASSERT_EQ(S_OK, library->GetTypeInfoOfGuid(DIID__IQvPSConfigEvents, &events));
    const struct {
        const wchar_t* name;
        MEMBERID dispId;
    } handlers[] = {{L"OnConfigChanged", 1},     {L"OnSignIn", 2},           {L"OnSignOut", 3}, {L"OnReset", 4},
                    {L"OnFolderPermissions", 5}, {L"OnReloadSearchEngines", 6}, {L"OnQueryStatus", 9}};
    for (const auto& handler : handlers) {
        LPOLESTR names[] = {const_cast<LPOLESTR>(handler.name)};
        MEMBERID dispId = 0;
        EXPECT_EQ(S_OK, events->GetIDsOfNames(names, 1, &dispId)) << handler.name;
        EXPECT_EQ(handler.dispId, dispId) << handler.name;
    }
}

TEST_F(ConfigServiceTest, RegisteredInProcessWithThreadingModelBoth) {
    wchar_t clsid[40] = {};
    ::StringFromGUID2(__uuidof(QvPSConfig), clsid, 40);
    EXPECT_STREQ(L"{7EB483B0-414C-4B45-A46C-CF4620531F8F}", clsid);
    wchar_t model[32] = {};
    DWORD bytes = sizeof(model);
    ASSERT_EQ(ERROR_SUCCESS, ::RegGetValueW(HKEY_CLASSES_ROOT,
                                            (L"CLSID\\" + std::wstring(clsid) + L"\\InprocServer32").c_str(),
                                            L"ThreadingModel", RRF_RT_REG_SZ, nullptr, model, &bytes));
    EXPECT_STREQ(L"Both", model);

    // The configuration object answers every interface the plug-in asks of it.
    ComPtr<IConfigSignIn> signIn;
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IDispatch> dispatch;
    EXPECT_EQ(S_OK, m_config.As(&signIn));
    EXPECT_EQ(S_OK, m_config.As(&container));
    EXPECT_EQ(S_OK, m_config.As(&dispatch));
}

TEST_F(ConfigServiceTest, ItemsAreDispatchObjectsWithStatus) {
    const struct {
        LONG item;
        LONG status;
        const IID* answers;  // nullptr: VT_EMPTY
    } cases[] = {
        {QV_CONFIG_ITEM_PRODUCT, kOk, &__uuidof(IConfigSettings)},
        {QV_CONFIG_ITEM_USERS, kOk, &__uuidof(IConfigCollection)},
        {101, kFailed, nullptr},
        {0, kFailed, nullptr},
    };
    for (const auto& expected : cases) {
        SCOPED_TRACE(expected.item);
        CVariant value;
        LONG status = 0;
        ASSERT_EQ(S_OK, m_config->Get(expected.item, value.Put(), &status));
        EXPECT_EQ(expected.status, status);
        if (expected.answers == nullptr) {
            EXPECT_EQ(VT_EMPTY, value.Type());
            continue;
        }
        ASSERT_EQ(VT_DISPATCH, value.Type());
        ComPtr<IUnknown> answered;
        EXPECT_EQ(S_OK, value.Get()->pdispVal->QueryInterface(*expected.answers, &answered));
    }
}

// A late-binding client reaches the same operation through IDispatch (the embedded type library).
TEST_F(ConfigServiceTest, GetThroughIDispatch) {
    ASSERT_EQ(S_OK, m_control->SetProductSetting(337, *CVariant(L"Pacific Standard Time").Get()));
    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(S_OK, m_config.As(&dispatch));

    CVariant product;
    LONG status = 0;
    VARIANT args[3];  // last argument first
    args[0].vt = VT_BYREF | VT_I4;
    args[0].plVal = &status;
    args[1].vt = VT_BYREF | VT_VARIANT;
    args[1].pvarVal = product.Get();
    args[2].vt = VT_I4;
    args[2].lVal = QV_CONFIG_ITEM_PRODUCT;
    DISPPARAMS params = {args, nullptr, 3, 0};
    ASSERT_EQ(S_OK, dispatch->Invoke(1, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr,
                                     nullptr));
    EXPECT_EQ(kOk, status);
    ComPtr<IConfigSettings> category = AsCategory(*product.Get());
    ASSERT_TRUE(category);
    EXPECT_EQ(L"bstr:Pacific Standard Time", Describe(*Read(category.Get(), 337).value.Get()));
}

TEST_F(ConfigServiceTest, SettingsReadBackWithTheirTypes) {
    AddUser(L"alice", L"Alice W");
    const struct {
        LONG setting;
        CVariant value;
        std::wstring expected;
    } cases[] = {
        {203, CVariant(3), L"i4:3"},
        {208, Bool(true), L"bool:-1"},
        {310, CVariant(1), L"i4:1"},  // an integer stays an integer: readers decide what it means
        {315, Bool(false), L"bool:0"},
        {311, CVariant(L"0000000000000000000000000000000F"), L"bstr:0000000000000000000000000000000F"},
        {313, CVariant(L"a.com  b.com"), L"bstr:a.com  b.com"},
        {210, NullBstr(), L"bstr:null"},
        {314, CVariant(L""), L"bstr:"},
    };
    for (const auto& setting : cases) {
        Set(L"alice", setting.setting, setting.value);
    }

    ComPtr<IConfigSettings> alice = User(L"alice");
    ASSERT_TRUE(alice);
    for (const auto& setting : cases) {
        SCOPED_TRACE(setting.setting);
        const ReadResult read = Read(alice.Get(), setting.setting);
        EXPECT_EQ(S_OK, read.hr);
        EXPECT_EQ(kOk, read.status);
        EXPECT_EQ(setting.expected, Describe(*read.value.Get()));
    }
    EXPECT_EQ(L"bstr:Alice W", Describe(*Read(alice.Get(), 200).value.Get()));

    // A setting the user does not hold, or no longer holds: the call succeeds, the status does not.
    Set(L"alice", 203, CVariant());
    for (const LONG missing : {203L, 337L, 999L}) {
        const ReadResult read = Read(alice.Get(), missing);
        EXPECT_EQ(S_OK, read.hr) << missing;
        EXPECT_EQ(kFailed, read.status) << missing;
        EXPECT_EQ(VT_EMPTY, read.value.Type()) << missing;
    }
}

TEST_F(ConfigServiceTest, ProductCategoryIsNotAUsersCategory) {
    AddUser(L"alice", L"Alice");
    ASSERT_EQ(S_OK, m_control->SetProductSetting(337, *CVariant(L"W. Europe Standard Time").Get()));
    CVariant item;
    LONG status = 0;
    ASSERT_EQ(S_OK, m_config->Get(QV_CONFIG_ITEM_PRODUCT, item.Put(), &status));
    ComPtr<IConfigSettings> product = AsCategory(*item.Get());
    ASSERT_TRUE(product);
    EXPECT_EQ(L"bstr:W. Europe Standard Time", Describe(*Read(product.Get(), 337).value.Get()));
    EXPECT_EQ(kFailed, Read(product.Get(), 199).status);
    EXPECT_EQ(kFailed, Read(User(L"alice").Get(), 337).status);
}

TEST_F(ConfigServiceTest, UsersAreEnumeratedInOrderOneAtATime) {
    AddUser(L"a", L"A");
    AddUser(L"b", L"B");
    AddUser(L"c", L"C");
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS), m_control->AddUser(CBstr(L"a").Get(), CBstr(L"A2").Get()));
    ComPtr<IConfigSettings> b = User(L"b");
    ASSERT_TRUE(b);
    ASSERT_EQ(S_OK, m_control->RemoveUser(CBstr(L"b").Get()));
    // A category handed out before its user was removed reads nothing any more.
    EXPECT_EQ(kFailed, Read(b.Get(), 200).status);

    ComPtr<IEnumVARIANT> users = EnumerateUsers();
    ASSERT_TRUE(users);
    std::vector<std::wstring> names;
    CVariant element;
    ULONG fetched = 0;
    HRESULT hr;
    while ((hr = users->Next(1, element.Put(), &fetched)) == S_OK) {
        ASSERT_EQ(1u, fetched);
        ASSERT_EQ(VT_DISPATCH, element.Type());
        ComPtr<IConfigSettings> user = AsCategory(*element.Get());
        ASSERT_TRUE(user);
        names.push_back(Describe(*Read(user.Get(), 200).value.Get()));
    }
    EXPECT_EQ(S_FALSE, hr);
    EXPECT_EQ(0u, fetched);
    EXPECT_EQ((std::vector<std::wstring>{L"bstr:A", L"bstr:C"}), names);

    // Several at once: fewer than asked ends with S_FALSE; a clone keeps its own position.
    ASSERT_EQ(S_OK, users->Reset());
    ASSERT_EQ(S_OK, users->Skip(1));
    ComPtr<IEnumVARIANT> clone;
    ASSERT_EQ(S_OK, users->Clone(&clone));
    VARIANT several[3];
    EXPECT_EQ(S_FALSE, clone->Next(3, several, &fetched));
    ASSERT_EQ(1u, fetched);
    EXPECT_EQ(L"bstr:C", Describe(*Read(AsCategory(several[0]).Get(), 200).value.Get()));
    ::VariantClear(&several[0]);
}

// A test and the product code create their own objects: both must see one service.
TEST_F(ConfigServiceTest, StateIsSharedByEveryInstance) {
    ComPtr<IQvConfigCategory> other = Create();
    ASSERT_TRUE(other);
    AddUser(L"alice", L"Alice");
    ASSERT_EQ(S_OK, m_control->SignInUser(4, CBstr(L"alice").Get()));

    ComPtr<IConfigSignIn> otherSignIn;
    ASSERT_EQ(S_OK, other.As(&otherSignIn));
    CVariant user;
    LONG status = 0;
    ASSERT_EQ(S_OK, otherSignIn->GetSignedInUser(4, user.Put(), &status));
    EXPECT_EQ(kOk, status);
    ComPtr<IConfigSettings> alice = AsCategory(*user.Get());
    ASSERT_TRUE(alice);
    EXPECT_EQ(L"bstr:alice", Describe(*Read(alice.Get(), 199).value.Get()));
}

TEST_F(ConfigServiceTest, SignInAndOutReachTheSinkOnTheServiceThread) {
    AddUser(L"alice", L"Alice");
    ComPtr<CRecordingSink> sink = CRecordingSink::Create();
    Advise(sink.Get());

    ASSERT_EQ(S_OK, m_control->SignInUser(3, CBstr(L"alice").Get()));
    ASSERT_EQ(S_OK, m_control->SignOutUser(3));
    EXPECT_EQ(S_FALSE, m_control->SignOutUser(3));  // nobody left: nothing to notify
    ASSERT_EQ(S_OK, m_control->WaitForEvents(kWaitMs));

    ULONG serviceThread = 0;
    ASSERT_EQ(S_OK, m_control->GetEventThreadId(&serviceThread));
    EXPECT_NE(0u, serviceThread);
    EXPECT_NE(::GetCurrentThreadId(), serviceThread);

    const std::vector<CRecordingSink::Call> calls = sink->Calls();
    ASSERT_EQ(2u, calls.size());
    const struct {
        DISPID dispId;
        std::vector<std::wstring> args;
    } expected[] = {{2, {L"ui4:3", L"bstr:alice"}}, {3, {L"ui4:3", L"bstr:alice"}}};
    for (std::size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(expected[i].dispId, calls[i].dispId);
        EXPECT_EQ(expected[i].args, calls[i].args);
        EXPECT_EQ(0u, calls[i].namedArgs);
        EXPECT_EQ(serviceThread, calls[i].threadId);
    }
}

TEST_F(ConfigServiceTest, SignInThroughTheServiceInterface) {
    AddUser(L"alice", L"Alice");
    ComPtr<CRecordingSink> sink = CRecordingSink::Create();
    Advise(sink.Get());
    ComPtr<IConfigSignIn> signIn = SignIn();

    const struct {
        const wchar_t* userId;
        LONG status;
        std::wstring signedInName;  // setting 200 of GetSignedInUser; empty: nobody
        std::wstring protectedSetting;
    } cases[] = {
        {L"alice", kOk, L"bstr:Alice", L"empty"},
        {L"nobody", kFailed, L"", L""},
        {nullptr, kFailed, L"", L""},
        {L"", kFailed, L"", L""},
        {L"ALICE", kFailed, L"", L""},  // ids compare exactly
        // The built-in temporary adult: never enumerated, signed in without protection.
        {L"adult_temp", kOk, L"bstr:adult_temp", L"bool:0"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.userId ? test.userId : L"(null)");
        LONG status = 0;
        CBstr userId(test.userId);
        ASSERT_EQ(S_OK, signIn->SignOut(7, &status));
        EXPECT_EQ(kOk, status);
        ASSERT_EQ(S_OK, signIn->SignIn(7, userId.Get(), 0, &status));
        EXPECT_EQ(test.status, status);

        CVariant user;
        ASSERT_EQ(S_OK, signIn->GetSignedInUser(7, user.Put(), &status));
        VARIANT_BOOL signedIn = VARIANT_TRUE;
        LONG signedInStatus = 0;
        ASSERT_EQ(S_OK, signIn->IsSignedIn(7, &signedIn, &signedInStatus));
        EXPECT_EQ(kOk, signedInStatus);
        if (test.signedInName.empty()) {
            EXPECT_EQ(kFailed, status);
            EXPECT_EQ(VT_EMPTY, user.Type());
            EXPECT_EQ(VARIANT_FALSE, signedIn);
            continue;
        }
        EXPECT_EQ(kOk, status);
        EXPECT_EQ(VARIANT_TRUE, signedIn);
        ComPtr<IConfigSettings> category = AsCategory(*user.Get());
        ASSERT_TRUE(category);
        EXPECT_EQ(test.signedInName, Describe(*Read(category.Get(), 200).value.Get()));
        EXPECT_EQ(test.protectedSetting, Describe(*Read(category.Get(), 315).value.Get()));
    }
    ASSERT_EQ(S_OK, m_control->WaitForEvents(kWaitMs));
    // Only the two successful sign-ins notify, each followed by the sign-out of the next round.
    EXPECT_EQ(L"2(7, \"alice\") -> 0x00000000\n"
              L"3(7, \"alice\") -> 0x00000000\n"
              L"2(7, \"adult_temp\") -> 0x00000000\n",
              EventLog());
}

TEST_F(ConfigServiceTest, RemovingASignedInUserSignsItOut) {
    AddUser(L"alice", L"Alice");
    AddUser(L"bob", L"Bob");
    ASSERT_EQ(S_OK, m_control->SignInUser(1, CBstr(L"alice").Get()));
    ASSERT_EQ(S_OK, m_control->SignInUser(2, CBstr(L"bob").Get()));
    ASSERT_EQ(S_OK, m_control->SignInUser(3, CBstr(L"alice").Get()));
    ASSERT_EQ(HRESULT_FROM_WIN32(ERROR_NOT_FOUND), m_control->SignInUser(4, CBstr(L"carol").Get()));
    ComPtr<CRecordingSink> sink = CRecordingSink::Create();
    ASSERT_EQ(S_OK, m_control->WaitForEvents(kWaitMs));
    Advise(sink.Get());

    ASSERT_EQ(S_OK, m_control->RemoveUser(CBstr(L"alice").Get()));
    ASSERT_EQ(S_OK, m_control->WaitForEvents(kWaitMs));
    const std::vector<CRecordingSink::Call> calls = sink->Calls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ((std::vector<std::wstring>{L"ui4:1", L"bstr:alice"}), calls[0].args);
    EXPECT_EQ((std::vector<std::wstring>{L"ui4:3", L"bstr:alice"}), calls[1].args);

    VARIANT_BOOL signedIn = VARIANT_FALSE;
    LONG status = 0;
    ASSERT_EQ(S_OK, SignIn()->IsSignedIn(2, &signedIn, &status));
    EXPECT_EQ(VARIANT_TRUE, signedIn);
}

TEST_F(ConfigServiceTest, FiredEventsCarryTheirArgumentsAndRecordTheSinksAnswer) {
    ComPtr<CRecordingSink> sink = CRecordingSink::Create();
    sink->ReturnFromInvoke(DISP_E_MEMBERNOTFOUND);
    sink->AnswerByReference(42);
    Advise(sink.Get());

    {
        // The caller's values are gone before the service's thread delivers them.
        CBstr item(L"item");
        ULONG status = 7;
        VARIANT args[2];
        args[0].vt = VT_BSTR;
        args[0].bstrVal = item.Get();
        args[1].vt = VT_BYREF | VT_UI4;
        args[1].pulVal = &status;
        ASSERT_EQ(S_OK, m_control->FireEvent(9, 2, args));
    }
    ASSERT_EQ(S_OK, m_control->FireEvent(1, 0, nullptr));
    ASSERT_EQ(S_OK, m_control->WaitForEvents(kWaitMs));

    const std::vector<CRecordingSink::Call> calls = sink->Calls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(9, calls[0].dispId);
    EXPECT_EQ((std::vector<std::wstring>{L"bstr:item", L"byref ui4:7"}), calls[0].args);
    EXPECT_EQ(1, calls[1].dispId);
    EXPECT_TRUE(calls[1].args.empty());
    EXPECT_EQ(L"9(\"item\", &42) -> 0x80020003\n"
              L"1() -> 0x80020003\n",
              EventLog());
}

TEST_F(ConfigServiceTest, UnadviseStopsDelivery) {
    ComPtr<CRecordingSink> kept = CRecordingSink::Create();
    ComPtr<CRecordingSink> dropped = CRecordingSink::Create();
    Advise(kept.Get());
    const DWORD droppedCookie = Advise(dropped.Get());
    ULONG sinks = 0;
    ASSERT_EQ(S_OK, m_control->GetSinkCount(&sinks));
    EXPECT_EQ(2u, sinks);

    ASSERT_EQ(S_OK, m_control->FireEvent(4, 0, nullptr));
    ASSERT_EQ(S_OK, m_control->WaitForEvents(kWaitMs));
    ASSERT_EQ(S_OK, Unadvise(droppedCookie));
    EXPECT_EQ(1, dropped->References());  // the service keeps nothing of it
    EXPECT_EQ(CONNECT_E_NOCONNECTION, Unadvise(droppedCookie));
    ASSERT_EQ(S_OK, m_control->FireEvent(5, 0, nullptr));
    ASSERT_EQ(S_OK, m_control->WaitForEvents(kWaitMs));

    EXPECT_EQ(2u, kept->Calls().size());
    ASSERT_EQ(1u, dropped->Calls().size());
    EXPECT_EQ(4, dropped->Calls()[0].dispId);
}

// After Unadvise returns the subscriber may be deleted: a call into it must have finished.
TEST_F(ConfigServiceTest, UnadviseWaitsForTheCallInProgress) {
    ComPtr<CRecordingSink> sink = CRecordingSink::Create();
    const DWORD cookie = Advise(sink.Get());
    sink->CloseGate();
    ASSERT_EQ(S_OK, m_control->FireEvent(6, 0, nullptr));
    ASSERT_TRUE(sink->WaitEntered(kWaitMs));

    ComPtr<IConnectionPoint> point = ConnectionPoint(m_config.Get());
    Tessal::UniqueHandle unadvised(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    HRESULT hr = E_UNEXPECTED;
    std::thread unadvising([&] {
        NuvCom::CCoInitialize com(COINIT_MULTITHREADED);
        hr = point->Unadvise(cookie);
        ::SetEvent(unadvised.Get());
    });
    m_cookies.clear();
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(unadvised.Get(), 300));
    sink->OpenGate();
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(unadvised.Get(), kWaitMs));
    unadvising.join();
    EXPECT_EQ(S_OK, hr);
    EXPECT_EQ(1u, sink->Calls().size());
}

// An injected HRESULT failure fails the next call only (times 1) and clears its outputs.
TEST_F(ConfigServiceTest, InjectedFailuresFailTheNamedCallOnce) {
    AddUser(L"alice", L"Alice");
    Set(L"alice", 315, Bool(true));
    ComPtr<IConfigSettings> alice = User(L"alice");
    ASSERT_TRUE(alice);

    const struct {
        const wchar_t* callName;
        HRESULT hr;
        std::function<HRESULT()> call;
    } cases[] = {
        {L"CreateInstance", E_OUTOFMEMORY,
         [] {
             ComPtr<IQvConfigCategory> config;
             return ::CoCreateInstance(__uuidof(QvPSConfig), nullptr, kClassContext, IID_PPV_ARGS(&config));
         }},
        {L"QueryInterface(IConnectionPointContainer)", E_NOINTERFACE,
         [this] {
             ComPtr<IConnectionPointContainer> container;
             return m_config.As(&container);
         }},
        {L"FindConnectionPoint", E_FAIL,
         [this] {
             ComPtr<IConnectionPointContainer> container;
             ComPtr<IConnectionPoint> point;
             m_config.As(&container);
             return container->FindConnectionPoint(DIID__IQvPSConfigEvents, &point);
         }},
        {L"Advise", CONNECT_E_ADVISELIMIT,
         [this] {
             ComPtr<CRecordingSink> sink = CRecordingSink::Create();
             DWORD cookie = 0;
             const HRESULT hr = ConnectionPoint(m_config.Get())->Advise(sink.Get(), &cookie);
             if (SUCCEEDED(hr)) {
                 m_cookies.push_back(cookie);
             }
             return hr;
         }},
        {L"IQvConfigCategory.Get(102)", RPC_E_DISCONNECTED,
         [this] {
             CVariant value;
             LONG status = 0;
             const HRESULT hr = m_config->Get(QV_CONFIG_ITEM_USERS, value.Put(), &status);
             return FAILED(hr) && value.Type() != VT_EMPTY ? E_UNEXPECTED : hr;
         }},
        {L"IConfigSettings.Get(315)", E_ACCESSDENIED,
         [&alice] {
             const ReadResult read = Read(alice.Get(), 315);
             return FAILED(read.hr) && read.value.Type() != VT_EMPTY ? E_UNEXPECTED : read.hr;
         }},
        {L"IConfigSignIn.GetSignedInUser", E_FAIL,
         [this] {
             CVariant user;
             LONG status = 0;
             return SignIn()->GetSignedInUser(1, user.Put(), &status);
         }},
        {L"IConfigSignIn.SignOut", HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE),
         [this] {
             LONG status = 0;
             return SignIn()->SignOut(1, &status);
         }},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.callName);
        FailCall(test.callName, test.hr, kOk, 1);
        EXPECT_EQ(test.hr, test.call());
        EXPECT_TRUE(SUCCEEDED(test.call()));
    }
    // Narrowed to one setting: other settings read as usual.
    FailCall(L"IConfigSettings.Get(315)", E_FAIL, kOk, -1);
    EXPECT_EQ(S_OK, Read(alice.Get(), 200).hr);
    EXPECT_EQ(E_FAIL, Read(alice.Get(), 315).hr);
    EXPECT_EQ(E_FAIL, Read(alice.Get(), 315).hr);
    FailCall(L"IConfigSettings.Get(315)", S_OK, kOk, 0);
    EXPECT_EQ(S_OK, Read(alice.Get(), 315).hr);
}

// A failed status with a successful HRESULT: reads still deliver their value (a caller that
// ignores the status is caught), a sign-in changes nothing.
TEST_F(ConfigServiceTest, InjectedFailedStatusKeepsTheValueButSignsNobodyIn) {
    AddUser(L"alice", L"Alice");
    ComPtr<IConfigSettings> alice = User(L"alice");
    ASSERT_TRUE(alice);
    FailCall(L"IConfigSettings.Get", S_OK, kFailed, -1);
    for (int round = 0; round < 2; ++round) {
        const ReadResult read = Read(alice.Get(), 200);
        EXPECT_EQ(S_OK, read.hr);
        EXPECT_EQ(kFailed, read.status);
        EXPECT_EQ(L"bstr:Alice", Describe(*read.value.Get()));
    }

    FailCall(L"IConfigSignIn.SignIn", S_OK, kFailed, 1);
    LONG status = 0;
    ASSERT_EQ(S_OK, SignIn()->SignIn(2, CBstr(L"alice").Get(), 0, &status));
    EXPECT_EQ(kFailed, status);
    VARIANT_BOOL signedIn = VARIANT_TRUE;
    ASSERT_EQ(S_OK, SignIn()->IsSignedIn(2, &signedIn, &status));
    EXPECT_EQ(VARIANT_FALSE, signedIn);

    FailCall(L"IEnumVARIANT.Next", S_FALSE, kOk, 1);  // an enumeration that ends at once
    CVariant element;
    ULONG fetched = 1;
    EXPECT_EQ(S_FALSE, EnumerateUsers()->Next(1, element.Put(), &fetched));
    EXPECT_EQ(0u, fetched);
}

TEST_F(ConfigServiceTest, CallLogNamesEveryCallWithItsArguments) {
    AddUser(L"alice", L"Alice");
    ComPtr<IConfigSettings> alice = User(L"alice");
    ASSERT_TRUE(alice);
    Read(alice.Get(), 315);
    LONG status = 0;
    ASSERT_EQ(S_OK, SignIn()->SignIn(3, CBstr(L"adult_temp").Get(), 0, &status));
    ASSERT_EQ(S_OK, SignIn()->SignIn(3, nullptr, 0, &status));

    EXPECT_EQ(L"IQvConfigCategory.Get(102)\n"
              L"IConfigCollection._NewEnum()\n"
              L"IEnumVARIANT.Next(1)\n"
              L"IConfigSettings.Get(199) alice\n"
              L"IConfigSettings.Get(315) alice\n"
              L"QueryInterface(IConfigSignIn)\n"
              L"IConfigSignIn.SignIn(3, \"adult_temp\", 0)\n"
              L"QueryInterface(IConfigSignIn)\n"
              L"IConfigSignIn.SignIn(3, null, 0)\n",
              CallLog());
    EXPECT_EQ(2u, CallCount(L"IConfigSettings.Get"));
    EXPECT_EQ(1u, CallCount(L"IConfigSettings.Get(315)"));
    EXPECT_EQ(2u, CallCount(L"IConfigSignIn.SignIn(3)"));
    EXPECT_EQ(0u, CallCount(L"IConfigSignIn.SignIn(4)"));

    ASSERT_EQ(S_OK, m_control->ClearLogs());
    EXPECT_EQ(L"", CallLog());
}

}  // namespace
