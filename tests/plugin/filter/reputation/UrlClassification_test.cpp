// URL classification through the reputation client and the stand-in service: the category codes
// of an answer mapped to masks, the failures, and a request blocked by its category end to end.
#include "plugin/filter/UrlClassification.h"

#include "plugin/filter/reputation/UrlResponseCache.h"
#include "tests/plugin/filter/RequestScanHarness.h"
#include "tests/plugin/filter/reputation/ReputationStandIn.h"
#include "tests/support/LogRecorder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

constexpr wchar_t kSettingsKey[] = L"SOFTWARE\\Oberix\\NUV\\Settings\\default";

class UrlClassificationTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_standIn.Load()) << "no reputation stand-in runs (ctest starts it)";
        const std::wstring host = m_standIn.Host();
        ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, kSettingsKey, L"ReputationHost", REG_SZ, host.c_str(),
                          static_cast<DWORD>((host.size() + 1) * sizeof(wchar_t)));
        NNUV::ForgetReputationHost();
        NNUV::UrlResponseCache::Clear();
        NuvTest::TakeLoggedLines();
    }
    void TearDown() override {
        ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSettingsKey, L"ReputationHost");
        NNUV::ForgetReputationHost();
    }

    NuvTest::ReputationStandIn m_standIn;
};

TEST_F(UrlClassificationTest, TheLastKnownCodeDecides) {
    CUrlClassification classifier;
    const struct {
        const wchar_t* url;
        DWORD size;
        int result;
        const char* mask;
        const wchar_t* logged;  // a level-4 line, or null
    } cases[] = {
        {L"adult.test/a", 33, 1, "00000000040000000000000000000000", nullptr},
        {L"games.test/a", 33, 1, "0000000000000000000000000000000C", nullptr},
        {L"gambling.test/a", 32, 1, "00000000200000000000000000000000", nullptr},
        {L"unknown-code.test/a", 33, 1, "00000000000000000000000000000000", nullptr},
        {L"nocat.test/a", 33, 1, "00000000000000000000000000000000", nullptr},
        {L"adult.test/b", 10, 0, "", L"Not given enough space for URL category result!"},
        {L"err3.test/a", 33, 0, "", L"TYVO Error! and error is TYVO RESPONSE ERROR"},
        {L"ridmismatch.test/a", 33, 0, "", L"TYVO Error! and error is Wrong Request ID"},
    };
    for (const auto& c : cases) {
        char result[40] = {};
        DWORD size = c.size;
        EXPECT_EQ(c.result, classifier.Classify(c.url, result, &size, L"")) << c.url;
        EXPECT_STREQ(c.mask, result) << c.url;
        if (c.result == 1) {
            EXPECT_EQ(32u, size) << c.url;
        }
        bool logged = false;
        for (const auto& line : NuvTest::TakeLoggedLines()) logged = logged || (c.logged != nullptr && line.text == c.logged);
        EXPECT_EQ(c.logged != nullptr, logged) << c.url;
    }
    char result[40] = {};
    DWORD size = sizeof result;
    EXPECT_EQ(0, classifier.Classify(nullptr, result, &size, L""));
    EXPECT_EQ(0, classifier.Classify(L"adult.test/c", nullptr, &size, L""));
    EXPECT_EQ(0, classifier.Classify(L"adult.test/c", result, nullptr, L""));
}

TEST_F(UrlClassificationTest, AFailureToReachTheServiceIsACppError) {
    const std::wstring refused = L"localhost:1";
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, kSettingsKey, L"ReputationHost", REG_SZ, refused.c_str(),
                      static_cast<DWORD>((refused.size() + 1) * sizeof(wchar_t)));
    NNUV::ForgetReputationHost();
    CUrlClassification classifier;
    char result[40] = {};
    DWORD size = sizeof result;
    EXPECT_EQ(0, classifier.Classify(L"allowed.test/x", result, &size, L""));
    bool logged = false;
    for (const auto& line : NuvTest::TakeLoggedLines()) logged = logged || line.text == L"CPP Error! and error is CPP HTTP Exception";
    EXPECT_TRUE(logged);
}

// The categories scan of the request scan, with the product's classifier installed.
TEST_F(UrlClassificationTest, ARequestIsBlockedByTheCategoryOfItsUrl) {
    ASSERT_TRUE(StartUrlClassification());
    CreateScanAlgorithms();
    const struct {
        const char* host;
        bool blocked;
    } cases[] = {{"adult.test", true}, {"allowed.test", false}, {"games.test", false}};
    for (const auto& c : cases) {
        // The user blocks category 0x04 of digit 9 (code 195).
        NuvTest::RequestScanRun run(false, L"00000000040000000000000000000000", 0);
        run.Handler().useLists = false;
        const std::string request = std::string("GET /page HTTP/1.1\r\nHost: ") + c.host + "\r\n\r\n";
        run.Send(request);
        const std::string url = std::string(c.host) + "/page";
        const std::vector<std::string> expected =
            c.blocked ? std::vector<std::string>{"url GET " + url, "block " + url + " 6"}
                      : std::vector<std::string>{"url GET " + url, "recorded GET " + url + " " + c.host};
        EXPECT_EQ(expected, run.Handler().calls) << c.host;
        EXPECT_EQ(c.blocked ? "" : request, run.Released()) << c.host;
    }
    DestroyScanAlgorithms();
    StopUrlClassification();
    EXPECT_FALSE(NNUV::UrlResponseCache::IsPruneThreadRunning()) << "joined when classification stops";
    char result[40] = {};
    DWORD size = sizeof result;
    EXPECT_EQ(0, GetUrlClassification(L"adult.test/page", result, &size, L"")) << "no classifier after the stop";
}

}  // namespace
