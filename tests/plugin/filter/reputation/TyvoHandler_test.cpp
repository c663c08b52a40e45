// The reputation client against the stand-in service over HTTPS with certificate validation on:
// the exact request (the stand-in checks path, headers, date, HMAC and body), every outcome of
// the answer, the cache, the body limit, cancellation.
#include "plugin/filter/reputation/TyvoHandler.h"

#include "nuvutil/com/Module.h"
#include "plugin/filter/reputation/TyvoHandlerPimpl.h"
#include "tests/plugin/filter/reputation/ReputationStandIn.h"
#include "tests/support/LogRecorder.h"
#include "tests/support/ScratchFolder.h"
#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

using NNUV::CTYVOHandler;
using NNUV::CTyvoRequestSettings;
using NNUV::URLRespResult;

// Request id 0x8000000000000001 read little-endian: the top bit set, sent negative.
bool FixedNegativeId(std::uint8_t* bytes) {
    const std::uint8_t id[8] = {0x01, 0, 0, 0, 0, 0, 0, 0x80};
    std::memcpy(bytes, id, 8);
    return true;
}
bool NoId(std::uint8_t*) { return false; }

class TyvoHandlerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_standIn.Load()) << "no reputation stand-in runs (ctest starts it)";
        NNUV::UrlResponseCache::Clear();
        NNUV::NNUVInternal::SetRandomSourceForTests(nullptr);
        NuvTest::TakeLoggedLines();
    }
    void TearDown() override { NNUV::NNUVInternal::SetRandomSourceForTests(nullptr); }

    // A URL of this run only: the stand-in keeps the records of every program.
    // A program file whose bytes are "abc" (SHA-256 ba7816bf...).
    static bool WriteAbc(const std::wstring& path) {
        FILE* file = _wfopen(path.c_str(), L"wb");
        if (file == nullptr) return false;
        const bool written = std::fputs("abc", file) >= 0;
        return std::fclose(file) == 0 && written;
    }
    static std::wstring Unique(const std::wstring& host) {
        static int counter = 0;
        return host + L"/" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(::GetTickCount64()) +
               L"-" + std::to_wstring(++counter);
    }

    CTyvoRequestSettings Settings() {
        CTyvoRequestSettings settings;
        settings.m_host = m_standIn.Host();
        settings.m_clientId = L"client-of-the-tests";
        return settings;
    }

    std::error_code Ask(const std::wstring& url, URLRespResult& result, const wchar_t* processPath = L"") {
        std::error_code error = NNUV::NoAnswer();
        m_handler.GetUrlReputation(Settings(), url.c_str(), result, error, processPath);
        return error;
    }

    NuvTest::ReputationStandIn m_standIn;
    CTYVOHandler m_handler;
};

TEST_F(TyvoHandlerTest, EveryAnswerOfTheServiceGivesItsCode) {
    const int kNoAnswer = -1;  // value 0 of the generic category
    const struct {
        const wchar_t* host;
        int code;
        std::int32_t rep;
        std::vector<std::int32_t> cat;
    } cases[] = {
        {L"allowed.test", 0, 10, {101}},
        {L"adult.test", 0, 80, {116, 195}},
        {L"nocat.test", 0, 20, {}},
        {L"status404.test", kNoAnswer, -7, {}},
        {L"ridmismatch.test", 1, -7, {}},
        {L"rflag.test", 2, -7, {}},
        {L"err3.test", 15, -7, {}},
        {L"err0.test", 0, 10, {101}},
        {L"errmsg.test", 15, -7, {}},
        {L"emptya.test", 5, -7, {}},
        {L"badrep.test", 5, -7, {}},
        {L"noci.test", 5, -7, {}},
        {L"refuse.test", 10, -7, {}},
        {L"contenttype.test", 0, 10, {101}},
    };
    for (const auto& c : cases) {
        URLRespResult result;
        result.rep = -7;
        const std::error_code error = Ask(Unique(c.host), result);
        if (c.code == kNoAnswer) {
            EXPECT_EQ(NNUV::NoAnswer(), error) << c.host;
        } else {
            EXPECT_EQ(NNUV::MakeTyvoError(static_cast<NNUV::TyvoError>(c.code)), error) << c.host << " " << error.message();
        }
        EXPECT_EQ(c.rep, result.rep) << c.host;
        EXPECT_EQ(c.cat, result.cat) << c.host;
    }
    bool logged404 = false;
    for (const auto& line : NuvTest::TakeLoggedLines()) {
        logged404 = logged404 || line.text.rfind(L"TYVO Request failed! Response is HTTP/1.1 404", 0) == 0;
    }
    EXPECT_TRUE(logged404);
}

