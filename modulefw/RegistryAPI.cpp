#include "modulefw/RegistryAPI.h"

#include "base/RegKey.h"
#include "modulefw/ModuleStatus.h"

namespace Korin {

namespace {

constexpr ULONG kStringCapacity = 260;  // characters, terminator included

}  // namespace

RegistryAPI::~RegistryAPI() = default;

ModuleStatus RegistryAPI::readString(const std::wstring& subKey, const std::wstring& valueName,
                                      std::wstring& value) {
    Tessal::CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, subKey.c_str(), KEY_READ) != ERROR_SUCCESS) return MODULE_STATUS_UNSUCCESSFUL;
    wchar_t buffer[kStringCapacity] = {};
    ULONG chars = kStringCapacity;
    if (key.QueryStringBuffer(valueName.c_str(), buffer, &chars) != ERROR_SUCCESS) return MODULE_STATUS_UNSUCCESSFUL;
    value = buffer;
    return MODULE_STATUS_SUCCESS;
}

ModuleStatus RegistryAPI::readDword(const std::wstring& subKey, const std::wstring& valueName, DWORD& value) {
    Tessal::CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, subKey.c_str(), KEY_READ) != ERROR_SUCCESS) return MODULE_STATUS_UNSUCCESSFUL;
    DWORD read = 0;
    if (key.QueryDWORDValue(valueName.c_str(), read) != ERROR_SUCCESS) return MODULE_STATUS_UNSUCCESSFUL;
    value = read;
    return MODULE_STATUS_SUCCESS;
}

}  // namespace Korin
