#include "StateFile.h"

#include "ConfigService.h"
#include "base/TextConversion.h"
#include "nuvutil/com/Bstr.h"
#include "nuvutil/com/Variant.h"

#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace QvConfigStandIn {
namespace {

std::wstring Variable(const wchar_t* name) {
    wchar_t value[MAX_PATH] = {};
    const DWORD length = ::GetEnvironmentVariableW(name, value, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(value, length) : std::wstring();
}

// "bool true", "int 5", "text a b c" -> the VARIANT; false for another form.
bool ParseValue(std::wistringstream& fields, NuvCom::CVariant& value) {
    std::wstring type;
    fields >> type;
    std::wstring rest;
    std::getline(fields, rest);
    if (!rest.empty() && rest[0] == L' ') rest.erase(0, 1);
    if (type == L"bool") {
        value = NuvCom::CVariant(rest == L"true" || rest == L"1");
    } else if (type == L"int") {
        value = NuvCom::CVariant(static_cast<LONG>(std::wcstol(rest.c_str(), nullptr, 0)));
    } else if (type == L"text") {
        value = NuvCom::CVariant(rest.c_str());
    } else {
        return false;
    }
    return true;
}

// One line of the state grammar, or a command.
void ApplyLine(CConfigService& service, const std::string& utf8) {
    if (utf8.empty() || utf8[0] == '#') return;
    std::wistringstream fields(Tessal::FromUtf8(utf8));
    std::wstring kind;
    fields >> kind;
    if (kind == L"user") {
        std::wstring id;
        std::wstring name;
        fields >> id >> name;
        service.AddUser(id.c_str(), NuvCom::CBstr(name.c_str()).Get());
    } else if (kind == L"setting") {
        std::wstring id;
        LONG setting = 0;
        NuvCom::CVariant value;
        fields >> id >> setting;
        if (ParseValue(fields, value)) service.SetUserSetting(id.c_str(), setting, *value.Get());
    } else if (kind == L"product") {
        LONG setting = 0;
        NuvCom::CVariant value;
        fields >> setting;
        if (ParseValue(fields, value)) service.SetProductSetting(setting, *value.Get());
    } else if (kind == L"signin") {
        DWORD session = 0;
        std::wstring id;
        fields >> session >> id;
        service.SignIn(session, id.c_str());
    } else if (kind == L"fault") {
        std::wstring call;
        fields >> call;
        if (!call.empty()) service.FaultCall(call.c_str());
    } else if (kind == L"event") {
        std::wstring which;
        fields >> which;
        if (which == L"changed") service.FireEvent(kOnConfigChangedDispId, 0, nullptr);
    }
}

}  // namespace

bool IsServiceUnavailable() { return Variable(kUnavailableVariable) == L"1"; }

void LoadStateFile(CConfigService& service) {
    const std::wstring path = Variable(kStateFileVariable);
    if (path.empty()) return;
    std::ifstream file(path.c_str());
    std::string utf8;
    while (std::getline(file, utf8)) {
        if (!utf8.empty() && utf8.back() == '\r') utf8.pop_back();
        ApplyLine(service, utf8);
    }
}

void WatchCommandFile(CConfigService& service) {
    const std::wstring path = Variable(kCommandFileVariable);
    if (path.empty()) return;
    // Polled: the test only appends, and a tenth of a second is quick enough for it.
    std::thread([&service, path] {
        std::string pending;
        std::streamoff offset = 0;
        for (;;) {
            ::Sleep(100);
            std::ifstream file(path.c_str(), std::ios::binary);
            if (!file) continue;
            file.seekg(0, std::ios::end);
            const std::streamoff size = file.tellg();
            if (size <= offset) continue;
            file.seekg(offset);
            std::string chunk(static_cast<size_t>(size - offset), '\0');
            file.read(&chunk[0], static_cast<std::streamsize>(chunk.size()));
            offset = size;
            pending += chunk;
            for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
                std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                ApplyLine(service, line);
            }
        }
    }).detach();
}

}  // namespace QvConfigStandIn
