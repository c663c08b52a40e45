// Registration helpers called in-process (this program registers itself as the server): the
// optional parts of a class description stay out of the registry, bad descriptions write nothing.
#include "nuvutil/com/Registration.h"

#include "base/UniqueHandle.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <string>

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

}  // namespace
