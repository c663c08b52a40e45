#include "base/RegKey.h"

#include "base/UniqueHandle.h"

#include "tests/support/MachineRegistry.h"

#include <gtest/gtest.h>

#include <objbase.h>
#include <sddl.h>

#include <cstring>
#include <cwchar>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using Tessal::CRegKey;
using Tessal::UniqueHKey;
using Tessal::UniqueLocalMem;
using Bytes = std::vector<BYTE>;

std::wstring TestKeyPath() {
    return L"Software\\NuvTests\\RegKey-" + std::to_wstring(::GetCurrentProcessId());
}

// The characters of a literal without its implicit terminator: L"ab\0" gives a, b, NUL.
template <std::size_t N>
Bytes Chars(const wchar_t (&text)[N]) {
    const BYTE* begin = reinterpret_cast<const BYTE*>(text);
    return Bytes(begin, begin + (N - 1) * sizeof(wchar_t));
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// RegSetValueExW counts a string's terminator itself when the character after the data is NUL:
// the copy is followed by non-NUL bytes so that unterminated data stays unterminated.
LONG WriteRaw(HKEY key, const wchar_t* name, DWORD type, const Bytes& data) {
    Bytes padded = data;
    padded.insert(padded.end(), 4, 0xFF);
    return ::RegSetValueExW(key, name, 0, type, padded.data(), static_cast<DWORD>(data.size()));
}

struct RawValue {
    LONG result = ERROR_SUCCESS;
    DWORD type = REG_NONE;
    Bytes data;
};

RawValue ReadRaw(HKEY key, const wchar_t* name) {
    RawValue value;
    DWORD size = 0;
    value.result = ::RegQueryValueExW(key, name, nullptr, &value.type, nullptr, &size);
    if (value.result != ERROR_SUCCESS) return value;
    value.data.resize(size);
    value.result = ::RegQueryValueExW(key, name, nullptr, &value.type, value.data.data(), &size);
    value.data.resize(size);
    return value;
}

LONG OpenResult(HKEY parent, const std::wstring& path, REGSAM view = 0) {
    UniqueHKey key;
    return ::RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ | view, key.Put());
}

bool KeyExists(HKEY parent, const std::wstring& path, REGSAM view = 0) {
    return OpenResult(parent, path, view) == ERROR_SUCCESS;
}

UniqueHKey CreateRaw(HKEY parent, const std::wstring& path, REGSAM view = 0, DWORD options = 0) {
    UniqueHKey key;
    ::RegCreateKeyExW(parent, path.c_str(), 0, nullptr, options, KEY_ALL_ACCESS | view, nullptr, key.Put(), nullptr);
    return key;
}

LONG SetDacl(HKEY key, const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr)) {
        return static_cast<LONG>(::GetLastError());
    }
    const UniqueLocalMem owner(descriptor);
    return ::RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
}

LONG SetDacl(HKEY parent, const std::wstring& path, const wchar_t* sddl) {
    UniqueHKey key;
    const LONG opened = ::RegOpenKeyExW(parent, path.c_str(), 0, WRITE_DAC, key.Put());
    return opened != ERROR_SUCCESS ? opened : SetDacl(key.Get(), sddl);
}

// The DACL in SDDL form; READ_CONTROL is enough, so it works on keys the test locked.
std::wstring DaclText(HKEY parent, const std::wstring& path) {
    UniqueHKey key;
    if (::RegOpenKeyExW(parent, path.c_str(), 0, READ_CONTROL, key.Put()) != ERROR_SUCCESS) return L"(no key)";
    DWORD size = 0;
    ::RegGetKeySecurity(key.Get(), DACL_SECURITY_INFORMATION, nullptr, &size);
    Bytes descriptor(size);
    if (::RegGetKeySecurity(key.Get(), DACL_SECURITY_INFORMATION, descriptor.data(), &size) != ERROR_SUCCESS) {
        return L"(no descriptor)";
    }
    LPWSTR text = nullptr;
    if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.data(), SDDL_REVISION_1,
                                                                DACL_SECURITY_INFORMATION, &text, nullptr)) {
        return L"(no text)";
    }
    const UniqueLocalMem owner(text);
    return text;
}

bool Contains(const std::wstring& text, const wchar_t* part) { return text.find(part) != std::wstring::npos; }

// Everyone with full access, inherited by subkeys and values (stored generic or mapped).
bool GrantsEveryone(const std::wstring& dacl) {
    return Contains(dacl, L"(A;OICI;GA;;;WD)") || Contains(dacl, L"(A;OICI;KA;;;WD)");
}

// Deletes a test tree, also below keys a test locked with an empty DACL (the owner may still
// rewrite the DACL).
LONG ForceDeleteTree(HKEY parent, const std::wstring& name, REGSAM view = 0) {
    UniqueHKey key;
    LONG result = ::RegOpenKeyExW(parent, name.c_str(), 0, KEY_ALL_ACCESS | view, key.Put());
    if (result == ERROR_ACCESS_DENIED && SetDacl(parent, name, L"D:(A;OICI;KA;;;WD)") == ERROR_SUCCESS) {
        result = ::RegOpenKeyExW(parent, name.c_str(), 0, KEY_ALL_ACCESS | view, key.Put());
    }
    if (result != ERROR_SUCCESS) return result;
    for (;;) {
        wchar_t child[256];
        DWORD length = 256;
        if (::RegEnumKeyExW(key.Get(), 0, child, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        result = ForceDeleteTree(key.Get(), child, view);
        if (result != ERROR_SUCCESS) return result;
    }
    key.Reset();
    return ::RegDeleteKeyExW(parent, name.c_str(), view, 0);
}

// Every test works below its own key HKCU\Software\NuvTests\RegKey-<pid>.
class RegKeyTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_root = CreateRaw(HKEY_CURRENT_USER, TestKeyPath());
        ASSERT_TRUE(m_root);
    }
    void TearDown() override {
        m_root.Reset();
        EXPECT_EQ(ForceDeleteTree(HKEY_CURRENT_USER, TestKeyPath()), ERROR_SUCCESS);
        ::RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\NuvTests");  // only when no one else uses it
    }
    HKEY Root() const { return m_root.Get(); }

    UniqueHKey m_root;
};

