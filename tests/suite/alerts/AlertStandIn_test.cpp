// The alert-component stand-in driven the way the product's alert manager drives the suite's
// component: created by class id (directly, or through its class object's factory), the show
// operations called through the vtable and through IDispatch; steered, read and made to answer
// through IQvAlertControl. scripts/test.sh registers the server.
#include "suite/alerts/AlertRecords.h"
#include "alerts.h"

#include "base/Sync.h"
#include "nuvutil/com/Bstr.h"
#include "nuvutil/com/CoInitializeScope.h"
#include "nuvutil/com/ComObject.h"
#include "nuvutil/com/DispatchImpl.h"
#include "nuvutil/com/SafeArray.h"
#include "nuvutil/com/Variant.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using AlertStandIn::CallRecord;
using AlertStandIn::CreationRecord;
using Microsoft::WRL::ComPtr;
using NuvCom::CBstr;
using NuvCom::CSafeArray;
using NuvCom::CVariant;

// The class context the alert manager creates the component with.
constexpr DWORD kAlertClassContext =
    CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
static_assert(kAlertClassContext == 23, "the alert manager's class context");

constexpr wchar_t kAlertId[] = L"FC7D8764-3A40-4e61-B6A6-E1C9BCCB0710";

// A free-threaded callback that records each answer; its IDispatch comes from the type library
// embedded in this program (AlerterLib, as the product embeds it).
class CRecordingCallback final : public NuvCom::CComObjectBase<NuvCom::CDispatchImpl<IAlertCallback>> {
public:
    struct Answer {
        std::wstring alertId;
        ULONG sessionId;
        DWORD threadId;
    };

    explicit CRecordingCallback(HRESULT result = S_OK) : m_result(result) {}

    STDMETHODIMP OnAlertResponse(BSTR alertId, ULONG sessionId) override {
        Tessal::CExclusiveLock lock(m_lock);
        m_answers.push_back({std::wstring(alertId ? alertId : L"", ::SysStringLen(alertId)), sessionId,
                             ::GetCurrentThreadId()});
        return m_result;
    }

    std::vector<Answer> Answers() {
        Tessal::CExclusiveLock lock(m_lock);
        return m_answers;
    }

    ULONG References() {
        AddRef();
        return Release();
    }

private:
    HRESULT m_result;
    Tessal::CSRWLock m_lock;
    std::vector<Answer> m_answers;
};

// A one-dimensional array of VARIANTs holding the given values, lower bound `lowerBound`.
CVariant VariantArray(const std::vector<CVariant>& values, LONG lowerBound = 0) {
    CSafeArray array = CSafeArray::CreateVector(VT_VARIANT, static_cast<ULONG>(values.size()), lowerBound);
    for (std::size_t i = 0; i < values.size(); ++i) {
        CVariant copy(values[i]);
        NuvCom::ThrowIfFailed(array.PutElement(lowerBound + static_cast<LONG>(i), copy.Get()), "PutElement");
    }
    CVariant result;
    result.Get()->vt = VT_ARRAY | VT_VARIANT;
    result.Get()->parray = array.Detach();
    return result;
}

// The buttons of the time-zone alert: [[label, action], [label, ""]].
CVariant TimeZoneButtons() {
    return VariantArray({VariantArray({CVariant(L"Change settings"), CVariant(L"vyx_settings")}),
                         VariantArray({CVariant(L"Close"), CVariant(L"")})});
}

class AlertStandInTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_com.Succeeded());
        ASSERT_NO_THROW(m_control = AlertStandIn::CreateControl());
        ASSERT_HRESULT_SUCCEEDED(m_control->Reset());
        ASSERT_HRESULT_SUCCEEDED(
            ::CoCreateInstance(__uuidof(QvAlert), nullptr, kAlertClassContext, IID_PPV_ARGS(&m_alert)));
    }

    void TearDown() override {
        if (m_control) {
            m_control->Reset();
        }
    }

    // ShowAlert with fixed texts and the given alert id and flags.
    HRESULT Show(const wchar_t* alertId = kAlertId, VARIANT_BOOL flag1 = VARIANT_TRUE,
                 VARIANT_BOOL flag2 = VARIANT_FALSE) {
        return m_alert->ShowAlert(CBstr(L"T1").Get(), CBstr(L"T2").Get(), CBstr(L"T3").Get(), CBstr(L"").Get(),
                                  CBstr(L"NUV").Get(), CBstr(alertId).Get(), 2, 1, 5000, flag1, flag2);
    }

    HRESULT ShowWithCallback(IAlertCallback* callback) {
        return m_alert->ShowAlertWithCallback(CBstr(L"T1").Get(), CBstr(L"T2").Get(), CBstr(L"T3").Get(),
                                              CBstr(L"").Get(), CBstr(L"NUV").Get(), CBstr(kAlertId).Get(), 3, 1,
                                              5000, VARIANT_TRUE, VARIANT_FALSE, callback, CBstr(L"T5").Get());
    }

    std::vector<CallRecord> Calls() { return AlertStandIn::ReadCalls(m_control.Get()); }
    std::vector<CreationRecord> Creations() { return AlertStandIn::ReadCreations(m_control.Get()); }

    NuvCom::CCoInitialize m_com{COINIT_MULTITHREADED};
    ComPtr<IQvAlertControl> m_control;
    ComPtr<IQvAlert> m_alert;
};

TEST_F(AlertStandInTest, IsCreatedByClassIdWithTheAlertManagersContext) {
    const std::vector<CreationRecord> creations = Creations();
    ASSERT_EQ(1u, creations.size());
    EXPECT_EQ(QvAlertCreation_ClassFactory, creations[0].path);
    EXPECT_TRUE(::IsEqualIID(__uuidof(IQvAlert), creations[0].interfaceId));
    EXPECT_EQ(S_OK, creations[0].result);
}

TEST_F(AlertStandInTest, ItsClassObjectCreatesThroughTheAlertFactory) {
    // The session moniker of the alert manager binds to the class object for IQvAlertFactory; a
    // class moniker takes the same road within this session (Wine parses no session monikers).
    ComPtr<IBindCtx> bindContext;
    ASSERT_HRESULT_SUCCEEDED(::CreateBindCtx(0, &bindContext));
    ComPtr<IMoniker> moniker;
    ULONG eaten = 0;
    ASSERT_HRESULT_SUCCEEDED(::MkParseDisplayName(bindContext.Get(), L"clsid:5AE43A84-811D-4AA7-96CC-41607ADE91EB:",
                                                    &eaten, &moniker));
    ComPtr<IQvAlertFactory> factory;
    ASSERT_HRESULT_SUCCEEDED(moniker->BindToObject(bindContext.Get(), nullptr, IID_PPV_ARGS(&factory)));

    ComPtr<IQvAlert> alert;
    ASSERT_EQ(S_OK, factory->CreateAlert(__uuidof(IQvAlert), reinterpret_cast<void**>(alert.GetAddressOf())));
    ASSERT_TRUE(alert);
    void* unused = nullptr;
    EXPECT_EQ(E_NOINTERFACE, factory->CreateAlert(__uuidof(IQvAlertFactory), &unused));

    const std::vector<CreationRecord> creations = Creations();
    ASSERT_EQ(3u, creations.size());
    EXPECT_EQ(QvAlertCreation_AlertFactory, creations[1].path);
    EXPECT_TRUE(::IsEqualIID(__uuidof(IQvAlert), creations[1].interfaceId));
    EXPECT_EQ(S_OK, creations[1].result);
    EXPECT_EQ(E_NOINTERFACE, creations[2].result);
}

// One show operation and the record it must leave.
struct ShowCase {
    const char* name;
    std::function<HRESULT(IQvAlert*, IAlertCallback*)> show;
    CallRecord expected;
};

