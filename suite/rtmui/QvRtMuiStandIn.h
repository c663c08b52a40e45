#pragma once
// What the "QvRtMui.dll" stand-in answers, and its test control.

#include "suite/interfaces/QvRtMui.h"

// The stand-in of this system's tests answers this locale (a real runtime maps the user's).
#define QVRTMUI_STANDIN_LOCALE 1031

// Test control of the stand-in, read from the process environment at every call:
//  - QvRtMui_RECORD: a file that receives one UTF-8 line per call, fields separated by '|':
//    "DllAddRef", "DllRelease", "RtMUIGetMappedLocale", "RtMUILoadLibrary|<path>|<reserved>",
//    "RtMUILoadString|<module file name>|<id>|<capacity>|<reserved>",
//    "RtMUILoadStringEx|<module file name>|<id>|<capacity>|<extra>|<reserved>", ... (resource names
//    as text or "#<number>", every argument in the order of the export).
#define QVRTMUI_RECORD_VARIABLE L"QvRtMui_RECORD"
