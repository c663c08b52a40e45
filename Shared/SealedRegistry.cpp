#include "Shared/SealedRegistry.h"
#include "Shared/ProductKey.h"

#include "base/Digest.h"
#include "base/UniqueHandle.h"

#include <cstring>
#include <cwchar>
#include <new>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kHeaderSize = 32;
constexpr std::size_t kDigestOffset = 16;
constexpr std::size_t kDigestSize = 16;
constexpr char kMagic[4] = {'Q', 'V', 'R', 'G'};
constexpr std::uint32_t kFormatVersion = 1;
constexpr DWORD kFirstBlobRead = 500;
constexpr char kStatisticsKey[] = NUV_PRODUCT_KEY "\\TYVO";

LONG Reported(LONG error) { return error == ERROR_INSUFFICIENT_BUFFER ? ERROR_MORE_DATA : error; }

bool IsText(DWORD type) { return type == REG_SZ || type == REG_MULTI_SZ; }

void PutUInt32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t GetUInt32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

// A path or value name in the thread's ANSI code page; null or empty stays null (the root key,
// the default value).
class CNarrowName {
public:
    LONG Convert(const wchar_t* wide) {
        m_isNull = wide == nullptr || wide[0] == L'\0';
        if (m_isNull) return ERROR_SUCCESS;
        const int needed = ::WideCharToMultiByte(CP_THREAD_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr);
        if (needed <= 0) return static_cast<LONG>(::GetLastError());
        m_text.assign(static_cast<std::size_t>(needed), '\0');
        if (::WideCharToMultiByte(CP_THREAD_ACP, 0, wide, -1, &m_text[0], needed, nullptr, nullptr) <= 0) {
            return static_cast<LONG>(::GetLastError());
        }
        return ERROR_SUCCESS;
    }
    const char* Get() const { return m_isNull ? nullptr : m_text.c_str(); }

private:
    std::string m_text;
    bool m_isNull = true;
};

// The key of one call; the state is the result of opening, ERROR_INVALID_HANDLE while not open.
class CSealedRegKey {
public:
    ~CSealedRegKey() { Close(); }

    LONG Open(HKEY root, const char* subKey, REGSAM access) {
        Close();
        m_state = ::RegOpenKeyExA(root, subKey, 0, access, m_key.Put());
        if (m_state != ERROR_SUCCESS) Forget();
        return m_state;
    }
    LONG Create(HKEY root, const char* subKey, REGSAM access) {
        Close();
        DWORD disposition = 0;
        m_state = ::RegCreateKeyExA(root, subKey, 0, nullptr, 0, access, nullptr, m_key.Put(), &disposition);
        if (m_state != ERROR_SUCCESS) Forget();
        return m_state;
    }
    void Close() {
        if (m_state != ERROR_INVALID_HANDLE) m_key.Reset();
        m_state = ERROR_INVALID_HANDLE;
    }
    HKEY Get() const { return m_key.Get(); }

private:
    // A failed open may leave anything in the out handle: it is not ours to close.
    void Forget() { (void)m_key.Take(); }

    Tessal::UniqueHKey m_key;
    LONG m_state = ERROR_INVALID_HANDLE;
};

// Wide text of `chars` characters (no NUL among them) appended as ANSI text with a NUL.
LONG AppendAnsi(const wchar_t* text, std::size_t chars, std::string& out) {
    if (chars > 0) {
        const int needed =
            ::WideCharToMultiByte(CP_THREAD_ACP, 0, text, static_cast<int>(chars), nullptr, 0, nullptr, nullptr);
        if (needed <= 0) return static_cast<LONG>(::GetLastError());
        const std::size_t at = out.size();
        out.resize(at + static_cast<std::size_t>(needed));
        if (::WideCharToMultiByte(CP_THREAD_ACP, 0, text, static_cast<int>(chars), &out[at], needed, nullptr,
                                  nullptr) <= 0) {
            return static_cast<LONG>(::GetLastError());
        }
    }
    out.push_back('\0');
    return ERROR_SUCCESS;
}

