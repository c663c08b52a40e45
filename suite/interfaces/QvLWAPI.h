#pragma once
// The exports of the suite's lightweight API DLL "QvLWAPI.DLL". The plug-in calls only
// ReportStatisticData; the other six must be present for it to bind the DLL.

#include <windows.h>
#include <oaidl.h>

using PFN_RegisterProtectionProvider = HRESULT(WINAPI*)(REFGUID providerId, const wchar_t* displayName, DWORD flags,
                                                        DWORD* cookie);
using PFN_UnregisterProtectionProvider = HRESULT(WINAPI*)(DWORD cookie);
using PFN_NotifyProtectionStatusChange = HRESULT(WINAPI*)(DWORD cookie, DWORD status);
using PFN_ReportStatisticData = HRESULT(WINAPI*)(const wchar_t* category, const wchar_t* name, const VARIANT* value,
                                                 DWORD flags);
using PFN_GetStatisticData = HRESULT(WINAPI*)(const wchar_t* category, const wchar_t* name, VARIANT* value);
using PFN_SetStatisticDataStorageFormat = HRESULT(WINAPI*)(DWORD format);
using PFN_GetStatisticDataStorageFormat = HRESULT(WINAPI*)(DWORD* format);
