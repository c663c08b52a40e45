// Drives the test-only server NuvComTest.dll the way COM clients do: through the registry that
// regsvr32 wrote (scripts/test.sh registers it), CoCreateInstance, the vtable and IDispatch.
#include "NuvComTest.h"
#include "nuvutil/com/Bstr.h"
#include "nuvutil/com/CoInitializeScope.h"
#include "nuvutil/com/Variant.h"

#include "base/UniqueHandle.h"

#include <gtest/gtest.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using Microsoft::WRL::ComPtr;
using NuvCom::CBstr;
using NuvCom::CVariant;

constexpr wchar_t kProgId[] = L"NuvTest.ComTest.1";
constexpr wchar_t kVersionIndependentProgId[] = L"NuvTest.ComTest";
constexpr wchar_t kClassName[] = L"NuvComTest Class";
constexpr wchar_t kAppId[] = L"{765EA576-5B2A-4E59-A7C2-475EC3089374}";

std::wstring GuidString(REFGUID guid) {
    wchar_t text[40] = {};
    ::StringFromGUID2(guid, text, 40);
    return text;
}

const std::wstring& Clsid() {
    static const std::wstring clsid = GuidString(__uuidof(NuvComTest));
    return clsid;
}

std::wstring ServerPath() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path);
    return dir.substr(0, dir.find_last_of(L'\\') + 1) + L"NuvComTest.dll";
}

std::wstring TypeLibraryId() {
    ComPtr<ITypeLib> library;
    if (FAILED(::LoadTypeLibEx(ServerPath().c_str(), REGKIND_NONE, &library))) {
        return L"(no type library in NuvComTest.dll)";
    }
    TLIBATTR* attributes = nullptr;
    library->GetLibAttr(&attributes);
    const std::wstring id = GuidString(attributes->guid);
    library->ReleaseTLibAttr(attributes);
    return id;
}

std::optional<std::wstring> ReadString(const std::wstring& key, const wchar_t* name) {
    wchar_t value[1024] = {};
    DWORD bytes = sizeof(value);
    if (::RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), name, RRF_RT_REG_SZ, nullptr, value, &bytes) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return std::wstring(value);
}

bool KeyExists(const std::wstring& key) {
    Tessal::UniqueHKey opened;
    return ::RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, opened.Put()) == ERROR_SUCCESS;
}

