#pragma once
// A registry key whose values are stored scrambled: REG_BINARY blobs with a "QVRG" header, an MD5
// digest and the scrambled data, under names in the thread's ANSI code page. Typed operations are
// those of CRegKey; only the raw value access differs.

#include "base/RegKey.h"

namespace Tessal {

class CObfuscatedRegKeyImpl : public internal::CRegKeyImpl {
public:
    LONG QueryValue(LPCWSTR name, DWORD* type, void* data, ULONG* size) override;
    LONG SetValue(LPCWSTR name, DWORD type, const void* data, ULONG size) override;
};

class CObfuscatedRegKey : public CRegKey {
public:
    CObfuscatedRegKey();
};

}  // namespace Tessal
