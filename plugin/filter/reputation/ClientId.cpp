#include "plugin/filter/reputation/ClientId.h"

#include "logging/Logging.h"
#include "nuvutil/com/Bstr.h"
#include "nuvutil/com/CoInitializeScope.h"
#include "plugin/filter/reputation/JSONParser.h"

#include <clientservices.h>

#include <wrl/client.h>

#include <exception>
#include <mutex>
#include <vector>

namespace NNUV {
namespace NNUVInternal {
namespace {

constexpr DWORD kSdkContext = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;

std::mutex g_cacheLock;
std::wstring g_clientId;

// The device id in the SDK's reply: the string "deviceid" of the first object of an array of
// objects; empty for any other reply.
std::wstring DeviceId(const std::wstring& reply) {
    Korin::JSONParser parser;
    std::vector<std::wstring> objects;
    if (!parser.parse(reply) || !parser.getRootObjectArray(objects) || objects.empty()) return {};
    Korin::JSONParser first;
    std::wstring deviceId;
    if (!first.parse(objects.front()) || !first.getString(L"deviceid", deviceId)) return {};
    return deviceId;
}

// Asks the SDK; false when its object could not be created (nothing to cache).
bool AskSdk(std::wstring& clientId) {
    // Balanced on every way out; a thread already in the multithreaded apartment keeps it.
    NuvCom::CCoInitialize com(COINIT_APARTMENTTHREADED);
    Microsoft::WRL::ComPtr<IQvLumoClient> client;
    if (FAILED(::CoCreateInstance(__uuidof(QvLumoClient), nullptr, kSdkContext, IID_PPV_ARGS(&client)))) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Unable to create QvLumoClient instance");
        return false;
    }
    Korin::JSONParser request;
    request.setString(L"application_id", kLumoApplicationId);
    request.setString(L"op", L"get");
    NuvCom::CBstr requestText(request.toString().c_str());
    NuvCom::CBstr reply;
    if (FAILED(client->GetAppInfo(requestText.Get(), reply.Put()))) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"GetAppInfo() call to Lumo SDK failed");
        clientId = L"NULL";
        return true;
    }
    const std::wstring deviceId = DeviceId(std::wstring(reply.Get() != nullptr ? reply.Get() : L"", reply.Length()));
    CMD5Checksum checksum;
    checksum.Update(deviceId.data(), deviceId.size() * sizeof(wchar_t));
    clientId = checksum.ToHexString();
    return true;
}

}  // namespace

std::wstring CMD5Checksum::ToHexString() {
    std::uint8_t digest[Tessal::CMd5::kDigestSize];
    Final(digest);
    static const wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring text;
    text.reserve(2 * sizeof digest);
    for (const std::uint8_t byte : digest) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

void GetClientId(std::wstring& clientId) {
    {
        std::lock_guard<std::mutex> lock(g_cacheLock);
        if (!g_clientId.empty()) {
            clientId = g_clientId;
            return;
        }
    }
    try {
        std::wstring answer;
        if (!AskSdk(answer)) return;
        std::lock_guard<std::mutex> lock(g_cacheLock);
        if (g_clientId.empty()) g_clientId = answer;
        clientId = g_clientId;
    } catch (const std::exception& error) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Error converting string to base64 string. Error %hs", error.what());
    } catch (...) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Unknown error while converting string to base64 string.");
    }
}

void ResetClientIdCache() {
    std::lock_guard<std::mutex> lock(g_cacheLock);
    g_clientId.clear();
}

}  // namespace NNUVInternal
}  // namespace NNUV