bool SameText(const std::wstring& a, const std::wstring& b) {
    return ::CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

struct ExpectedValue {
    std::wstring key;
    const wchar_t* name;
    std::wstring value;
};

// What registration must leave under HKEY_CLASSES_ROOT.
std::vector<ExpectedValue> RegisteredValues() {
    const std::wstring clsidKey = L"CLSID\\" + Clsid();
    const std::wstring libId = TypeLibraryId();
    return {
        {clsidKey, nullptr, kClassName},
        {clsidKey, L"AppID", kAppId},
        {clsidKey + L"\\InprocServer32", nullptr, ServerPath()},
        {clsidKey + L"\\InprocServer32", L"ThreadingModel", L"Both"},
        {clsidKey + L"\\ProgID", nullptr, kProgId},
        {clsidKey + L"\\VersionIndependentProgID", nullptr, kVersionIndependentProgId},
        {clsidKey + L"\\TypeLib", nullptr, libId},
        {std::wstring(kProgId) + L"\\CLSID", nullptr, Clsid()},
        {std::wstring(kVersionIndependentProgId) + L"\\CLSID", nullptr, Clsid()},
        {std::wstring(kVersionIndependentProgId) + L"\\CurVer", nullptr, kProgId},
        {L"AppID\\" + std::wstring(kAppId), nullptr, kClassName},
        // Written by RegisterTypeLib.
        {L"TypeLib\\" + libId + L"\\1.0\\0\\win64", nullptr, ServerPath()},
    };
}

// The roots of everything registration creates, type library and its interface included.
std::vector<std::wstring> RegisteredKeys() {
    return {L"CLSID\\" + Clsid(),
            kProgId,
            kVersionIndependentProgId,
            L"AppID\\" + std::wstring(kAppId),
            L"TypeLib\\" + TypeLibraryId(),
            L"Interface\\" + GuidString(__uuidof(INuvComTest))};
}

void ExpectRegistered() {
    for (const ExpectedValue& expected : RegisteredValues()) {
        SCOPED_TRACE(testing::Message() << "HKCR\\" << expected.key << " "
                                        << (expected.name ? expected.name : L"(default)"));
        const std::optional<std::wstring> value = ReadString(expected.key, expected.name);
        ASSERT_TRUE(value.has_value());
        EXPECT_TRUE(SameText(*value, expected.value)) << *value << " != " << expected.value;
    }
    EXPECT_TRUE(KeyExists(L"Interface\\" + GuidString(__uuidof(INuvComTest))));
}

// The server loaded into this process as COM loads it, for its exports.
class CServerModule {
public:
    CServerModule() : m_module(::LoadLibraryW(ServerPath().c_str())) {}
    bool Loaded() const { return m_module.IsValid(); }

    HRESULT CanUnloadNow() const { return Call("DllCanUnloadNow"); }
    HRESULT Register() const { return Call("DllRegisterServer"); }
    HRESULT Unregister() const { return Call("DllUnregisterServer"); }
    HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) const {
        auto get = reinterpret_cast<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(
            reinterpret_cast<void*>(::GetProcAddress(m_module.Get(), "DllGetClassObject")));
        return get ? get(clsid, riid, ppv) : E_NOTIMPL;
    }

private:
    HRESULT Call(const char* name) const {
        auto export_ = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
            reinterpret_cast<void*>(::GetProcAddress(m_module.Get(), name)));
        return export_ ? export_() : E_NOTIMPL;
    }

    Tessal::UniqueHModule m_module;
};

class ComServerTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_com.Succeeded()) << std::hex << m_com.Result(); }

    ComPtr<INuvComTest> Create() {
        ComPtr<INuvComTest> object;
        EXPECT_EQ(S_OK, ::CoCreateInstance(__uuidof(NuvComTest), nullptr, CLSCTX_INPROC_SERVER,
                                           IID_PPV_ARGS(&object)));
        return object;
    }

    NuvCom::CCoInitialize m_com{COINIT_APARTMENTTHREADED};
};

// Late binding as a script host does it: names to DISPIDs, arguments in reverse order.
class CLateBound {
public:
    explicit CLateBound(IDispatch* object) : m_object(object) {}

    HRESULT Id(const wchar_t* name, DISPID* id) const {
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        return m_object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, id);
    }

    // `args` in the order the method declares them.
    HRESULT Call(const wchar_t* name, WORD flags, std::vector<CVariant> args, CVariant* result,
                 EXCEPINFO* exception = nullptr) const {
        DISPID id = DISPID_UNKNOWN;
        const HRESULT hr = Id(name, &id);
        if (FAILED(hr)) {
            return hr;
        }
        std::vector<VARIANT> reversed;
        for (auto it = args.rbegin(); it != args.rend(); ++it) {
            reversed.push_back(*it->Get());
        }
        DISPID putId = DISPID_PROPERTYPUT;
        DISPPARAMS params = {reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
        if (flags & DISPATCH_PROPERTYPUT) {
            params.rgdispidNamedArgs = &putId;
            params.cNamedArgs = 1;
        }
        EXCEPINFO ignored = {};
        EXCEPINFO* info = exception ? exception : &ignored;
        UINT argError = 0;
        const HRESULT invoked = m_object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params,
                                                  result ? result->Put() : nullptr, info, &argError);
        ::SysFreeString(ignored.bstrSource);
        ::SysFreeString(ignored.bstrDescription);
        ::SysFreeString(ignored.bstrHelpFile);
        return invoked;
    }

