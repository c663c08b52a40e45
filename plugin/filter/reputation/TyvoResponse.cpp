// Reading the service's answer on the HTTP library's threads: the status, then the JSON answer,
// every outcome a code of the reputation category. No exception leaves a continuation.
#include "plugin/filter/reputation/TyvoHandlerPimpl.h"

#include "logging/Logging.h"

namespace NNUV {
namespace NNUVInternal {
namespace {

using web::json::value;

// The formats and codes of the two continuations for each kind of exception.
struct ExceptionCodes {
    TyvoError uri, http, json, cancelled, invalid, other;
    const wchar_t *uriFormat, *httpFormat, *jsonFormat, *cancelledFormat, *invalidFormat, *otherFormat;
};

constexpr ExceptionCodes kAwaiting = {kCppUriException, kCppHttpException, kCppJsonException, kCppTaskCancelled,
                                      kCppInvalidOperation, kCppException, L"URI Exception %hs", L"HTTP Exception %hs",
                                      L"JSON Exception %hs", L"TASK Cancelled Exception %hs",
                                      L"Invalid Operation Exception %hs", L"UNKNOWN Exception %hs"};
constexpr ExceptionCodes kReading = {kTyvoUriException, kTyvoHttpException, kTyvoJsonException, kTyvoTaskCancelled,
                                     kTyvoInvalidOperation, kTyvoException, L"URI Exception %hs", L"http Exception %hs",
                                     L"Json Exception %hs", L"Task cancelled Exception %hs", L"Invalid Exception %hs",
                                     L"Unknown Exception %hs"};

template <class Body>
void Guarded(const ExceptionCodes& codes, CTYVOResponseContainer& record, Body body) noexcept {
    const auto fail = [&](TyvoError code, const wchar_t* format, const char* text) {
        NUV_LOG(ETWLogging::LOG_ERROR, format, text);
        record.error = MakeTyvoError(code);
    };
    try {
        body();
    } catch (const web::uri_exception& error) {
        fail(codes.uri, codes.uriFormat, error.what());
    } catch (const web::http::http_exception& error) {
        fail(codes.http, codes.httpFormat, error.what());
    } catch (const web::json::json_exception& error) {
        fail(codes.json, codes.jsonFormat, error.what());
    } catch (const pplx::task_canceled& error) {
        fail(codes.cancelled, codes.cancelledFormat, error.what());
    } catch (const pplx::invalid_operation& error) {
        fail(codes.invalid, codes.invalidFormat, error.what());
    } catch (const std::exception& error) {
        fail(codes.other, codes.otherFormat, error.what());
    } catch (...) {
        fail(codes.other, codes.otherFormat, "unknown");
    }
}

void ReadAnswer(pplx::task<value> read, std::int64_t requestId, CTYVOResponseContainer& record) {
    Guarded(kReading, record, [&] {
        const value answer = read.get();
        const web::json::array records = answer.at(L"a").as_array();
        const value ci = answer.has_field(L"ci") ? answer.at(L"ci") : value::object();
        if (ci.at(L"rid").as_number().to_int64() != requestId) record.error = MakeTyvoError(kTyvoWrongRequestId);
        if (ci.has_field(L"rflag")) {
            const auto flags = static_cast<std::int32_t>(ci.at(L"rflag").as_number().to_int64());
            if ((flags & 0x20000000) != 0) {
                record.error = MakeTyvoError(kTyvoSafeMode);
                return;
            }
        }
        if (ci.has_field(L"err")) {
            const int code = ci.at(L"err").as_integer();
            if (code > 0) {
                NUV_LOG(ETWLogging::LOG_ERROR, L"TYVO Response has error with code - %d", code);
                record.error = MakeTyvoError(kTyvoResponseError);
            }
        }
        if (ci.has_field(L"errmsg")) {
            if (ETWLogging::IsLogLevelEnabled(ETWLogging::LOG_ERROR)) {
                NUV_LOG(ETWLogging::LOG_ERROR, L"TYVO Response has error with message - %s",
                        ci.at(L"errmsg").as_string().c_str());
            }
            record.error = MakeTyvoError(kTyvoResponseError);
        }
        const value& first = records.at(0);
        record.cat.clear();
        record.rep = first.at(L"rep").as_integer();
        if (first.has_field(L"cat")) {
            for (const value& code : first.at(L"cat").as_array()) record.cat.push_back(code.as_integer());
        }
    });
}

}  // namespace

void OnTyvoResponse(pplx::task<web::http::http_response> sent, std::int64_t requestId,
                    const std::shared_ptr<CTYVOResponseContainer>& record, std::int32_t mode) {
    Guarded(kAwaiting, *record, [&] {
        web::http::http_response response = sent.get();
        if (response.status_code() != 200) {
            NUV_LOG(ETWLogging::LOG_ERROR, L"TYVO Request failed! Response is %s", response.to_string().c_str());
            return;
        }
        record->error = MakeTyvoError(kTyvoSuccess);
        if (mode != CTyvoRequestSettings::kQuery) {
            // The answer is not looked at, but read to its end: a connection left with an unread
            // body would be reused for the next request, which then read this one's answer.
            try {
                response.content_ready().wait();
            } catch (...) {
            }
            return;
        }
        response.headers().set_content_type(L"application/json");
        response.extract_json()
            .then([requestId, record](pplx::task<value> read) { ReadAnswer(read, requestId, *record); })
            .wait();
    });
}

}  // namespace NNUVInternal
}  // namespace NNUV