using RegKeyLifecycle = RegKeyTest;
using RegKeyValues = RegKeyTest;
using RegKeyTree = RegKeyTest;
using RegKeySecurity = RegKeyTest;

struct KeyCall {
    const char* label;
    std::function<LONG(CRegKey&)> call;
    LONG expected;
};

TEST_F(RegKeyLifecycle, RefusesMissingKeyAndNullArguments) {
    DWORD dword = 0;
    ULONGLONG qword = 0;
    BYTE data[8] = {};
    ULONG size = sizeof(data);
    wchar_t text[8] = {};
    ULONG chars = 8;
    DWORD length = 8;
    GUID guid = GUID_NULL;
    std::wstring string;
    SECURITY_DESCRIPTOR descriptor = {};
    ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);

    const KeyCall withoutKey[] = {
        {"Close", [](CRegKey& k) { return k.Close(); }, ERROR_SUCCESS},
        {"QueryDWORDValue", [&](CRegKey& k) { return k.QueryDWORDValue(L"v", dword); }, ERROR_INVALID_PARAMETER},
        {"QueryQWORDValue", [&](CRegKey& k) { return k.QueryQWORDValue(L"v", qword); }, ERROR_INVALID_PARAMETER},
        {"QueryBinaryValue", [&](CRegKey& k) { return k.QueryBinaryValue(L"v", data, &size); }, ERROR_INVALID_PARAMETER},
        {"QueryStringBuffer", [&](CRegKey& k) { return k.QueryStringBuffer(L"v", text, &chars); }, ERROR_INVALID_PARAMETER},
        {"QueryStringValue", [&](CRegKey& k) { return k.QueryStringValue(L"v", string); }, ERROR_INVALID_PARAMETER},
        {"QueryGUIDValue", [&](CRegKey& k) { return k.QueryGUIDValue(L"v", guid); }, ERROR_INVALID_PARAMETER},
        {"QueryMultiStringValue", [&](CRegKey& k) { return k.QueryMultiStringValue(L"v", text, &chars); }, ERROR_INVALID_PARAMETER},
        {"GetKeySecurity", [&](CRegKey& k) { return k.GetKeySecurity(DACL_SECURITY_INFORMATION, nullptr, &length); }, ERROR_INVALID_PARAMETER},
        {"SetKeySecurity", [&](CRegKey& k) { return k.SetKeySecurity(DACL_SECURITY_INFORMATION, &descriptor); }, ERROR_INVALID_PARAMETER},
        {"Flush", [](CRegKey& k) { return k.Flush(); }, ERROR_INVALID_PARAMETER},
        {"EnumKey", [&](CRegKey& k) { return k.EnumKey(0, text, &length); }, ERROR_INVALID_PARAMETER},
        {"NotifyChangeKeyValue", [](CRegKey& k) { return k.NotifyChangeKeyValue(TRUE, REG_NOTIFY_CHANGE_LAST_SET, nullptr, FALSE); }, ERROR_INVALID_PARAMETER},
        {"DeleteSubKey", [](CRegKey& k) { return k.DeleteSubKey(L"x"); }, ERROR_INVALID_PARAMETER},
        {"RecurseDeleteKey", [](CRegKey& k) { return k.RecurseDeleteKey(L"x"); }, ERROR_INVALID_PARAMETER},
        {"DeleteValue", [](CRegKey& k) { return k.DeleteValue(L"x"); }, ERROR_INVALID_PARAMETER},
        {"GrantEveryoneFullAccess", [](CRegKey& k) { return k.GrantEveryoneFullAccess(true); }, ERROR_INVALID_PARAMETER},
    };
    for (const KeyCall& c : withoutKey) {
        CRegKey key;
        EXPECT_EQ(c.call(key), c.expected) << c.label;
    }

    // A null name must not empty the held key before DeleteSubKey refuses it.
    ASSERT_TRUE(CreateRaw(Root(), L"child"));
    const KeyCall nullArguments[] = {
        {"SetValue null data", [](CRegKey& k) { return k.SetValue(L"v", REG_BINARY, nullptr, 4); }, ERROR_INVALID_PARAMETER},
        {"SetValue size 0", [](CRegKey& k) { return k.SetValue(L"v", REG_BINARY, "x", 0); }, ERROR_INVALID_PARAMETER},
        {"SetStringValue null", [](CRegKey& k) { return k.SetStringValue(L"v", nullptr); }, ERROR_INVALID_DATA},
        {"SetMultiStringValue null", [](CRegKey& k) { return k.SetMultiStringValue(L"v", nullptr); }, ERROR_INVALID_DATA},
        {"GetKeySecurity null size", [](CRegKey& k) { return k.GetKeySecurity(DACL_SECURITY_INFORMATION, nullptr, nullptr); }, ERROR_INVALID_PARAMETER},
        {"SetKeySecurity null", [](CRegKey& k) { return k.SetKeySecurity(DACL_SECURITY_INFORMATION, nullptr); }, ERROR_INVALID_PARAMETER},
        {"DeleteSubKey null", [](CRegKey& k) { return k.DeleteSubKey(nullptr); }, ERROR_INVALID_PARAMETER},
        {"RecurseDeleteKey null", [](CRegKey& k) { return k.RecurseDeleteKey(nullptr); }, ERROR_INVALID_PARAMETER},
        {"DeleteValue null", [](CRegKey& k) { return k.DeleteValue(nullptr); }, ERROR_INVALID_PARAMETER},
    };
    CRegKey key;
    ASSERT_EQ(key.Open(HKEY_CURRENT_USER, TestKeyPath().c_str(), KEY_ALL_ACCESS), ERROR_SUCCESS);
    for (const KeyCall& c : nullArguments) EXPECT_EQ(c.call(key), c.expected) << c.label;
    EXPECT_EQ(ReadRaw(Root(), L"v").result, ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(KeyExists(Root(), L"child"));
}