private:
    IDispatch* m_object;
};

TEST_F(ComServerTest, RegsvrWroteTheClassProgIdAppIdAndTypeLibraryKeys) { ExpectRegistered(); }

TEST_F(ComServerTest, CreatesByClsidAndByEitherProgId) {
    for (const wchar_t* progId : {kProgId, kVersionIndependentProgId}) {
        SCOPED_TRACE(testing::Message() << progId);
        CLSID clsid = {};
        ASSERT_EQ(S_OK, ::CLSIDFromProgID(progId, &clsid));
        EXPECT_TRUE(::IsEqualCLSID(clsid, __uuidof(NuvComTest)));
        ComPtr<IDispatch> object;
        EXPECT_EQ(S_OK, ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&object)));
    }
    EXPECT_TRUE(Create());
}

TEST_F(ComServerTest, QueryInterfaceKeepsOneIdentity) {
    ComPtr<INuvComTest> object = Create();
    ASSERT_TRUE(object);
    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(S_OK, object.As(&dispatch));
    ComPtr<IUnknown> fromObject;
    ComPtr<IUnknown> fromDispatch;
    ASSERT_EQ(S_OK, object.As(&fromObject));
    ASSERT_EQ(S_OK, dispatch.As(&fromDispatch));
    EXPECT_EQ(fromObject.Get(), fromDispatch.Get());

    ComPtr<INuvComTest> back;
    ASSERT_EQ(S_OK, dispatch.As(&back));
    EXPECT_EQ(object.Get(), back.Get());

    void* none = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, object->QueryInterface(__uuidof(IClassFactory), &none));
    EXPECT_EQ(nullptr, none);
    EXPECT_EQ(E_POINTER, object->QueryInterface(__uuidof(IUnknown), nullptr));
}

TEST_F(ComServerTest, CallsThroughTheVtable) {
    ComPtr<INuvComTest> object = Create();
    ASSERT_TRUE(object);

    LONG sum = 0;
    EXPECT_EQ(S_OK, object->Add(40, 2, &sum));
    EXPECT_EQ(42, sum);
    EXPECT_EQ(S_OK, object->Add(-7, 3, &sum));
    EXPECT_EQ(-4, sum);
    EXPECT_EQ(E_POINTER, object->Add(1, 2, nullptr));

    // An embedded null must survive both directions: lengths, not terminators.
    const CBstr text(std::wstring_view(L"a\0b", 3));
    CBstr echoed;
    ASSERT_EQ(S_OK, object->Echo(text.Get(), echoed.Put()));
    EXPECT_EQ(std::wstring_view(L"<a\0b>", 5), echoed.View());
    ASSERT_EQ(S_OK, object->Echo(nullptr, echoed.Put()));
    EXPECT_EQ(L"<>", echoed.Str());

    LONG counter = -1;
    EXPECT_EQ(S_OK, object->put_Counter(17));
    EXPECT_EQ(S_OK, object->get_Counter(&counter));
    EXPECT_EQ(17, counter);
}