// The caller's wide text as ANSI bytes: REG_SZ with its NUL, REG_MULTI_SZ every string with its
// NUL and a closing NUL. Only the caller's `size` bytes are read: text without a terminator ends
// there.
LONG AnsiText(DWORD type, const void* data, DWORD size, std::string& out) {
    out.clear();
    const auto* text = static_cast<const wchar_t*>(data);
    const std::size_t chars = size / sizeof(wchar_t);
    if (type == REG_SZ) return AppendAnsi(text, ::wcsnlen(text, chars), out);
    std::size_t at = 0;
    while (at < chars && text[at] != L'\0') {
        const std::size_t length = ::wcsnlen(text + at, chars - at);
        const LONG error = AppendAnsi(text + at, length, out);
        if (error != ERROR_SUCCESS) return error;
        at += length + 1;
    }
    out.push_back('\0');
    return ERROR_SUCCESS;
}

int AnsiToWide(const char* text, std::size_t length, wchar_t* out, int capacity) {
    if (length == 0) return 0;
    return ::MultiByteToWideChar(CP_THREAD_ACP, 0, text, static_cast<int>(length), out, capacity);
}

// ANSI text as the registry or the blob held it into the caller's wide buffer. Strings end at
// their NUL or at the data's end: a terminator is not promised. A null `data` asks for the size.
LONG ConvertText(DWORD type, const Bytes& narrow, void* data, DWORD* size) {
    if (!IsText(type)) return ERROR_SUCCESS;
    if (size == nullptr) return ERROR_INVALID_PARAMETER;
    const char* text = narrow.empty() ? "" : reinterpret_cast<const char*>(narrow.data());
    const DWORD capacity = *size;

    // Every string with its NUL; REG_MULTI_SZ also the closing NUL.
    std::wstring wide;
    std::size_t at = 0;
    do {
        const std::size_t length = ::strnlen(text + at, narrow.size() - at);
        if (type == REG_MULTI_SZ && length == 0) break;
        const int chars = AnsiToWide(text + at, length, nullptr, 0);
        if (chars <= 0 && length > 0) return static_cast<LONG>(::GetLastError());
        const std::size_t start = wide.size();
        wide.resize(start + static_cast<std::size_t>(chars));
        if (chars > 0) AnsiToWide(text + at, length, &wide[start], chars);
        wide.push_back(L'\0');
        at += length + 1;
    } while (type == REG_MULTI_SZ && at < narrow.size());
    if (type == REG_MULTI_SZ) wide.push_back(L'\0');

    const std::size_t needed = wide.size() * sizeof(wchar_t);
    *size = static_cast<DWORD>(needed);
    if (data == nullptr) return ERROR_SUCCESS;
    if (capacity < needed) {
        // A multi-string cut anywhere would read as a shorter list: the caller gets none.
        if (type == REG_MULTI_SZ) std::memset(data, 0, capacity);
        return ERROR_MORE_DATA;
    }
    std::memcpy(data, wide.data(), needed);
    return ERROR_SUCCESS;
}

LONG ReadPlain(HKEY key, const char* name, DWORD* type, void* data, DWORD* size) {
    const DWORD capacity = size != nullptr ? *size : 0;
    DWORD valueType = REG_NONE;
    LONG error = ::RegQueryValueExA(key, name, nullptr, &valueType, static_cast<BYTE*>(data), size);
    if (type != nullptr) *type = valueType;
    if (!IsText(valueType) || size == nullptr || *size == 0 ||
        (error != ERROR_SUCCESS && error != ERROR_MORE_DATA)) {
        return error;
    }

    // The first read's narrow bytes are no answer for a caller who wants wide text.
    DWORD bytes = *size;
    *size = capacity;
    if (data != nullptr) std::memset(data, 0, capacity);
    Bytes narrow(bytes);
    error = ::RegQueryValueExA(key, name, nullptr, &valueType, narrow.data(), &bytes);
    if (type != nullptr) *type = valueType;
    if (error != ERROR_SUCCESS) return error;
    narrow.resize(bytes);
    return ConvertText(valueType, narrow, data, size);
}