TEST_F(RegKeyLifecycle, FailedOpenOrCreateKeepsTheHeldKey) {
    const UniqueHKey volatileKey = CreateRaw(Root(), L"volatile", 0, REG_OPTION_VOLATILE);
    ASSERT_TRUE(volatileKey);
    DWORD disposition = 0xDEADBEEF;
    const KeyCall failures[] = {
        {"Open missing", [&](CRegKey& k) { return k.Open(Root(), L"missing"); }, ERROR_FILE_NOT_FOUND},
        {"Create under no parent",
         [&](CRegKey& k) { return k.Create(nullptr, L"x", nullptr, 0, KEY_ALL_ACCESS, nullptr, &disposition); },
         ERROR_INVALID_HANDLE},
        {"Create lasting key under volatile one",
         [&](CRegKey& k) {
             return k.Create(volatileKey.Get(), L"x", nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                             &disposition);
         },
         ERROR_CHILD_MUST_BE_VOLATILE},
    };
    for (const KeyCall& c : failures) {
        SCOPED_TRACE(c.label);
        CRegKey key;
        ASSERT_EQ(key.Create(Root(), L"held", nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY), ERROR_SUCCESS);
        key.GetImpl().SetDeleteOnClose(true);
        const HKEY held = key;
        disposition = 0xDEADBEEF;

        EXPECT_EQ(c.call(key), c.expected);
        if (std::strncmp(c.label, "Create", 6) == 0) {
            EXPECT_EQ(disposition, 0u) << "written also on failure";
        }
        EXPECT_EQ(static_cast<HKEY>(key), held);
        EXPECT_EQ(key.GetImpl().GetViewBits(), static_cast<REGSAM>(KEY_WOW64_64KEY));
        EXPECT_TRUE(key.GetImpl().IsDeleteOnClose());
        EXPECT_EQ(key.SetDWORDValue(L"still", 1), ERROR_SUCCESS);
        EXPECT_TRUE(KeyExists(Root(), L"held"));
    }
    EXPECT_FALSE(KeyExists(Root(), L"held")) << "the flagged key goes with its last facade";
}

TEST_F(RegKeyLifecycle, CreateReportsDispositionAndView) {
    CRegKey key;
    DWORD disposition = 0;
    ASSERT_EQ(key.Create(Root(), L"made", nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &disposition), 0);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    EXPECT_EQ(key.GetImpl().GetViewBits(), static_cast<REGSAM>(KEY_WOW64_64KEY));
    ASSERT_EQ(key.Create(Root(), L"made", nullptr, 0, KEY_ALL_ACCESS, nullptr, &disposition), 0);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    EXPECT_EQ(key.GetImpl().GetViewBits(), 0u);
    ASSERT_EQ(key.Open(Root(), L"made", KEY_READ | KEY_WOW64_32KEY), 0);
    EXPECT_EQ(key.GetImpl().GetViewBits(), static_cast<REGSAM>(KEY_WOW64_32KEY));
    EXPECT_EQ(key.Close(), ERROR_SUCCESS);
    EXPECT_EQ(key.GetImpl().GetViewBits(), 0u);
    EXPECT_EQ(key.Close(), ERROR_SUCCESS);
}

// The new key is opened below the flagged one, through the held handle: had the old key been
// closed (and deleted) first, the open would have failed.
TEST_F(RegKeyLifecycle, FlaggedKeyIsDeletedOnlyAfterTheNewKeyOpened) {
    const KeyCall reopen[] = {
        {"Open", [](CRegKey& k) { return k.Open(k, L"child"); }, ERROR_SUCCESS},
        {"Create", [](CRegKey& k) { return k.Create(k, L"child"); }, ERROR_SUCCESS},
    };
    for (const KeyCall& c : reopen) {
        SCOPED_TRACE(c.label);
        CRegKey key;
        ASSERT_EQ(key.Create(Root(), L"flagged", nullptr, 0, KEY_ALL_ACCESS), 0);
        ASSERT_TRUE(CreateRaw(key, L"child\\grandchild"));
        ASSERT_EQ(key.SetDWORDValue(L"value", 1), 0);
        key.GetImpl().SetDeleteOnClose(true);

        EXPECT_EQ(c.call(key), c.expected);
        EXPECT_FALSE(key.GetImpl().IsDeleteOnClose());
        // Gone, not just emptied (Wine's SHDeleteKeyW leaves the empty key behind).
        EXPECT_EQ(OpenResult(Root(), L"flagged"), ERROR_FILE_NOT_FOUND);
    }
}

TEST_F(RegKeyLifecycle, FacadesSharingAnImplementationCloseTogether) {
    const auto impl = std::make_shared<Tessal::internal::CRegKeyImpl>();
    CRegKey survivor(impl);
    {
        CRegKey other(impl);
        ASSERT_EQ(other.Create(Root(), L"shared", nullptr, 0, KEY_ALL_ACCESS), 0);
        ASSERT_TRUE(CreateRaw(other, L"a\\b"));
        impl->SetDeleteOnClose(true);
        EXPECT_EQ(static_cast<HKEY>(survivor), static_cast<HKEY>(other));
    }
    EXPECT_EQ(static_cast<HKEY>(survivor), nullptr);
    EXPECT_EQ(OpenResult(Root(), L"shared"), ERROR_FILE_NOT_FOUND);

    CRegKey plain(nullptr);  // an empty pointer gets a plain implementation
    EXPECT_EQ(plain.Open(Root(), L""), ERROR_SUCCESS);
}

