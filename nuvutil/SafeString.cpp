#include "nuvutil/SafeString.h"

#include "base/Format.h"
#include "logging/Logging.h"
#include "nuvutil/ByteSearch.h"
#include "nuvutil/UrlCanonical.h"

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace {

constexpr std::size_t kMaxChars = CSafeStringA::kMaxLength;
constexpr std::size_t kMaxBytes = kMaxChars + 1;

[[noreturn]] void ThrowTooLong() { throw CSafeStringTooLong(); }

// memcpy_s-like: a null source leaves zeros in the target and reports the failure.
bool CopyBytes(char* target, const char* source, std::size_t n) noexcept {
    if (n == 0) return true;
    if (source == nullptr) {
        std::memset(target, 0, n);
        return false;
    }
    std::memmove(target, source, n);
    return true;
}

std::size_t CountOf(const char* text, int n) noexcept {
    if (n >= 0) return static_cast<std::size_t>(n);
    return text != nullptr ? std::strlen(text) : 0;
}

// How far `text` lies inside the string's buffer: 0 when it lies outside, else the bytes from
// `text` to the buffer's end. A text taken from the string itself must be copied before the
// buffer moves.
std::size_t BytesInside(const CSafeStringA& s, const char* text) noexcept {
    if (text == nullptr || s.m_pBuffer == nullptr) return 0;
    const std::less<const char*> before;
    const char* const end = s.m_pBuffer + s.m_nBufferSize;
    if (before(text, s.m_pBuffer) || !before(text, end)) return 0;
    return static_cast<std::size_t>(end - text);
}

// Replaces every occurrence of `what` with `with`, as CSafeStringA::Replace describes. False when
// a step would make the text longer than maxLength (the text is then half done; callers work on a
// copy).
template <class Char>
bool ReplaceAll(std::basic_string<Char>& text, const Char* what, const Char* with, std::size_t maxLength) {
    using View = std::basic_string_view<Char>;
    if (what == nullptr || *what == 0) return true;
    const View whatView(what);
    const View withView = with != nullptr ? View(with) : View();
    const auto grownSize = [&] { return text.size() - whatView.size() + withView.size(); };

    if (withView.find(whatView) != View::npos) {
        // Restarting would find `what` inside each replacement forever: one pass, each search
        // starting behind the text just put in.
        for (std::size_t pos = 0; (pos = text.find(whatView.data(), pos, whatView.size())) != text.npos;
             pos += withView.size()) {
            if (grownSize() > maxLength) return false;
            text.replace(pos, whatView.size(), withView.data(), withView.size());
        }
        return true;
    }

    // Search again from the start after each replacement. Nothing before the replaced occurrence
    // changed and it held no occurrence, so a search from whatLength - 1 characters before it
    // finds the same first occurrence as one from the start.
    std::size_t from = 0;
    for (;;) {
        const std::size_t pos = text.find(whatView.data(), from, whatView.size());
        if (pos == text.npos) return true;
        if (grownSize() > maxLength) return false;
        text.replace(pos, whatView.size(), withView.data(), withView.size());
        from = pos >= whatView.size() - 1 ? pos - (whatView.size() - 1) : 0;
    }
}

}  // namespace

// ---- CSafeStringA ----

CSafeStringA::CSafeStringA(const char* text) {
    const std::size_t length = text != nullptr ? std::strlen(text) : 0;
    if (length > kMaxChars) ThrowTooLong();
    Create(text, static_cast<int>(length));
}

CSafeStringA::CSafeStringA(const CSafeStringA& other) { *this = other; }

CSafeStringA::CSafeStringA(CSafeStringA&& other) noexcept
    : m_pBuffer(std::exchange(other.m_pBuffer, nullptr)),
      m_nBufferSize(std::exchange(other.m_nBufferSize, 0)),
      m_nLength(std::exchange(other.m_nLength, 0)) {}

CSafeStringA::~CSafeStringA() { Free(); }

CSafeStringA& CSafeStringA::operator=(const CSafeStringA& other) {
    if (this == &other) return *this;
    const std::size_t length = other.m_pBuffer != nullptr ? other.m_nLength : 0;
    if (m_nBufferSize < length + 1) SetBufferSize(static_cast<int>(length + 1));
    if (length > 0) std::memcpy(m_pBuffer, other.m_pBuffer, length);
    m_pBuffer[length] = 0;
    m_nLength = static_cast<std::uint16_t>(length);
    return *this;
}

