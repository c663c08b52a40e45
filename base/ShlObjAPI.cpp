#include "base/ShlObjAPI.h"

namespace Tessal {

ShlObjAPI::~ShlObjAPI() = default;

HRESULT ShlObjAPI::GetKnownFolderPath(REFKNOWNFOLDERID folderId, DWORD flags, HANDLE token,
                                      PWSTR* path) {
    return ::SHGetKnownFolderPath(folderId, flags, token, path);
}

}  // namespace Tessal
