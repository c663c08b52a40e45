#include "plugin/core/Module.h"

#include "base/Format.h"
#include "logging/Logging.h"

#include <atomic>

// g++ has no __try: the guard is a small assembly function whose unwind data names the C
// runtime's frame handler (__C_specific_handler) with one scope around the call. The filter
// stores the exception code through the pointer the guard keeps at [frame + 32] and asks for
// the handler, where the guard returns null.
extern "C" void* NuvModuleGuardedCall(void* (*function)(void*), void* context, DWORD* exceptionCode);
extern "C" __attribute__((used)) LONG NuvModuleGuardFilter(EXCEPTION_POINTERS* pointers, void* establisherFrame) {
    DWORD* const exceptionCode = *reinterpret_cast<DWORD**>(static_cast<char*>(establisherFrame) + 32);
    *exceptionCode = pointers->ExceptionRecord->ExceptionCode;
    return EXCEPTION_EXECUTE_HANDLER;
}

asm(R"(
    .text
    .p2align 4
    .globl NuvModuleGuardedCall
    .def NuvModuleGuardedCall; .scl 2; .type 32; .endef
    .seh_proc NuvModuleGuardedCall
NuvModuleGuardedCall:
    subq $40, %rsp
    .seh_stackalloc 40
    .seh_endprologue
    movq %r8, 32(%rsp)
    movl $0, (%r8)
    movq %rcx, %rax
    movq %rdx, %rcx
.LNuvGuardBegin:
    call *%rax
    nop
.LNuvGuardEnd:
    addq $40, %rsp
    ret
.LNuvGuardHandler:
    xorl %eax, %eax
    addq $40, %rsp
    ret
    .seh_handler __C_specific_handler, @except
    .seh_handlerdata
    .long 1
    .rva .LNuvGuardBegin, .LNuvGuardEnd, NuvModuleGuardFilter, .LNuvGuardHandler
    .text
    .seh_endproc
)");

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

void* ModuleInternal::GuardedCall(void* (*function)(void*), void* context, DWORD* exceptionCode) noexcept {
    DWORD code = 0;
    void* const result = NuvModuleGuardedCall(function, context, &code);
    if (exceptionCode != nullptr) *exceptionCode = code;
    return code == 0 ? result : nullptr;
}

CModule::CModule(const wchar_t* fileName, DWORD flags) {
    const ModuleInternal::LoadFunction replacement = g_load.load();
    LoadRequest request = {replacement != nullptr ? replacement : &LoadLibraryByFlags, fileName, flags};
    DWORD exceptionCode = 0;
    m_module.Reset(static_cast<HMODULE>(ModuleInternal::GuardedCall(&CallLoad, &request, &exceptionCode)));
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
