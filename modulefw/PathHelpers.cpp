#include "modulefw/PathHelpers.h"

#include "base/CommonReplacements.h"
#include "base/ShlObjAPI.h"
#include "modulefw/ModuleStatus.h"

#include <utility>

namespace Korin {

namespace {

constexpr wchar_t kInstallDirToken[] = L"$(Plexanmod.InstallDir)";
constexpr wchar_t kInstallKey[] = L"SOFTWARE\\OBERIX\\PLEXAN";

// The base library's token engine asks its own known-folder wrapper; this one hands the question
// to ours, so a double given to PathHelpers answers it.
class KnownFolderBridge : public Tessal::ShlObjAPI {
public:
    explicit KnownFolderBridge(std::shared_ptr<Korin::ShlObjAPI> shell) : m_shell(std::move(shell)) {}

    HRESULT GetKnownFolderPath(REFKNOWNFOLDERID folderId, DWORD flags, HANDLE token, PWSTR* path) override {
        return m_shell->getKnownFolderPath(folderId, flags, token, path);
    }

private:
    std::shared_ptr<Korin::ShlObjAPI> m_shell;
};

}  // namespace

class PathHelpers::_Impl {
public:
    _Impl(std::shared_ptr<ShlObjAPI> shell, std::shared_ptr<OSInfo> osInfo, std::shared_ptr<RegistryAPI> registry)
        : m_shell(shell ? std::move(shell) : std::make_shared<ShlObjAPI>()),
          m_osInfo(osInfo ? std::move(osInfo) : std::make_shared<OSInfo>()),
          m_registry(registry ? std::move(registry) : std::make_shared<RegistryAPI>()),
          m_engine(std::make_shared<KnownFolderBridge>(m_shell), m_osInfo) {
        m_ownTokens[kInstallDirToken] = [this] { return getInstallDir(); };
    }

    ~_Impl() {
        // Services go in the reverse order of their creation.
        m_registry.reset();
        m_osInfo.reset();
        m_shell.reset();
    }

    _Impl(const _Impl&) = delete;
    _Impl& operator=(const _Impl&) = delete;

    bool replaceTokens(std::wstring& path) { return m_engine.Replace(path, m_ownTokens); }

    // "Install Dir32" for a 32-bit process on 64-bit Windows; empty when it cannot be read.
    std::wstring getInstallDir() {
        const wchar_t* const valueName = m_osInfo->IsWow64() ? L"Install Dir32" : L"Install Dir";
        std::wstring folder;
        if (m_registry->readString(kInstallKey, valueName, folder) != MODULE_STATUS_SUCCESS) return {};
        return folder;
    }

private:
    std::shared_ptr<ShlObjAPI> m_shell;
    std::shared_ptr<OSInfo> m_osInfo;
    std::shared_ptr<RegistryAPI> m_registry;
    Tessal::CommonReplacements m_engine;
    Tessal::CommonReplacements::ExtraReplacements m_ownTokens;
};

PathHelpers::PathHelpers(std::shared_ptr<ShlObjAPI> shell, std::shared_ptr<OSInfo> osInfo,
                         std::shared_ptr<RegistryAPI> registry)
    : m_impl(std::make_shared<_Impl>(std::move(shell), std::move(osInfo), std::move(registry))) {}

PathHelpers::~PathHelpers() = default;

bool PathHelpers::replaceTokens(std::wstring& path) { return m_impl->replaceTokens(path); }

}  // namespace Korin
