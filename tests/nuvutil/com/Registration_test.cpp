// Registration helpers called in-process (this program registers itself as the server): the
// optional parts of a class description stay out of the registry, bad descriptions write nothing,
// and a server table gives exactly its keys, in a private root, and takes them away again.
#include "nuvutil/com/ClassFactory.h"
#include "nuvutil/com/Registration.h"

#include "base/UniqueHandle.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <cwchar>
#include <functional>
#include <string>
#include <vector>

namespace {

using NuvCom::ComClassDescription;
using NuvCom::ThreadingModel;

// Used only here, never by a real server.
constexpr CLSID kPlainClsid = {0x5f0c2d1e, 0x7a3b, 0x4c59, {0x9e, 0x21, 0x6d, 0x4f, 0x80, 0xa1, 0xb2, 0xc3}};

std::wstring ClsidKey() {
    wchar_t text[40] = {};
    ::StringFromGUID2(kPlainClsid, text, 40);
    return std::wstring(L"CLSID\\") + text;
}

bool KeyExists(const std::wstring& key) {
    Tessal::UniqueHKey opened;
    return ::RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, opened.Put()) == ERROR_SUCCESS;
}

bool ValueExists(const std::wstring& key, const wchar_t* name) {
    return ::RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), name, RRF_RT_ANY, nullptr, nullptr, nullptr) ==
           ERROR_SUCCESS;
}

std::wstring ReadString(const std::wstring& key, const wchar_t* name) {
    wchar_t value[512] = {};
    DWORD bytes = sizeof(value);
    ::RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), name, RRF_RT_REG_SZ, nullptr, value, &bytes);
    return value;
}

class RegistrationTest : public testing::Test {
protected:
    void TearDown() override { ::RegDeleteTreeW(HKEY_CLASSES_ROOT, ClsidKey().c_str()); }
};

TEST_F(RegistrationTest, ClassWithoutProgIdAppIdOrTypeLibraryWritesOnlyItsClassKey) {
    const ComClassDescription plain[] = {
        {kPlainClsid, L"Plain Class", nullptr, nullptr, ThreadingModel::Free, GUID_NULL, false}};
    ASSERT_EQ(S_OK, NuvCom::RegisterServer(plain));

    const std::wstring key = ClsidKey();
    EXPECT_EQ(L"Plain Class", ReadString(key, nullptr));
    EXPECT_EQ(L"Free", ReadString(key + L"\\InprocServer32", L"ThreadingModel"));
    EXPECT_FALSE(ValueExists(key, L"AppID"));
    for (const wchar_t* absent : {L"\\ProgID", L"\\VersionIndependentProgID", L"\\TypeLib"}) {
        EXPECT_FALSE(KeyExists(key + absent)) << absent;
    }

    ASSERT_EQ(S_OK, NuvCom::UnregisterServer(plain));
    EXPECT_FALSE(KeyExists(key));
}

TEST_F(RegistrationTest, RefusesDescriptionsItCannotWriteWhole) {
    const ComClassDescription noProgId[] = {
        {kPlainClsid, L"Plain Class", nullptr, L"NuvTest.Plain", ThreadingModel::Both, GUID_NULL, false}};
    const ComClassDescription noName[] = {
        {kPlainClsid, nullptr, L"NuvTest.Plain.1", nullptr, ThreadingModel::Both, GUID_NULL, false}};
    EXPECT_EQ(E_INVALIDARG, NuvCom::RegisterServer(noProgId));
    EXPECT_EQ(E_INVALIDARG, NuvCom::RegisterServer(noName));
    EXPECT_FALSE(KeyExists(ClsidKey()));
    EXPECT_FALSE(KeyExists(L"NuvTest.Plain"));
    EXPECT_FALSE(KeyExists(L"NuvTest.Plain.1"));
}

TEST_F(RegistrationTest, FailedTypeLibraryRegistrationLeavesNothingBehind) {
    // This program embeds no type library.
    const ComClassDescription described[] = {
        {kPlainClsid, L"Plain Class", nullptr, nullptr, ThreadingModel::Apartment, GUID_NULL, true}};
    EXPECT_TRUE(FAILED(NuvCom::RegisterServer(described)));
    EXPECT_FALSE(KeyExists(ClsidKey()));
}

