#pragma once
// Structured exceptions (a fault, a raised exception) in code built with g++, which has neither
// __try nor _set_se_translator. Both guards are frames of their own, so a handler nearer the fault
// (a system DLL's own __try) still sees the exception first.
//
// Not to be confused with CNuvException, the C++ exception that a translated fault becomes.

#include <windows.h>

namespace StructuredExceptions {

// Runs `function(context)`. Any structured exception raised inside ends the call: null is returned
// and the code stored in *exceptionCode (0 when nothing was raised). The frames in between are not
// unwound (no destructor runs), so this suits only calls without C++ frames that hold anything,
// such as a library load. C++ exceptions pass through.
void* CatchAll(void* (*function)(void* context), void* context, DWORD* exceptionCode) noexcept;

// Runs `function(context)` and returns its result. A processor exception raised inside (access
// violation, illegal instruction, division by zero...) is thrown as CNuvException(-1000) with its
// code and address from the faulting instruction, and unwinds like any C++ exception: destructors
// release their locks and catch blocks see it. The fault's frames must be built with
// -fnon-call-exceptions (the whole tree is); a fault inside prebuilt C++ code (the C++ runtime
// library) ends the process, as an unhandled exception would. A stack overflow is not translated.
DWORD CallTranslated(DWORD (*function)(void* context), void* context);

// The exception codes a processor raises by itself.
bool IsProcessorException(DWORD code) noexcept;

}  // namespace StructuredExceptions
