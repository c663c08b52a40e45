#pragma once
// The plug-in's own registry layer: one value under a key given by path, on the narrow registry
// functions (paths, names and texts in the thread's ANSI code page), with string data handed to
// and from the caller as wide text. A read may treat the value as sealed: a REG_BINARY blob that
// carries the value scrambled, with its own type, its length and an MD5 digest.
// Every function returns a Win32 code and throws nothing; 122 is always reported as 234.
//
// Sealed blob: "QVRG", version 1, N, the value's type (little-endian 32-bit each), the MD5 of the
// whole blob taken while its own 16 bytes are zero, then the N plain bytes scrambled. Text types
// are stored as ANSI text with their NULs.

#include "base/ScrambleContext.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>

// The key texts of sealed values. The digest does not depend on the key: a value sealed under one
// text reads back as garbage under any other, so these never change.
inline constexpr char kRegSealKey[] = "{7C2A9E41-3B6D-4f08-A5E7-19D4C6B08F3A}";
inline constexpr char kRegSealDefaultKey[] = "{2D8B5F17-C94A-4E36-8B0D-5A71E3C9D246}";

// Read flags.
enum : DWORD {
    SEALED_REG_SEALED = 0x01,  // the value is a sealed blob
    SEALED_REG_VIEW32 = 0x08,  // open in the 32-bit registry view (wins over SEALED_REG_VIEW64)
    SEALED_REG_VIEW64 = 0x10,  // open in the 64-bit registry view
};

// Reads `valueName` (null or empty: the default value) of `root\subKey` (null or empty: `root`).
// Text types (REG_SZ, REG_MULTI_SZ) come back as wide text, `size` in bytes; other types as
// stored. A null `data` with a `size` asks for the size only. With SEALED_REG_SEALED, anything
// that is not an intact blob under kRegSealKey gives 13 (ERROR_INVALID_DATA).
LONG SealedRegReadValue(HKEY root, const wchar_t* subKey, const wchar_t* valueName, DWORD* type, void* data,
                        DWORD* size, DWORD flags);

// Writes a plain value under HKLM\Software\Oberix\NUV\TYVO, creating the key when it is missing.
LONG SealedRegWriteValue(const wchar_t* valueName, DWORD type, const void* data, DWORD size);

// Writes a sealed value under `root\subKey`, creating the key when it is missing (the settings
// side of the layer; the plug-in itself only reads sealed values).
LONG SealedRegWriteSealedValue(HKEY root, const wchar_t* subKey, const wchar_t* valueName, DWORD type,
                               const void* data, DWORD size);

// The scrambler of sealed values. A null key or a length of 0 or less selects kRegSealDefaultKey.
// One cipher serves one value: each value's keystream starts from the beginning.
class CRegSealCipher {
public:
    explicit CRegSealCipher(const char* key = nullptr, int keyLength = 0, int passes = 1);
    CRegSealCipher(const CRegSealCipher&) = delete;
    CRegSealCipher& operator=(const CRegSealCipher&) = delete;

    bool Encrypt(const std::uint8_t* input, std::uint8_t* output, std::size_t length) noexcept;
    bool Decrypt(const std::uint8_t* input, std::uint8_t* output, std::size_t length) noexcept;

private:
    Tessal::internal::CScrambleContext m_context;
};