TEST_F(RegKeyLifecycle, DetachAndAttachClearFlagAndView) {
    CRegKey key;
    ASSERT_EQ(key.Create(Root(), L"detached", nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY), 0);
    key.GetImpl().SetDeleteOnClose(true);
    const UniqueHKey detached(key.Detach());
    ASSERT_TRUE(detached);
    EXPECT_EQ(static_cast<HKEY>(key), nullptr);
    EXPECT_EQ(key.GetImpl().GetViewBits(), 0u);
    EXPECT_FALSE(key.GetImpl().IsDeleteOnClose());
    EXPECT_EQ(key.Close(), ERROR_SUCCESS);
    EXPECT_TRUE(KeyExists(Root(), L"detached"));

    UniqueHKey opened;
    ASSERT_EQ(::RegOpenKeyExW(Root(), L"detached", 0, KEY_ALL_ACCESS, opened.Put()), 0);
    ASSERT_EQ(key.Open(Root(), L"detached", KEY_ALL_ACCESS | KEY_WOW64_32KEY), 0);
    key.GetImpl().SetDeleteOnClose(true);
    const HKEY previous = key.Detach();  // Attach would drop it unclosed
    key.Attach(opened.Take());
    const UniqueHKey previousOwner(previous);
    EXPECT_EQ(key.GetImpl().GetViewBits(), 0u);
    EXPECT_FALSE(key.GetImpl().IsDeleteOnClose());
    EXPECT_EQ(key.SetDWORDValue(L"attached", 7), ERROR_SUCCESS);
    EXPECT_EQ(ReadRaw(detached.Get(), L"attached").result, ERROR_SUCCESS);
}

struct TypedReadCase {
    const wchar_t* name;
    DWORD type;  // REG_NONE: no value
    Bytes data;
    LONG dwordResult;
    LONG qwordResult;
    LONG binaryResult;  // into an 8-byte buffer
};

TEST_F(RegKeyValues, TypedReadsCheckTypeAndSize) {
    const Bytes four = {0x44, 0x33, 0x22, 0x11};
    const Bytes eight = {1, 2, 3, 4, 5, 6, 7, 8};
    const TypedReadCase cases[] = {
        {L"dword", REG_DWORD, four, 0, ERROR_INVALID_DATA, ERROR_INVALID_DATA},
        {L"short dword", REG_DWORD, {7, 0}, ERROR_INVALID_DATA, ERROR_INVALID_DATA, ERROR_INVALID_DATA},
        {L"big-endian dword", REG_DWORD_BIG_ENDIAN, four, ERROR_INVALID_DATA, ERROR_INVALID_DATA, ERROR_INVALID_DATA},
        {L"qword", REG_QWORD, eight, ERROR_MORE_DATA, 0, ERROR_INVALID_DATA},
        {L"short qword", REG_QWORD, four, ERROR_INVALID_DATA, ERROR_INVALID_DATA, ERROR_INVALID_DATA},
        {L"binary 4", REG_BINARY, four, ERROR_INVALID_DATA, ERROR_INVALID_DATA, 0},
        {L"binary 8", REG_BINARY, eight, ERROR_MORE_DATA, ERROR_INVALID_DATA, 0},
        {L"binary 16", REG_BINARY, eight + eight, ERROR_MORE_DATA, ERROR_MORE_DATA, ERROR_MORE_DATA},
        {L"string", REG_SZ, Chars(L"1\0"), ERROR_INVALID_DATA, ERROR_INVALID_DATA, ERROR_INVALID_DATA},
        {L"missing", REG_NONE, {}, ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND},
    };
    CRegKey key;
    ASSERT_EQ(key.Open(Root(), L"", KEY_READ), 0);
    for (const TypedReadCase& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(std::wstring(c.name)));
        if (c.type != REG_NONE) {
            ASSERT_EQ(WriteRaw(Root(), c.name, c.type, c.data), 0);
        }

        DWORD dword = 0xAAAAAAAA;
        EXPECT_EQ(key.QueryDWORDValue(c.name, dword), c.dwordResult);
        DWORD expectedDword = 0xAAAAAAAA;
        if (c.dwordResult == 0) std::memcpy(&expectedDword, c.data.data(), 4);
        EXPECT_EQ(dword, expectedDword);

        ULONGLONG qword = 0xAAAAAAAAAAAAAAAA;
        EXPECT_EQ(key.QueryQWORDValue(c.name, qword), c.qwordResult);
        ULONGLONG expectedQword = 0xAAAAAAAAAAAAAAAA;
        if (c.qwordResult == 0) std::memcpy(&expectedQword, c.data.data(), 8);
        EXPECT_EQ(qword, expectedQword);

        BYTE binary[8] = {};
        ULONG size = sizeof(binary);
        EXPECT_EQ(key.QueryBinaryValue(c.name, binary, &size), c.binaryResult);
        if (c.binaryResult == 0 || c.binaryResult == ERROR_MORE_DATA) {
            EXPECT_EQ(size, c.data.size());
        }
        if (c.binaryResult == 0) {
            EXPECT_EQ(Bytes(binary, binary + size), c.data);
        }
    }
}

struct SetterCase {
    const char* label;
    std::function<LONG(CRegKey&, const wchar_t*)> set;
    DWORD type;
    Bytes stored;
};

