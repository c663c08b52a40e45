#pragma once
// Expands the "$(Name)" tokens of configuration values, paths and messages: folders of the
// running executable, known folders and the platform name.

#include "base/OSInfo.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace Tessal {

class ShlObjAPI;

class CommonReplacements {
public:
    using OSInfo = internal::OSInfoProxy<WinOSVersionAPI>;
    // A caller's own tokens (whole token text, e.g. L"$(App.Name)"); they win over built-in ones.
    using ExtraReplacements = std::map<std::wstring, std::function<std::wstring()>>;

    // Null services are replaced by the default ones.
    explicit CommonReplacements(std::shared_ptr<ShlObjAPI> shell = nullptr,
                                std::shared_ptr<OSInfo> osInfo = nullptr);
    virtual ~CommonReplacements();

    // Expands in place and returns true. Unknown tokens and tokens whose value comes out empty
    // stay as written; expanded values are never searched again.
    virtual bool Replace(std::wstring& text, const ExtraReplacements& extra);
    virtual bool Replace(std::wstring& text);
    // Tokens found and tokens changed by the last Replace.
    virtual void GetReplaceCounts(std::uint64_t& found, std::uint64_t& changed) const;

    class Impl;

private:
    std::shared_ptr<Impl> m_impl;
};

}  // namespace Tessal
