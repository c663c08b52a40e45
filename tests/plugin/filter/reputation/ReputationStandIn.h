#pragma once
// The reputation service stand-in a test program talks to: started by ctest's ReputationStandIn
// fixture (scripts/reputation-standin.sh), found through <build>/reputation-standin/info.txt,
// read back through its control port.

#include <cpprest/http_client.h>

#include <windows.h>

#include <cstdio>
#include <string>

namespace NuvTest {

class ReputationStandIn {
public:
    // False when no stand-in runs for this build folder.
    bool Load() {
        wchar_t path[MAX_PATH];
        const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::wstring folder(path, length);
        folder = folder.substr(0, folder.rfind(L'\\'));   // bin
        folder = folder.substr(0, folder.rfind(L'\\'));   // the build folder
        FILE* info = _wfopen((folder + L"\\reputation-standin\\info.txt").c_str(), L"r");
        if (info == nullptr) return false;
        const bool read = std::fscanf(info, "%d %d", &m_httpsPort, &m_controlPort) == 2;
        std::fclose(info);
        return read;
    }

    // As the request settings name it.
    std::wstring Host() const { return L"localhost:" + std::to_wstring(m_httpsPort); }

    // The requests recorded for a URL (or "stats:" + client id), oldest first: objects with
    // "path", "headers", "body" and "problems".
    web::json::array Records(const std::wstring& key) const {
        web::http::client::http_client control(L"http://127.0.0.1:" + std::to_wstring(m_controlPort));
        web::uri_builder query(L"/records");
        query.append_query(L"key", key);
        return control.request(web::http::methods::GET, query.to_string()).get().extract_json().get().as_array();
    }

private:
    int m_httpsPort = 0;
    int m_controlPort = 0;
};

}  // namespace NuvTest
