#pragma once
// Expands the "$(...)" path tokens of search folders: the host executable's folders, the platform
// name, the known folders, and "$(Plexanmod.InstallDir)", the module-core install folder from the
// machine settings. Unknown tokens, and tokens whose value cannot be had, stay in the text; a
// caller that needs a usable path must check the result.

#include "base/OSInfo.h"
#include "modulefw/RegistryAPI.h"
#include "modulefw/ShlObjAPI.h"

#include <memory>
#include <string>

namespace Korin {

class PathHelpers {
public:
    using OSInfo = Tessal::internal::OSInfoProxy<Tessal::WinOSVersionAPI>;

    // Empty pointers get the default services.
    explicit PathHelpers(std::shared_ptr<ShlObjAPI> shell = nullptr, std::shared_ptr<OSInfo> osInfo = nullptr,
                         std::shared_ptr<RegistryAPI> registry = nullptr);
    virtual ~PathHelpers();

    // Expands in place; always true. Expanded values are not searched again.
    virtual bool replaceTokens(std::wstring& path);

    class _Impl;

private:
    std::shared_ptr<_Impl> m_impl;
};

}  // namespace Korin
