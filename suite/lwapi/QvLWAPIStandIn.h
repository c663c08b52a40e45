#pragma once
// Test controls of the "QvLWAPI.DLL" stand-in, read from the process environment at every call:
//  - QvLWAPI_RECORD: a file that receives one UTF-8 line per call ("load", "unload",
//    "ReportStatisticData|<category>|<name>|<vartype>|<value>|<flags>|<result>", ...);
//  - QvLWAPI_FAIL: an HRESULT (hexadecimal) that every export returns instead of doing its work;
//  - QvLWAPI_REFUSE_LOAD: when set, the DLL refuses to load (DllMain answers FALSE).

#include "suite/interfaces/QvLWAPI.h"

#define QVLWAPI_RECORD_VARIABLE L"QvLWAPI_RECORD"
#define QVLWAPI_FAIL_VARIABLE L"QvLWAPI_FAIL"
#define QVLWAPI_REFUSE_LOAD_VARIABLE L"QvLWAPI_REFUSE_LOAD"
