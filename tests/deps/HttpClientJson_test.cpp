// cpprestsdk's WinHTTP client against a local server whose handler reads and writes JSON with
// RapidJSON: the two libraries as the product combines them, through a real socket.
#include <cpprest/http_client.h>
#include <cpprest/json.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>

#include "tests/support/LocalHttpServer.h"

namespace {

using NuvTest::HttpRequest;
using NuvTest::HttpResponse;
using NuvTest::LocalHttpServer;
using web::http::http_exception;
using web::http::methods;
using web::http::client::http_client;
using web::http::client::http_client_config;
using namespace std::chrono_literals;
// Status codes are compared as numbers: web::http::status_codes' members are declared but never
// defined, so a gtest macro taking them by reference fails to link.

using WideDocument = rapidjson::GenericDocument<rapidjson::UTF16<wchar_t>>;
using WideValue = rapidjson::GenericValue<rapidjson::UTF16<wchar_t>>;

// Non-ASCII on purpose: the text crosses UTF-16 (client) -> UTF-8 (wire) -> UTF-16 (RapidJSON)
// and back.
const wchar_t kUser[] = L"Zo\u00eb \u65e5\u672c";

// Serialises a wide document as UTF-8 JSON.
std::string ToUtf8Json(const WideDocument& document) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer, rapidjson::UTF16<wchar_t>, rapidjson::UTF8<>> writer(buffer);
    document.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

HttpResponse JsonResponse(int status, const WideDocument& document) {
    return HttpResponse::With(status, ToUtf8Json(document), "application/json; charset=utf-8");
}

// {"user": s, "items": [{"url": s, "weight": n}...]} -> {"greeting", "count", "totalWeight", "average"}
HttpResponse Summarise(const HttpRequest& request) {
    WideDocument in;
    in.Parse<rapidjson::kParseDefaultFlags, rapidjson::UTF8<>>(request.body.c_str());
    WideDocument out;
    out.SetObject();
    auto& allocator = out.GetAllocator();
    if (in.HasParseError() || !in.IsObject() || !in.HasMember(L"user") || !in[L"user"].IsString() ||
        !in.HasMember(L"items") || !in[L"items"].IsArray()) {
        out.AddMember(L"error", L"malformed request", allocator);
        return JsonResponse(400, out);
    }
    double total = 0;
    for (const WideValue& item : in[L"items"].GetArray()) {
        if (!item.IsObject() || !item.HasMember(L"weight") || !item[L"weight"].IsNumber()) {
            out.AddMember(L"error", L"item without weight", allocator);
            return JsonResponse(400, out);
        }
        total += item[L"weight"].GetDouble();
    }
    const rapidjson::SizeType count = in[L"items"].Size();
    const std::wstring greeting = std::wstring(L"Hello, ") + in[L"user"].GetString();
    const auto greetingLength = static_cast<rapidjson::SizeType>(greeting.size());
    out.AddMember(L"greeting", WideValue(greeting.c_str(), greetingLength, allocator), allocator);
    out.AddMember(L"count", count, allocator);
    out.AddMember(L"totalWeight", total, allocator);
    out.AddMember(L"average", count == 0 ? 0.0 : total / count, allocator);
    return JsonResponse(200, out);
}

// Waits for `task` at most `limit`: a test must fail, not hang, when the client never finishes.
template <class T>
bool FinishesWithin(const pplx::task<T>& task, std::chrono::milliseconds limit) {
    auto finished = std::make_shared<std::promise<void>>();
    auto done = finished->get_future();
    task.then([finished](pplx::task<T>) { finished->set_value(); });
    return done.wait_for(limit) == std::future_status::ready;
}

web::json::value MakeItem(const wchar_t* url, double weight) {
    web::json::value item = web::json::value::object();
    item[L"url"] = web::json::value::string(url);
    item[L"weight"] = web::json::value::number(weight);
    return item;
}

TEST(HttpClientJson, PostedJsonIsReadByTheServerAndItsAnswerByTheClient) {
    LocalHttpServer server(Summarise);
    web::json::value body = web::json::value::object();
    body[L"user"] = web::json::value::string(kUser);
    body[L"items"] = web::json::value::array({MakeItem(L"http://a.test/x", 2), MakeItem(L"http://b.test/y", 3.25)});

    http_client client(server.Url());
    web::http::http_request request(methods::POST);
    request.set_request_uri(L"/v1/rate?lang=en");
    request.set_body(body);
    const auto pending = client.request(request);
    ASSERT_TRUE(FinishesWithin(pending, 20s));
    web::http::http_response response = pending.get();

    ASSERT_EQ(response.status_code(), 200);
    const web::json::value answer = response.extract_json().get();
    EXPECT_EQ(answer.at(L"greeting").as_string(), std::wstring(L"Hello, ") + kUser);
    EXPECT_EQ(answer.at(L"count").as_integer(), 2);
    EXPECT_DOUBLE_EQ(answer.at(L"totalWeight").as_double(), 5.25);
    EXPECT_DOUBLE_EQ(answer.at(L"average").as_double(), 2.625);

    const auto received = server.Requests();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].method, "POST");
    EXPECT_EQ(received[0].target, "/v1/rate?lang=en");
    ASSERT_NE(received[0].Header("Content-Type"), nullptr);
    EXPECT_THAT(*received[0].Header("Content-Type"), testing::StartsWith("application/json"));
    // UTF-8 on the wire.
    EXPECT_NE(received[0].body.find("Zo\xc3\xab \xe6\x97\xa5\xe6\x9c\xac"), std::string::npos) << received[0].body;
}

