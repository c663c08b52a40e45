#pragma once
// The client id every reputation request carries: the lowercase hexadecimal MD5 digest of the
// PC's device id, which the suite's client-services SDK gives, asked once per process.

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/Digest.h"

namespace NNUV {
namespace NNUVInternal {

// The SDK's application id of the plug-in.
inline constexpr wchar_t kLumoApplicationId[] = L"5d1e7c2a-9b40-4f63-a8e2-7c31b9d0f4a6";

class CMD5Checksum {
public:
    virtual ~CMD5Checksum() = default;
    void Update(const void* bytes, std::size_t count) noexcept { m_md5.Update(bytes, count); }
    void Final(std::uint8_t (&digest)[Tessal::CMd5::kDigestSize]) noexcept { m_md5.Final(digest); }
    // Final, then 32 lowercase hexadecimal digits.
    std::wstring ToHexString();

private:
    Tessal::CMd5 m_md5;
};

// Sets `clientId` to the cached id, or asks the SDK: the digest of the device id (its UTF-16LE
// bytes), or "NULL" when the SDK's call failed; both are kept for the process. When the SDK
// object cannot be created, `clientId` stays as it was and the next call asks again.
void GetClientId(std::wstring& clientId);

// Forgets the cached id (the plug-in is unloaded; tests start over).
void ResetClientIdCache();

}  // namespace NNUVInternal
}  // namespace NNUV
