#pragma once
// The exports of the suite's MUI runtime "QvRtMui.dll", which picks the resources of the user's
// language. The last argument of each is reserved (callers pass 0); the "Ex" forms take one more
// 32-bit value before it, passed through from the caller. "DllAddRef"/"DllRelease" are optional.

#include <windows.h>

extern "C" {
LCID WINAPI RtMUIGetMappedLocale();
HMODULE WINAPI RtMUILoadLibrary(LPCWSTR path, DWORD reserved);
HMODULE WINAPI RtMUILoadLibraryEx(LPCWSTR path, HANDLE file, DWORD flags, DWORD reserved);
HMODULE WINAPI RtMUILoadLibraryImpl(LPCWSTR path, HANDLE file, DWORD flags, DWORD extra, DWORD reserved);
int WINAPI RtMUILoadString(HMODULE module, UINT id, LPWSTR buffer, int capacity, DWORD reserved);
int WINAPI RtMUILoadStringEx(HMODULE module, UINT id, LPWSTR buffer, int capacity, DWORD extra, DWORD reserved);
HRSRC WINAPI RtMUIFindResource(HMODULE module, LPCWSTR name, LPCWSTR type, DWORD reserved);
HRSRC WINAPI RtMUIFindResourceEx(HMODULE module, LPCWSTR name, LPCWSTR type, DWORD extra, DWORD reserved);
HANDLE WINAPI RtMUILoadImage(HINSTANCE module, LPCWSTR name, UINT type, int cx, int cy, UINT flags, DWORD reserved);
HANDLE WINAPI RtMUILoadImageEx(HINSTANCE module, LPCWSTR name, UINT type, int cx, int cy, UINT flags, DWORD extra,
                               DWORD reserved);
HBITMAP WINAPI RtMUILoadBitmap(HINSTANCE module, LPCWSTR name, DWORD reserved);
HBITMAP WINAPI RtMUILoadBitmapEx(HINSTANCE module, LPCWSTR name, DWORD extra, DWORD reserved);
HICON WINAPI RtMUILoadIcon(HINSTANCE module, LPCWSTR name, DWORD reserved);
HICON WINAPI RtMUILoadIconEx(HINSTANCE module, LPCWSTR name, DWORD extra, DWORD reserved);
}

using PFN_RtMUIGetMappedLocale = decltype(&RtMUIGetMappedLocale);
using PFN_RtMUILoadLibrary = decltype(&RtMUILoadLibrary);
using PFN_RtMUILoadLibraryEx = decltype(&RtMUILoadLibraryEx);
using PFN_RtMUILoadLibraryImpl = decltype(&RtMUILoadLibraryImpl);
using PFN_RtMUILoadString = decltype(&RtMUILoadString);
using PFN_RtMUILoadStringEx = decltype(&RtMUILoadStringEx);
using PFN_RtMUIFindResource = decltype(&RtMUIFindResource);
using PFN_RtMUIFindResourceEx = decltype(&RtMUIFindResourceEx);
using PFN_RtMUILoadImage = decltype(&RtMUILoadImage);
using PFN_RtMUILoadImageEx = decltype(&RtMUILoadImageEx);
using PFN_RtMUILoadBitmap = decltype(&RtMUILoadBitmap);
using PFN_RtMUILoadBitmapEx = decltype(&RtMUILoadBitmapEx);
using PFN_RtMUILoadIcon = decltype(&RtMUILoadIcon);
using PFN_RtMUILoadIconEx = decltype(&RtMUILoadIconEx);
