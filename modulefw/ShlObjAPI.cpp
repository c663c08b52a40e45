#include "modulefw/ShlObjAPI.h"

namespace Korin {

ShlObjAPI::~ShlObjAPI() = default;

HRESULT ShlObjAPI::getKnownFolderPath(REFKNOWNFOLDERID folderId, DWORD flags, HANDLE token, PWSTR* path) {
    return ::SHGetKnownFolderPath(folderId, flags, token, path);
}

}  // namespace Korin
