#include "logging/DefaultLogBuilder.h"

#include "logging/ETWLogging.h"
#include "logging/FileLogging.h"

#include "base/ObfuscatedRegKey.h"

#include <memory>
#include <new>

namespace ETWLogging {

bool CDefaultLogBuilder::Build(const wchar_t* componentName, HMODULE module, const wchar_t* fileSuffix,
                               DWORD forceFile, CLoggingIf** logger) {
    return Build(nullptr, componentName, module, fileSuffix, forceFile, logger);
}

bool CDefaultLogBuilder::IsFileLoggingConfigured() {
    Tessal::CObfuscatedRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, kLoggingKey, KEY_QUERY_VALUE) != ERROR_SUCCESS) return false;
    DWORD mechanism = 0;
    return key.QueryDWORDValue(kLoggingMechanismValue, mechanism) == ERROR_SUCCESS && mechanism == kFileMechanism;
}

bool CDefaultLogBuilder::Build(const wchar_t* applicationId, const wchar_t* componentName, HMODULE module,
                               const wchar_t* fileSuffix, DWORD forceFile, CLoggingIf** logger) {
    if (logger == nullptr || *logger != nullptr) return false;
    if ((componentName != nullptr && componentName[0] == 0) || (fileSuffix != nullptr && fileSuffix[0] == 0)) {
        return false;
    }
    try {
        const bool useFile = forceFile == 1 || IsFileLoggingConfigured();
        std::unique_ptr<CLoggingIf> created;
        if (useFile) {
            created = std::make_unique<CLogging>();
        } else {
            created = std::make_unique<CETWLogging>();
        }

        DWORD result = ERROR_INVALID_FUNCTION;
        if (auto* extended = dynamic_cast<CLoggingIf_ex*>(created.get())) {
            result = extended->InitializeEx(applicationId, componentName, module, fileSuffix, nullptr);
        }
        if (result != ERROR_SUCCESS) result = created->Initialize(componentName, module, fileSuffix, nullptr);
        if (result != ERROR_SUCCESS) return false;

        *logger = created.release();
        (*logger)->AddRef();
        return true;
    } catch (...) {
        // Out of memory, or a lock that could not be set up: no logger.
        return false;
    }
}

}  // namespace ETWLogging