TEST_F(TyvoHandlerTest, TheRequestIsExactlyWhatTheServiceChecks) {
    NNUV::NNUVInternal::SetRandomSourceForTests(&FixedNegativeId);
    NuvTest::ScratchFolder folder(L"TyvoRequest");
    const std::wstring tool = folder.Path() + L"\\tool.exe";
    ASSERT_TRUE(WriteAbc(tool));
    const std::wstring url = Unique(L"allowed.test");
    URLRespResult result;
    ASSERT_EQ(NNUV::MakeTyvoError(NNUV::kTyvoSuccess), Ask(url, result, tool.c_str()));
    const web::json::array records = m_standIn.Records(url);
    ASSERT_EQ(1u, records.size());
    const web::json::value& record = records.at(0);
    EXPECT_EQ(0u, record.at(L"problems").as_array().size()) << record.at(L"problems").serialize();
    // SHA-256 of "abc"; Base64 of "tool.exe".
    EXPECT_EQ(L"{\"ci\":{\"affid\":\"0\",\"cliid\":\"client-of-the-tests\",\"pev\":1,\"prn\":\"Parental Control\","
              L"\"pv\":\"20.1.145.0\",\"rid\":-9223372036854775807,\"sdkv\":\"1.0\"},\"q\":[{\"catset\":4,\"op\":\"url\","
              L"\"qmd\":{\"pname\":\"dG9vbC5leGU=\",\"psha256\":"
              L"\"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\"},\"uop\":64,\"url\":\"" +
                  url + L"\"}]}",
              record.at(L"body").as_string());
    const web::json::object& headers = record.at(L"headers").as_object();
    EXPECT_EQ(L"application/json; charset=utf-8", headers.at(L"Content-Type").as_string());
    EXPECT_EQ(m_standIn.Host(), headers.at(L"Host").as_string());
    EXPECT_EQ(0u, headers.at(L"Authorization").as_string().rfind(L"TYVO xo-tandem-gravel : ", 0));
    EXPECT_EQ(L"/1", record.at(L"path").as_string());
}

// Text outside ASCII goes out as UTF-8, unescaped in the JSON body (the stand-in checks that the
// body is exactly its compact form); the process name is Base64 of its UTF-8 bytes.
TEST_F(TyvoHandlerTest, UrlsAndProcessNamesOutsideAsciiAreSentAsUtf8) {
    NNUV::NNUVInternal::SetRandomSourceForTests(&FixedNegativeId);
    NuvTest::ScratchFolder folder(L"TyvoRequestText");
    // German, Japanese, an emoji (a surrogate pair).
    const std::wstring tool = folder.Path() + L"\\Gr\u00FC\u00DFe-\u65E5\u672C-\U0001F600.exe";
    ASSERT_TRUE(WriteAbc(tool));
    const std::wstring url = Unique(L"allowed.test") + L"/stra\u00DFe/\u65E5\u672C\u8A9E/\U0001F600?q=\u00E9";
    URLRespResult result;
    ASSERT_EQ(NNUV::MakeTyvoError(NNUV::kTyvoSuccess), Ask(url, result, tool.c_str()));
    EXPECT_EQ(10, result.rep);
    const web::json::array records = m_standIn.Records(url);
    ASSERT_EQ(1u, records.size());
    const web::json::value& record = records.at(0);
    EXPECT_EQ(0u, record.at(L"problems").as_array().size()) << record.at(L"problems").serialize();
    EXPECT_EQ(L"{\"ci\":{\"affid\":\"0\",\"cliid\":\"client-of-the-tests\",\"pev\":1,\"prn\":\"Parental Control\","
              L"\"pv\":\"20.1.145.0\",\"rid\":-9223372036854775807,\"sdkv\":\"1.0\"},\"q\":[{\"catset\":4,\"op\":\"url\","
              L"\"qmd\":{\"pname\":\"R3LDvMOfZS3ml6XmnKwt8J+YgC5leGU=\",\"psha256\":"
              L"\"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\"},\"uop\":64,\"url\":\"" +
                  url + L"\"}]}",
              record.at(L"body").as_string());
}

