#pragma once
// Replaceable reader of machine settings: values below HKEY_LOCAL_MACHINE, opened for reading.

#include "modulefw/ModuleStatus.h"

#include <windows.h>

#include <string>

namespace Korin {

class RegistryAPI {
public:
    virtual ~RegistryAPI();

    // A REG_SZ or REG_EXPAND_SZ value (not expanded) of fewer than 260 characters. 0 with `value`
    // set; MODULE_STATUS_UNSUCCESSFUL with `value` unchanged when the key or value cannot be read.
    virtual ModuleStatus readString(const std::wstring& subKey, const std::wstring& valueName, std::wstring& value);
    // A REG_DWORD value of 4 bytes; results as readString.
    virtual ModuleStatus readDword(const std::wstring& subKey, const std::wstring& valueName, DWORD& value);
};

}  // namespace Korin