TEST_F(RegKeyValues, SettersStoreExactBytes) {
    static const GUID kGuid = {0x0F1E2D3C, 0x4B5A, 0x6978, {0x87, 0x96, 0xA5, 0xB4, 0xC3, 0xD2, 0xE1, 0xF0}};
    const SetterCase cases[] = {
        {"empty string", [](CRegKey& k, const wchar_t* n) { return k.SetStringValue(n, L""); }, REG_SZ, Chars(L"\0")},
        {"string", [](CRegKey& k, const wchar_t* n) { return k.SetStringValue(n, L"ab"); }, REG_SZ, Chars(L"ab\0")},
        {"expandable string",
         [](CRegKey& k, const wchar_t* n) { return k.SetStringValue(n, L"%TEMP%\\x", REG_EXPAND_SZ); },
         REG_EXPAND_SZ, Chars(L"%TEMP%\\x\0")},
        {"multi-string of only the closing string",
         [](CRegKey& k, const wchar_t* n) { return k.SetMultiStringValue(n, L""); }, REG_MULTI_SZ, Chars(L"\0")},
        {"multi-string", [](CRegKey& k, const wchar_t* n) { return k.SetMultiStringValue(n, L"a\0bc\0"); },
         REG_MULTI_SZ, Chars(L"a\0bc\0\0")},
        {"dword", [](CRegKey& k, const wchar_t* n) { return k.SetDWORDValue(n, 0x01020304); }, REG_DWORD,
         {4, 3, 2, 1}},
        {"qword", [](CRegKey& k, const wchar_t* n) { return k.SetQWORDValue(n, 0x0102030405060708ull); }, REG_QWORD,
         {8, 7, 6, 5, 4, 3, 2, 1}},
        {"binary", [](CRegKey& k, const wchar_t* n) { return k.SetBinaryValue(n, "\x01\x00\x02", 3); }, REG_BINARY,
         {1, 0, 2}},
        {"guid", [](CRegKey& k, const wchar_t* n) { return k.SetGUIDValue(n, kGuid); }, REG_SZ,
         Chars(L"{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}\0")},
    };
    CRegKey key;
    ASSERT_EQ(key.Open(Root(), L""), 0);
    for (const SetterCase& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_EQ(c.set(key, L"value"), ERROR_SUCCESS);
        const RawValue raw = ReadRaw(Root(), L"value");
        ASSERT_EQ(raw.result, ERROR_SUCCESS);
        EXPECT_EQ(raw.type, c.type);
        EXPECT_EQ(raw.data, c.stored);
    }
    GUID guid = GUID_NULL;
    EXPECT_EQ(key.QueryGUIDValue(L"value", guid), ERROR_SUCCESS);
    EXPECT_TRUE(::IsEqualGUID(guid, kGuid));
}

struct StringReadCase {
    const char* label;
    DWORD type;  // REG_NONE: no value
    Bytes data;
    ULONG bufferChars;  // 0: ask for the size only
    LONG result;
    ULONG chars;
};

// Success rows also compare the buffer with the stored characters.
void RunStringReads(HKEY root, const StringReadCase* begin, const StringReadCase* end,
                    LONG (CRegKey::*query)(LPCWSTR, LPWSTR, ULONG*)) {
    CRegKey key;
    ASSERT_EQ(key.Open(root, L"", KEY_READ), 0);
    for (const StringReadCase* c = begin; c != end; ++c) {
        SCOPED_TRACE(c->label);
        ::RegDeleteValueW(root, L"value");
        if (c->type != REG_NONE) {
            ASSERT_EQ(WriteRaw(root, L"value", c->type, c->data), 0);
        }
        std::vector<wchar_t> buffer(c->bufferChars, L'X');
        ULONG chars = c->bufferChars;
        EXPECT_EQ((key.*query)(L"value", c->bufferChars != 0 ? buffer.data() : nullptr, &chars), c->result);
        if (c->result != ERROR_SUCCESS) continue;
        EXPECT_EQ(chars, c->chars);
        if (c->bufferChars == 0) continue;
        const BYTE* bytes = reinterpret_cast<const BYTE*>(buffer.data());
        EXPECT_EQ(Bytes(bytes, bytes + c->data.size()), c->data);
        if (c->data.empty()) {
            EXPECT_EQ(buffer[0], L'\0');
        }
    }
}

TEST_F(RegKeyValues, QueryStringBufferChecksTypeAndTermination) {
    const StringReadCase cases[] = {
        {"terminated", REG_SZ, Chars(L"abc\0"), 16, 0, 4},
        {"expandable", REG_EXPAND_SZ, Chars(L"%x%\0"), 16, 0, 4},
        {"size only", REG_SZ, Chars(L"abc\0"), 0, 0, 4},
        {"no data", REG_SZ, {}, 16, 0, 0},
        {"exact fit", REG_SZ, Chars(L"abc\0"), 4, 0, 4},
        {"no terminator", REG_SZ, Chars(L"abc"), 16, ERROR_INVALID_DATA, 0},
        {"odd byte count", REG_SZ, Chars(L"abc\0") + Bytes{0}, 16, ERROR_INVALID_DATA, 0},
        {"buffer too small", REG_SZ, Chars(L"abcdef\0"), 3, ERROR_MORE_DATA, 0},
        {"multi-string", REG_MULTI_SZ, Chars(L"a\0\0"), 16, ERROR_INVALID_DATA, 0},
        {"dword", REG_DWORD, {1, 0, 0, 0}, 16, ERROR_INVALID_DATA, 0},
        {"missing", REG_NONE, {}, 16, ERROR_FILE_NOT_FOUND, 0},
    };
    RunStringReads(Root(), std::begin(cases), std::end(cases), &CRegKey::QueryStringBuffer);
}

TEST_F(RegKeyValues, QueryMultiStringValueChecksTypeAndTermination) {
    const StringReadCase cases[] = {
        {"two strings", REG_MULTI_SZ, Chars(L"a\0b\0\0"), 16, 0, 5},
        {"only the closing string", REG_MULTI_SZ, Chars(L"\0"), 16, 0, 1},
        {"size only", REG_MULTI_SZ, Chars(L"a\0b\0\0"), 0, 0, 5},
        {"no closing empty string", REG_MULTI_SZ, Chars(L"a\0b\0"), 16, ERROR_INVALID_DATA, 0},
        {"no terminator", REG_MULTI_SZ, Chars(L"a\0b"), 16, ERROR_INVALID_DATA, 0},
        {"no data", REG_MULTI_SZ, {}, 16, ERROR_INVALID_DATA, 0},
        {"odd byte count", REG_MULTI_SZ, Chars(L"a\0\0") + Bytes{0}, 16, ERROR_INVALID_DATA, 0},
        {"string", REG_SZ, Chars(L"a\0\0"), 16, ERROR_INVALID_DATA, 0},
        {"buffer below 2", REG_MULTI_SZ, Chars(L"\0"), 1, ERROR_INSUFFICIENT_BUFFER, 0},
        {"buffer too small", REG_MULTI_SZ, Chars(L"abc\0def\0\0"), 4, ERROR_MORE_DATA, 0},
        {"missing", REG_NONE, {}, 16, ERROR_FILE_NOT_FOUND, 0},
    };
    RunStringReads(Root(), std::begin(cases), std::end(cases), &CRegKey::QueryMultiStringValue);
}

