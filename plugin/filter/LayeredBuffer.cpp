#include "plugin/filter/LayeredBuffer.h"

#include "logging/Logging.h"
#include "plugin/filter/BufferGrowth.h"

#include <objbase.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {
unsigned Low32(const void* p) noexcept { return static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(p)); }
}  // namespace

CLayeredBuffer::CLayeredBuffer(IReplacementSink* parent) : m_parent(parent) {}

CLayeredBuffer::~CLayeredBuffer() { ::CoTaskMemFree(m_pBuffer); }

bool CLayeredBuffer::growBuffer(DWORD need) {
    const DWORD capacity = BufferGrowth::NewCapacity(need, kMaxSize);
    if (capacity == 0) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"Growth would cause LayeredBuffer to exceed the maximum allowed size\r\n");
        return false;
    }
    void* const block = ::CoTaskMemRealloc(m_pBuffer, capacity);
    if (block == nullptr) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to reallocate LayeredBuffer to hold new request\r\n");
        return false;
    }
    m_pBuffer = static_cast<char*>(block);
    m_capacity = capacity;
    return true;
}

bool CLayeredBuffer::AddChunk(DWORD underlyingOffset, const char* src, DWORD size) {
    const std::uint64_t need = std::uint64_t{m_cbBuffer} + size;
    if (need > m_capacity && (need > kMaxSize || !growBuffer(static_cast<DWORD>(need)))) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"Failed to grow the Layered buffer from %lu bytes to %lu bytes!\r\n",
                static_cast<unsigned long>(m_capacity), static_cast<unsigned long>(need));
        return false;
    }
    if (size != 0) std::memcpy(m_pBuffer + m_cbBuffer, src, size);
    m_chunks.push_back({m_cbBuffer, underlyingOffset, size});
    m_cbBuffer += size;
    return true;
}

DWORD CLayeredBuffer::ToUnderlyingOffset(DWORD offset) const noexcept {
    for (std::size_t i = 0; i < m_chunks.size(); ++i) {
        const Chunk& chunk = m_chunks[i];
        if (offset < chunk.layeredOffset || offset > chunk.layeredOffset + chunk.size) continue;
        if (i + 1 < m_chunks.size() && offset == m_chunks[i + 1].layeredOffset) return m_chunks[i + 1].underlyingOffset;
        return offset - chunk.layeredOffset + chunk.underlyingOffset;
    }
    return kNoOffset;
}

DWORD CLayeredBuffer::ToLayeredOffset(DWORD offset) const noexcept {
    if (m_chunks.empty()) return 0;
    for (const Chunk& chunk : m_chunks) {
        if (chunk.underlyingOffset > offset) return chunk.layeredOffset;
        if (offset <= chunk.underlyingOffset + chunk.size) return offset - chunk.underlyingOffset + chunk.layeredOffset;
    }
    return m_chunks.back().layeredOffset + m_chunks.back().size;
}

void CLayeredBuffer::Consume(DWORD count) {
    DWORD removed = 0;
    std::size_t gone = 0;
    for (; gone < m_chunks.size(); ++gone) {
        Chunk& chunk = m_chunks[gone];
        if (chunk.underlyingOffset >= count) break;
        if (chunk.underlyingOffset + std::uint64_t{chunk.size} <= count) {
            removed += chunk.size;
            continue;
        }
        const DWORD cut = std::min(count - chunk.underlyingOffset, chunk.size);
        removed += cut;
        chunk.size -= cut;
        // The rest of the chunk starts where the released bytes ended.
        chunk.underlyingOffset += cut;
        break;
    }
    m_chunks.erase(m_chunks.begin(), m_chunks.begin() + static_cast<std::ptrdiff_t>(gone));
    for (Chunk& chunk : m_chunks) {
        chunk.underlyingOffset = chunk.underlyingOffset > count ? chunk.underlyingOffset - count : 0;
        chunk.layeredOffset = chunk.layeredOffset > removed ? chunk.layeredOffset - removed : 0;
    }
    removed = std::min(removed, m_cbBuffer);
    if (removed != 0) std::memmove(m_pBuffer, m_pBuffer + removed, m_cbBuffer - removed);
    m_cbBuffer -= removed;
}

void CLayeredBuffer::ShiftUnderlying(LONG delta) noexcept {
    for (Chunk& chunk : m_chunks) chunk.underlyingOffset = static_cast<DWORD>(static_cast<LONG>(chunk.underlyingOffset) + delta);
}

void CLayeredBuffer::Replace(char* at, DWORD len, const char* src, DWORD srcLen) {
    const auto base = reinterpret_cast<std::uintptr_t>(m_pBuffer);
    const auto where = reinterpret_cast<std::uintptr_t>(at);
    if (m_pBuffer == nullptr || at == nullptr || where < base || where - base >= m_cbBuffer ||
        (where - base) + std::uint64_t{len} > m_cbBuffer) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"Invalid Layered replacement at 0x%08X [%lu bytes] with 0x%08X [%lu bytes]\r\n",
                Low32(at), static_cast<unsigned long>(len), Low32(src), static_cast<unsigned long>(srcLen));
        return;
    }
    if (src == nullptr || (srcLen == 0 && len != 0)) {
        NUV_LOG(ETWLogging::LOG_WARNING, L"Invalid source for Layered replacement at 0x%08X [%lu bytes]\r\n",
                Low32(src), static_cast<unsigned long>(srcLen));
        return;
    }
    // A shorter source repeats from its start up to the range's length.
    std::vector<char> repeated;
    const char* source = src;
    if (srcLen < len) {
        repeated.resize(len);
        for (DWORD i = 0; i < len; ++i) repeated[i] = src[i % srcLen];
        source = repeated.data();
    }
    std::memcpy(at, source, len);

    DWORD position = static_cast<DWORD>(where - base);
    DWORD remaining = len;
    for (const Chunk& chunk : m_chunks) {
        if (remaining == 0) break;
        if (position < chunk.layeredOffset || position > chunk.layeredOffset + chunk.size) continue;
        const DWORD n = std::min(remaining, chunk.layeredOffset + chunk.size - position);
        if (n == 0) continue;
        char* const target = m_parent->GetBase() + (position - chunk.layeredOffset) + chunk.underlyingOffset;
        m_parent->Replace(target, n, source, n);
        source += n;
        position += n;
        remaining -= n;
    }
}
