#include "plugin/core/Module.h"

#include "base/Format.h"
#include "logging/Logging.h"
#include "plugin/core/StructuredExceptions.h"

#include <atomic>

namespace {

std::atomic<ModuleInternal::LoadFunction> g_load{nullptr};

HMODULE LoadLibraryByFlags(const wchar_t* fileName, DWORD flags) {
    return flags == 0 ? ::LoadLibraryW(fileName) : ::LoadLibraryExW(fileName, nullptr, flags);
}

struct LoadRequest {
    ModuleInternal::LoadFunction load;
    const wchar_t* fileName;
    DWORD flags;
};

void* CallLoad(void* context) {
    const LoadRequest& request = *static_cast<const LoadRequest*>(context);
    return request.load(request.fileName, request.flags);
}

}  // namespace

ModuleInternal::LoadFunction ModuleInternal::SetLoadFunction(LoadFunction function) noexcept {
    return g_load.exchange(function);
}

CModule::CModule(const wchar_t* fileName, DWORD flags) {
    const ModuleInternal::LoadFunction replacement = g_load.load();
    LoadRequest request = {replacement != nullptr ? replacement : &LoadLibraryByFlags, fileName, flags};
    DWORD exceptionCode = 0;
    m_module.Reset(static_cast<HMODULE>(StructuredExceptions::CatchAll(&CallLoad, &request, &exceptionCode)));
    if (exceptionCode != 0) {
        char text[200] = {};
        Tessal::FormatTo(text, sizeof(text), "Exception 0x%08X while loading %ls\r\n", static_cast<unsigned>(exceptionCode),
                         fileName != nullptr ? fileName : L"(null)");
        ::OutputDebugStringA(text);
        NUV_LOG(ETWLogging::LOG_ERROR, L"%hs", text);
    }
}

CModule::~CModule() = default;

FARPROC CModule::GetProcAddress(const char* name) const noexcept {
    return m_module ? ::GetProcAddress(m_module.Get(), name) : nullptr;
}