TEST_F(AlertStandInTest, RecordsEveryArgumentOfEachShowOperation) {
    CallRecord plain;
    plain.method = QvAlertMethod_ShowAlert;
    plain.title = L"Product";
    plain.heading = L"Internet time is up";
    plain.body = std::wstring(L"Quote \" and NUL \0 kept", 22);
    plain.applicationName = L"NUV";
    plain.alertId = L"A071F34D-15E4-4660-80AD-A76787E0D7EF";
    plain.kind = 2;
    plain.count = 1;
    plain.timeOut = 7000;
    plain.flag1 = VARIANT_FALSE;
    plain.flag2 = VARIANT_TRUE;

    CallRecord buttons = plain;
    buttons.method = QvAlertMethod_ShowAlertWithButtons;
    buttons.alertId = L"5A3B3956-32CF-4554-B595-0F11371BD389";
    buttons.flag2 = VARIANT_FALSE;
    buttons.buttons = L"[[\"Change settings\",\"vyx_settings\"],[\"Close\",\"\"]]";

    CallRecord callback = plain;
    callback.method = QvAlertMethod_ShowAlertWithCallback;
    callback.alertId = kAlertId;
    callback.kind = 3;
    callback.flag1 = VARIANT_TRUE;
    callback.flag2 = VARIANT_FALSE;
    callback.callbackPresent = true;
    callback.responseText = L"Don't show again";

    const ShowCase cases[] = {
        {"ShowAlert",
         [&](IQvAlert* alert, IAlertCallback*) {
             return alert->ShowAlert(CBstr(plain.title).Get(), CBstr(plain.heading).Get(), CBstr(plain.body).Get(),
                                     CBstr(L"").Get(), CBstr(L"NUV").Get(), CBstr(plain.alertId).Get(), 2, 1, 7000,
                                     VARIANT_FALSE, VARIANT_TRUE);
         },
         plain},
        {"ShowAlertWithButtons",
         [&](IQvAlert* alert, IAlertCallback*) {
             CVariant value = TimeZoneButtons();
             return alert->ShowAlertWithButtons(CBstr(plain.title).Get(), CBstr(plain.heading).Get(),
                                                CBstr(plain.body).Get(), nullptr, CBstr(L"NUV").Get(),
                                                CBstr(buttons.alertId).Get(), 2, 1, 7000, value.Get(), VARIANT_FALSE,
                                                VARIANT_FALSE);
         },
         buttons},
        {"ShowAlertWithCallback",
         [&](IQvAlert* alert, IAlertCallback* answer) {
             return alert->ShowAlertWithCallback(CBstr(plain.title).Get(), CBstr(plain.heading).Get(),
                                                 CBstr(plain.body).Get(), CBstr(L"").Get(), CBstr(L"NUV").Get(),
                                                 CBstr(kAlertId).Get(), 3, 1, 7000, VARIANT_TRUE, VARIANT_FALSE,
                                                 answer, CBstr(callback.responseText).Get());
         },
         callback},
    };

    ComPtr<CRecordingCallback> answer = NuvCom::MakeComObject<CRecordingCallback>();
    for (const ShowCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_HRESULT_SUCCEEDED(m_control->Reset());
        ASSERT_EQ(S_OK, c.show(m_alert.Get(), answer.Get()));
        const std::vector<CallRecord> calls = Calls();
        ASSERT_EQ(1u, calls.size());
        const CallRecord& got = calls[0];
        EXPECT_EQ(c.expected.method, got.method);
        EXPECT_EQ(c.expected.title, got.title);
        EXPECT_EQ(c.expected.heading, got.heading);
        EXPECT_EQ(c.expected.body, got.body);
        EXPECT_EQ(c.expected.footnote, got.footnote);
        EXPECT_EQ(c.expected.applicationName, got.applicationName);
        EXPECT_EQ(c.expected.alertId, got.alertId);
        EXPECT_EQ(c.expected.kind, got.kind);
        EXPECT_EQ(c.expected.count, got.count);
        EXPECT_EQ(c.expected.timeOut, got.timeOut);
        EXPECT_EQ(c.expected.flag1, got.flag1);
        EXPECT_EQ(c.expected.flag2, got.flag2);
        EXPECT_EQ(c.expected.buttons, got.buttons);
        EXPECT_EQ(c.expected.callbackPresent, got.callbackPresent);
        EXPECT_EQ(c.expected.responseText, got.responseText);
        EXPECT_EQ(S_OK, got.result);
    }
}

TEST_F(AlertStandInTest, KeepsFlagsAsPassed) {
    // 1 is not VARIANT_TRUE: a caller passing C++ true must show up.
    ASSERT_EQ(S_OK, Show(kAlertId, 1, VARIANT_TRUE));
    const std::vector<CallRecord> calls = Calls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(1, calls[0].flag1);
    EXPECT_EQ(VARIANT_TRUE, calls[0].flag2);
}

