// Building the signed request: the JSON body (sorted members, compact), the headers and the
// HMAC-SHA1 of exactly the body bytes that are sent.
#include "plugin/filter/reputation/TyvoHandlerPimpl.h"

#include "base/UniqueHandle.h"
#include "logging/Logging.h"
#include "nuvutil/Base64.h"
#include "plugin/filter/reputation/ClientId.h"
#include "plugin/filter/reputation/CryptoRandom.h"
#include "plugin/filter/reputation/HMACSHA1.h"

#include <bcrypt.h>

#include <atomic>
#include <cstring>
#include <vector>

namespace NNUV {
namespace NNUVInternal {

namespace {

constexpr const wchar_t* kProductVersion = L"20.1.145.0";
constexpr const wchar_t* kSdkVersion = L"1.0";

std::string Base64(const std::uint8_t* data, std::size_t size) {
    std::string encoded(static_cast<std::size_t>(Base64EncodedLength(size)), '\0');
    const auto written = Base64Encode(data, size, &encoded[0], encoded.size());
    encoded.resize(written == 0 ? 0 : static_cast<std::size_t>(written - 1));
    return encoded;
}

// The file name after the last backslash; empty without one or when the path ends with it.
std::wstring ProcessFileName(const std::wstring& path) {
    const std::size_t slash = path.rfind(L'\\');
    if (slash == std::wstring::npos || slash + 1 == path.size()) return {};
    return path.substr(slash + 1);
}

std::atomic<RandomSource> g_randomSource{nullptr};

bool RandomRequestId(std::uint8_t* bytes) {
    if (const RandomSource source = g_randomSource.load()) return source(bytes);
    QvCryptoLib::CQvCryptoRandomWin random;  // opened for this request, closed right after
    return random.GetRandomBytes(bytes) == QvCryptoLib::kSuccess;
}

}  // namespace

void SetRandomSourceForTests(RandomSource source) noexcept { g_randomSource.store(source); }

std::wstring FileSha256(const std::wstring& path) {
    BCRYPT_ALG_HANDLE provider = nullptr;
    if (::BCryptOpenAlgorithmProvider(&provider, BCRYPT_SHA256_ALGORITHM, nullptr, 0) < 0) return {};
    BCRYPT_HASH_HANDLE hash = nullptr;
    std::uint8_t digest[32] = {};
    if (::BCryptCreateHash(provider, &hash, nullptr, 0, nullptr, 0, 0) >= 0) {
        // Streamed: an executable can be large, and a missing one is digested as empty input.
        Tessal::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (file) {
            std::vector<std::uint8_t> block(65536);
            DWORD read = 0;
            while (::ReadFile(file.Get(), block.data(), static_cast<DWORD>(block.size()), &read, nullptr) && read != 0) {
                ::BCryptHashData(hash, block.data(), read, 0);
            }
        }
        ::BCryptFinishHash(hash, digest, sizeof digest, 0);
        ::BCryptDestroyHash(hash);
    }
    ::BCryptCloseAlgorithmProvider(provider, 0);
    static const wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring text;
    for (const std::uint8_t byte : digest) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

}  // namespace NNUVInternal

web::http::http_request CTYVOHandler::CTYVOHandlerPimpl::CreateRequest(const CTyvoRequestSettings& settings,
                                                                        std::int64_t& requestId, const wchar_t* url,
                                                                        const wchar_t* processPath, bool& built) {
    using web::json::value;
    built = false;
    web::http::http_request request(web::http::methods::POST);

    value clientInfo = value::object();
    clientInfo[L"prn"] = value::string(settings.m_productName);

    std::uint8_t randomBytes[QvCryptoLib::CQvCryptoRandomWin::kRandomBytes] = {};
    if (!NNUVInternal::RandomRequestId(randomBytes)) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to generate random request ID %d", 13);
        return request;
    }
    std::uint64_t bits = 0;
    for (int i = 7; i >= 0; --i) bits = (bits << 8) | randomBytes[i];
    std::memcpy(&requestId, &bits, sizeof requestId);

