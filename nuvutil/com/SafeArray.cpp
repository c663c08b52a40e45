#include "nuvutil/com/SafeArray.h"

#include <new>
#include <utility>

namespace NuvCom {

namespace {

void RequireArray(const SAFEARRAY* array) {
    if (array == nullptr) {
        throw CHResultError(E_INVALIDARG, "CSafeArray: no array");
    }
}

}  // namespace

CSafeArray& CSafeArray::operator=(CSafeArray&& other) noexcept {
    if (this != &other) {
        Reset(other.Detach());
    }
    return *this;
}

CSafeArray CSafeArray::CreateVector(VARTYPE type, ULONG count, LONG lowerBound) {
    SAFEARRAY* array = ::SafeArrayCreateVector(type, lowerBound, count);
    if (array == nullptr) {
        throw std::bad_alloc();
    }
    return CSafeArray(array);
}

CSafeArray CSafeArray::Copy() const {
    CSafeArray copy;
    if (m_array != nullptr) {
        ThrowIfFailed(::SafeArrayCopy(m_array, copy.Put()), "SafeArrayCopy");
    }
    return copy;
}

SAFEARRAY** CSafeArray::Put() noexcept {
    Reset();
    return &m_array;
}

void CSafeArray::Reset(SAFEARRAY* owned) noexcept {
    if (m_array != nullptr && m_array != owned) {
        // Fails only while locked; a lock scope never outlives the owner it came from.
        ::SafeArrayDestroy(m_array);
    }
    m_array = owned;
}

SAFEARRAY* CSafeArray::Detach() noexcept { return std::exchange(m_array, nullptr); }

LONG CSafeArray::LowerBound(UINT dimension) const {
    RequireArray(m_array);
    LONG bound = 0;
    ThrowIfFailed(::SafeArrayGetLBound(m_array, dimension, &bound), "SafeArrayGetLBound");
    return bound;
}

LONG CSafeArray::UpperBound(UINT dimension) const {
    RequireArray(m_array);
    LONG bound = 0;
    ThrowIfFailed(::SafeArrayGetUBound(m_array, dimension, &bound), "SafeArrayGetUBound");
    return bound;
}

ULONG CSafeArray::Count(UINT dimension) const {
    // An empty dimension has an upper bound one below its lower bound.
    return static_cast<ULONG>(UpperBound(dimension) - LowerBound(dimension) + 1);
}

VARTYPE CSafeArray::ElementType() const {
    RequireArray(m_array);
    VARTYPE type = VT_EMPTY;
    ThrowIfFailed(::SafeArrayGetVartype(m_array, &type), "SafeArrayGetVartype");
    return type;
}

HRESULT CSafeArray::GetElement(LONG index, void* element) const noexcept {
    if (m_array == nullptr) {
        return E_INVALIDARG;
    }
    if (::SafeArrayGetDim(m_array) != 1) {
        return DISP_E_BADINDEX;
    }
    return ::SafeArrayGetElement(m_array, &index, element);
}

HRESULT CSafeArray::PutElement(LONG index, void* element) noexcept {
    if (m_array == nullptr) {
        return E_INVALIDARG;
    }
    if (::SafeArrayGetDim(m_array) != 1) {
        return DISP_E_BADINDEX;
    }
    return ::SafeArrayPutElement(m_array, &index, element);
}

CSafeArrayLock::CSafeArrayLock(SAFEARRAY* array) : m_array(array) {
    if (array == nullptr) {
        throw CHResultError(E_INVALIDARG, "CSafeArrayLock: no array");
    }
    ThrowIfFailed(::SafeArrayLock(array), "SafeArrayLock");
}

}  // namespace NuvCom