TEST_F(AlertStandInTest, ShowOperationsSitInSlotsSevenToNine) {
    // The alert manager calls the eighth to tenth entries of the method table: check the vtable
    // our header builds and the one the type library describes.
    using ShowAlertSlot = HRESULT(STDMETHODCALLTYPE*)(IQvAlert*, BSTR, BSTR, BSTR, BSTR, BSTR, BSTR, LONG, LONG, LONG,
                                                       VARIANT_BOOL, VARIANT_BOOL);
    void** const vtable = *reinterpret_cast<void***>(m_alert.Get());
    const CBstr text(L"x");
    ASSERT_EQ(S_OK, reinterpret_cast<ShowAlertSlot>(vtable[7])(m_alert.Get(), text.Get(), text.Get(), text.Get(),
                                                               text.Get(), text.Get(), text.Get(), 1, 1, 1,
                                                               VARIANT_FALSE, VARIANT_FALSE));
    const std::vector<CallRecord> calls = Calls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(QvAlertMethod_ShowAlert, calls[0].method);

    // The dual interface's vtable half (TKIND_INTERFACE) of the type information.
    ComPtr<ITypeInfo> dispatchInfo;
    ASSERT_HRESULT_SUCCEEDED(m_alert->GetTypeInfo(0, LOCALE_USER_DEFAULT, &dispatchInfo));
    HREFTYPE vtableHalf = 0;
    ASSERT_HRESULT_SUCCEEDED(dispatchInfo->GetRefTypeOfImplType(static_cast<UINT>(-1), &vtableHalf));
    ComPtr<ITypeInfo> typeInfo;
    ASSERT_HRESULT_SUCCEEDED(dispatchInfo->GetRefTypeInfo(vtableHalf, &typeInfo));
    const wchar_t* const names[] = {L"ShowAlert", L"ShowAlertWithButtons", L"ShowAlertWithCallback"};
    for (UINT index = 0; index < 3; ++index) {
        FUNCDESC* function = nullptr;
        ASSERT_HRESULT_SUCCEEDED(typeInfo->GetFuncDesc(index, &function));
        CBstr name;
        UINT count = 0;
        typeInfo->GetNames(function->memid, name.Put(), 1, &count);
        EXPECT_EQ(names[index], name.Str());
        EXPECT_EQ(static_cast<SHORT>((7 + index) * sizeof(void*)), function->oVft) << index;
        typeInfo->ReleaseFuncDesc(function);
    }
}

TEST_F(AlertStandInTest, AnswersLateBoundCallers) {
    wchar_t name[] = L"ShowAlert";
    LPOLESTR names[] = {name};
    DISPID dispId = DISPID_UNKNOWN;
    ASSERT_HRESULT_SUCCEEDED(m_alert->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &dispId));
    // Right to left: flag2, flag1, time-out, count, kind, alert id, application, four texts.
    std::vector<CVariant> arguments;
    arguments.emplace_back(false);
    arguments.emplace_back(true);
    arguments.emplace_back(5000);
    arguments.emplace_back(1);
    arguments.emplace_back(2);
    arguments.emplace_back(L"3E603C48-5925-4924-8650-E13E3D04E4AA");
    arguments.emplace_back(L"NUV");
    arguments.emplace_back(L"");
    arguments.emplace_back(L"body");
    arguments.emplace_back(L"heading");
    arguments.emplace_back(L"title");
    std::vector<VARIANT> raw;
    for (CVariant& argument : arguments) {
        raw.push_back(*argument.Get());
    }
    DISPPARAMS parameters = {raw.data(), nullptr, static_cast<UINT>(raw.size()), 0};
    CVariant result;
    ASSERT_EQ(S_OK, m_alert->Invoke(dispId, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &parameters,
                                    result.Put(), nullptr, nullptr));
    const std::vector<CallRecord> calls = Calls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(L"title", calls[0].title);
    EXPECT_EQ(L"body", calls[0].body);
    EXPECT_EQ(L"3E603C48-5925-4924-8650-E13E3D04E4AA", calls[0].alertId);
    EXPECT_EQ(2, calls[0].kind);
    EXPECT_EQ(5000, calls[0].timeOut);
    EXPECT_EQ(VARIANT_TRUE, calls[0].flag1);
    EXPECT_EQ(VARIANT_FALSE, calls[0].flag2);
}

struct ButtonsCase {
    const char* name;
    std::function<CVariant()> make;
    const wchar_t* expected;
};

