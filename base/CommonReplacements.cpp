#include "base/CommonReplacements.h"

#include "base/ShlObjAPI.h"
#include "base/UniqueHandle.h"

#include <knownfolders.h>
#include <stdlib.h>

#include <mutex>
#include <regex>
#include <unordered_map>
#include <utility>

namespace Tessal {

class CommonReplacements::Impl {
public:
    Impl(std::shared_ptr<ShlObjAPI> shell, std::shared_ptr<OSInfo> osInfo)
        : shell(shell ? std::move(shell) : std::make_shared<ShlObjAPI>()),
          osInfo(osInfo ? std::move(osInfo) : std::make_shared<OSInfo>()) {}

    std::wstring Resolve(const std::wstring& token, const ExtraReplacements& extra);

    std::shared_ptr<ShlObjAPI> shell;
    std::shared_ptr<OSInfo> osInfo;
    std::uint64_t found = 0;
    std::uint64_t changed = 0;
};

namespace {

using TokenRoutine = std::function<std::wstring(ShlObjAPI&, CommonReplacements::OSInfo&)>;

enum PathPart : unsigned { kDrive = 1, kFolder = 2, kName = 4, kExtension = 8 };

struct ExecutablePath {
    wchar_t drive[4] = {};
    wchar_t folder[257] = {};
    wchar_t name[257] = {};
    wchar_t extension[257] = {};
};

const ExecutablePath& SplitExecutablePath() {
    static ExecutablePath parts;
    static std::once_flag once;
    std::call_once(once, [] {
        wchar_t path[MAX_PATH] = {};
        const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
        // A cut path would name the wrong file: treat it like a failure.
        if (length == 0 || length >= MAX_PATH) return;
        if (::_wsplitpath_s(path, parts.drive, 4, parts.folder, 257, parts.name, 257,
                            parts.extension, 257) != 0) {
            parts = ExecutablePath();
        }
    });
    return parts;
}

std::wstring ExecutablePathParts(unsigned which) {
    const ExecutablePath& parts = SplitExecutablePath();
    std::wstring value;
    if (which & kDrive) value += parts.drive;
    if (which & kFolder) value += parts.folder;
    if (which & kName) value += parts.name;
    if (which & kExtension) value += parts.extension;
    return value;
}

std::wstring KnownFolder(ShlObjAPI& shell, REFKNOWNFOLDERID folderId) {
    PWSTR raw = nullptr;
    const HRESULT hr = shell.GetKnownFolderPath(folderId, 0, nullptr, &raw);
    const UniqueCoTaskMem owner(raw);
    if (FAILED(hr) || raw == nullptr) return {};
    return raw;
}

std::wstring PlatformName(CommonReplacements::OSInfo& osInfo) {
    switch (osInfo.GetPlatform()) {
        case 0: return L"win32";
        case 1: return L"x64";
        case 2: return L"PlatformUnknown";
        default: return {};
    }
}

const std::unordered_map<std::wstring, TokenRoutine>& TokenTable() {
    static const std::unordered_map<std::wstring, TokenRoutine> table = [] {
        std::unordered_map<std::wstring, TokenRoutine> t;
        t[L"$(OS.Platform)"] = [](ShlObjAPI&, CommonReplacements::OSInfo& os) {
            return PlatformName(os);
        };
        const std::pair<const wchar_t*, unsigned> appTokens[] = {
            {L"$(App.Binary)", kName | kExtension},
            {L"$(App.Name)", kName},
            {L"$(App.Folder)", kDrive | kFolder},
            {L"$(App.Path)", kDrive | kFolder | kName | kExtension},
        };
        for (const auto& [token, parts] : appTokens) {
            const unsigned which = parts;
            t[token] = [which](ShlObjAPI&, CommonReplacements::OSInfo&) {
                return ExecutablePathParts(which);
            };
        }
        const std::pair<const wchar_t*, const KNOWNFOLDERID*> folders[] = {
            {L"$(FOLDERID_Profile)", &FOLDERID_Profile},
            {L"$(FOLDERID_Desktop)", &FOLDERID_Desktop},
            {L"$(FOLDERID_Documents)", &FOLDERID_Documents},
            {L"$(FOLDERID_LocalAppDataLow)", &FOLDERID_LocalAppDataLow},
            {L"$(FOLDERID_LocalAppData)", &FOLDERID_LocalAppData},
            {L"$(FOLDERID_RoamingAppData)", &FOLDERID_RoamingAppData},
            {L"$(FOLDERID_ProgramData)", &FOLDERID_ProgramData},
            {L"$(FOLDERID_ProgramFiles)", &FOLDERID_ProgramFiles},
            {L"$(FOLDERID_ProgramFilesX64)", &FOLDERID_ProgramFilesX64},
            {L"$(FOLDERID_ProgramFilesX86)", &FOLDERID_ProgramFilesX86},
            {L"$(FOLDERID_ProgramFilesCommon)", &FOLDERID_ProgramFilesCommon},
            {L"$(FOLDERID_ProgramFilesCommonX64)", &FOLDERID_ProgramFilesCommonX64},
            {L"$(FOLDERID_ProgramFilesCommonX86)", &FOLDERID_ProgramFilesCommonX86},
        };
        for (const auto& [token, folderId] : folders) {
            const KNOWNFOLDERID id = *folderId;
            t[token] = [id](ShlObjAPI& shell, CommonReplacements::OSInfo&) {
                return KnownFolder(shell, id);
            };
        }
        return t;
    }();
    return table;
}

// '$', '(', a name without '$', '(' or ')', then ')': a token inside a token's name is the match.
const std::wregex& TokenPattern() {
    static const std::wregex pattern(L"\\$\\([^$()]+\\)", std::regex_constants::ECMAScript);
    return pattern;
}

}  // namespace

std::wstring CommonReplacements::Impl::Resolve(const std::wstring& token,
                                               const ExtraReplacements& extra) {
    std::wstring value;
    if (const auto own = extra.find(token); own != extra.end()) {
        if (own->second) value = own->second();
    } else {
        const auto& table = TokenTable();
        const auto builtIn = table.find(token);
        if (builtIn == table.end()) return token;
        value = builtIn->second(*shell, *osInfo);
    }
    return value.empty() ? token : value;
}

CommonReplacements::CommonReplacements(std::shared_ptr<ShlObjAPI> shell,
                                       std::shared_ptr<OSInfo> osInfo)
    : m_impl(std::make_shared<Impl>(std::move(shell), std::move(osInfo))) {}

CommonReplacements::~CommonReplacements() = default;

bool CommonReplacements::Replace(std::wstring& text, const ExtraReplacements& extra) {
    Impl& impl = *m_impl;
    impl.found = 0;
    impl.changed = 0;

    const std::wstring input = text;
    std::wstring output;
    auto remaining = input.cbegin();
    std::wsmatch match;
    while (std::regex_search(remaining, input.cend(), match, TokenPattern())) {
        ++impl.found;
        const std::wstring token = match.str();
        const std::wstring value = impl.Resolve(token, extra);
        if (value != token) ++impl.changed;
        output.append(match.prefix().first, match.prefix().second);
        output += value;
        remaining = match.suffix().first;
    }
    output.append(remaining, input.cend());
    text = std::move(output);
    return true;
}

bool CommonReplacements::Replace(std::wstring& text) { return Replace(text, ExtraReplacements()); }

void CommonReplacements::GetReplaceCounts(std::uint64_t& found, std::uint64_t& changed) const {
    found = m_impl->found;
    changed = m_impl->changed;
}

}  // namespace Tessal
