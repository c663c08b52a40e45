#include "base/ObfuscatedRegKey.h"

#include "base/Digest.h"
#include "base/ScrambleContext.h"
#include "base/ScrambleKeys.h"

#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

namespace Tessal {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kHeaderSize = 32;
constexpr std::size_t kDigestOffset = 16;
constexpr char kMagic[4] = {'Q', 'V', 'R', 'G'};
constexpr std::uint32_t kFormatVersion = 1;
constexpr DWORD kFirstReadSize = 256;
// A value that keeps growing between reads is given up on after this many tries.
constexpr int kReadAttempts = 4;

void PutUInt32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t GetUInt32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

internal::CScrambleContext RegistryContext() {
    return internal::CScrambleContext(internal::kRegistryScrambleKey,
                                      static_cast<int>(sizeof(internal::kRegistryScrambleKey) - 1), 1);
}

// Value names of scrambled values live in the thread's ANSI code page.
LONG NarrowName(LPCWSTR name, std::string& narrow) {
    narrow.clear();
    if (name == nullptr || name[0] == 0) return ERROR_SUCCESS;
    const int needed = ::WideCharToMultiByte(CP_THREAD_ACP, 0, name, -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return static_cast<LONG>(::GetLastError());
    narrow.assign(static_cast<std::size_t>(needed), '\0');
    if (::WideCharToMultiByte(CP_THREAD_ACP, 0, name, -1, &narrow[0], needed, nullptr, nullptr) <= 0) {
        return static_cast<LONG>(::GetLastError());
    }
    narrow.resize(static_cast<std::size_t>(needed) - 1);
    return ERROR_SUCCESS;
}

const char* NameOrNull(const std::string& narrow, LPCWSTR wide) {
    return wide == nullptr ? nullptr : narrow.c_str();
}

// Appends `count` wide characters as UTF-8, then a NUL.
LONG AppendUtf8(const wchar_t* text, std::size_t count, Bytes& out) {
    if (count > 0) {
        const int needed = ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(count), nullptr, 0, nullptr, nullptr);
        if (needed <= 0) return static_cast<LONG>(::GetLastError());
        const std::size_t at = out.size();
        if (at == 0) out.reserve(static_cast<std::size_t>(needed) + 1);  // a text with its NUL: one allocation
        out.resize(at + static_cast<std::size_t>(needed));
        if (::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(count), reinterpret_cast<char*>(&out[at]), needed,
                                  nullptr, nullptr) <= 0) {
            return static_cast<LONG>(::GetLastError());
        }
    }
    out.push_back(0);
    return ERROR_SUCCESS;
}

// The plain bytes stored for a value. Texts are read within the caller's size only: data without a
// terminator is taken up to the size, never beyond it.
LONG PlainData(DWORD type, const void* data, ULONG size, Bytes& plain) {
    plain.clear();
    const auto* text = static_cast<const wchar_t*>(data);
    const std::size_t chars = size / sizeof(wchar_t);
    if (type == REG_SZ) return AppendUtf8(text, ::wcsnlen(text, chars), plain);
    if (type == REG_MULTI_SZ) {
        std::size_t at = 0;
        while (at < chars && text[at] != 0) {
            const std::size_t length = ::wcsnlen(text + at, chars - at);
            const LONG error = AppendUtf8(text + at, length, plain);
            if (error != ERROR_SUCCESS) return error;
            at += length + 1;
        }
        plain.push_back(0);
        return ERROR_SUCCESS;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    plain.assign(bytes, bytes + size);
    return ERROR_SUCCESS;
}

LONG Encode(const Bytes& plain, DWORD type, Bytes& blob) {
    blob.assign(kHeaderSize + plain.size(), 0);
    if (!plain.empty() && !RegistryContext().Scramble(plain.data(), &blob[kHeaderSize], plain.size())) {
        return ERROR_ENCRYPTION_FAILED;
    }
    std::memcpy(&blob[0], kMagic, sizeof(kMagic));
    PutUInt32(&blob[4], kFormatVersion);
    PutUInt32(&blob[8], static_cast<std::uint32_t>(plain.size()));
    PutUInt32(&blob[12], type);
    std::uint8_t digest[CMd5::kDigestSize];
    if (internal::ComputeDigest(blob.data(), blob.size(), digest, sizeof(digest)) != 0) return ERROR_ENCRYPTION_FAILED;
    std::memcpy(&blob[kDigestOffset], digest, sizeof(digest));
    return ERROR_SUCCESS;
}

// The stored blob as the registry holds it, with its registry type.
LONG ReadBlob(HKEY key, const char* name, Bytes& blob, DWORD& registryType) {
    DWORD size = kFirstReadSize;
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        blob.assign(size, 0);
        registryType = REG_NONE;
        const LONG error = ::RegQueryValueExA(key, name, nullptr, &registryType, blob.data(), &size);
        if (error == ERROR_SUCCESS) {
            blob.resize(size);
            return ERROR_SUCCESS;
        }
        if (error != ERROR_MORE_DATA) return error;
    }
    return ERROR_MORE_DATA;
}