TEST_F(RegKeyValues, QueryStringValueGivesTextUpToFirstNul) {
    const std::wstring longText(3000, L'x');
    struct Case {
        const char* label;
        DWORD type;
        Bytes data;
        LONG result;
        std::wstring text;
    } const cases[] = {
        {"no data", REG_SZ, {}, 0, L""},
        {"embedded NUL", REG_SZ, Chars(L"ab\0cd\0"), 0, L"ab"},
        {"expandable, not expanded", REG_EXPAND_SZ, Chars(L"%TEMP%\0"), 0, L"%TEMP%"},
        {"long", REG_SZ, Bytes(reinterpret_cast<const BYTE*>(longText.c_str()),
                               reinterpret_cast<const BYTE*>(longText.c_str() + longText.size() + 1)),
         0, longText},
        {"no terminator", REG_SZ, Chars(L"ab"), ERROR_INVALID_DATA, L"unchanged"},
        // A damaged value, not one too large for the buffer sized from it.
        {"odd byte count", REG_SZ, Chars(L"abc\0") + Bytes{0}, ERROR_INVALID_DATA, L"unchanged"},
        {"dword", REG_DWORD, {1, 0, 0, 0}, ERROR_INVALID_DATA, L"unchanged"},
        {"missing", REG_NONE, {}, ERROR_FILE_NOT_FOUND, L"unchanged"},
    };
    CRegKey key;
    ASSERT_EQ(key.Open(Root(), L"", KEY_READ), 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ::RegDeleteValueW(Root(), L"value");
        if (c.type != REG_NONE) {
            ASSERT_EQ(WriteRaw(Root(), L"value", c.type, c.data), 0);
        }
        std::wstring text = L"unchanged";
        EXPECT_EQ(key.QueryStringValue(L"value", text), c.result);
        EXPECT_EQ(text, c.text);
    }
}

TEST_F(RegKeyValues, QueryGUIDValueNeedsBracedGuidText) {
    static const GUID kGuid = {0x0F1E2D3C, 0x4B5A, 0x6978, {0x87, 0x96, 0xA5, 0xB4, 0xC3, 0xD2, 0xE1, 0xF0}};
    const std::wstring tooLong = L"{" + std::wstring(80, L'A') + L"}";
    struct Case {
        const char* label;
        DWORD type;
        Bytes data;
        LONG result;
    } const cases[] = {
        {"braced", REG_SZ, Chars(L"{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}\0"), 0},
        {"lower case", REG_SZ, Chars(L"{0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0}\0"), 0},
        {"no braces", REG_SZ, Chars(L"0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0\0"), ERROR_INVALID_DATA},
        {"not a GUID", REG_SZ, Chars(L"{not-a-guid}\0"), ERROR_INVALID_DATA},
        {"registered ProgID", REG_SZ, Chars(L"Scripting.Dictionary\0"), ERROR_INVALID_DATA},
        {"longer than a GUID text", REG_SZ,
         Bytes(reinterpret_cast<const BYTE*>(tooLong.c_str()),
               reinterpret_cast<const BYTE*>(tooLong.c_str() + tooLong.size() + 1)),
         ERROR_MORE_DATA},
        {"dword", REG_DWORD, {1, 0, 0, 0}, ERROR_INVALID_DATA},
        {"missing", REG_NONE, {}, ERROR_FILE_NOT_FOUND},
    };
    CRegKey key;
    ASSERT_EQ(key.Open(Root(), L"", KEY_READ), 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ::RegDeleteValueW(Root(), L"value");
        if (c.type != REG_NONE) {
            ASSERT_EQ(WriteRaw(Root(), L"value", c.type, c.data), 0);
        }
        GUID guid = kGuid;
        guid.Data1 = 0x12345678;
        EXPECT_EQ(key.QueryGUIDValue(L"value", guid), c.result);
        EXPECT_TRUE(::IsEqualGUID(guid, c.result == 0 ? kGuid : GUID_NULL));
    }
}

// Keeps values in memory instead of the registry, the way a scrambling implementation keeps
// them in another form: every typed operation must come through these two.
class MemoryValuesImpl : public Tessal::internal::CRegKeyImpl {
public:
    LONG QueryValue(LPCWSTR name, DWORD* type, void* data, ULONG* size) override {
        const auto found = values.find(name != nullptr ? name : L"");
        if (found == values.end()) return ERROR_FILE_NOT_FOUND;
        if (type != nullptr) *type = found->second.first;
        const Bytes& stored = found->second.second;
        if (size == nullptr) return data == nullptr ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
        const bool fits = *size >= stored.size();
        *size = static_cast<ULONG>(stored.size());
        if (data == nullptr) return ERROR_SUCCESS;
        if (!fits) return ERROR_MORE_DATA;
        std::memcpy(data, stored.data(), stored.size());
        return ERROR_SUCCESS;
    }
    LONG SetValue(LPCWSTR name, DWORD type, const void* data, ULONG size) override {
        if (data == nullptr || size == 0) return ERROR_INVALID_PARAMETER;
        const BYTE* bytes = static_cast<const BYTE*>(data);
        values[name != nullptr ? name : L""] = {type, Bytes(bytes, bytes + size)};
        return ERROR_SUCCESS;
    }
    LONG DeleteSubKey(LPCWSTR subKey) override {
        deletedThroughTable.emplace_back(subKey);
        return CRegKeyImpl::DeleteSubKey(subKey);
    }

