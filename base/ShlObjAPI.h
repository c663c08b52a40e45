#pragma once
// Replaceable wrapper of the known-folder look-up, so tests can supply their own folders.

#include <windows.h>
#include <shlobj.h>

namespace Tessal {

class ShlObjAPI {
public:
    virtual ~ShlObjAPI();

    // SHGetKnownFolderPath. The caller owns *path (CoTaskMemFree, e.g. through UniqueCoTaskMem),
    // also after a failure, where the system sets it to null.
    virtual HRESULT GetKnownFolderPath(REFKNOWNFOLDERID folderId, DWORD flags, HANDLE token,
                                       PWSTR* path);
};

}  // namespace Tessal
