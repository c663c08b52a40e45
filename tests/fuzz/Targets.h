#pragma once
// The readers of stored data that anyone with write access to the registry or ProgramData can
// change, each fed through its public entry point.

#include "FuzzInput.h"

#include <string>
#include <vector>

namespace NuvFuzz {

// One input as stored: the bytes are saved to a file when the input crashes or hangs.
struct Input {
    Bytes bytes;
    std::vector<std::wstring> texts;  // registry names, file texts, URLs... as the target uses them
};

// Where targets keep their data: a registry key below HKCU and a folder, both of this process.
struct Scratch {
    std::wstring keyPath;  // below HKEY_CURRENT_USER
    std::wstring folder;
};

struct Target {
    const char* name;
    const char* what;
    void (*generate)(Random& random, Input& input);
    // Stores the input where the reader looks (outside the guarded heap).
    void (*store)(const Scratch& scratch, const Input& input);
    // Reads it back through the reader; the outcome is counted for the figures.
    int (*read)(const Scratch& scratch, const Input& input);
};

// An outcome that breaks what the reader promises: reported like a crash.
inline constexpr int kFinding = -999;

const std::vector<Target>& AllTargets();

// The "QVRG" blob of scrambled registry and sealed values: magic, version, length, type, MD5 of
// the whole blob with the digest field zero, payload.
Bytes CraftBlob(Random& random);

}  // namespace NuvFuzz