// A server table against a private root below HKEY_CURRENT_USER, so nothing of the machine's
// classes is touched. GUIDs and paths in the expectations are written out as text on purpose.
constexpr GUID kAppId = {0x3b6d8f20, 0x41c7, 0x4e0a, {0x8d, 0x55, 0x12, 0x9a, 0x7e, 0x60, 0xc4, 0x1f}};
constexpr wchar_t kClassKey[] = L"CLSID\\{5F0C2D1E-7A3B-4C59-9E21-6D4F80A1B2C3}";
constexpr wchar_t kAppIdText[] = L"{3B6D8F20-41C7-4E0A-8D55-129A7E60C41F}";

std::wstring ProgramPath() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

class CPrivateRoot {
public:
    CPrivateRoot()
        : m_path(L"Software\\NuvTests\\nuvutil_com_tests-" + std::to_wstring(::GetCurrentProcessId()) +
                 L"\\Classes") {
        ::RegDeleteTreeW(HKEY_CURRENT_USER, m_path.c_str());
        ::RegCreateKeyExW(HKEY_CURRENT_USER, m_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, m_key.Put(),
                          nullptr);
    }
    ~CPrivateRoot() {
        m_key.Reset();
        ::RegDeleteTreeW(HKEY_CURRENT_USER, m_path.c_str());
    }
    HKEY Get() const noexcept { return m_key.Get(); }

    bool Exists(const std::wstring& key) const {
        Tessal::UniqueHKey opened;
        return ::RegOpenKeyExW(m_key.Get(), key.c_str(), 0, KEY_READ, opened.Put()) == ERROR_SUCCESS;
    }
    // "<none>" when the value is missing.
    std::wstring Read(const std::wstring& key, const wchar_t* name) const {
        wchar_t value[1024] = {};
        DWORD bytes = sizeof(value);
        if (::RegGetValueW(m_key.Get(), key.c_str(), name, RRF_RT_REG_SZ, nullptr, value, &bytes) != ERROR_SUCCESS) {
            return L"<none>";
        }
        return value;
    }
    void Write(const std::wstring& key, const wchar_t* name, const wchar_t* data) const {
        ASSERT_EQ(ERROR_SUCCESS, ::RegSetKeyValueW(m_key.Get(), key.c_str(), name, REG_SZ, data,
                                                   static_cast<DWORD>((wcslen(data) + 1) * sizeof(wchar_t))));
    }
    DWORD SubKeyCount() const {
        DWORD count = 0;
        ::RegQueryInfoKeyW(m_key.Get(), nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr,
                           nullptr, nullptr, nullptr);
        return count;
    }

private:
    std::wstring m_path;
    Tessal::UniqueHKey m_key;
};

struct ExpectedValue {
    std::wstring key;
    const wchar_t* name;  // nullptr: the default value
    std::wstring data;
};

struct ServerCase {
    const char* what;
    NuvCom::ComServerDescription server;
    std::function<void(const CPrivateRoot&)> before;  // foreign keys, before registration
    std::vector<ExpectedValue> values;                 // after registration
    std::vector<std::wstring> keys;                    // after registration
    std::vector<std::wstring> absentAfterRegistration;
    std::function<void(const CPrivateRoot&)> between;  // foreign keys, before unregistration
    std::vector<std::wstring> keptAfterUnregistration;
    std::vector<std::wstring> goneAfterUnregistration;
};

using NuvCom::ComClassOptions;
using NuvCom::ComRegistryEntry;
using NuvCom::ComServerDescription;

const ComClassDescription kWithAppId[] = {
    {kPlainClsid, L"Plain Class", nullptr, nullptr, ThreadingModel::Apartment, kAppId, false}};

const ComRegistryEntry kClassEntries[] = {
    {L"TypeLib", nullptr, L"{}"},
    {L"Extra\\Deeper", L"Where", L"%MODULE%|%CLSID%"},
};
const ComClassDescription kProgrammable[] = {
    {kPlainClsid, L"Plain Class", L"NuvTest.Plain.1", L"NuvTest.Plain", ThreadingModel::Free, kAppId, false, nullptr,
     ComClassOptions::Programmable, kClassEntries}};