CSafeStringA& CSafeStringA::operator=(CSafeStringA&& other) noexcept {
    if (this != &other) {
        Free();
        m_pBuffer = std::exchange(other.m_pBuffer, nullptr);
        m_nBufferSize = std::exchange(other.m_nBufferSize, 0);
        m_nLength = std::exchange(other.m_nLength, 0);
    }
    return *this;
}

void CSafeStringA::Create(const char* text, int n) {
    if (m_pBuffer != nullptr) {
        Assign(text, n);
        return;
    }
    const std::size_t length = CountOf(text, n);
    if (length > kMaxChars) ThrowTooLong();
    Free();
    char* const buffer = static_cast<char*>(std::malloc(length + 1));
    if (buffer == nullptr) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"*** Unable to allocate %d bytes! ***\r\n", static_cast<int>(length + 1));
        throw std::bad_alloc();
    }
    m_pBuffer = buffer;
    m_nBufferSize = static_cast<std::uint16_t>(length + 1);
    m_nLength = static_cast<std::uint16_t>(length);
    if (text == nullptr) {
        std::memset(m_pBuffer, 0, length);
    } else if (!CopyBytes(m_pBuffer, text, length)) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to copy memory to (Create())m_pBuffer (Err %d)\r\n",
                static_cast<int>(::GetLastError()));
    }
    m_pBuffer[length] = 0;
}

char* CSafeStringA::Assign(const char* text, int n) {
    const std::size_t length = CountOf(text, n);
    if (length > kMaxChars) ThrowTooLong();
    if (const std::size_t inside = BytesInside(*this, text)) {
        const std::string copy(text, ::strnlen(text, std::min(length, inside)));
        return Assign(copy.c_str(), static_cast<int>(length));
    }
    if (m_nBufferSize < length + 1) SetBufferSize(static_cast<int>(length + 1));
    // Up to the first NUL; the rest of the length is zeros.
    const std::size_t copied = text != nullptr ? NuvBytes::FindByte(text, length, '\0') : 0;
    if (copied > 0) std::memcpy(m_pBuffer, text, copied);
    std::memset(m_pBuffer + copied, 0, length - copied);
    m_nLength = static_cast<std::uint16_t>(length);
    m_pBuffer[length] = 0;
    return m_pBuffer;
}

void CSafeStringA::SetBufferSize(int n) {
    if (n > static_cast<int>(kMaxBytes)) ThrowTooLong();
    const std::size_t wanted = n < 1 ? 1 : static_cast<std::size_t>(n);
    if (m_pBuffer == nullptr || m_nBufferSize < wanted) {
        char* const grown = static_cast<char*>(std::realloc(m_pBuffer, wanted));
        if (grown == nullptr) throw std::bad_alloc();
        if (m_pBuffer == nullptr) m_nLength = 0;
        m_pBuffer = grown;
        m_nBufferSize = static_cast<std::uint16_t>(wanted);
    }
    const std::size_t cut = wanted - 1;
    m_pBuffer[cut] = 0;
    if (m_nLength > cut) m_nLength = static_cast<std::uint16_t>(cut);
    m_pBuffer[m_nLength] = 0;
}

void CSafeStringA::Empty() {
    if (m_pBuffer == nullptr) {
        Create("", 0);
        return;
    }
    m_nLength = 0;
    m_pBuffer[0] = 0;
}

void CSafeStringA::Free() noexcept {
    std::free(m_pBuffer);
    m_pBuffer = nullptr;
    m_nBufferSize = 0;
    m_nLength = 0;
}

CSafeStringA CSafeStringA::Mid(int pos, int count) const {
    CSafeStringA result;
    if (pos < 0 || pos > m_nLength || count < 1) return result;
    // Callers should stay within the text; a run past its end is cut there.
    const int available = m_nLength - pos;
    const int taken = std::min(count, available);
    if (taken > 0) result.Assign(m_pBuffer + pos, taken);
    return result;
}

char CSafeStringA::GetAt(int i) const {
    if (i < 0 || i > m_nLength) throw std::bad_alloc();
    return m_pBuffer != nullptr ? m_pBuffer[i] : 0;
}

int CSafeStringA::Find(const char* text) const {
    if (text == nullptr) return -1;
    const char* const haystack = m_pBuffer != nullptr ? m_pBuffer : "";
    const char* const found = std::strstr(haystack, text);
    return found != nullptr ? static_cast<int>(found - haystack) : -1;
}

int CSafeStringA::SpanExcluding(const char* set) const {
    if (m_pBuffer == nullptr) return 0;
    if (set == nullptr) return m_nLength;
    return static_cast<int>(std::strcspn(m_pBuffer, set));
}

