#pragma once
// The in-house crypto library's random source over CNG ("RNG"), its status wrapper, which maps
// an NTSTATUS to the library's codes, and its error reporter (silent unless a sink is set).

#include <windows.h>
#include <bcrypt.h>

#include <cstdint>

namespace QvCryptoLib {

enum LibraryCode : std::uint32_t {
    kSuccess = 0,
    kNotSupported = 0x80000001,
    kUnsuccessful = 0x80000002,
    kHmacNotSupported = 0x80000003,
    kBufferTooSmall = 0x80000004,
    kNotImplemented = 0x80000005,
    kInvalidBufferSize = 0x80000006,
    kAuthTagMismatch = 0x80000007,
    kDataError = 0x80000008,
    kInvalidHandle = 0x80000009,
    kInvalidParameter = 0x8000000A,
    kNoMemory = 0x8000000B,
    kNotFound = 0x8000000C,
    kInvalidState = 0x8000000D,
};

// "STATUS_SUCCESS", ...; "STATUS_UNKNOWN" for a code outside the table.
const char* StatusName(std::uint32_t code) noexcept;

class CErrorBase {
public:
    virtual ~CErrorBase() = default;
    virtual std::uint32_t GetLibraryCode() const noexcept = 0;
};

class CWinError : public CErrorBase {
public:
    explicit CWinError(NTSTATUS status) noexcept : m_status(status) {}
    std::uint32_t GetLibraryCode() const noexcept override;
    NTSTATUS Status() const noexcept { return m_status; }

private:
    NTSTATUS m_status;
};

// The library's reports go to the sink when one is set (the plug-in sets none).
using LogSink = void (*)(int level, const char* text);
void SetLogSink(LogSink sink) noexcept;
void ReportError(int level, const char* format, ...);

class CQvCryptoRandomWin {
public:
    static constexpr ULONG kRandomBytes = 8;

    CQvCryptoRandomWin() = default;
    ~CQvCryptoRandomWin();
    CQvCryptoRandomWin(const CQvCryptoRandomWin&) = delete;
    CQvCryptoRandomWin& operator=(const CQvCryptoRandomWin&) = delete;

    std::uint32_t Initialize();
    // Fills exactly 8 bytes.
    std::uint32_t GetRandomBytes(std::uint8_t* buffer);
    void Close() noexcept;

private:
    BCRYPT_ALG_HANDLE m_provider = nullptr;
};

}  // namespace QvCryptoLib
