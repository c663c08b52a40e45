#pragma once
// The product's folders: the install folder written by the installer (HKLM\Software\Oberix\NUV,
// "Install Dir"), the resource DLL in it, and the data folder below the common application data.
// Each takes the caller's buffer and its size in characters; false when nothing was found.

#include <windows.h>

bool GetNuvInstallDir(wchar_t* buffer, DWORD size);
bool QueryNuvInstallDir(wchar_t* buffer, DWORD size);
bool GetNuvResourceDllPath(wchar_t* buffer, DWORD size);
bool GetNuvDataFolder(wchar_t* buffer, DWORD size);