TEST_F(AlertStandInTest, WritesOutTheButtonsAsTheyArrive) {
    const ButtonsCase cases[] = {
        {"the time-zone alert's buttons", TimeZoneButtons,
         L"[[\"Change settings\",\"vyx_settings\"],[\"Close\",\"\"]]"},
        {"escaped texts", [] { return VariantArray({CVariant(L"a\"b\\c")}); }, L"[\"a\\\"b\\\\c\"]"},
        {"lower bound 1", [] { return VariantArray({CVariant(L"x")}, 1); }, L"@1:[\"x\"]"},
        {"a flat array of texts", [] { return VariantArray({CVariant(L"OK"), CVariant(L"")}); }, L"[\"OK\",\"\"]"},
        {"numbers inside", [] { return VariantArray({CVariant(7)}); }, L"[<vt 0x0003>]"},
        {"empty", [] { return CVariant(); }, L"empty"},
        {"a single text", [] { return CVariant(L"only"); }, L"\"only\""},
    };
    for (const ButtonsCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_HRESULT_SUCCEEDED(m_control->Reset());
        CVariant value = c.make();
        ASSERT_EQ(S_OK, m_alert->ShowAlertWithButtons(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 2, 1, 0,
                                                      value.Get(), VARIANT_FALSE, VARIANT_FALSE));
        const std::vector<CallRecord> calls = Calls();
        ASSERT_EQ(1u, calls.size());
        EXPECT_EQ(std::wstring(c.expected), calls[0].buttons.value_or(L"(none)"));
    }

    // By reference, and no buttons at all.
    ASSERT_HRESULT_SUCCEEDED(m_control->Reset());
    CVariant inner = VariantArray({CVariant(L"x")});
    CVariant reference;
    reference.Get()->vt = VT_BYREF | VT_VARIANT;
    reference.Get()->pvarVal = inner.Get();
    ASSERT_EQ(S_OK, m_alert->ShowAlertWithButtons(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 2, 1, 0,
                                                  reference.Get(), VARIANT_FALSE, VARIANT_FALSE));
    ASSERT_EQ(S_OK, m_alert->ShowAlertWithButtons(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 2, 1, 0,
                                                  nullptr, VARIANT_FALSE, VARIANT_FALSE));
    const std::vector<CallRecord> calls = Calls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(std::wstring(L"&[\"x\"]"), calls[0].buttons.value_or(L"(none)"));
    EXPECT_FALSE(calls[1].buttons.has_value());
}

TEST_F(AlertStandInTest, FailsShowCallsAsSteered) {
    ASSERT_HRESULT_SUCCEEDED(m_control->QueueShowResult(E_FAIL));
    ASSERT_HRESULT_SUCCEEDED(m_control->QueueShowResult(HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE)));
    EXPECT_EQ(E_FAIL, Show());
    EXPECT_EQ(HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE), Show());
    EXPECT_EQ(S_OK, Show());
    ASSERT_HRESULT_SUCCEEDED(m_control->SetShowResult(E_ACCESSDENIED));
    EXPECT_EQ(E_ACCESSDENIED, Show());
    EXPECT_EQ(E_ACCESSDENIED, Show());

    const std::vector<CallRecord> calls = Calls();
    ASSERT_EQ(5u, calls.size());
    const HRESULT expected[] = {E_FAIL, HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE), S_OK, E_ACCESSDENIED,
                                E_ACCESSDENIED};
    for (std::size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(expected[i], calls[i].result) << i;
    }
}

TEST_F(AlertStandInTest, CreationFailsAsSteeredOnBothRoads) {
    ASSERT_HRESULT_SUCCEEDED(m_control->SetCreationResult(E_ACCESSDENIED));
    ComPtr<IQvAlert> alert;
    EXPECT_EQ(E_ACCESSDENIED, ::CoCreateInstance(__uuidof(QvAlert), nullptr, kAlertClassContext, IID_PPV_ARGS(&alert)));
    ComPtr<IQvAlertFactory> factory;
    ASSERT_HRESULT_SUCCEEDED(
        ::CoGetClassObject(__uuidof(QvAlert), CLSCTX_INPROC_SERVER, nullptr, IID_PPV_ARGS(&factory)));
    EXPECT_EQ(E_ACCESSDENIED, factory->CreateAlert(__uuidof(IQvAlert), reinterpret_cast<void**>(alert.GetAddressOf())));
    EXPECT_FALSE(alert);

    // A second control object steers the same state.
    ComPtr<IQvAlertControl> other;
    ASSERT_NO_THROW(other = AlertStandIn::CreateControl());
    ASSERT_HRESULT_SUCCEEDED(other->SetCreationResult(S_OK));
    EXPECT_EQ(S_OK, ::CoCreateInstance(__uuidof(QvAlert), nullptr, kAlertClassContext, IID_PPV_ARGS(&alert)));

    const std::vector<CreationRecord> creations = AlertStandIn::ReadCreations(other.Get());
    ASSERT_EQ(4u, creations.size());
    EXPECT_EQ(E_ACCESSDENIED, creations[1].result);
    EXPECT_EQ(QvAlertCreation_AlertFactory, creations[2].path);
    EXPECT_EQ(E_ACCESSDENIED, creations[2].result);
    EXPECT_EQ(S_OK, creations[3].result);
}

