#pragma once
// The probe DLL's exports: a module that configures and uses its own copy of the logging library,
// as a deliverable does. The module tests load copies of it, one per configuration.

#include <windows.h>

struct ProbeEvent {
    UCHAR level;
    DWORD line;
    DWORD textBytes;
    wchar_t sourceFile[64];
    wchar_t function[128];
    wchar_t component[64];
    wchar_t moduleFile[64];
    wchar_t moduleVersion[32];
    char text[5000];
};

enum ProbeLoggerKind { kProbeNoLogger = 0, kProbeFileLogger = 1, kProbeEtwLogger = 2 };

extern "C" {
// Seams of this module's logging library: the data root the file logger uses, ETW events captured.
typedef void(WINAPI* ProbeSetupFn)(const wchar_t* dataRoot, BOOL captureEtw);
typedef void(WINAPI* ProbeConfigureFn)(const wchar_t* componentName, DWORD forceFile);
typedef int(WINAPI* ProbeLoggerKindFn)();
typedef BOOL(WINAPI* ProbeIsLevelEnabledFn)(DWORD level);
typedef void(WINAPI* ProbeLogFn)(DWORD level, const wchar_t* text);           // through NUV_LOG
typedef DWORD(WINAPI* ProbeLogFormatFn)(DWORD level, const wchar_t* text);    // LogFormat's result
typedef DWORD(WINAPI* ProbeManagerLogFn)(DWORD level, const wchar_t* text);   // CLogManager::Log's result
typedef void(WINAPI* ProbeBaseLogFn)(DWORD type, const wchar_t* text);        // through Tessal::CLogger
typedef DWORD(WINAPI* ProbeEventCountFn)();
typedef BOOL(WINAPI* ProbeGetEventFn)(DWORD index, ProbeEvent* event);
}