TEST_F(ComServerTest, CallsByNameThroughIDispatch) {
    ComPtr<IDispatch> object;
    ASSERT_EQ(S_OK, Create().As(&object));
    const CLateBound late(object.Get());

    UINT count = 0;
    EXPECT_EQ(S_OK, object->GetTypeInfoCount(&count));
    EXPECT_EQ(1u, count);
    ComPtr<ITypeInfo> typeInfo;
    EXPECT_EQ(S_OK, object->GetTypeInfo(0, LOCALE_USER_DEFAULT, &typeInfo));
    EXPECT_EQ(DISP_E_BADINDEX, object->GetTypeInfo(1, LOCALE_USER_DEFAULT, &typeInfo));

    DISPID id = 0;
    EXPECT_EQ(S_OK, late.Id(L"Add", &id));
    EXPECT_EQ(1, id);
    EXPECT_EQ(S_OK, late.Id(L"eCHO", &id)) << "names are case-insensitive";
    EXPECT_EQ(2, id);
    EXPECT_EQ(DISP_E_UNKNOWNNAME, late.Id(L"Subtract", &id));

    CVariant result;
    ASSERT_EQ(S_OK, late.Call(L"Add", DISPATCH_METHOD, {CVariant(40), CVariant(2)}, &result));
    ASSERT_EQ(VT_I4, result.Type());
    EXPECT_EQ(42, result.Get()->lVal);

    ASSERT_EQ(S_OK, late.Call(L"Echo", DISPATCH_METHOD, {CVariant(L"round trip")}, &result));
    ASSERT_EQ(VT_BSTR, result.Type());
    EXPECT_EQ(std::wstring_view(L"<round trip>"),
              std::wstring_view(result.Get()->bstrVal, ::SysStringLen(result.Get()->bstrVal)));

    ASSERT_EQ(S_OK, late.Call(L"Counter", DISPATCH_PROPERTYPUT, {CVariant(99)}, nullptr));
    ASSERT_EQ(S_OK, late.Call(L"Counter", DISPATCH_PROPERTYGET, {}, &result));
    ASSERT_EQ(VT_I4, result.Type());
    EXPECT_EQ(99, result.Get()->lVal);

    // Both doors lead to the same object.
    ComPtr<INuvComTest> early;
    ASSERT_EQ(S_OK, object.As(&early));
    LONG counter = 0;
    EXPECT_EQ(S_OK, early->get_Counter(&counter));
    EXPECT_EQ(99, counter);
}

TEST_F(ComServerTest, ExceptionsInsideComeBackAsTheirHResults) {
    struct Case {
        LONG kind;
        HRESULT expected;
    };
    const Case cases[] = {
        {0, E_OUTOFMEMORY},
        {1, HRESULT_FROM_WIN32(ERROR_INVALID_DATA)},
        {2, E_ACCESSDENIED},
        {3, E_INVALIDARG},
        {4, E_FAIL},
        {5, E_UNEXPECTED},
    };
    ComPtr<INuvComTest> object = Create();
    ASSERT_TRUE(object);
    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(S_OK, object.As(&dispatch));
    const CLateBound late(dispatch.Get());

    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "kind " << c.kind);
        EXPECT_EQ(c.expected, object->Fail(c.kind));

        // Through IDispatch a failed method is reported as an exception carrying its HRESULT.
        EXCEPINFO exception = {};
        EXPECT_EQ(DISP_E_EXCEPTION, late.Call(L"Fail", DISPATCH_METHOD, {CVariant(c.kind)}, nullptr, &exception));
        EXPECT_EQ(c.expected, exception.scode);
        ::SysFreeString(exception.bstrSource);
        ::SysFreeString(exception.bstrDescription);
        ::SysFreeString(exception.bstrHelpFile);
    }
    // Still usable afterwards.
    LONG sum = 0;
    EXPECT_EQ(S_OK, object->Add(1, 1, &sum));
}

TEST_F(ComServerTest, ObjectsAndServerLocksKeepTheDllLoaded) {
    const CServerModule server;
    ASSERT_TRUE(server.Loaded());
    ASSERT_EQ(S_OK, server.CanUnloadNow());

    {
        ComPtr<INuvComTest> object = Create();
        ASSERT_TRUE(object);
        EXPECT_EQ(S_FALSE, server.CanUnloadNow());
        ComPtr<IDispatch> second;
        ASSERT_EQ(S_OK, object.As(&second));
        object.Reset();
        EXPECT_EQ(S_FALSE, server.CanUnloadNow()) << "one interface still held";
    }
    EXPECT_EQ(S_OK, server.CanUnloadNow());

    ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, ::CoGetClassObject(__uuidof(NuvComTest), CLSCTX_INPROC_SERVER, nullptr, IID_PPV_ARGS(&factory)));
    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
    EXPECT_EQ(S_FALSE, server.CanUnloadNow());
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));
    EXPECT_EQ(S_OK, server.CanUnloadNow());

    // Refused creations leave nothing alive.
    ComPtr<IUnknown> outer = Create();
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(outer.Get(), __uuidof(IUnknown), &object));
    EXPECT_EQ(nullptr, object);
    outer.Reset();
    object = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, factory->CreateInstance(nullptr, __uuidof(IClassFactory), &object));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(S_OK, server.CanUnloadNow());

    ComPtr<IClassFactory> none;
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, server.GetClassObject(__uuidof(INuvComTest), IID_PPV_ARGS(&none)));
}

