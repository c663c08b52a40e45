#pragma once
// What the scan targets share: a silent process logger with the scan-algorithm table, and the
// packet cuts of a stream, kept as text in the input so a saved input shows them.

#include "FuzzInput.h"

#include <cstddef>
#include <string>
#include <vector>

namespace NuvFuzz {

// Once per process: logging to nowhere, the product's scan algorithms.
void PrepareScans();

// Cut offsets for a stream of `size` bytes: mostly a few random ones, now and then every byte.
std::wstring RandomCuts(Random& random, std::size_t size);
std::vector<std::size_t> ParseCuts(const std::wstring& text);

}  // namespace NuvFuzz