    std::map<std::wstring, std::pair<DWORD, Bytes>> values;
    std::vector<std::wstring> deletedThroughTable;
};

TEST_F(RegKeyValues, TypedOperationsGoThroughTheInstalledImplementation) {
    static const GUID kGuid = {0x0F1E2D3C, 0x4B5A, 0x6978, {0x87, 0x96, 0xA5, 0xB4, 0xC3, 0xD2, 0xE1, 0xF0}};
    const auto memory = std::make_shared<MemoryValuesImpl>();
    CRegKey key(memory);
    ASSERT_EQ(key.Open(Root(), L""), 0);

    ASSERT_EQ(key.SetDWORDValue(L"dword", 0x01020304), 0);
    ASSERT_EQ(key.SetQWORDValue(L"qword", 0x0102030405060708ull), 0);
    ASSERT_EQ(key.SetStringValue(L"string", L"text"), 0);
    ASSERT_EQ(key.SetMultiStringValue(L"multi", L"a\0b\0"), 0);
    ASSERT_EQ(key.SetGUIDValue(L"guid", kGuid), 0);
    ASSERT_EQ(key.SetBinaryValue(L"binary", "\x05\x06", 2), 0);
    EXPECT_EQ(memory->values.size(), 6u);
    for (const auto& value : memory->values) {
        EXPECT_EQ(ReadRaw(Root(), value.first.c_str()).result, ERROR_FILE_NOT_FOUND)
            << "written past the implementation: " << ::testing::PrintToString(value.first);
    }

    DWORD dword = 0;
    EXPECT_EQ(key.QueryDWORDValue(L"dword", dword), 0);
    EXPECT_EQ(dword, 0x01020304u);
    ULONGLONG qword = 0;
    EXPECT_EQ(key.QueryQWORDValue(L"qword", qword), 0);
    EXPECT_EQ(qword, 0x0102030405060708ull);
    std::wstring text;
    EXPECT_EQ(key.QueryStringValue(L"string", text), 0);
    EXPECT_EQ(text, L"text");
    wchar_t multi[8] = {};
    ULONG chars = 8;
    EXPECT_EQ(key.QueryMultiStringValue(L"multi", multi, &chars), 0);
    EXPECT_EQ(chars, 5u);
    GUID guid = GUID_NULL;
    EXPECT_EQ(key.QueryGUIDValue(L"guid", guid), 0);
    EXPECT_TRUE(::IsEqualGUID(guid, kGuid));
    BYTE binary[4] = {};
    ULONG size = sizeof(binary);
    EXPECT_EQ(key.QueryBinaryValue(L"binary", binary, &size), 0);
    EXPECT_EQ(Bytes(binary, binary + size), (Bytes{5, 6}));
    EXPECT_EQ(key.QueryValue(L"dword", nullptr, nullptr, &size), 0);
    EXPECT_EQ(size, 4u);

    // The last deletion of a tree goes through the held key's table; the children do not.
    ASSERT_TRUE(CreateRaw(Root(), L"tree\\child"));
    EXPECT_EQ(key.RecurseDeleteKey(L"tree"), 0);
    EXPECT_EQ(memory->deletedThroughTable, std::vector<std::wstring>{L"tree"});
    EXPECT_FALSE(KeyExists(Root(), L"tree"));
}

TEST_F(RegKeyTree, RecurseDeleteKeyRemovesThreeLevels) {
    for (const wchar_t* path : {L"tree\\a\\b\\c", L"tree\\a\\b2", L"tree\\a2", L"keep"}) {
        const UniqueHKey made = CreateRaw(Root(), path);
        ASSERT_TRUE(made);
        ASSERT_EQ(WriteRaw(made.Get(), L"value", REG_DWORD, {1, 0, 0, 0}), 0);
    }
    CRegKey key;
    ASSERT_EQ(key.Open(Root(), L"tree"), 0);
    wchar_t name[256];
    DWORD length = 256;
    ASSERT_EQ(key.EnumKey(0, name, &length), 0);  // no last-write time asked for
    EXPECT_STREQ(name, L"a");
    length = 256;
    EXPECT_EQ(key.EnumKey(2, name, &length), ERROR_NO_MORE_ITEMS);

    ASSERT_EQ(key.Open(Root(), L""), 0);
    EXPECT_EQ(key.RecurseDeleteKey(L"tree"), ERROR_SUCCESS);
    EXPECT_EQ(OpenResult(Root(), L"tree"), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(KeyExists(Root(), L"keep"));
    EXPECT_EQ(key.RecurseDeleteKey(L"tree"), ERROR_FILE_NOT_FOUND);
}

// HKLM\Software has a separate 32-bit view (Wow6432Node) for a 64-bit process.
class RegKeyView : public ::testing::Test {
protected:
    void SetUp() override {
        for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
            const UniqueHKey key = CreateRaw(HKEY_LOCAL_MACHINE, TestKeyPath(), view);
            ASSERT_TRUE(key) << "cannot write below HKLM";
        }
    }
    void TearDown() override {
        for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
            UniqueHKey software;
            if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\NuvTests", 0, KEY_ALL_ACCESS | view,
                                software.Put()) != ERROR_SUCCESS) {
                continue;
            }
            const std::wstring name = TestKeyPath().substr(std::wcslen(L"Software\\NuvTests\\"));
            ForceDeleteTree(software.Get(), name, view);
            software.Reset();
            ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, L"Software\\NuvTests", view, 0);
        }
    }

    // One "victim" in each view, told apart by a value.
    void MakeVictims() {
        for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
            const UniqueHKey victim = CreateRaw(HKEY_LOCAL_MACHINE, TestKeyPath() + L"\\victim", view);
            ASSERT_TRUE(victim);
            ASSERT_EQ(WriteRaw(victim.Get(), L"view", REG_DWORD, {view == KEY_WOW64_32KEY ? BYTE(32) : BYTE(64), 0, 0, 0}), 0);
        }
        UniqueHKey victim32;
        ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, (TestKeyPath() + L"\\victim").c_str(), 0,
                                  KEY_READ | KEY_WOW64_32KEY, victim32.Put()),
                  0);
        if (ReadRaw(victim32.Get(), L"view").data != Bytes{32, 0, 0, 0}) GTEST_SKIP() << "no separate 32-bit view";
    }

    NuvTest::RealMachineRegistry m_realMachine;  // the program's own has no 32-bit view
};

