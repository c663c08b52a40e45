#pragma once
// The JSON documents of the product DLLs: RapidJSON with UTF-16 text (wchar_t), and the one way
// they are read and written. Every JSON class of the product (the plug-in's parser, the bus
// library's formatter and parser, the analytics record) parses and serialises here, so the
// nesting limit and the refusal of NaN and infinities hold everywhere. Linking nuvutil brings the
// RapidJSON headers (nuv::rapidjson).

#include <rapidjson/document.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cmath>
#include <cwchar>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace NuvJson {

using Encoding = rapidjson::UTF16<wchar_t>;
using Document = rapidjson::GenericDocument<Encoding>;
using Value = rapidjson::GenericValue<Encoding>;
using Allocator = Document::AllocatorType;

// Arrays and objects nested deeper are refused by every parse. Parsing, copying and writing a
// value recurse once a level, and texts come from the bus and from files anyone may edit: this
// keeps a hostile payload far from the end of a thread's stack.
inline constexpr unsigned kMaxDepth = 256;
// Room of the parse stack a document is made with.
inline constexpr std::size_t kParseStack = 1024;

// A string value of the text up to its first NUL, copied into the document.
inline Value TextValue(const wchar_t* text, Allocator& allocator) {
    return Value(text, static_cast<rapidjson::SizeType>(std::wcslen(text)), allocator);
}

// RapidJSON writes NaN and infinities only as invalid JSON (or stops in the middle of the text);
// setters refuse them instead.
inline bool IsWritable(double number) noexcept { return std::isfinite(number); }

enum class Escapes {
    // Quotation mark, reverse solidus and C0 control characters; everything else as it is.
    kMinimal,
    // Also the solidus and U+007F to U+009F, for readers that embed the text in pages and logs.
    kSolidusAndC1,
};

namespace internal {

// Forwards the reader's events to the document and refuses one level past the limit.
class DepthLimit {
public:
    explicit DepthLimit(Document& document) noexcept : m_document(document) {}

    bool Null() { return m_document.Null(); }
    bool Bool(bool b) { return m_document.Bool(b); }
    bool Int(int i) { return m_document.Int(i); }
    bool Uint(unsigned u) { return m_document.Uint(u); }
    bool Int64(std::int64_t i) { return m_document.Int64(i); }
    bool Uint64(std::uint64_t u) { return m_document.Uint64(u); }
    bool Double(double d) { return m_document.Double(d); }
    bool RawNumber(const wchar_t* text, rapidjson::SizeType length, bool copy) {
        return m_document.RawNumber(text, length, copy);
    }
    bool String(const wchar_t* text, rapidjson::SizeType length, bool copy) { return m_document.String(text, length, copy); }
    bool Key(const wchar_t* text, rapidjson::SizeType length, bool copy) { return m_document.Key(text, length, copy); }
    bool StartObject() { return ++m_depth <= kMaxDepth && m_document.StartObject(); }
    bool EndObject(rapidjson::SizeType members) {
        --m_depth;
        return m_document.EndObject(members);
    }
    bool StartArray() { return ++m_depth <= kMaxDepth && m_document.StartArray(); }
    bool EndArray(rapidjson::SizeType elements) {
        --m_depth;
        return m_document.EndArray(elements);
    }

private:
    Document& m_document;
    unsigned m_depth = 0;
};

// Runs the reader for Document::Populate, which takes the root only when the parse succeeded.
class Source {
public:
    explicit Source(const wchar_t* text) noexcept : m_text(text) {}
    bool operator()(Document& document) {
        rapidjson::GenericStringStream<Encoding> stream(m_text);
        DepthLimit handler(document);
        rapidjson::GenericReader<Encoding, Encoding> reader;
        // Full precision: every number written reads back to the same double, so a text written
        // and read again stays the same.
        m_ok = !reader.Parse<rapidjson::kParseFullPrecisionFlag>(stream, handler).IsError();
        return m_ok;
    }
    bool Ok() const noexcept { return m_ok; }

private:
    const wchar_t* m_text;
    bool m_ok = false;
};

using Buffer = rapidjson::GenericStringBuffer<Encoding>;

// RapidJSON's writer with the wider escape set: only String and Key differ, and Accept calls them
// on this type.
class StrictWriter : public rapidjson::Writer<Buffer, Encoding, Encoding> {
public:
    using rapidjson::Writer<Buffer, Encoding, Encoding>::Writer;

