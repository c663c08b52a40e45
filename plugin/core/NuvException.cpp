#include "plugin/core/NuvException.h"

#include "base/Format.h"
#include "logging/Logging.h"

#include <cstdarg>
#include <cstring>
#include <cwchar>
#include <new>
#include <utility>

namespace {

constexpr const wchar_t* kUnknownW = L"<unknown exception>";
constexpr const char* kUnknownA = "<unknown exception>";
constexpr std::size_t kFallbackChars = 256;
constexpr int kMaxCopiedChars = 1024;

const wchar_t* TemplateOf(int code) noexcept {
    switch (-static_cast<long long>(code)) {
    case 1000:
        return L"Exception 0x%08X at 0x%08X";
    case 1001:
        return L"The service is not properly initialized";
    default:
        return nullptr;
    }
}

wchar_t* CopyOf(const wchar_t* text, std::size_t capacity) noexcept {
    wchar_t* const copy = new (std::nothrow) wchar_t[capacity];
    if (copy != nullptr) {
        std::wcsncpy(copy, text, capacity - 1);
        copy[capacity - 1] = L'\0';
    }
    return copy;
}

}  // namespace

CNuvException::CNuvException(int code, ...) noexcept : m_code(code) {
    const wchar_t* const messageTemplate = TemplateOf(code);
    if (messageTemplate != nullptr) {
        va_list args;
        va_start(args, code);
        va_list countArgs;
        va_copy(countArgs, args);
        const int length = Tessal::FormattedLengthV(messageTemplate, countArgs);
        va_end(countArgs);
        const std::size_t capacity = (length >= 0 ? static_cast<std::size_t>(length) : std::wcslen(messageTemplate)) + 1;
        m_message = new (std::nothrow) wchar_t[capacity];
        if (m_message != nullptr && (length < 0 || Tessal::FormatToV(m_message, capacity, messageTemplate, args) < 0)) {
            std::wcsncpy(m_message, messageTemplate, capacity - 1);
            m_message[capacity - 1] = L'\0';
        }
        va_end(args);
    } else {
        wchar_t text[kFallbackChars + 1] = {};
        Tessal::FormatTo(text, kFallbackChars, L"Exception %d", code);
        m_message = CopyOf(text, kFallbackChars + 1);
    }
    NUV_LOG(ETWLogging::LOG_ERROR, L"CNuvException( %d, %s )\r\n", m_code, Message());
}

CNuvException::CNuvException(const CNuvException& other) noexcept : std::exception(other), m_code(other.m_code) {
    const char* const text = other.what();
    const int chars = ::MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, nullptr, 0);  // with the terminator
    if (chars <= 0 || chars - 1 >= kMaxCopiedChars) return;
    m_message = new (std::nothrow) wchar_t[chars];
    if (m_message != nullptr && ::MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, m_message, chars) != chars) {
        delete[] m_message;
        m_message = nullptr;
    }
}

CNuvException& CNuvException::operator=(const CNuvException& other) noexcept {
    if (this != &other) {
        CNuvException copy(other);
        Swap(copy);
    }
    return *this;
}

CNuvException::~CNuvException() {
    delete[] m_message;
    delete[] m_narrow;
}

void CNuvException::Swap(CNuvException& other) noexcept {
    std::swap(m_message, other.m_message);
    std::swap(m_code, other.m_code);
    std::swap(m_narrow, other.m_narrow);
}

const char* CNuvException::what() const noexcept {
    if (m_message == nullptr) return kUnknownA;
    if (m_narrow == nullptr) {
        const int bytes = ::WideCharToMultiByte(CP_THREAD_ACP, 0, m_message, -1, nullptr, 0, nullptr, nullptr);
        if (bytes <= 0) return kUnknownA;
        char* const narrow = new (std::nothrow) char[bytes];
        if (narrow == nullptr) return kUnknownA;
        if (::WideCharToMultiByte(CP_THREAD_ACP, 0, m_message, -1, narrow, bytes, nullptr, nullptr) != bytes) {
            delete[] narrow;
            return kUnknownA;
        }
        m_narrow = narrow;
    }
    return m_narrow;
}

const wchar_t* CNuvException::Message() const noexcept { return m_message != nullptr ? m_message : kUnknownW; }

CNuvException CNuvException::FromProcessorException(const EXCEPTION_RECORD& record) noexcept {
    return CNuvException(kProcessorException, static_cast<unsigned>(record.ExceptionCode),
                         static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(record.ExceptionAddress)));
}
