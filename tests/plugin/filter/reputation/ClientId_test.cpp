// The client id from the client-services stand-in: the digest of the device id, cached for the
// process, "NULL" after a failed call, asked again after a failed creation.
#include "plugin/filter/reputation/ClientId.h"

#include "ClientServicesControl.h"
#include "nuvutil/com/Bstr.h"
#include "nuvutil/com/CoInitializeScope.h"
#include "tests/support/LogRecorder.h"

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <string>
#include <thread>

namespace {

using NNUV::NNUVInternal::GetClientId;

// The client id of a device id: MD5 of its UTF-16LE bytes, in lowercase hex. The stand-in's
// default device id is "STANDIN-DEVICE-0001".
std::wstring DigestOf(const std::wstring& text) {
    NNUV::NNUVInternal::CMD5Checksum checksum;
    checksum.Update(text.data(), text.size() * sizeof(wchar_t));
    return checksum.ToHexString();
}

class ClientIdTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_HRESULT_SUCCEEDED(::CoCreateInstance(__uuidof(QvLumoClientControl), nullptr, CLSCTX_INPROC_SERVER,
                                                    IID_PPV_ARGS(&m_control)));
        m_control->Reset();
        NNUV::NNUVInternal::ResetClientIdCache();
        NuvTest::TakeLoggedLines();
    }
    void TearDown() override { NNUV::NNUVInternal::ResetClientIdCache(); }

    void SetReply(const wchar_t* reply) { ASSERT_HRESULT_SUCCEEDED(m_control->SetReply(NuvCom::CBstr(reply).Get())); }
    ULONG Creations() {
        ULONG count = 0;
        m_control->GetCreationCount(&count);
        return count;
    }
    ULONG Calls() {
        ULONG count = 0;
        m_control->GetCallCount(&count);
        return count;
    }
    std::wstring Request(ULONG index) {
        NuvCom::CBstr request;
        return SUCCEEDED(m_control->GetRequest(index, request.Put())) ? std::wstring(request.Get(), request.Length()) : L"?";
    }
    bool Logged(const std::wstring& text) {
        for (const auto& line : NuvTest::TakeLoggedLines()) {
            if (line.text == text && line.level == 4) return true;
        }
        return false;
    }

    NuvCom::CCoInitialize m_com{COINIT_MULTITHREADED};
    Microsoft::WRL::ComPtr<IQvLumoClientControl> m_control;
};

TEST_F(ClientIdTest, DigestOfTheDeviceIdAskedOnceForTheProcess) {
    std::wstring id;
    GetClientId(id);
    EXPECT_EQ(32u, id.size());
    EXPECT_EQ(DigestOf(L"STANDIN-DEVICE-0001"), id);
    EXPECT_EQ(L"{\"application_id\":\"5d1e7c2a-9b40-4f63-a8e2-7c31b9d0f4a6\",\"op\":\"get\"}", Request(0));
    std::wstring again = L"old";
    for (int n = 0; n < 5; ++n) GetClientId(again);
    EXPECT_EQ(id, again);
    EXPECT_EQ(1u, Creations());
    EXPECT_EQ(1u, Calls());
}

TEST_F(ClientIdTest, TheDigestTakesTheUtf16LeBytesOfTheDeviceId) {
    SetReply(L"[{\"deviceid\":\"A\"}]");
    std::wstring id;
    GetClientId(id);
    // MD5 of the bytes 41 00 (md5sum of printf 'A\0').
    EXPECT_EQ(L"8214d1003f68a7d9b0356c0cbd7eee1a", id);
}

TEST_F(ClientIdTest, RepliesWithoutAStringDeviceIdGiveTheDigestOfNothing) {
    const std::wstring empty = L"d41d8cd98f00b204e9800998ecf8427e";
    const struct {
        const wchar_t* reply;
        std::wstring id;
    } cases[] = {
        {L"[{\"deviceid\":\"dev\",\"other\":1},{\"deviceid\":\"second\"}]", DigestOf(L"dev")},
        {L"{\"deviceid\":\"dev\"}", empty},
        {L"[]", empty},
        {L"[{\"deviceid\":42}]", empty},
        {L"[{\"id\":\"dev\"}]", empty},
        {L"[{\"deviceid\":\"dev\"}, 7]", empty},
        {L"not json at all", empty},
        {L"", empty},
    };
    for (const auto& c : cases) {
        NNUV::NNUVInternal::ResetClientIdCache();
        SetReply(c.reply);
        std::wstring id = L"before";
        GetClientId(id);
        EXPECT_EQ(c.id, id) << c.reply;
    }
}

TEST_F(ClientIdTest, AFailedCallGivesNullForTheProcess) {
    m_control->SetCallResult(E_FAIL);
    std::wstring id;
    GetClientId(id);
    EXPECT_EQ(L"NULL", id);
    EXPECT_TRUE(Logged(L"GetAppInfo() call to Lumo SDK failed"));
    m_control->SetCallResult(S_OK);
    GetClientId(id);
    EXPECT_EQ(L"NULL", id);
    EXPECT_EQ(1u, Calls());
}

TEST_F(ClientIdTest, AFailedCreationLeavesTheTextAndTriesAgain) {
    m_control->SetCreationResult(REGDB_E_CLASSNOTREG);
    std::wstring id = L"kept";
    GetClientId(id);
    EXPECT_EQ(L"kept", id);
    EXPECT_TRUE(Logged(L"Unable to create QvLumoClient instance"));
    m_control->SetCreationResult(S_OK);
    GetClientId(id);
    EXPECT_EQ(DigestOf(L"STANDIN-DEVICE-0001"), id);
    EXPECT_EQ(2u, Creations());
}

TEST_F(ClientIdTest, WorksOnAThreadWithoutComAndLeavesItWithout) {
    std::wstring id;
    HRESULT after = S_OK;
    std::thread worker([&] {
        GetClientId(id);
        // Uninitialised again: a new initialisation is the first one (S_OK), not a nested one.
        after = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        if (SUCCEEDED(after)) ::CoUninitialize();
    });
    worker.join();
    EXPECT_EQ(DigestOf(L"STANDIN-DEVICE-0001"), id);
    EXPECT_EQ(S_OK, after);
}

}  // namespace
