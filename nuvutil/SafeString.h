#pragma once
// Owned narrow and wide texts used instead of raw character arrays.
//
// CSafeStringA keeps 16-bit size and length fields, so a text holds at most 65534 characters.
// Counts and positions are taken as int so that no caller's value is cut to 16 bits on the way
// in; an operation whose result would not fit throws CSafeStringTooLong, a std::bad_alloc (the
// class's one failure kind, which its callers already handle), before it changes anything.
// Allocation failures throw std::bad_alloc.

#include <cstdint>
#include <new>
#include <string>

// A text the 16-bit size fields cannot hold.
class CSafeStringTooLong : public std::bad_alloc {
public:
    const char* what() const noexcept override { return "CSafeStringA: text longer than 65534 characters"; }
};

class CSafeStringA {
public:
    static constexpr int kMaxLength = 0xFFFE;  // the size field must still hold the terminator

    // A null text gives the empty text (in a buffer of 1 byte).
    explicit CSafeStringA(const char* text = nullptr);
    CSafeStringA(const CSafeStringA& other);
    CSafeStringA(CSafeStringA&& other) noexcept;
    virtual ~CSafeStringA();

    CSafeStringA& operator=(const CSafeStringA& other);
    CSafeStringA& operator=(CSafeStringA&& other) noexcept;

    // Without a buffer: a new buffer of n + 1 bytes holding n bytes of the text (zeros for a null
    // text). With one: Assign (text, n). A negative n means up to the terminator.
    void Create(const char* text, int n);

    // The first n characters of the text (a terminator in the text ends the copy, the rest is
    // filled with zeros); n < 0 means up to the terminator (0 for a null text). Returns the buffer.
    char* Assign(const char* text, int n = -1);

    // Grows the buffer to at least max(n, 1) bytes (never shrinks) and cuts the text to at most
    // max(n - 1, 0) characters.
    virtual void SetBufferSize(int n);
    virtual void Empty();
    virtual void Free() noexcept;

    CSafeStringA Mid(int pos, int count) const;
    // Index 0 to the length (the terminator); any other index throws std::bad_alloc.
    char GetAt(int i) const;
    int Find(const char* text) const;
    int SpanExcluding(const char* set) const;
    // Offset of the last of the non-overlapping matches found from the start; -1 for none or for
    // an empty needle.
    int FindLast(const CSafeStringA& needle) const;
    int ReverseFind(char ch, int start) const;

    // Replaces every occurrence of `what`, searching again from the start after each replacement.
    // When `with` contains `what` that would never end: such a call makes one left-to-right pass,
    // replacing each occurrence the text had. An empty or null `what` changes nothing.
    void Replace(const char* what, const char* with);
    // A negative count means up to the terminator (0 for a null text); pos is clamped to the length.
    void Insert(int pos, const char* text, int count);
    void Delete(int pos, int count);
    void Truncate(int n);
    void TruncateAtSubstring(const char* text);

    // URL parts, taken apart as NuvUrl::SplitAuthority and NuvUrl::PathOf describe (a URL that
    // does not begin with "http://", in any case, is read as if it did; the userinfo goes; parts of
    // any length). Each returns false for an empty URL or an unavailable part, and the out text is
    // then empty. A URL without a host ("/index.html") has an empty one.
    // The host as the URL writes it (case kept), without one trailing '.'.
    static bool GetHost(const CSafeStringA& url, CSafeStringA& host);
    // The registrable domain of the host: its last two labels, or three when the top-level label
    // has at most two characters (then without a leading "www."); a numeric address, a single
    // label or a host of two labels stays whole.
    static bool GetDomain(const CSafeStringA& url, CSafeStringA& domain);
    // From the first '/' behind an optional "http://", cut before the first '?', ';' or '#'.
    static bool GetPath(const CSafeStringA& url, CSafeStringA& path);
    // What follows the host's ':' (possibly empty); unavailable without a ':'.
    static bool GetPort(const CSafeStringA& url, CSafeStringA& port);
    // Whether the text begins with a scheme: one or more of A-Z, a-z, 0-9, '+', '-', '.' directly
    // followed by ':'. A host with a port ("host:8080/") counts as one.
    bool HasScheme() const noexcept;
    bool LacksScheme() const noexcept { return !HasScheme(); }

    // Read directly by callers. Invariant while m_pBuffer exists: m_nLength < m_nBufferSize and
    // m_pBuffer[m_nLength] == 0.
    char* m_pBuffer = nullptr;
    std::uint16_t m_nBufferSize = 0;
    std::uint16_t m_nLength = 0;
};

// A wide text with standard string semantics; counts are not limited to 16 bits.
class CSafeStringW {
public:
    CSafeStringW();
    CSafeStringW(const CSafeStringW& other);
    // A null text gives the empty text.
    explicit CSafeStringW(const wchar_t* text);
    CSafeStringW& operator=(const CSafeStringW& other);

    virtual void Empty();
    virtual ~CSafeStringW();

    void Assign(const CSafeStringW& other);
    // A null text leaves the string unchanged.
    void Assign(const wchar_t* text);
    void Append(const wchar_t* text, int count);
    // Nothing when pos is past the length, the text is null or count is 0; a negative count means
    // up to the terminator.
    void Insert(int pos, const wchar_t* text, int count);

    // Ordinal, code unit by code unit up to the terminator: -1, 0 or 1; 0 for a null text.
    int Compare(const wchar_t* text) const;
    bool IsEqual(const wchar_t* text) const;
    bool IsEqual(const CSafeStringW& other) const;

    const wchar_t* GetString() const noexcept { return m_text.c_str(); }
    int GetLength() const noexcept { return static_cast<int>(m_text.size()); }
    // Cuts the text or pads it with zero code units up to n.
    void SetLength(int n);

    // printf-style with Microsoft's conventions ("%s" wide). Output that does not fit 20480
    // characters with its terminator leaves the text as it was.
    CSafeStringW& Format(const wchar_t* format, ...);

    // As CSafeStringA::Replace.
    void Replace(const wchar_t* what, const wchar_t* with);

private:
    std::wstring m_text;
};
