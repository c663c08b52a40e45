#pragma once
// The suite's MUI runtime "QvRtMui.dll", which picks the resources of the user's language. It is
// optional: while it is not loaded every call falls back to the plain Windows loader (and locale
// 1033). A non-zero `extra` selects the runtime's "Ex" export and is passed through.

#include <windows.h>

DWORD RtMuiGetMappedLocale();
HMODULE RtMuiLoadLibrary(const wchar_t* path);
HMODULE RtMuiLoadLibraryEx(const wchar_t* path, HANDLE file, DWORD flags);
int RtMuiLoadString(HMODULE module, UINT id, wchar_t* buffer, int capacity, DWORD extra = 0);
HRSRC RtMuiFindResource(HMODULE module, const wchar_t* name, const wchar_t* type, DWORD extra = 0);
HANDLE RtMuiLoadImage(HINSTANCE module, const wchar_t* name, UINT type, int cx, int cy, UINT flags, DWORD extra = 0);
HBITMAP RtMuiLoadBitmap(HINSTANCE module, const wchar_t* name, DWORD extra = 0);
HICON RtMuiLoadIcon(HINSTANCE module, const wchar_t* name, DWORD extra = 0);

// Where the runtime is loaded from; only before its first use (cut at 260 characters).
bool RtMuiSetPath(const wchar_t* path);
// True when the runtime is loaded and used.
bool RtMuiIsLoaded();