TEST_F(TyvoHandlerTest, ProcessPathsWithoutAFileNameSendNoMetadata) {
    for (const wchar_t* path : {L"tool.exe", L"C:\\folder\\", L""}) {
        const std::wstring url = Unique(L"allowed.test");
        URLRespResult result;
        ASSERT_EQ(NNUV::MakeTyvoError(NNUV::kTyvoSuccess), Ask(url, result, path)) << path;
        const web::json::array records = m_standIn.Records(url);
        ASSERT_EQ(1u, records.size());
        EXPECT_EQ(std::wstring::npos, records.at(0).at(L"body").as_string().find(L"qmd")) << path;
    }
    // A path naming no file sends the digest of nothing.
    const std::wstring url = Unique(L"allowed.test");
    URLRespResult result;
    ASSERT_EQ(NNUV::MakeTyvoError(NNUV::kTyvoSuccess), Ask(url, result, L"C:\\no\\such\\file.exe"));
    EXPECT_NE(std::wstring::npos, m_standIn.Records(url).at(0).at(L"body").as_string().find(
                                      L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"));
}

TEST_F(TyvoHandlerTest, ASecondLookUpIsAnsweredFromTheCache) {
    const std::wstring url = Unique(L"games.test");
    URLRespResult first, second;
    ASSERT_EQ(NNUV::MakeTyvoError(NNUV::kTyvoSuccess), Ask(url, first));
    const std::int32_t requests = m_handler.TotalRequests();
    EXPECT_EQ(NNUV::MakeTyvoError(NNUV::kTyvoSuccess), Ask(url, second));
    EXPECT_EQ(30, second.rep);
    EXPECT_EQ((std::vector<std::int32_t>{101, 102}), second.cat);
    EXPECT_EQ(1u, m_standIn.Records(url).size()) << "nothing sent";
    EXPECT_EQ(requests, m_handler.TotalRequests()) << "a cache hit is not counted";
    // Another letter case is another URL.
    std::wstring upper = url;
    upper[0] = L'G';
    URLRespResult third;
    EXPECT_EQ(NNUV::MakeTyvoError(NNUV::kTyvoSuccess), Ask(upper, third));
    EXPECT_EQ(1u, m_standIn.Records(upper).size());
}

TEST_F(TyvoHandlerTest, SuccessfulRequestsAreCountedInBothModes) {
    const std::int32_t before = m_handler.TotalRequests();
    URLRespResult result;
    ASSERT_EQ(NNUV::MakeTyvoError(NNUV::kTyvoSuccess), Ask(Unique(L"allowed.test"), result));
    EXPECT_EQ(before + 1, m_handler.TotalRequests());
    ASSERT_NE(NNUV::MakeTyvoError(NNUV::kTyvoSuccess), Ask(Unique(L"err3.test"), result));
    EXPECT_EQ(before + 1, m_handler.TotalRequests()) << "failures are not counted";

    CTyvoRequestSettings statistics = Settings();
    statistics.m_mode = CTyvoRequestSettings::kStatistics;
    statistics.m_clientId = L"stats-" + Unique(L"client");
    std::error_code error = NNUV::NoAnswer();
    m_handler.GetUrlReputation(statistics, L"", result, error, L"");
    EXPECT_EQ(NNUV::MakeTyvoError(NNUV::kTyvoSuccess), error);
    EXPECT_EQ(before + 2, m_handler.TotalRequests());
    const web::json::array records = m_standIn.Records(L"stats:" + statistics.m_clientId);
    ASSERT_EQ(1u, records.size());
    const std::wstring body = records.at(0).at(L"body").as_string();
    EXPECT_EQ(0u, records.at(0).at(L"problems").as_array().size()) << records.at(0).at(L"problems").serialize();
    EXPECT_NE(std::wstring::npos, body.find(L"\"rpt\":{\"gstat\":\"")) << body;
    EXPECT_EQ(std::wstring::npos, body.find(L"\"q\"")) << body;
}

TEST_F(TyvoHandlerTest, ABodyAboveTheLimitIsNotSent) {
    NNUV::NNUVInternal::SetRandomSourceForTests(&FixedNegativeId);
    // The body of a URL of n characters is a fixed part plus n: found with one request.
    const std::wstring probe = Unique(L"allowed.test");
    URLRespResult result;
    const std::error_code probed = Ask(probe, result);
    std::wstring lines;
    for (const auto& line : NuvTest::TakeLoggedLines()) lines += line.text + L" | ";
    ASSERT_EQ(NNUV::MakeTyvoError(NNUV::kTyvoSuccess), probed) << std::string(lines.begin(), lines.end());
    const std::size_t fixed = m_standIn.Records(probe).at(0).at(L"body").as_string().size() - probe.size();
    for (const std::size_t body : {std::size_t{16384}, std::size_t{16385}}) {
        std::wstring url = Unique(L"allowed.test") + L"/";
        url.append(body - fixed - url.size(), L'x');
        NuvTest::TakeLoggedLines();
        std::error_code error = NNUV::NoAnswer();
        m_handler.GetUrlReputation(Settings(), url.c_str(), result, error, L"");
        const bool sent = body <= 16384;
        EXPECT_EQ(sent ? 1u : 0u, m_standIn.Records(url).size()) << body;
        EXPECT_EQ(sent ? NNUV::MakeTyvoError(NNUV::kTyvoSuccess) : NNUV::NoAnswer(), error) << body;
        bool logged = false;
        for (const auto& line : NuvTest::TakeLoggedLines()) logged = logged || line.text == L"Exceeded 16 kb limit.";
        EXPECT_EQ(!sent, logged) << body;
    }
}

TEST_F(TyvoHandlerTest, WithoutARequestIdNothingIsSent) {
    NNUV::NNUVInternal::SetRandomSourceForTests(&NoId);
    const std::wstring url = Unique(L"allowed.test");
    URLRespResult result;
    EXPECT_EQ(NNUV::NoAnswer(), Ask(url, result));
    EXPECT_EQ(0u, m_standIn.Records(url).size());
    bool logged = false;
    for (const auto& line : NuvTest::TakeLoggedLines()) logged = logged || line.text == L"Failed to generate random request ID 13";
    EXPECT_TRUE(logged);
}

TEST_F(TyvoHandlerTest, AHostThatIsNoUriOrRefusesGivesACodeNotAnException) {
    const struct {
        const wchar_t* host;
        int code;
    } cases[] = {{L"bad host^name", 9}, {L"localhost:1", 10}};
    for (const auto& c : cases) {
        CTyvoRequestSettings settings = Settings();
        settings.m_host = c.host;
        URLRespResult result;
        std::error_code error = NNUV::NoAnswer();
        m_handler.GetUrlReputation(settings, Unique(L"allowed.test").c_str(), result, error, L"");
        EXPECT_EQ(NNUV::MakeTyvoError(static_cast<NNUV::TyvoError>(c.code)), error) << c.host << " " << error.message();
    }
}

// A request keeps the module loaded while its continuations may still run, and gives its lock back
// once whatever the outcome, also when it throws before anything is sent.
TEST_F(TyvoHandlerTest, EveryOutcomeGivesTheModuleLockBackOnce) {
    const int kNoAnswer = -1;
    const struct {
        const wchar_t* host;  // null: the stand-in
        const wchar_t* site;
        int code;
    } cases[] = {
        {nullptr, L"allowed.test", 0},
        {nullptr, L"err3.test", 15},
        {nullptr, L"status404.test", kNoAnswer},
        {L"localhost:1", L"allowed.test", 10},    // refused: fails in the continuation
        {L"bad host^name", L"allowed.test", 9},   // no URI: thrown before the request
        {L"", L"allowed.test", 14},               // no host: the HTTP client refuses it
    };
    for (const auto& c : cases) {
        CTyvoRequestSettings settings = Settings();
        if (c.host != nullptr) settings.m_host = c.host;
        const LONG before = NuvCom::CModule::LockCount();
        URLRespResult result;
        std::error_code error = NNUV::NoAnswer();
        m_handler.GetUrlReputation(settings, Unique(c.site).c_str(), result, error, L"");
        const std::wstring name = std::wstring(c.host != nullptr ? c.host : L"stand-in") + L" " + c.site;
        SCOPED_TRACE(std::string(name.begin(), name.end()));
        if (c.code == kNoAnswer) {
            EXPECT_EQ(NNUV::NoAnswer(), error);
        } else {
            EXPECT_EQ(NNUV::MakeTyvoError(static_cast<NNUV::TyvoError>(c.code)), error) << error.message();
        }
        EXPECT_EQ(before, NuvCom::CModule::LockCount());
    }
}

TEST_F(TyvoHandlerTest, ARequestUnderWayHoldsTheModuleLock) {
    const LONG before = NuvCom::CModule::LockCount();
    const std::wstring url = Unique(L"delay1.test");
    std::error_code error = NNUV::NoAnswer();
    std::thread asking([&] {
        URLRespResult result;
        error = Ask(url, result);
    });
    ASSERT_TRUE(NuvTest::WaitUntil([&] { return m_standIn.Records(url).size() != 0; }, 10000, 50));
    EXPECT_EQ(before + 1, NuvCom::CModule::LockCount());
    asking.join();
    EXPECT_EQ(NNUV::MakeTyvoError(NNUV::kTyvoSuccess), error);
    EXPECT_EQ(before, NuvCom::CModule::LockCount());
}

TEST_F(TyvoHandlerTest, CancelEndsARequestUnderWayAtOnce) {
    const LONG locksBefore = NuvCom::CModule::LockCount();
    const std::wstring url = Unique(L"delay5.test");
    std::error_code error = NNUV::NoAnswer();
    std::thread asking([&] {
        URLRespResult result;
        error = Ask(url, result);
    });
    // Until the stand-in has the request.
    for (int n = 0; n < 200 && m_standIn.Records(url).size() == 0; ++n) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto start = std::chrono::steady_clock::now();
    m_handler.Cancel();
    asking.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(NNUV::MakeTyvoError(NNUV::kCppTaskCancelled), error) << error.message();
    // Cached answers are still given; nothing new is sent.
    URLRespResult result;
    EXPECT_EQ(NNUV::MakeTyvoError(NNUV::kCppTaskCancelled), Ask(Unique(L"allowed.test"), result));
    // The abandoned request's continuations end with its answer (Wine's receive is not aborted),
    // and give the module lock back then.
    EXPECT_TRUE(NuvTest::WaitUntil([&] { return NuvCom::CModule::LockCount() == locksBefore; }, 20000));
}

TEST(TyvoErrorCategory, MessagesAndConditions) {
    const std::error_category& category = NNUV::TyvoCategory();
    EXPECT_STREQ("TYVO Error handling", category.name());
    const struct {
        int code;
        const char* message;
        int condition;
    } cases[] = {{0, "success", 0},           {1, "Wrong Request ID", 2},     {2, "Safe Mode", 2},
                 {5, "TYVO JSON Exception", 2}, {8, "TYVO excpetion", 2},        {9, "CPP URI Exception", 1},
                 {13, "CPPInvalid Operation", 1}, {14, "Exception", 3},          {15, "TYVO RESPONSE ERROR", 2},
                 {16, "TYVO Oversize Request", 2}, {99, "default", 3},          {-1, "default", 3}};
    for (const auto& c : cases) {
        EXPECT_EQ(c.message, category.message(c.code)) << c.code;
        EXPECT_EQ(std::error_condition(c.condition, category), category.default_error_condition(c.code)) << c.code;
        EXPECT_TRUE(category.equivalent(c.code, std::error_condition(c.condition, category))) << c.code;
        EXPECT_FALSE(category.equivalent(c.code, std::error_condition(c.condition, std::generic_category()))) << c.code;
    }
    EXPECT_FALSE(NNUV::IsTyvoSuccess(NNUV::NoAnswer())) << "no answer is never success";
    EXPECT_TRUE(NNUV::IsTyvoSuccess(NNUV::MakeTyvoError(NNUV::kTyvoSuccess)));
}

}  // namespace