// The value's bytes when it is REG_BINARY.
LONG ReadBlob(HKEY key, const char* name, Bytes& blob) {
    DWORD registryType = REG_NONE;
    DWORD bytes = kFirstBlobRead;
    blob.assign(bytes, 0);
    LONG error = ::RegQueryValueExA(key, name, nullptr, &registryType, blob.data(), &bytes);
    if (error == ERROR_MORE_DATA) {
        blob.assign(bytes, 0);
        error = ::RegQueryValueExA(key, name, nullptr, &registryType, blob.data(), &bytes);
    }
    if (error != ERROR_SUCCESS) return error;
    if (registryType != REG_BINARY) return ERROR_INVALID_DATA;
    blob.resize(bytes);
    return ERROR_SUCCESS;
}

// Checks the blob and unscrambles its data; 13 for anything plain, foreign or damaged.
LONG Unseal(Bytes& blob, DWORD& storedType, Bytes& plain) {
    if (blob.size() < kHeaderSize) return ERROR_INVALID_DATA;
    std::uint8_t expected[kDigestSize];
    std::memcpy(expected, &blob[kDigestOffset], kDigestSize);
    std::memset(&blob[kDigestOffset], 0, kDigestSize);
    if (Tessal::internal::VerifyDigest(blob.data(), blob.size(), expected, kDigestSize) != 0) {
        return ERROR_INVALID_DATA;
    }
    const std::uint32_t count = GetUInt32(&blob[8]);
    if (blob.size() - kHeaderSize != count || std::memcmp(&blob[0], kMagic, sizeof(kMagic)) != 0) {
        return ERROR_INVALID_DATA;
    }
    storedType = GetUInt32(&blob[12]);
    plain.assign(count, 0);
    CRegSealCipher cipher(kRegSealKey, static_cast<int>(sizeof(kRegSealKey) - 1), 1);
    if (count > 0 && !cipher.Decrypt(&blob[kHeaderSize], plain.data(), count)) return ERROR_DECRYPTION_FAILED;
    return ERROR_SUCCESS;
}

LONG ReadSealed(HKEY key, const char* name, DWORD* type, void* data, DWORD* size) {
    if (size == nullptr && type == nullptr) return ERROR_INVALID_PARAMETER;
    Bytes blob, plain;
    DWORD storedType = REG_NONE;
    LONG error = ReadBlob(key, name, blob);
    if (error == ERROR_SUCCESS) error = Unseal(blob, storedType, plain);
    if (error != ERROR_SUCCESS) return error;
    if (type != nullptr) *type = storedType;
    if (size == nullptr) return ERROR_SUCCESS;

    if (IsText(storedType)) return ConvertText(storedType, plain, data, size);
    const DWORD capacity = *size;
    *size = static_cast<DWORD>(plain.size());
    if (data == nullptr) return ERROR_SUCCESS;
    if (plain.size() > capacity) return ERROR_MORE_DATA;
    if (!plain.empty()) std::memcpy(data, plain.data(), plain.size());
    return ERROR_SUCCESS;
}

// Header and scrambled data of a sealed value; 122 when `capacity` is below N + 32.
LONG BuildBlob(DWORD type, const std::uint8_t* plain, std::size_t count, std::uint8_t* blob, std::size_t capacity) {
    if (capacity < count + kHeaderSize) return ERROR_INSUFFICIENT_BUFFER;
    std::memset(blob, 0, kHeaderSize);
    CRegSealCipher cipher(kRegSealKey, static_cast<int>(sizeof(kRegSealKey) - 1), 1);
    if (count > 0 && !cipher.Encrypt(plain, blob + kHeaderSize, count)) return ERROR_ENCRYPTION_FAILED;
    std::memcpy(blob, kMagic, sizeof(kMagic));
    PutUInt32(blob + 4, kFormatVersion);
    PutUInt32(blob + 8, static_cast<std::uint32_t>(count));
    PutUInt32(blob + 12, type);
    std::uint8_t digest[kDigestSize];
    if (Tessal::internal::ComputeDigest(blob, count + kHeaderSize, digest, kDigestSize) != 0) {
        return ERROR_ENCRYPTION_FAILED;
    }
    std::memcpy(blob + kDigestOffset, digest, kDigestSize);
    return ERROR_SUCCESS;
}