const ComRegistryEntry kServerEntries[] = {
    {L"CLSID\\%APPID%", L"InprocServer32", L"%MODULE%"},
    {L"NuvTest.KeyOnly\\Below", nullptr, nullptr},
};

const ComClassDescription kForced[] = {
    {kPlainClsid, L"Plain Class", nullptr, nullptr, ThreadingModel::Neutral, GUID_NULL, false, nullptr,
     ComClassOptions::ForceRemove | ComClassOptions::Programmable}};
const ComRegistryEntry kForcedEntries[] = {{L"NuvTest.Forced\\New", nullptr, L"written"}};
const wchar_t* const kForcedKeys[] = {L"NuvTest.Forced\\"};

const ComClassDescription kPlain[] = {
    {kPlainClsid, L"Plain Class", nullptr, nullptr, ThreadingModel::Both, GUID_NULL, false}};
const ComRegistryEntry kSharedEntries[] = {{L"NuvTest.Shared\\Inner\\Leaf", L"Value", L"ours"}};
const wchar_t* const kSharedKept[] = {L"nuvtest.shared"};

TEST(ServerRegistrationTest, TableOfServersGivesItsKeysAndTakesThemAway) {
    const std::wstring program = ProgramPath();
    const std::wstring appIdKey = std::wstring(L"AppID\\") + kAppIdText;
    const std::wstring classKey = kClassKey;
    const ServerCase cases[] = {
        {"AppID node with its module key, named by the server",
         {kWithAppId, {kAppId, L"Test Server", L"NuvTest.DLL"}},
         nullptr,
         {{appIdKey, nullptr, L"Test Server"},
          {L"AppID\\NuvTest.DLL", L"AppID", kAppIdText},
          {classKey, L"AppID", kAppIdText},
          {classKey + L"\\InprocServer32", nullptr, program},
          {classKey + L"\\InprocServer32", L"ThreadingModel", L"Apartment"}},
         {},
         {classKey + L"\\TypeLib", classKey + L"\\Programmable"},
         nullptr,
         {L"AppID", L"CLSID"},
         {appIdKey, L"AppID\\NuvTest.DLL", classKey}},
        {"a class's AppID the server does not describe: node named after the class, no module key",
         {kWithAppId},
         nullptr,
         {{appIdKey, nullptr, L"Plain Class"}, {classKey, L"AppID", kAppIdText}},
         {},
         {L"AppID\\NuvTest.DLL"},
         nullptr,
         {L"AppID", L"CLSID"},
         {appIdKey}},
        {"Programmable, entries of the class and of the server with their tokens, a key alone",
         {kProgrammable, {kAppId, L"Test Server"}, kServerEntries},
         nullptr,
         {{classKey + L"\\TypeLib", nullptr, L"{}"},
          {classKey + L"\\Extra\\Deeper", L"Where", program + L"|{5F0C2D1E-7A3B-4C59-9E21-6D4F80A1B2C3}"},
          {std::wstring(L"CLSID\\") + kAppIdText, L"InprocServer32", program},
          {L"NuvTest.Plain\\CurVer", nullptr, L"NuvTest.Plain.1"},
          {classKey + L"\\InprocServer32", L"ThreadingModel", L"Free"}},
         {classKey + L"\\Programmable", L"NuvTest.KeyOnly\\Below"},
         {},
         nullptr,
         {L"CLSID", L"AppID"},
         {classKey, std::wstring(L"CLSID\\") + kAppIdText, L"NuvTest.KeyOnly", L"NuvTest.Plain", L"NuvTest.Plain.1",
          appIdKey}},
        {"force-removed keys go whole before registration and on unregistration",
         {kForced, {}, kForcedEntries, {}, kForcedKeys},
         [&](const CPrivateRoot& root) {
             root.Write(classKey + L"\\Foreign", nullptr, L"before");
             root.Write(L"NuvTest.Forced\\Old", nullptr, L"before");
         },
         {{L"NuvTest.Forced\\New", nullptr, L"written"}, {classKey + L"\\InprocServer32", L"ThreadingModel", L"Neutral"}},
         {classKey + L"\\Programmable"},
         {classKey + L"\\Foreign", L"NuvTest.Forced\\Old"},
         [&](const CPrivateRoot& root) {
             root.Write(classKey + L"\\Foreign", L"Value", L"between");
             root.Write(classKey, L"Foreign", L"between");
             root.Write(L"NuvTest.Forced\\Other", nullptr, L"between");
         },
         {L"CLSID"},
         {classKey, L"NuvTest.Forced"}},
        {"an extra entry's parents go when empty",
         {kPlain, {}, kSharedEntries},
         nullptr,
         {{L"NuvTest.Shared\\Inner\\Leaf", L"Value", L"ours"}},
         {},
         {},
         nullptr,
         {L"CLSID"},
         {L"NuvTest.Shared", classKey}},
        {"a kept parent stays, even empty; a foreign value keeps its key",
         {kPlain, {}, kSharedEntries, kSharedKept},
         nullptr,
         {{L"NuvTest.Shared\\Inner\\Leaf", L"Value", L"ours"}},
         {},
         {},
         [&](const CPrivateRoot& root) { root.Write(classKey, L"Foreign", L"kept"); },
         {L"NuvTest.Shared", classKey},
         {L"NuvTest.Shared\\Inner", classKey + L"\\InprocServer32"}},
    };

    for (const ServerCase& c : cases) {
        SCOPED_TRACE(c.what);
        const CPrivateRoot root;
        ASSERT_TRUE(root.Get() != nullptr);
        if (c.before) c.before(root);

        ASSERT_EQ(S_OK, NuvCom::RegisterServer(c.server, root.Get()));
        for (const ExpectedValue& v : c.values) {
            EXPECT_EQ(v.data, root.Read(v.key, v.name)) << v.key << " " << (v.name ? v.name : L"(default)");
        }
        for (const std::wstring& key : c.keys) {
            EXPECT_TRUE(root.Exists(key)) << key;
        }
        for (const std::wstring& key : c.absentAfterRegistration) {
            EXPECT_FALSE(root.Exists(key)) << key;
        }
        EXPECT_EQ(S_OK, NuvCom::RegisterServer(c.server, root.Get())) << "registering again";

        if (c.between) c.between(root);
        ASSERT_EQ(S_OK, NuvCom::UnregisterServer(c.server, root.Get()));
        for (const std::wstring& key : c.keptAfterUnregistration) {
            EXPECT_TRUE(root.Exists(key)) << key;
        }
        for (const std::wstring& key : c.goneAfterUnregistration) {
            EXPECT_FALSE(root.Exists(key)) << key;
        }
        EXPECT_EQ(S_OK, NuvCom::UnregisterServer(c.server, root.Get())) << "already gone counts as removed";
    }
}