    bool String(const wchar_t* text, rapidjson::SizeType length, bool = false) {
        Prefix(rapidjson::kStringType);
        return EndValue(Write(text, length));
    }
    bool Key(const wchar_t* text, rapidjson::SizeType length, bool copy = false) { return String(text, length, copy); }

private:
    bool Write(const wchar_t* text, rapidjson::SizeType length) {
        static const wchar_t kHex[] = L"0123456789ABCDEF";
        os_->Put(L'"');
        for (rapidjson::SizeType n = 0; n < length; ++n) {
            const wchar_t c = text[n];
            wchar_t letter = 0;
            switch (c) {
                case L'"': letter = L'"'; break;
                case L'\\': letter = L'\\'; break;
                case L'/': letter = L'/'; break;
                case L'\b': letter = L'b'; break;
                case L'\f': letter = L'f'; break;
                case L'\n': letter = L'n'; break;
                case L'\r': letter = L'r'; break;
                case L'\t': letter = L't'; break;
                default: break;
            }
            if (letter != 0) {
                os_->Put(L'\\');
                os_->Put(letter);
            } else if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
                const wchar_t escaped[] = {L'\\', L'u', L'0', L'0', kHex[(c >> 4) & 0xF], kHex[c & 0xF]};
                for (const wchar_t e : escaped) os_->Put(e);
            } else {
                os_->Put(c);
            }
        }
        os_->Put(L'"');
        return true;
    }
};

template <class Writer>
bool Write(const Value& value, std::wstring& out) {
    Buffer buffer;
    Writer writer(buffer);
    if (!value.Accept(writer)) return false;
    // The buffer counts bytes.
    out.assign(buffer.GetString(), buffer.GetSize() / sizeof(wchar_t));
    return true;
}

}  // namespace internal

// Compact text: no white space, members and elements in document order, floating-point numbers
// in the shortest form that reads back the same, with at least one decimal (5.0). False, and out
// unchanged, when the value holds NaN or an infinity.
inline bool ToString(const Value& value, std::wstring& out, Escapes escapes = Escapes::kMinimal) {
    if (escapes == Escapes::kSolidusAndC1) return internal::Write<internal::StrictWriter>(value, out);
    return internal::Write<rapidjson::Writer<internal::Buffer, Encoding, Encoding>>(value, out);
}

// The same; an empty text when the value cannot be written.
inline std::wstring ToString(const Value& value) {
    std::wstring text;
    ToString(value, text);
    return text;
}

// Parses one JSON value (white space around it allowed; no comments, no trailing commas; numbers
// read to the nearest double) into the document. A failure leaves the document as it was. The
// text ends at its first NUL.
inline bool Parse(Document& document, const wchar_t* text) {
    if (text == nullptr) return false;
    internal::Source source(text);
    document.Populate(source);
    return source.Ok();
}

// The whole text: a NUL character is no JSON anywhere in it (the reader would take it for the end
// and accept what came before).
inline bool Parse(Document& document, const std::wstring& text) {
    if (text.find(L'\0') != std::wstring::npos) return false;
    return Parse(document, text.c_str());
}

// The first member of that name (same length, same UTF-16 code units), or null when the value is
// no object or has no such member.
inline const Value* FindMember(const Value& object, const wchar_t* name, std::size_t length) {
    if (!object.IsObject()) return nullptr;
    const auto member = object.FindMember(Value(rapidjson::StringRef(name, static_cast<rapidjson::SizeType>(length))));
    return member == object.MemberEnd() ? nullptr : &member->value;
}
inline Value* FindMember(Value& object, const wchar_t* name, std::size_t length) {
    return const_cast<Value*>(FindMember(static_cast<const Value&>(object), name, length));
}

// Removes the first member named like `name` the way RapidJSON does (the last member moves into
// its place) and appends (name, value) at the end: with members a, b, c, setting a gives c, b, a.
// Both values are moved in. The object must be an object.
inline void SetMember(Value& object, Value& name, Value& value, Allocator& allocator) {
    const auto member = object.FindMember(name);
    if (member != object.MemberEnd()) object.RemoveMember(member);
    object.AddMember(name, value, allocator);
}

// The text in UTF-16LE after the byte-order mark FF FE, written in blocks of 256 bytes. False for
// a null file, a value that cannot be written, or a failed write. The caller opens and closes it.
bool WriteFile(const Value& value, std::FILE* file);

// Reads the file to its end as UTF-16LE, with or without the byte-order mark FF FE, and parses
// the whole text as Parse(document, std::wstring) does. An odd number of bytes is refused.
bool ParseFile(Document& document, std::FILE* file);

}  // namespace NuvJson