    std::wstring clientId = settings.m_clientId;
    if (clientId.empty()) NNUVInternal::GetClientId(clientId);
    clientInfo[L"rid"] = value::number(requestId);
    clientInfo[L"pv"] = value::string(NNUVInternal::kProductVersion);
    clientInfo[L"cliid"] = value::string(clientId);
    clientInfo[L"pev"] = value::number(settings.m_endpoint);
    clientInfo[L"sdkv"] = value::string(NNUVInternal::kSdkVersion);
    clientInfo[L"affid"] = value::string(L"0");

    value root = value::object();
    root[L"ci"] = clientInfo;
    if (settings.m_mode == CTyvoRequestSettings::kQuery) {
        value query = value::object();
        query[L"catset"] = value::number(4);
        query[L"op"] = value::string(L"url");
        query[L"uop"] = value::number(64);
        query[L"url"] = value::string(url != nullptr ? url : L"");
        const std::wstring path = processPath != nullptr ? processPath : L"";
        std::wstring name;
        NNUVInternal::GetBase64EncodedString(NNUVInternal::ProcessFileName(path), name);
        if (!name.empty()) {
            value metadata = value::object();
            metadata[L"pname"] = value::string(name);
            metadata[L"psha256"] = value::string(NNUVInternal::FileSha256(path));
            query[L"qmd"] = metadata;
        }
        value queries = value::array(1);
        queries[0] = query;
        root[L"q"] = queries;
    } else {
        NUV_LOG(ETWLogging::LOG_INFORMATION, L"m_pTotalTYVORespTime %d", m_pTotalTYVORespTime);
        NUV_LOG(ETWLogging::LOG_INFORMATION, L"m_pTotalTYVOReq %d", m_pTotalTYVOReq);
        const std::int32_t average = m_pTotalTYVOReq >= 1 ? m_pTotalTYVORespTime / m_pTotalTYVOReq : 0;
        NUV_LOG(ETWLogging::LOG_INFORMATION, L"average response time %d", average);
        const auto narrowed = static_cast<std::uint16_t>(average);
        NUV_LOG(ETWLogging::LOG_INFORMATION, L"tyvoStats.m_avg_rtt_msecs %d", static_cast<int>(narrowed));
        const std::uint8_t record[5] = {static_cast<std::uint8_t>(narrowed & 0xFF),
                                        static_cast<std::uint8_t>(narrowed >> 8), 0, 0, 0};
        const std::string gstat = NNUVInternal::Base64(record, sizeof record);
        value report = value::object();
        report[L"gstat"] = value::string(std::wstring(gstat.begin(), gstat.end()));
        root[L"rpt"] = report;
    }

    // The body exactly as it is sent, and signed.
    const std::string body = utility::conversions::to_utf8string(root.serialize());
    if (body.size() > settings.m_bodyLimit) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Exceeded 16 kb limit.");
        return request;
    }
    request.set_body(body, "application/json; charset=utf-8");
    request.headers().add(L"Date", utility::datetime::utc_now().to_string(utility::datetime::RFC_1123));
    // Host: the settings' host, which WinHTTP writes itself from the address ("https://" host). Set
    // here as well, a host with a port would make the HTTP library check the server certificate
    // against "name:port" instead of the name.

    NNUVInternal::CHMACSHA1 hmac;
    if (hmac.SetKey(settings.m_signingKey) != 0) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to initialize hash");
        return request;
    }
    SecureByteVector digest;
    if (hmac.HashData(body.data(), body.size()) != 0 || hmac.FinishHash(digest) != 0) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to hash data");
        return request;
    }
    const std::string signature = NNUVInternal::Base64(digest.data(), digest.size());
    request.headers().add(L"Authorization", L"TYVO " + std::wstring(settings.m_keyId.begin(), settings.m_keyId.end()) +
                                                L" : " + std::wstring(signature.begin(), signature.end()));
    built = true;
    return request;
}

}  // namespace NNUV
