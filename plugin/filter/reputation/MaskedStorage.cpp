#include "plugin/filter/reputation/MaskedStorage.h"

#include "plugin/filter/reputation/SigningKeyTables.h"

#include <cstring>

namespace NNUV {
namespace NNUVExternal {

CMaskedStorage::CMaskedStorage() : CMaskedStorage(kMaskedSigningKey, kSigningKeyMask, kSigningKeySize) {}

CMaskedStorage::CMaskedStorage(const std::uint8_t* masked, const std::uint8_t* mask, std::size_t size)
    : m_masked(size), m_mask(size) {
    if (size != 0) {
        std::memcpy(m_masked.data(), masked, size);
        std::memcpy(m_mask.data(), mask, size);
    }
}

CMaskedStorage::CMaskedStorage(const CMaskedStorage& other)
    : CMaskedStorage(other.m_masked.data(), other.m_mask.data(), other.m_masked.size()) {}

CMaskedStorage::~CMaskedStorage() {
    m_masked.release();
    m_mask.release();
}

}  // namespace NNUVExternal
}  // namespace NNUV
