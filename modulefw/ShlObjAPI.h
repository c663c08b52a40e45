#pragma once
// Replaceable wrapper of the known-folder look-up, so tests can supply their own folders.

#include <windows.h>
#include <shlobj.h>

namespace Korin {

class ShlObjAPI {
public:
    virtual ~ShlObjAPI();

    // SHGetKnownFolderPath. The caller frees *path with CoTaskMemFree, also after a failure.
    virtual HRESULT getKnownFolderPath(REFKNOWNFOLDERID folderId, DWORD flags, HANDLE token, PWSTR* path);
};

}  // namespace Korin