TEST_F(RegKeyView, DeleteSubKeyDeletesInTheViewTheKeyWasOpenedIn) {
    const std::wstring victim = TestKeyPath() + L"\\victim";
    struct Case {
        const char* label;
        std::wstring parent;  // below HKLM
        REGSAM view;
        std::wstring subKey;
    } const cases[] = {
        {"HKLM in the 32-bit view", L"", KEY_WOW64_32KEY, victim},
        {"HKLM in the 64-bit view", L"", KEY_WOW64_64KEY, victim},
        {"test key in the 32-bit view", TestKeyPath(), KEY_WOW64_32KEY, L"victim"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        MakeVictims();
        if (IsSkipped()) return;
        CRegKey key;
        ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, c.parent.c_str(), KEY_READ | KEY_WRITE | c.view), 0);
        EXPECT_EQ(key.DeleteSubKey(c.subKey.c_str()), ERROR_SUCCESS);
        const REGSAM other = c.view == KEY_WOW64_32KEY ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
        EXPECT_EQ(OpenResult(HKEY_LOCAL_MACHINE, victim, c.view), ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(OpenResult(HKEY_LOCAL_MACHINE, victim, other), ERROR_SUCCESS) << "the other view's copy went";
    }
}

TEST_F(RegKeySecurity, GrantMergesIntoEachKeysOwnDacl) {
    // Each key grants the process full access (it runs as an administrator) plus its own reader.
    const struct {
        const wchar_t* path;
        const wchar_t* dacl;
        const wchar_t* ownReader;
    } keys[] = {
        {L"granted", L"D:P(A;;KA;;;BA)(A;;KR;;;SY)", L";;;SY)"},
        {L"granted\\child", L"D:P(A;;KA;;;BA)(A;;KR;;;BU)", L";;;BU)"},
        {L"granted\\child\\grandchild", L"D:P(A;;KA;;;BA)(A;;KR;;;LS)", L";;;LS)"},
    };
    for (const auto& k : keys) {
        const UniqueHKey made = CreateRaw(Root(), k.path);
        ASSERT_TRUE(made);
        ASSERT_EQ(SetDacl(made.Get(), k.dacl), 0);
    }
    CRegKey key;
    ASSERT_EQ(key.Open(Root(), L"granted", KEY_ALL_ACCESS), 0);

    ASSERT_EQ(key.GrantEveryoneFullAccess(false), ERROR_SUCCESS);
    EXPECT_TRUE(GrantsEveryone(DaclText(Root(), L"granted"))) << ::testing::PrintToString(DaclText(Root(), L"granted"));
    EXPECT_FALSE(Contains(DaclText(Root(), L"granted\\child"), L";;;WD)")) << "not recursive";

    ASSERT_EQ(key.GrantEveryoneFullAccess(true), ERROR_SUCCESS);
    for (const auto& k : keys) {
        const std::wstring dacl = DaclText(Root(), k.path);
        SCOPED_TRACE(::testing::PrintToString(std::wstring(k.path) + L": " + dacl));
        EXPECT_TRUE(GrantsEveryone(dacl));
        EXPECT_TRUE(Contains(dacl, L"(A;;KA;;;BA)"));
        for (const auto& other : keys) {
            EXPECT_EQ(Contains(dacl, other.ownReader), other.ownReader == k.ownReader) << "reader of "
                << ::testing::PrintToString(std::wstring(other.path));
        }
    }
}

TEST_F(RegKeySecurity, RecursiveGrantSkipsSubkeysItCannotOpen) {
    ASSERT_TRUE(CreateRaw(Root(), L"granted\\a-locked"));
    ASSERT_TRUE(CreateRaw(Root(), L"granted\\b-open"));
    ASSERT_EQ(SetDacl(Root(), L"granted\\b-open", L"D:P(A;;KA;;;BA)"), 0);
    ASSERT_EQ(SetDacl(Root(), L"granted\\a-locked", L"D:P"), 0);  // nobody may open it for KEY_ALL_ACCESS
    UniqueHKey probe;
    if (::RegOpenKeyExW(Root(), L"granted\\a-locked", 0, KEY_ALL_ACCESS, probe.Put()) == ERROR_SUCCESS) {
        GTEST_SKIP() << "registry access checks are not enforced here";
    }

    CRegKey key;
    ASSERT_EQ(key.Open(Root(), L"granted", KEY_ALL_ACCESS), 0);
    EXPECT_EQ(key.GrantEveryoneFullAccess(true), ERROR_SUCCESS);
    EXPECT_TRUE(GrantsEveryone(DaclText(Root(), L"granted\\b-open")));
    EXPECT_EQ(DaclText(Root(), L"granted\\a-locked"), L"D:P");
}

TEST_F(RegKeySecurity, GrantReportsSecurityErrors) {
    ASSERT_TRUE(CreateRaw(Root(), L"granted"));
    CRegKey key;
    ASSERT_EQ(key.Open(Root(), L"granted", KEY_READ), 0);  // no WRITE_DAC
    EXPECT_EQ(key.GrantEveryoneFullAccess(false), ERROR_ACCESS_DENIED);
    ASSERT_EQ(key.Open(Root(), L"granted", KEY_WRITE), 0);  // no READ_CONTROL
    EXPECT_EQ(key.GrantEveryoneFullAccess(false), ERROR_ACCESS_DENIED);
}

}  // namespace