// Checks the blob and unscrambles it; 13 for anything plain, foreign or damaged.
LONG Decode(Bytes& blob, DWORD& storedType, Bytes& plain) {
    if (blob.size() < kHeaderSize) return ERROR_INVALID_DATA;
    std::uint8_t expected[CMd5::kDigestSize];
    std::memcpy(expected, &blob[kDigestOffset], sizeof(expected));
    std::memset(&blob[kDigestOffset], 0, sizeof(expected));
    if (internal::VerifyDigest(blob.data(), blob.size(), expected, sizeof(expected)) != 0) return ERROR_INVALID_DATA;
    const std::uint32_t count = GetUInt32(&blob[8]);
    if (blob.size() - kHeaderSize != count || std::memcmp(&blob[0], kMagic, sizeof(kMagic)) != 0) {
        return ERROR_INVALID_DATA;
    }
    storedType = GetUInt32(&blob[12]);
    plain.assign(count, 0);
    if (count > 0 && !RegistryContext().Unscramble(&blob[kHeaderSize], plain.data(), count)) {
        return ERROR_DECRYPTION_FAILED;
    }
    return ERROR_SUCCESS;
}

int Utf8ToWide(const std::uint8_t* utf8, std::size_t length, wchar_t* out, int capacity) {
    if (length == 0) return 0;
    return ::MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(utf8), static_cast<int>(length), out,
                                 capacity);
}

LONG ReturnText(const Bytes& plain, void* data, ULONG* size) {
    const int needed = Utf8ToWide(plain.data(), plain.size(), nullptr, 0);
    if (needed == 0 && !plain.empty()) return static_cast<LONG>(::GetLastError());
    const ULONG capacity = *size / sizeof(wchar_t);
    *size = static_cast<ULONG>(needed) * sizeof(wchar_t);
    if (data == nullptr) return ERROR_SUCCESS;
    if (capacity < static_cast<ULONG>(needed)) return ERROR_MORE_DATA;
    Utf8ToWide(plain.data(), plain.size(), static_cast<wchar_t*>(data), needed);
    return ERROR_SUCCESS;
}

LONG ReturnMultiText(const Bytes& plain, void* data, ULONG* size) {
    // Every string with its NUL, then the closing NUL.
    std::wstring all;
    std::size_t at = 0;
    while (at < plain.size() && plain[at] != 0) {
        const auto* begin = &plain[at];
        const std::size_t length = ::strnlen(reinterpret_cast<const char*>(begin), plain.size() - at);
        const int chars = Utf8ToWide(begin, length, nullptr, 0);
        if (chars <= 0) return static_cast<LONG>(::GetLastError());
        const std::size_t start = all.size();
        all.resize(start + static_cast<std::size_t>(chars));
        Utf8ToWide(begin, length, &all[start], chars);
        all.push_back(L'\0');
        at += length + 1;
    }
    all.push_back(L'\0');

    const ULONG capacity = *size;
    const ULONG needed = static_cast<ULONG>(all.size() * sizeof(wchar_t));
    *size = needed;
    if (data == nullptr) return ERROR_SUCCESS;
    if (capacity < needed) {
        std::memset(data, 0, capacity);
        return ERROR_MORE_DATA;
    }
    std::memcpy(data, all.data(), needed);
    return ERROR_SUCCESS;
}

}  // namespace

LONG CObfuscatedRegKeyImpl::SetValue(LPCWSTR name, DWORD type, const void* data, ULONG size) {
    if (data == nullptr || size == 0) return ERROR_INVALID_PARAMETER;
    std::string narrowName;
    LONG error = NarrowName(name, narrowName);
    if (error != ERROR_SUCCESS) return error;

    Bytes plain, blob;
    try {
        error = PlainData(type, data, size, plain);
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;  // the UTF-8 buffer
    }
    if (error != ERROR_SUCCESS) return error;
    try {
        error = Encode(plain, type, blob);
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;  // the blob
    }
    if (error != ERROR_SUCCESS) return error;
    return ::RegSetValueExA(GetHandle(), NameOrNull(narrowName, name), 0, REG_BINARY, blob.data(),
                            static_cast<DWORD>(blob.size()));
}

LONG CObfuscatedRegKeyImpl::QueryValue(LPCWSTR name, DWORD* type, void* data, ULONG* size) {
    if (size == nullptr && type == nullptr) return ERROR_INVALID_PARAMETER;
    if (type != nullptr) *type = 0;
    std::string narrowName;
    LONG error = NarrowName(name, narrowName);
    if (error != ERROR_SUCCESS) return error;

    try {
        Bytes blob, plain;
        DWORD registryType = REG_NONE;
        error = ReadBlob(GetHandle(), NameOrNull(narrowName, name), blob, registryType);
        if (error != ERROR_SUCCESS) return error;
        // A value that is no blob at all leaves the type 0; a blob that fails its checks reports REG_BINARY.
        if (registryType != REG_BINARY) return ERROR_INVALID_DATA;
        if (type != nullptr) *type = REG_BINARY;
        DWORD storedType = REG_NONE;
        error = Decode(blob, storedType, plain);
        if (error != ERROR_SUCCESS) return error;
        if (type != nullptr) *type = storedType;
        if (size == nullptr) return ERROR_SUCCESS;

        switch (storedType) {
            case REG_SZ: return ReturnText(plain, data, size);
            case REG_MULTI_SZ: return ReturnMultiText(plain, data, size);
            default: {
                const ULONG capacity = *size;
                *size = static_cast<ULONG>(plain.size());
                if (data == nullptr) return ERROR_SUCCESS;
                if (plain.size() > capacity) return ERROR_MORE_DATA;
                if (!plain.empty()) std::memcpy(data, plain.data(), plain.size());
                return ERROR_SUCCESS;
            }
        }
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    }
}

CObfuscatedRegKey::CObfuscatedRegKey() : CRegKey(std::make_shared<CObfuscatedRegKeyImpl>()) {}

}  // namespace Tessal