TEST_F(ComServerTest, UnregisterRemovesEverythingAndRegisterRestoresIt) {
    const CServerModule server;
    ASSERT_TRUE(server.Loaded());
    // Leave the prefix registered whatever happens below, so the program can run again.
    struct Reregister {
        const CServerModule& server;
        ~Reregister() { server.Register(); }
    } reregister{server};

    ASSERT_EQ(S_OK, server.Unregister());
    for (const std::wstring& key : RegisteredKeys()) {
        EXPECT_FALSE(KeyExists(key)) << "HKCR\\" << key;
    }
    ComPtr<IUnknown> object;
    EXPECT_EQ(REGDB_E_CLASSNOTREG,
              ::CoCreateInstance(__uuidof(NuvComTest), nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&object)));
    CLSID clsid = {};
    EXPECT_EQ(CO_E_CLASSSTRING, ::CLSIDFromProgID(kProgId, &clsid));

    EXPECT_EQ(S_OK, server.Unregister()) << "already gone counts as removed";

    ASSERT_EQ(S_OK, server.Register());
    ExpectRegistered();
    EXPECT_EQ(S_OK, ::CoCreateInstance(__uuidof(NuvComTest), nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&object)));
}

TEST_F(ComServerTest, UnregisterLeavesWhatItDidNotWrite) {
    const CServerModule server;
    ASSERT_TRUE(server.Loaded());
    struct Cleanup {
        const CServerModule& server;
        ~Cleanup() {
            ::RegDeleteTreeW(HKEY_CLASSES_ROOT, (L"CLSID\\" + Clsid()).c_str());
            ::RegDeleteTreeW(HKEY_CLASSES_ROOT, kVersionIndependentProgId);
            server.Register();
        }
    } cleanup{server};

    // Another tool added a value to our class; a newer server took the version-independent ProgID.
    const std::wstring clsidKey = L"CLSID\\" + Clsid();
    const wchar_t foreign[] = L"kept";
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetKeyValueW(HKEY_CLASSES_ROOT, clsidKey.c_str(), L"Foreign", REG_SZ, foreign,
                                               sizeof(foreign)));
    const wchar_t otherClsid[] = L"{00000000-1111-2222-3333-444444444444}";
    const std::wstring viClsidKey = std::wstring(kVersionIndependentProgId) + L"\\CLSID";
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetKeyValueW(HKEY_CLASSES_ROOT, viClsidKey.c_str(), nullptr, REG_SZ, otherClsid,
                                               sizeof(otherClsid)));

    ASSERT_EQ(S_OK, server.Unregister());

    EXPECT_EQ(std::optional<std::wstring>(L"kept"), ReadString(clsidKey, L"Foreign"));
    EXPECT_FALSE(ReadString(clsidKey, nullptr).has_value());
    EXPECT_FALSE(KeyExists(clsidKey + L"\\InprocServer32"));
    EXPECT_FALSE(KeyExists(kProgId));
    EXPECT_EQ(std::optional<std::wstring>(otherClsid), ReadString(viClsidKey, nullptr));
    EXPECT_EQ(std::optional<std::wstring>(kProgId),
              ReadString(std::wstring(kVersionIndependentProgId) + L"\\CurVer", nullptr));
}

}  // namespace