int CSafeStringA::FindLast(const CSafeStringA& needle) const {
    if (m_pBuffer == nullptr || needle.m_pBuffer == nullptr || needle.m_nLength == 0) return -1;
    int last = -1;
    std::size_t from = 0;
    while (from <= m_nLength) {
        const char* const found = std::strstr(m_pBuffer + from, needle.m_pBuffer);
        if (found == nullptr) break;
        last = static_cast<int>(found - m_pBuffer);
        from = static_cast<std::size_t>(last) + needle.m_nLength;
    }
    return last;
}

int CSafeStringA::ReverseFind(char ch, int start) const {
    if (m_pBuffer == nullptr || m_nLength == 0) return -1;
    if (start < 0 || start >= m_nLength) start = m_nLength - 1;
    for (int i = start; i >= 0; --i) {
        if (m_pBuffer[i] == ch) return i;
    }
    return -1;
}

void CSafeStringA::Replace(const char* what, const char* with) {
    std::string copy = m_pBuffer != nullptr ? std::string(m_pBuffer, m_nLength) : std::string();
    if (!ReplaceAll(copy, what, with, kMaxChars)) ThrowTooLong();
    Create(copy.c_str(), static_cast<int>(copy.size()));
}

void CSafeStringA::Insert(int pos, const char* text, int count) {
    const std::size_t n = CountOf(text, count);
    if (n == 0) return;
    if (n > kMaxChars - m_nLength) ThrowTooLong();
    std::string aliasCopy;
    if (const std::size_t inside = BytesInside(*this, text)) {
        aliasCopy.assign(text, std::min(n, inside));
        aliasCopy.resize(n, 0);
        text = aliasCopy.data();
    }
    SetBufferSize(static_cast<int>(m_nLength + n + 1));
    const std::size_t at = pos < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(pos), m_nLength);
    std::memmove(m_pBuffer + at + n, m_pBuffer + at, m_nLength - at);
    if (!CopyBytes(m_pBuffer + at, text, n)) {
        NUV_LOG(ETWLogging::LOG_ERROR, L"Failed to copy memory to (Insert())m_pBuffer Insert function(Err %d)\r\n",
                static_cast<int>(::GetLastError()));
    }
    m_nLength = static_cast<std::uint16_t>(m_nLength + n);
    m_pBuffer[m_nLength] = 0;
}

void CSafeStringA::Delete(int pos, int count) {
    if (m_pBuffer == nullptr || pos < 0 || pos > m_nLength || count < 1) return;
    const int removed = std::min(count, m_nLength - pos);
    std::memmove(m_pBuffer + pos, m_pBuffer + pos + removed, static_cast<std::size_t>(m_nLength - pos - removed));
    Truncate(m_nLength - removed);
}

void CSafeStringA::Truncate(int n) {
    if (n < 0) n = 0;
    if (m_pBuffer != nullptr && m_nLength > n) {
        m_nLength = static_cast<std::uint16_t>(n);
        m_pBuffer[n] = 0;
    }
}

void CSafeStringA::TruncateAtSubstring(const char* text) {
    const int at = Find(text);
    if (at >= 0) Truncate(at);
}

// ---- URL parts ----

namespace {

bool IsSchemeCharacter(char c) noexcept {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '-' ||
           c == '.';
}

std::string_view ViewOf(const CSafeStringA& s) noexcept {
    return s.m_pBuffer != nullptr ? std::string_view(s.m_pBuffer, ::strnlen(s.m_pBuffer, s.m_nLength)) : std::string_view();
}

void AssignView(CSafeStringA& out, std::string_view text) {
    // A view into `out` itself is copied by Assign before the buffer moves.
    out.Assign(text.data(), static_cast<int>(text.size()));
}

// The host as GetHost gives it: one trailing '.' goes.
bool HostOf(const CSafeStringA& url, std::string_view& host) {
    NuvUrl::Authority parts;
    if (!NuvUrl::SplitAuthority(ViewOf(url), parts)) return false;
    host = parts.host;
    if (!host.empty() && host.back() == '.') host.remove_suffix(1);
    return true;
}

}  // namespace

bool CSafeStringA::GetHost(const CSafeStringA& url, CSafeStringA& host) {
    std::string_view text;
    if (!HostOf(url, text)) {
        host.Empty();
        return false;
    }
    const std::string copy(text);  // `host` may be `url`
    AssignView(host, copy);
    return true;
}