struct CallbackCase {
    const char* name;
    QvAlertCallbackPath path;
    bool onOtherThread;
};

TEST_F(AlertStandInTest, AnswersThroughTheCallbackItWasGiven) {
    const CallbackCase cases[] = {
        {"vtable", QvAlertCallback_Direct, false},
        {"vtable on another thread", QvAlertCallback_OtherThread, true},
        {"IDispatch", QvAlertCallback_Dispatch, false},
    };
    for (const CallbackCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_HRESULT_SUCCEEDED(m_control->Reset());
        ComPtr<CRecordingCallback> callback = NuvCom::MakeComObject<CRecordingCallback>(E_NOTIMPL);
        ASSERT_EQ(S_OK, ShowWithCallback(callback.Get()));

        HRESULT answered = S_OK;
        ASSERT_EQ(S_OK, m_control->InvokeCallback(0, nullptr, 0xFFFFFFFF, c.path, &answered));
        EXPECT_EQ(E_NOTIMPL, answered);  // the callback's own result comes back
        ASSERT_EQ(S_OK, m_control->InvokeCallback(0, CBstr(L"other id").Get(), 4, c.path, &answered));

        const std::vector<CRecordingCallback::Answer> answers = callback->Answers();
        ASSERT_EQ(2u, answers.size());
        EXPECT_EQ(kAlertId, answers[0].alertId);  // the alert's own id when none is given
        EXPECT_EQ(0xFFFFFFFFu, answers[0].sessionId);
        EXPECT_EQ(L"other id", answers[1].alertId);
        EXPECT_EQ(4u, answers[1].sessionId);
        EXPECT_EQ(c.onOtherThread, answers[0].threadId != ::GetCurrentThreadId());
    }
}

TEST_F(AlertStandInTest, KeepsTheCallbackOfAShownAlertUntilReset) {
    ComPtr<CRecordingCallback> callback = NuvCom::MakeComObject<CRecordingCallback>();
    const ULONG before = callback->References();

    ASSERT_EQ(S_OK, ShowWithCallback(callback.Get()));
    EXPECT_EQ(before + 1, callback->References());

    // An alert that failed is never answered: nothing kept.
    ASSERT_HRESULT_SUCCEEDED(m_control->QueueShowResult(E_FAIL));
    ASSERT_EQ(E_FAIL, ShowWithCallback(callback.Get()));
    EXPECT_EQ(before + 1, callback->References());
    // Neither is one shown without a callback.
    ASSERT_EQ(S_OK, ShowWithCallback(nullptr));

    HRESULT answered = S_OK;
    EXPECT_EQ(E_INVALIDARG, m_control->InvokeCallback(1, nullptr, 1, QvAlertCallback_Direct, &answered));
    EXPECT_EQ(E_INVALIDARG, m_control->InvokeCallback(2, nullptr, 1, QvAlertCallback_Direct, &answered));
    EXPECT_EQ(E_INVALIDARG, m_control->InvokeCallback(3, nullptr, 1, QvAlertCallback_Direct, &answered));
    const std::vector<CallRecord> calls = Calls();
    ASSERT_EQ(3u, calls.size());
    EXPECT_TRUE(calls[1].callbackPresent);
    EXPECT_FALSE(calls[2].callbackPresent);

    ASSERT_HRESULT_SUCCEEDED(m_control->Reset());
    EXPECT_EQ(before, callback->References());
}

}  // namespace