TEST(HttpClientJson, ErrorStatusAndItsBodyReachTheClient) {
    struct Case {
        int status;
        const wchar_t* reason;
    };
    const Case cases[] = {{400, L"Bad Request"}, {404, L"Not Found"}, {500, L"Internal Server Error"},
                          {503, L"Service Unavailable"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        LocalHttpServer server([&](const HttpRequest&) {
            WideDocument error;
            error.SetObject();
            error.AddMember(L"error", c.status, error.GetAllocator());
            return JsonResponse(c.status, error);
        });
        http_client client(server.Url());
        const auto pending = client.request(methods::GET, L"/status");
        ASSERT_TRUE(FinishesWithin(pending, 20s));
        web::http::http_response response = pending.get();
        EXPECT_EQ(response.status_code(), c.status);
        EXPECT_EQ(response.reason_phrase(), c.reason);
        EXPECT_EQ(response.extract_json().get().at(L"error").as_integer(), c.status);
    }
}

// A malformed body gets the handler's own 400, not a crash of either side.
TEST(HttpClientJson, ServerRefusesJsonOfTheWrongShape) {
    LocalHttpServer server(Summarise);
    http_client client(server.Url());
    const auto pending = client.request(methods::POST, L"/v1/rate", L"[1, 2", L"application/json");
    ASSERT_TRUE(FinishesWithin(pending, 20s));
    web::http::http_response response = pending.get();
    EXPECT_EQ(response.status_code(), 400);
    EXPECT_EQ(response.extract_json().get().at(L"error").as_string(), L"malformed request");
}

// The library sets WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT from the configured time-out (our edit
// of its session set-up); without it WinHTTP under Wine waits for the answer forever.
TEST(HttpClientJson, ServerThatNeverAnswersTimesOutWithinTheConfiguredTime) {
    LocalHttpServer server(Summarise);
    server.SetNeverAnswer(true);
    http_client_config config;
    config.set_timeout(1s);
    http_client client(server.Url(), config);

    const auto start = std::chrono::steady_clock::now();
    const auto pending = client.request(methods::GET, L"/silence");
    ASSERT_TRUE(FinishesWithin(pending, 10s)) << "the request hangs: no receive-response time-out";
    const auto elapsed = std::chrono::steady_clock::now() - start;

    try {
        pending.get();
        FAIL() << "a response arrived from a server that never answers";
    } catch (const http_exception& e) {
        // Wine reports WSAETIMEDOUT (10060), Windows ERROR_WINHTTP_TIMEOUT (12002).
        EXPECT_THAT(e.error_code().value(), testing::AnyOf(10060, 12002)) << e.what();
    }
    EXPECT_GE(elapsed, 900ms);
    EXPECT_LT(elapsed, 5s);
    // It timed out waiting for the answer, not while connecting.
    EXPECT_TRUE(server.WaitForRequests(1, 1s));
}

TEST(HttpClientJson, SlowAnswerWithinTheTimeOutArrives) {
    LocalHttpServer server(Summarise);
    server.SetResponseDelay(400ms);
    http_client_config config;
    config.set_timeout(3s);
    http_client client(server.Url(), config);

    web::json::value body = web::json::value::object();
    body[L"user"] = web::json::value::string(L"slow");
    body[L"items"] = web::json::value::array();
    const auto pending = client.request(methods::POST, L"/v1/rate", body);
    ASSERT_TRUE(FinishesWithin(pending, 10s));
    web::http::http_response response = pending.get();
    ASSERT_EQ(response.status_code(), 200);
    EXPECT_EQ(response.extract_json().get().at(L"count").as_integer(), 0);
}

}  // namespace
