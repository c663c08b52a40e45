#include "nuvutil/ByteBuffer.h"

#include <algorithm>
#include <cstring>
#include <new>

CByteBuffer::CByteBuffer(int initialSize, bool noAllocate) : m_initialSize(initialSize) {
    if (!noAllocate && initialSize > 0) Allocate(static_cast<std::uint32_t>(initialSize));
}

CByteBuffer::~CByteBuffer() { Free(true); }

CByteBuffer::CByteBuffer(const CByteBuffer& other) : m_initialSize(other.m_initialSize) {
    SetData(other.m_data.get(), other.m_size);
}

CByteBuffer& CByteBuffer::operator=(const CByteBuffer& other) {
    // Freeing first would lose the source when it is this object.
    if (this == &other) return *this;
    Free(true);
    SetData(other.m_data.get(), other.m_size);
    return *this;
}

void CByteBuffer::Free(bool release) {
    if (release && m_data) {
        m_data.reset();
        m_capacity = 0;
    }
    m_size = 0;
}

bool CByteBuffer::Allocate(std::uint32_t size) {
    Free(true);
    m_data.reset(new (std::nothrow) std::uint8_t[size]);
    if (!m_data) return false;
    m_capacity = size;
    return true;
}

int CByteBuffer::SetData(const void* source, std::uint32_t size) {
    if (source == nullptr || size == 0) {
        Free(false);
        return 1;
    }
    if (!m_data || m_capacity < size) {
        const std::uint32_t wanted =
            m_initialSize > 0 ? std::max(static_cast<std::uint32_t>(m_initialSize), size) : size;
        if (!Allocate(wanted)) return 0;
    }
    std::memcpy(m_data.get(), source, size);
    m_size = size;
    return 1;
}
