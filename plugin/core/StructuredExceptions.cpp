#include "plugin/core/StructuredExceptions.h"

#include "plugin/core/NuvException.h"

#include <cstdint>

namespace {

// What the guard's filter is asked to do; the guard keeps a pointer to it at [frame + 32].
struct GuardState {
    bool translate;
    DWORD exceptionCode;
};

bool IsGccException(DWORD code) noexcept {
    // libgcc's own exceptions (throw, unwind, forced unwind) travel as structured exceptions too.
    return (code & 0xF0FFFFFFu) == 0x20474343u;
}

}  // namespace

// The translated fault's landing: called from the trampoline with the fault's code and address.
extern "C" [[noreturn]] __attribute__((used)) void NuvThrowProcessorException(DWORD code, ULONG_PTR address) {
    throw CNuvException(CNuvException::kProcessorException, static_cast<unsigned>(code),
                        static_cast<unsigned>(address));
}

extern "C" void NuvProcessorExceptionTrampoline();
extern "C" void* NuvGuardedCall(void* (*function)(void*), void* context, GuardState* state);

// The filter of the guard's one scope: `establisherFrame` is the guard's stack pointer after its
// prologue, where it keeps the state pointer.
extern "C" __attribute__((used)) LONG NuvGuardFilter(EXCEPTION_POINTERS* pointers, void* establisherFrame) {
    GuardState* const state = *reinterpret_cast<GuardState**>(static_cast<char*>(establisherFrame) + 32);
    const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
    if (IsGccException(record.ExceptionCode)) return EXCEPTION_CONTINUE_SEARCH;
    if (!state->translate) {
        state->exceptionCode = record.ExceptionCode;
        return EXCEPTION_EXECUTE_HANDLER;
    }
    if (!StructuredExceptions::IsProcessorException(record.ExceptionCode) ||
        (record.ExceptionFlags & EXCEPTION_NONCONTINUABLE) != 0) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    // Resume as if the faulting instruction had called the trampoline. The return address is one
    // past the fault: unwinders look up "return address - 1", which then lies in the faulting
    // instruction's own region. A fault on a call into nowhere unwinds as a leaf frame.
    CONTEXT& context = *pointers->ContextRecord;
    context.Rsp -= sizeof(DWORD64);
    *reinterpret_cast<DWORD64*>(context.Rsp) = context.Rip + 1;
    context.Rcx = record.ExceptionCode;
    context.Rdx = reinterpret_cast<DWORD64>(record.ExceptionAddress);
    context.Rip = reinterpret_cast<DWORD64>(&NuvProcessorExceptionTrampoline);
    return EXCEPTION_CONTINUE_EXECUTION;
}

// NuvGuardedCall(function, context, state): calls function(context) inside one scope handled by
// the C runtime's frame handler with NuvGuardFilter; when the filter asks for the handler, the
// guard returns null. The trampoline realigns the stack (the fault may have left it at any
// alignment) behind a frame pointer, so the fault's frame unwinds from it as from a call.
asm(R"(
    .text
    .p2align 4
    .globl NuvGuardedCall
    .def NuvGuardedCall; .scl 2; .type 32; .endef
    .seh_proc NuvGuardedCall
NuvGuardedCall:
    subq $40, %rsp
    .seh_stackalloc 40
    .seh_endprologue
    movq %r8, 32(%rsp)
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
    .rva .LNuvGuardBegin, .LNuvGuardEnd, NuvGuardFilter, .LNuvGuardHandler
    .text
    .seh_endproc

    .p2align 4
    .globl NuvProcessorExceptionTrampoline
    .def NuvProcessorExceptionTrampoline; .scl 2; .type 32; .endef
    .seh_proc NuvProcessorExceptionTrampoline
NuvProcessorExceptionTrampoline:
    pushq %rbp
    .seh_pushreg %rbp
    movq %rsp, %rbp
    .seh_setframe %rbp, 0
    .seh_endprologue
    andq $-16, %rsp
    subq $32, %rsp
    call NuvThrowProcessorException
    int3
    .seh_endproc
)");

namespace StructuredExceptions {

bool IsProcessorException(DWORD code) noexcept {
    switch (code) {
        case EXCEPTION_ACCESS_VIOLATION:
        case EXCEPTION_IN_PAGE_ERROR:
        case EXCEPTION_DATATYPE_MISALIGNMENT:
        case EXCEPTION_ILLEGAL_INSTRUCTION:
        case EXCEPTION_PRIV_INSTRUCTION:
        case EXCEPTION_INT_DIVIDE_BY_ZERO:
        case EXCEPTION_INT_OVERFLOW:
        case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
        case EXCEPTION_FLT_DENORMAL_OPERAND:
        case EXCEPTION_FLT_DIVIDE_BY_ZERO:
        case EXCEPTION_FLT_INEXACT_RESULT:
        case EXCEPTION_FLT_INVALID_OPERATION:
        case EXCEPTION_FLT_OVERFLOW:
        case EXCEPTION_FLT_STACK_CHECK:
        case EXCEPTION_FLT_UNDERFLOW:
            return true;
        default:
            return false;
    }
}

void* CatchAll(void* (*function)(void*), void* context, DWORD* exceptionCode) noexcept {
    GuardState state{false, 0};
    void* const result = NuvGuardedCall(function, context, &state);
    if (exceptionCode != nullptr) *exceptionCode = state.exceptionCode;
    return state.exceptionCode == 0 ? result : nullptr;
}

DWORD CallTranslated(DWORD (*function)(void*), void* context) {
    struct Call {
        DWORD (*function)(void*);
        void* context;
    } call{function, context};
    GuardState state{true, 0};
    void* const result = NuvGuardedCall(
        [](void* c) -> void* {
            const Call& call = *static_cast<const Call*>(c);
            return reinterpret_cast<void*>(static_cast<std::uintptr_t>(call.function(call.context)));
        },
        &call, &state);
    return static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(result));
}

}  // namespace StructuredExceptions