TEST(ServerRegistrationTest, RefusesServerTablesItCannotWriteWhole) {
    const ComRegistryEntry nameWithoutData[] = {{L"NuvTest.Bad", L"Name", nullptr}};
    const ComRegistryEntry rootItself[] = {{L"", nullptr, L"x"}};
    const ComRegistryEntry nullKey[] = {{nullptr, nullptr, L"x"}};
    const ComClassDescription classEntryWithoutData[] = {
        {kPlainClsid, L"Plain Class", nullptr, nullptr, ThreadingModel::Both, GUID_NULL, false, nullptr,
         ComClassOptions::None, nameWithoutData}};
    const wchar_t* const emptyKey[] = {L""};
    const wchar_t* const nullKeyName[] = {nullptr};
    struct Case {
        const char* what;
        ComServerDescription server;
    };
    const Case cases[] = {
        {"entry naming a value without data", {kPlain, {}, nameWithoutData}},
        {"server entry at the root itself", {kPlain, {}, rootItself}},
        {"entry without a key", {kPlain, {}, nullKey}},
        {"class entry naming a value without data", {classEntryWithoutData}},
        {"force-removing the root", {kPlain, {}, {}, {}, emptyKey}},
        {"kept key without a name", {kPlain, {}, {}, nullKeyName}},
        {"AppID node without its name", {kPlain, {kAppId, nullptr}}},
        {"module key without an AppID", {kPlain, {GUID_NULL, nullptr, L"NuvTest.DLL"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const CPrivateRoot root;
        EXPECT_EQ(E_INVALIDARG, NuvCom::RegisterServer(c.server, root.Get()));
        EXPECT_EQ(0u, root.SubKeyCount()) << "nothing written";
        EXPECT_EQ(E_INVALIDARG, NuvCom::UnregisterServer(c.server, root.Get()));
    }
}

TEST(ServerRegistrationTest, FailedTypeLibraryRegistrationTakesBackTheWholeTable) {
    // This program embeds no type library.
    const ComClassDescription described[] = {
        {kPlainClsid, L"Plain Class", L"NuvTest.Plain.1", nullptr, ThreadingModel::Both, kAppId, true}};
    const CPrivateRoot root;
    EXPECT_TRUE(FAILED(NuvCom::RegisterServer({described, {kAppId, L"Test Server", L"NuvTest.DLL"}, kServerEntries},
                                              root.Get())));
    for (const wchar_t* key : {kClassKey, L"NuvTest.Plain.1", L"AppID\\NuvTest.DLL", L"NuvTest.KeyOnly"}) {
        EXPECT_FALSE(root.Exists(key)) << key;
    }
}

TEST(ServerRegistrationTest, TheRegistrationLocaleLastsOnlyAsLongAsTheCall) {
    const LCID before = ::GetThreadLocale();
    const LCID german = MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), SORT_DEFAULT);
    ASSERT_TRUE(::SetThreadLocale(german));
    const CPrivateRoot root;
    ComServerDescription server = {kPlain};
    server.registrationLocale = LOCALE_SYSTEM_DEFAULT;
    EXPECT_EQ(S_OK, NuvCom::RegisterServer(server, root.Get()));
    EXPECT_EQ(german, ::GetThreadLocale());
    EXPECT_EQ(S_OK, NuvCom::UnregisterServer(server, root.Get()));
    EXPECT_EQ(german, ::GetThreadLocale());
    ::SetThreadLocale(before);
}

// Class objects come from the same table: a stand-in records which one was asked for.
int g_lastAsked = 0;
HRESULT FirstClassObject(REFIID, void** ppv) {
    g_lastAsked = 1;
    *ppv = reinterpret_cast<void*>(1);
    return S_OK;
}
HRESULT SecondClassObject(REFIID, void**) {
    g_lastAsked = 2;
    return E_NOINTERFACE;
}

TEST(ServerRegistrationTest, ClassObjectsComeFromTheSameTable) {
    constexpr CLSID kSecond = {0x5f0c2d1e, 0x7a3b, 0x4c59, {0x9e, 0x21, 0x6d, 0x4f, 0x80, 0xa1, 0xb2, 0xc4}};
    constexpr CLSID kRegisteredOnly = {0x5f0c2d1e, 0x7a3b, 0x4c59, {0x9e, 0x21, 0x6d, 0x4f, 0x80, 0xa1, 0xb2, 0xc5}};
    const ComClassDescription classes[] = {
        {kPlainClsid, L"A", nullptr, nullptr, ThreadingModel::Both, GUID_NULL, false, &FirstClassObject},
        {kSecond, L"B", nullptr, nullptr, ThreadingModel::Both, GUID_NULL, false, &SecondClassObject},
        {kRegisteredOnly, L"C", nullptr, nullptr, ThreadingModel::Both, GUID_NULL, false},
    };
    const ComServerDescription server = {classes};
    struct Case {
        const CLSID* clsid;
        HRESULT expected;
        int asked;
    };
    const Case cases[] = {
        {&kPlainClsid, S_OK, 1},
        {&kSecond, E_NOINTERFACE, 2},
        {&kRegisteredOnly, CLASS_E_CLASSNOTAVAILABLE, 0},
        {&kAppId, CLASS_E_CLASSNOTAVAILABLE, 0},
    };
    for (const Case& c : cases) {
        g_lastAsked = 0;
        void* object = reinterpret_cast<void*>(7);
        EXPECT_EQ(c.expected, NuvCom::GetClassObject(server, *c.clsid, IID_IClassFactory, &object));
        EXPECT_EQ(c.asked, g_lastAsked);
        EXPECT_EQ(c.expected == S_OK ? reinterpret_cast<void*>(1) : nullptr, object) << "cleared on failure";
    }
    EXPECT_EQ(E_POINTER, NuvCom::GetClassObject(server, kPlainClsid, IID_IClassFactory, nullptr));
}

}  // namespace
