#pragma once
// The request-signing key, held masked: the key is the byte-wise XOR of the two arrays and is
// formed only for the moment a hash is keyed (CHMACSHA1::SetKey).

#include "plugin/filter/reputation/SecureByteVector.h"

#include <cstddef>
#include <cstdint>

namespace NNUV {
namespace NNUVExternal {

class CMaskedStorage {
public:
    // The product's key (SigningKeyTables.h).
    CMaskedStorage();
    // Another key, as two arrays of `size` bytes (tests sign with known keys).
    CMaskedStorage(const std::uint8_t* masked, const std::uint8_t* mask, std::size_t size);
    // Copies stay masked.
    CMaskedStorage(const CMaskedStorage& other);
    CMaskedStorage& operator=(const CMaskedStorage&) = delete;
    virtual ~CMaskedStorage();

    const SecureByteVector& Masked() const noexcept { return m_masked; }
    const SecureByteVector& Mask() const noexcept { return m_mask; }

private:
    SecureByteVector m_masked;
    SecureByteVector m_mask;
};

}  // namespace NNUVExternal
}  // namespace NNUV
