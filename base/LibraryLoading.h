#pragma once
// Guarded DLL loading. A bare name makes Windows search the application folder, the current
// folder and the PATH, where a planted DLL of the same name would be taken: these functions load
// only from the system folder or from a fully qualified path.

#include <windows.h>

namespace Tessal {

class ShlObjAPI;

// Loads "<system folder>\<name>". LOAD_WITH_ALTERED_SEARCH_PATH is dropped from the flags (the
// path is absolute, and the flag conflicts with the LOAD_LIBRARY_SEARCH_* flags). Null for a
// null name or when the system folder is unknown; `reserved` is ignored.
HMODULE LoadSystemLibrary(LPCWSTR name, HANDLE reserved, DWORD flags);
HMODULE LoadSystemLibrary(LPCWSTR name);
// The same with the system folder taken from the given known-folder wrapper.
HMODULE LoadSystemLibrary(ShlObjAPI& shell, LPCWSTR name, HANDLE reserved, DWORD flags);

// Loads only a name that passes IsQualifiedFilePath; anything else gives null without a load.
HMODULE SafeLoadLibraryEx(LPCWSTR name, HANDLE reserved, DWORD flags);
HMODULE SafeLoadLibrary(LPCWSTR name);

// True for an absolute path to a file with an extension: "X:\..." or "X:/...", a UNC path
// "\\server\share\..." (either separator) or a "\\?\X:\..." / "\\?\UNC\server\share\..." path.
// Drive-relative names ("C:x.dll") and any further ':' (streams) are refused: Windows would
// resolve them against a current directory.
bool IsQualifiedFilePath(LPCWSTR name);

}  // namespace Tessal
