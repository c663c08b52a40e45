#pragma once
// HMAC-SHA1 through CNG, keyed with the masked signing key. One instance signs one request; the
// CNG provider is shared by the process, opened by the first hash and closed at unload.

#include "plugin/filter/reputation/MaskedStorage.h"
#include "plugin/filter/reputation/SecureByteVector.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstddef>
#include <cstdint>

namespace NNUV {
namespace NNUVInternal {

class CHMACSHA1 {
public:
    CHMACSHA1() = default;
    virtual ~CHMACSHA1();
    CHMACSHA1(const CHMACSHA1&) = delete;
    CHMACSHA1& operator=(const CHMACSHA1&) = delete;

    // Forms the key from the storage and keys a new hash object; the plain key is zeroed at once.
    NTSTATUS SetKey(const NNUVExternal::CMaskedStorage& storage);
    NTSTATUS CreateHash(const SecureByteVector& key);
    // BCryptHashData on the keyed hash; STATUS_INVALID_PARAMETER without one.
    NTSTATUS HashData(const void* data, std::size_t size);
    // The digest (20 bytes); the hash object is gone afterwards. STATUS_INVALID_PARAMETER without one.
    NTSTATUS FinishHash(SecureByteVector& digest);

    BCRYPT_HASH_HANDLE Handle() const noexcept { return m_hash; }

    // The process-wide provider: opened at first use, closed at unload (or by tests).
    static void CloseProvider() noexcept;
    static bool IsProviderOpen() noexcept;

private:
    BCRYPT_HASH_HANDLE m_hash = nullptr;
};

}  // namespace NNUVInternal
}  // namespace NNUV
