#pragma once
// File-system helpers: deleting by pattern, folder trees, path tests, module paths, creating folders.
// They report by their result only and log nothing (the loggers themselves use them).

#include <windows.h>

#include <string>

namespace Tessal {

// Deletes the files matching `pattern` (a path with a folder part, such as D:\x\*.log); read-only
// files too. With `recursive`, matching sub-folders are removed with their contents. A junction or
// directory link is removed itself, never descended into. False when nothing matched or anything
// could not be deleted (the rest is still deleted).
bool DeleteFiles(const wchar_t* pattern, bool recursive);

// Removes a folder with everything below it. A junction or directory link loses only the link.
bool RemoveDirectoryTree(const wchar_t* folder);

bool IsRegularFile(const wchar_t* path);
bool DirectoryExists(const wchar_t* path);
bool FileExists(const wchar_t* path);

// Splits the module's path: D:\dir\m.dll gives D:\dir and m.dll, or with the flag D:\dir\ and \m.dll.
bool GetModuleFolderAndName(HMODULE module, std::wstring& folder, bool withBackslash, std::wstring& name);

// Creates the folder and its missing parents. A relative path is taken relative to the current
// directory; "\\?\" and UNC paths are used as they are. Error 183 (and true) when it existed already.
bool CreateDirectoryPath(const wchar_t* path, DWORD* error = nullptr);

// Creates an absolute folder path with its parents; returns a Win32 code.
DWORD CreateDirectoryTree(const std::wstring& absolutePath);

std::wstring GetCurrentDirectoryString();
std::wstring GetModuleFileNameString(HMODULE module);

namespace internal {
// Whether a folder entry is a junction or directory link (removed, never descended into), from its
// attributes and reparse tag (WIN32_FIND_DATA's dwReserved0).
bool IsDirectoryLink(DWORD attributes, DWORD reparseTag);
}  // namespace internal

}  // namespace Tessal