REGSAM ReadAccess(DWORD flags) {
    if (flags & SEALED_REG_VIEW32) return KEY_READ | KEY_WOW64_32KEY;
    if (flags & SEALED_REG_VIEW64) return KEY_READ | KEY_WOW64_64KEY;
    return KEY_READ;
}

}  // namespace

CRegSealCipher::CRegSealCipher(const char* key, int keyLength, int passes)
    : m_context(key != nullptr && keyLength > 0 ? key : kRegSealDefaultKey,
                key != nullptr && keyLength > 0 ? keyLength : static_cast<int>(sizeof(kRegSealDefaultKey) - 1),
                passes) {}

bool CRegSealCipher::Encrypt(const std::uint8_t* input, std::uint8_t* output, std::size_t length) noexcept {
    return m_context.Scramble(input, output, length);
}

bool CRegSealCipher::Decrypt(const std::uint8_t* input, std::uint8_t* output, std::size_t length) noexcept {
    return m_context.Unscramble(input, output, length);
}

LONG SealedRegReadValue(HKEY root, const wchar_t* subKey, const wchar_t* valueName, DWORD* type, void* data,
                        DWORD* size, DWORD flags) {
    try {
        CNarrowName path, name;
        LONG error = path.Convert(subKey);
        if (error == ERROR_SUCCESS) error = name.Convert(valueName);
        if (error != ERROR_SUCCESS) return Reported(error);

        CSealedRegKey key;
        error = key.Open(root, path.Get(), ReadAccess(flags));
        if (error != ERROR_SUCCESS) return Reported(error);
        error = (flags & SEALED_REG_SEALED) ? ReadSealed(key.Get(), name.Get(), type, data, size)
                                            : ReadPlain(key.Get(), name.Get(), type, data, size);
        return Reported(error);
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    }
}

LONG SealedRegWriteValue(const wchar_t* valueName, DWORD type, const void* data, DWORD size) {
    try {
        CNarrowName name;
        const LONG nameError = name.Convert(valueName);
        if (nameError != ERROR_SUCCESS) return Reported(nameError);

        CSealedRegKey key;
        LONG error = key.Create(HKEY_LOCAL_MACHINE, kStatisticsKey, KEY_ALL_ACCESS);
        if (error != ERROR_SUCCESS) return Reported(error);
        if (IsText(type) && data != nullptr && size != 0) {
            std::string text;
            error = AnsiText(type, data, size, text);
            if (error == ERROR_SUCCESS) {
                error = ::RegSetValueExA(key.Get(), name.Get(), 0, type, reinterpret_cast<const BYTE*>(text.data()),
                                         static_cast<DWORD>(text.size()));
            }
        } else {
            error = ::RegSetValueExA(key.Get(), name.Get(), 0, type, static_cast<const BYTE*>(data), size);
        }
        return Reported(error);
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    }
}

LONG SealedRegWriteSealedValue(HKEY root, const wchar_t* subKey, const wchar_t* valueName, DWORD type,
                               const void* data, DWORD size) {
    try {
        if (data == nullptr && size != 0) return ERROR_INVALID_PARAMETER;
        CNarrowName path, name;
        LONG error = path.Convert(subKey);
        if (error == ERROR_SUCCESS) error = name.Convert(valueName);
        if (error != ERROR_SUCCESS) return Reported(error);

        std::string plain;
        if (IsText(type) && data != nullptr) {
            error = AnsiText(type, data, size, plain);
            if (error != ERROR_SUCCESS) return Reported(error);
        } else if (data != nullptr) {
            plain.assign(static_cast<const char*>(data), size);
        }
        Bytes blob(plain.size() + kHeaderSize);
        error = BuildBlob(type, reinterpret_cast<const std::uint8_t*>(plain.data()), plain.size(), blob.data(),
                          blob.size());
        if (error != ERROR_SUCCESS) return Reported(error);

        CSealedRegKey key;
        error = key.Create(root, path.Get(), KEY_SET_VALUE);
        if (error != ERROR_SUCCESS) return Reported(error);
        return Reported(::RegSetValueExA(key.Get(), name.Get(), 0, REG_BINARY, blob.data(),
                                         static_cast<DWORD>(blob.size())));
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    }
}
