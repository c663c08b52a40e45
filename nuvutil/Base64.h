#pragma once
// Base64 (RFC 4648 section 4: standard alphabet, '=' padding, no line breaks) into a buffer the
// caller provides; nothing is allocated.

#include <cstddef>
#include <cstdint>

// Buffer size for n input bytes, terminator included: 4 * ceil(n / 3) + 1. UINT64_MAX when that
// does not fit 64 bits (no buffer is that large).
std::uint64_t Base64EncodedLength(std::uint64_t n) noexcept;

// Writes the text and its terminator into `out`; returns the characters written plus 1, or 0
// (writing nothing) when data or out is null or outSize is below Base64EncodedLength(n).
std::uint64_t Base64Encode(const void* data, std::size_t n, char* out, std::size_t outSize) noexcept;
