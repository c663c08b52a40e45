#pragma once
// The key texts of the value scrambler. The digests cover the scrambled bytes, so a value stored
// under one text reads back as other bytes (not as damaged) under any other: these never change
// once values exist in the field.

namespace Tessal::internal {

// Scrambled registry values (CObfuscatedRegKey).
inline constexpr char kRegistryScrambleKey[] = "Tessal.Registry/Nuv:7f3c91e2-values";
// Scrambled ini entries (CObfuscatedIniReader).
inline constexpr char kIniScrambleKey[] = "Tessal.Ini/Nuv:b04d5a68-entries";
// A scramble context built without a key.
inline constexpr char kDefaultScrambleKey[] = "Tessal.Default/Nuv:2e81c7d9";

}  // namespace Tessal::internal
