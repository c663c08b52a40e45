#pragma once
// A de-chunked view of a response body sent with chunked transfer coding: the chunk contents back
// to back, without the framing, with the offsets that map each chunk to where its bytes lie in the
// underlying scan buffer. Overwrites made in the view go to the underlying buffer too. The view is
// not 0-terminated and holds at most 3 MiB.

#include "plugin/filter/ScanTypes.h"

#include <windows.h>

#include <vector>

class CLayeredBuffer : public IReplacementSink {
public:
    static constexpr DWORD kMaxSize = 3145728;  // 3 MiB
    static constexpr DWORD kNoOffset = 0xFFFFFFFF;

    struct Chunk {
        DWORD layeredOffset;     // where the chunk's bytes start in the view
        DWORD underlyingOffset;  // where they start in the underlying buffer's data
        DWORD size;
    };

    // `parent`: the underlying scan buffer's edit interface; not owned.
    explicit CLayeredBuffer(IReplacementSink* parent);
    virtual ~CLayeredBuffer();
    CLayeredBuffer(const CLayeredBuffer&) = delete;
    CLayeredBuffer& operator=(const CLayeredBuffer&) = delete;

    // IReplacementSink: an overwrite of the view, written through to the chunks' underlying bytes.
    // The view does not change length: Insert does nothing.
    char* GetBase() override { return m_pBuffer; }
    void Replace(char* at, DWORD len, const char* src, DWORD srcLen) override;
    void Insert(char*, DWORD, const char*, DWORD) override {}

    // Appends a chunk's `size` bytes at `src`, which lie at `underlyingOffset` in the underlying
    // buffer. False (nothing added) when the view would exceed its cap or cannot grow.
    bool AddChunk(DWORD underlyingOffset, const char* src, DWORD size);
    // View offset -> underlying offset; kNoOffset when no chunk holds it. A chunk boundary maps
    // to the start of the next chunk's bytes, past the framing.
    DWORD ToUnderlyingOffset(DWORD offset) const noexcept;
    // Underlying offset -> view offset; a position inside framing maps to the next chunk's start,
    // one past the last chunk to the end of the view.
    DWORD ToLayeredOffset(DWORD offset) const noexcept;
    // The underlying buffer released its first `count` bytes: the chunks (or parts) below them
    // leave the view, and every offset moves down.
    void Consume(DWORD count);
    // The underlying data moved by `delta` bytes (an edit before the chunks changed its length).
    void ShiftUnderlying(LONG delta) noexcept;

    char* GetData() const noexcept { return m_pBuffer; }
    char* GetLast() const noexcept { return m_pBuffer + m_cbBuffer - 1; }
    DWORD GetLength() const noexcept { return m_cbBuffer; }
    const std::vector<Chunk>& Chunks() const noexcept { return m_chunks; }

private:
    bool growBuffer(DWORD need);

    std::vector<Chunk> m_chunks;
    char* m_pBuffer = nullptr;  // CoTaskMemRealloc'ed, owned
    DWORD m_cbBuffer = 0;
    DWORD m_capacity = 0;
    IReplacementSink* m_parent;
};
