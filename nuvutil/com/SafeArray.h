#pragma once
// Owner of one SAFEARRAY, with bounds, element access and scoped locks.

#include "nuvutil/com/HResultError.h"

#include <windows.h>
#include <oaidl.h>
#include <oleauto.h>

#include <cstddef>

namespace NuvCom {

class CSafeArray {
public:
    CSafeArray() noexcept = default;
    explicit CSafeArray(SAFEARRAY* owned) noexcept : m_array(owned) {}
    CSafeArray(const CSafeArray&) = delete;
    CSafeArray& operator=(const CSafeArray&) = delete;
    CSafeArray(CSafeArray&& other) noexcept : m_array(other.Detach()) {}
    CSafeArray& operator=(CSafeArray&& other) noexcept;
    ~CSafeArray() { Reset(); }

    // A one-dimensional array of `count` elements indexed from `lowerBound`. Throws std::bad_alloc.
    static CSafeArray CreateVector(VARTYPE type, ULONG count, LONG lowerBound = 0);
    // SafeArrayCopy: strings, interfaces and variants copied as COM copies them. Throws CHResultError.
    CSafeArray Copy() const;

    SAFEARRAY* Get() const noexcept { return m_array; }
    // For [out] SAFEARRAY** parameters; destroys what was held first.
    SAFEARRAY** Put() noexcept;
    void Reset(SAFEARRAY* owned = nullptr) noexcept;
    [[nodiscard]] SAFEARRAY* Detach() noexcept;

    // Bounds of dimension `dimension` (1-based, as SafeArrayGetLBound). Throw CHResultError
    // (DISP_E_BADINDEX for a dimension the array lacks, E_INVALIDARG for no array).
    UINT Dimensions() const noexcept { return m_array ? ::SafeArrayGetDim(m_array) : 0; }
    LONG LowerBound(UINT dimension = 1) const;
    LONG UpperBound(UINT dimension = 1) const;
    ULONG Count(UINT dimension = 1) const;
    VARTYPE ElementType() const;

    // One element of a one-dimensional array, copied as SafeArrayGetElement/PutElement copy
    // (a BSTR or VARIANT read must be freed by the caller). DISP_E_BADINDEX outside the bounds.
    HRESULT GetElement(LONG index, void* element) const noexcept;
    HRESULT PutElement(LONG index, void* element) noexcept;

private:
    SAFEARRAY* m_array = nullptr;
};

// SafeArrayLock for a scope: while it lives the array cannot be destroyed or resized.
class CSafeArrayLock {
public:
    explicit CSafeArrayLock(SAFEARRAY* array);  // throws CHResultError
    ~CSafeArrayLock() { ::SafeArrayUnlock(m_array); }
    CSafeArrayLock(const CSafeArrayLock&) = delete;
    CSafeArrayLock& operator=(const CSafeArrayLock&) = delete;

private:
    SAFEARRAY* m_array;
};

// Direct access to the elements of a one-dimensional array (SafeArrayAccessData for a scope).
// T must match the element size: CSafeArrayData<LONG> for VT_I4, <BSTR> for VT_BSTR.
// Indexes are 0-based offsets from the lower bound.
template <class T>
class CSafeArrayData {
public:
    explicit CSafeArrayData(SAFEARRAY* array) : m_array(array) {
        if (array == nullptr) {
            throw CHResultError(E_INVALIDARG, "CSafeArrayData: no array");
        }
        if (::SafeArrayGetDim(array) != 1 || ::SafeArrayGetElemsize(array) != sizeof(T)) {
            throw CHResultError(DISP_E_TYPEMISMATCH, "CSafeArrayData: element type or dimensions");
        }
        ThrowIfFailed(::SafeArrayAccessData(array, reinterpret_cast<void**>(&m_data)), "SafeArrayAccessData");
        m_count = array->rgsabound[0].cElements;
    }
    ~CSafeArrayData() { ::SafeArrayUnaccessData(m_array); }
    CSafeArrayData(const CSafeArrayData&) = delete;
    CSafeArrayData& operator=(const CSafeArrayData&) = delete;

    std::size_t size() const noexcept { return m_count; }
    T* begin() const noexcept { return m_data; }
    T* end() const noexcept { return m_data + m_count; }
    // Throws CHResultError(DISP_E_BADINDEX) outside the array.
    T& at(std::size_t offset) const {
        if (offset >= m_count) {
            throw CHResultError(DISP_E_BADINDEX, "CSafeArrayData: index out of bounds");
        }
        return m_data[offset];
    }

private:
    SAFEARRAY* m_array;
    T* m_data = nullptr;
    std::size_t m_count = 0;
};

}  // namespace NuvCom