bool CSafeStringA::GetDomain(const CSafeStringA& url, CSafeStringA& domain) {
    std::string_view host;
    if (!HostOf(url, host)) {
        domain.Empty();
        return false;
    }
    AssignView(domain, NuvUrl::RegistrableDomain(host));
    return true;
}

bool CSafeStringA::GetPath(const CSafeStringA& url, CSafeStringA& path) {
    const std::string result(NuvUrl::PathOf(ViewOf(url)));
    AssignView(path, result);
    return !result.empty();
}

bool CSafeStringA::GetPort(const CSafeStringA& url, CSafeStringA& port) {
    NuvUrl::Authority parts;
    if (!NuvUrl::SplitAuthority(ViewOf(url), parts) || !parts.hasPort) {
        port.Empty();
        return false;
    }
    const std::string copy(parts.port);
    AssignView(port, copy);
    return true;
}

bool CSafeStringA::HasScheme() const noexcept {
    if (m_pBuffer == nullptr) return false;
    int i = 0;
    while (i < m_nLength && IsSchemeCharacter(m_pBuffer[i])) ++i;
    return i > 0 && i < m_nLength && m_pBuffer[i] == ':';
}

// ---- CSafeStringW ----

namespace {

constexpr std::size_t kFormatStep = 2048;
constexpr std::size_t kFormatLimit = 20480;

// The text when the output fits one of the buffers of 2048, 4096, ... 20480 characters.
bool FormatInSteps(std::wstring& text, const wchar_t* format, va_list args) {
    wchar_t small[kFormatStep];
    std::unique_ptr<wchar_t[]> large;
    for (std::size_t size = kFormatStep; size <= kFormatLimit; size += kFormatStep) {
        wchar_t* buffer = small;
        if (size > kFormatStep) {
            large.reset();
            large.reset(new wchar_t[size]);
            buffer = large.get();
        }
        if (Tessal::FormatToV(buffer, size, format, args) >= 0) {
            text.assign(buffer);
            return true;
        }
    }
    return false;
}

}  // namespace

CSafeStringW::CSafeStringW() = default;

CSafeStringW::CSafeStringW(const CSafeStringW& other) : m_text(other.GetString()) {}

CSafeStringW::CSafeStringW(const wchar_t* text) : m_text(text != nullptr ? text : L"") {}

CSafeStringW& CSafeStringW::operator=(const CSafeStringW& other) {
    Assign(other);
    return *this;
}

void CSafeStringW::Empty() { m_text.clear(); }

CSafeStringW::~CSafeStringW() = default;

void CSafeStringW::Assign(const CSafeStringW& other) {
    if (this != &other) m_text.assign(other.GetString());
}

void CSafeStringW::Assign(const wchar_t* text) {
    if (text != nullptr) m_text.assign(text);
}

void CSafeStringW::Append(const wchar_t* text, int count) {
    if (text == nullptr || count == 0) return;
    Insert(GetLength(), text, count);
}

void CSafeStringW::Insert(int pos, const wchar_t* text, int count) {
    if (pos < 0 || static_cast<std::size_t>(pos) > m_text.size() || text == nullptr || count == 0) return;
    const std::size_t n = count < 0 ? std::wcslen(text) : static_cast<std::size_t>(count);
    m_text.insert(static_cast<std::size_t>(pos), text, n);
}

int CSafeStringW::Compare(const wchar_t* text) const {
    if (text == nullptr) return 0;
    for (const wchar_t* own = m_text.c_str();; ++own, ++text) {
        const auto a = static_cast<std::uint16_t>(*own);
        const auto b = static_cast<std::uint16_t>(*text);
        if (a != b) return a < b ? -1 : 1;
        if (a == 0) return 0;
    }
}

bool CSafeStringW::IsEqual(const wchar_t* text) const { return text != nullptr && Compare(text) == 0; }

bool CSafeStringW::IsEqual(const CSafeStringW& other) const {
    return m_text.size() == other.m_text.size() && Compare(other.GetString()) == 0;
}

void CSafeStringW::SetLength(int n) { m_text.resize(n < 0 ? 0 : static_cast<std::size_t>(n), L'\0'); }

CSafeStringW& CSafeStringW::Format(const wchar_t* format, ...) {
    if (format == nullptr) return *this;
    va_list args;
    va_start(args, format);
    try {
        FormatInSteps(m_text, format, args);
    } catch (...) {
        va_end(args);
        throw;
    }
    va_end(args);
    return *this;
}

void CSafeStringW::Replace(const wchar_t* what, const wchar_t* with) {
    std::wstring copy = m_text;
    ReplaceAll(copy, what, with, copy.max_size());
    m_text.swap(copy);
}
