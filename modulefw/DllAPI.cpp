#include "modulefw/DllAPI.h"

#include "logging/Logging.h"

namespace Korin {

DllAPI::~DllAPI() = default;

bool DllAPI::loadLibrary(const wchar_t* path, HMODULE* out) {
    *out = ::LoadLibraryExW(path, nullptr, 0);
    if (*out != nullptr) return true;
    const DWORD error = ::GetLastError();
    NUV_LOG(ETWLogging::LOG_ERROR, L"LoadLibrary Failed. GLE: %lu", error);
    return false;
}

FARPROC DllAPI::getProcAddress(HMODULE module, const char* name) { return ::GetProcAddress(module, name); }

bool DllAPI::freeLibrary(HMODULE module) { return ::FreeLibrary(module) != FALSE; }

bool DllAPI::getModuleHandleEx(DWORD flags, const wchar_t* name, HMODULE* out) {
    return ::GetModuleHandleExW(flags, name, out) != FALSE;
}

}  // namespace Korin
