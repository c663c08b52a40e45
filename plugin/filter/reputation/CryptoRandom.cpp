#include "plugin/filter/reputation/CryptoRandom.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <new>

namespace QvCryptoLib {
namespace {

std::atomic<LogSink> g_sink{nullptr};

constexpr const char* kSourceFile = "win_random";

struct StatusRow {
    std::uint32_t code;
    const char* name;
    std::uint32_t status;
};

constexpr StatusRow kStatusRows[] = {
    {kSuccess, "STATUS_SUCCESS", 0},
    {kNotSupported, "STATUS_NOT_SUPPORTED", 0xC00000BB},
    {kUnsuccessful, "STATUS_UNSUCCESSFUL", 0xC0000001},
    {kHmacNotSupported, "STATUS_HMAC_NOT_SUPPORTED", 0xC000A001},
    {kBufferTooSmall, "STATUS_BUFFER_TOO_SMALL", 0xC0000023},
    {kNotImplemented, "STATUS_NOT_IMPLEMENTED", 0xC0000002},
    {kInvalidBufferSize, "STATUS_INVALID_BUFFER_SIZE", 0xC0000206},
    {kAuthTagMismatch, "STATUS_AUTH_TAG_MISMATCH", 0xC000A002},
    {kDataError, "STATUS_DATA_ERROR", 0xC000003E},
    {kInvalidHandle, "STATUS_INVALID_HANDLE", 0xC0000008},
    {kInvalidParameter, "STATUS_INVALID_PARAMETER", 0xC000000D},
    {kNoMemory, "STATUS_NO_MEMORY", 0xC0000017},
    {kNotFound, "STATUS_NOT_FOUND", 0xC0000225},
    {kInvalidState, "STATUS_INVALID_STATE", 0},
};

}  // namespace

const char* StatusName(std::uint32_t code) noexcept {
    for (const StatusRow& row : kStatusRows) {
        if (row.code == code) return row.name;
    }
    return "STATUS_UNKNOWN";
}

std::uint32_t CWinError::GetLibraryCode() const noexcept {
    const auto status = static_cast<std::uint32_t>(m_status);
    if (status == 0) return kSuccess;
    for (const StatusRow& row : kStatusRows) {
        if (row.status == status && row.code != kSuccess) return row.code;
    }
    return kInvalidState;
}

void SetLogSink(LogSink sink) noexcept { g_sink.store(sink); }

void ReportError(int level, const char* format, ...) {
    const LogSink sink = g_sink.load();
    if (sink == nullptr) return;
    va_list arguments;
    va_start(arguments, format);
    va_list counting;
    va_copy(counting, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, counting);
    va_end(counting);
    std::unique_ptr<char[]> text(length >= 0 ? new (std::nothrow) char[static_cast<std::size_t>(length) + 1] : nullptr);
    if (!text) {
        va_end(arguments);
        sink(2, "General memory-allocation failure in QvCrypto logger.");
        return;
    }
    std::vsnprintf(text.get(), static_cast<std::size_t>(length) + 1, format, arguments);
    va_end(arguments);
    sink(level, text.get());
}

CQvCryptoRandomWin::~CQvCryptoRandomWin() { Close(); }

void CQvCryptoRandomWin::Close() noexcept {
    if (m_provider != nullptr) ::BCryptCloseAlgorithmProvider(m_provider, 0);
    m_provider = nullptr;
}

std::uint32_t CQvCryptoRandomWin::Initialize() {
    if (m_provider != nullptr) return kSuccess;
    BCRYPT_ALG_HANDLE provider = nullptr;
    const std::uint32_t code = CWinError(::BCryptOpenAlgorithmProvider(&provider, BCRYPT_RNG_ALGORITHM, nullptr, 0)).GetLibraryCode();
    if (code != kSuccess) {
        ReportError(2, "[%s:(%d)][%s] %s: Error trying to Initialize BCryptOpenAlgorithmProvider", kSourceFile, __LINE__,
                    "QvCryptoLib::CQvCryptoRandomWin::Initialize", StatusName(code));
        return code;
    }
    m_provider = provider;
    return kSuccess;
}

std::uint32_t CQvCryptoRandomWin::GetRandomBytes(std::uint8_t* buffer) {
    constexpr const char* kFunction = "QvCryptoLib::CQvCryptoRandomWin::GetRandomBytes";
    if (buffer == nullptr) {
        ReportError(2, "[%s:(%d)][%s] %s: Wrong input params for GetRandomBytes()", kSourceFile, __LINE__, kFunction,
                    StatusName(kInvalidParameter));
        return kInvalidParameter;
    }
    std::uint32_t code = Initialize();
    if (code != kSuccess) {
        ReportError(2, "[%s:(%d)][%s] %s: Error trying to Initialize default CQvCryptoRandomWin", kSourceFile, __LINE__,
                    kFunction, StatusName(code));
        return code;
    }
    code = CWinError(::BCryptGenRandom(m_provider, buffer, kRandomBytes, 0)).GetLibraryCode();
    if (code != kSuccess) {
        ReportError(2, "[%s:(%d)][%s] %s: Error trying to BCryptGenRandom", kSourceFile, __LINE__, kFunction,
                    StatusName(code));
    }
    return code;
}

}  // namespace QvCryptoLib
