#pragma once
// The bus library's JSON document: reads bus payloads and stored settings (typed members, arrays
// of strings, integers or objects, any member as text) and builds payloads (typed setters,
// arrays, members given as JSON text). Its root is null until something is parsed or set.
//
// Every keyed operation takes `const wchar_t*` names and texts, taken up to their first NUL, and
// has a `const std::wstring&` form that passes on the character pointers. Names compare exactly.
// The root of the wrong kind is never touched: getters answer false (leaving `out` untouched) when
// the key is null, the root is no object, the member is missing or of the wrong kind; setters on
// a root that is no object replace it by an empty object first; a null key makes setters,
// appends and JSON-text operations do nothing. Parsing refuses nesting deeper than
// NuvJson::kMaxDepth.

#include "nuvutil/json/JsonText.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace Korin {

class JSONParser {
public:
    JSONParser();
    virtual ~JSONParser();
    JSONParser(const JSONParser&) = delete;
    JSONParser& operator=(const JSONParser&) = delete;

    // A text that does not parse leaves the document as it was; one that does replaces the root,
    // whatever its kind. A null text is false.
    virtual bool parse(const std::wstring& text);
    virtual bool parse(const wchar_t* text);
    // UTF-16LE, with or without the byte-order mark FF FE, to the end of the stream. The caller
    // opens and closes it; a null stream is false.
    virtual bool parseFile(std::FILE* stream);
    // Compact text; "null" for a new parser.
    virtual std::wstring toString() const;
    // FF FE and the compact text in UTF-16LE; false for a null stream or a failed write.
    virtual bool writeFile(std::FILE* stream) const;

    virtual bool getBool(const std::wstring& key, bool& out) const;
    virtual bool getBool(const wchar_t* key, bool& out) const;
    // Up to the string's first NUL.
    virtual bool getString(const std::wstring& key, std::wstring& out) const;
    virtual bool getString(const wchar_t* key, std::wstring& out) const;
    virtual bool getInt(const std::wstring& key, int& out) const;
    virtual bool getInt(const wchar_t* key, int& out) const;
    virtual bool getInt64(const std::wstring& key, std::int64_t& out) const;
    virtual bool getInt64(const wchar_t* key, std::int64_t& out) const;
    virtual bool getUint(const std::wstring& key, unsigned& out) const;
    virtual bool getUint(const wchar_t* key, unsigned& out) const;
    virtual bool getUint64(const std::wstring& key, std::uint64_t& out) const;
    virtual bool getUint64(const wchar_t* key, std::uint64_t& out) const;
    // Only a floating-point number: an integral one (5, not 5.0) is refused.
    virtual bool getDouble(const std::wstring& key, double& out) const;
    virtual bool getDouble(const wchar_t* key, double& out) const;
    // The member must be an array. Without a member name (null or empty) each element must be a
    // string; with one, an object whose member of that name is a string. The first element that
    // does not fit ends with false; what was appended before it stays.
    virtual bool getStringArray(const std::wstring& key, std::vector<std::wstring>& out,
                                const std::wstring& memberName = std::wstring()) const;
    virtual bool getStringArray(const wchar_t* key, std::vector<std::wstring>& out, const wchar_t* memberName = nullptr) const;
    // The compact text of each object of the array, rebuilt member by member: a later duplicate
    // name replaces an earlier one and strings end at their first NUL. The first element that is
    // no object ends with false.
    virtual bool getObjectArray(const std::wstring& key, std::vector<std::wstring>& out) const;
    virtual bool getObjectArray(const wchar_t* key, std::vector<std::wstring>& out) const;
    // As getStringArray, for integral numbers in the 32-bit signed range.
    virtual bool getIntArray(const std::wstring& key, std::vector<int>& out, const std::wstring& memberName = std::wstring()) const;
    virtual bool getIntArray(const wchar_t* key, std::vector<int>& out, const wchar_t* memberName = nullptr) const;
    // Any kind: null gives the empty text, a string its text up to its first NUL, anything else
    // its compact JSON text.
    virtual bool getValueAsString(const std::wstring& key, std::wstring& out) const;
    virtual bool getValueAsString(const wchar_t* key, std::wstring& out) const;

    virtual void setBool(const std::wstring& key, bool value);
    virtual void setBool(const wchar_t* key, bool value);
    // A null value does nothing.
    virtual void setString(const std::wstring& key, const std::wstring& value);
    virtual void setString(const std::wstring& key, const wchar_t* value);
    virtual void setString(const wchar_t* key, const std::wstring& value);
    virtual void setString(const wchar_t* key, const wchar_t* value);
    virtual void setInt(const std::wstring& key, int value);
    virtual void setInt(const wchar_t* key, int value);
    virtual void setInt64(const std::wstring& key, std::int64_t value);
    virtual void setInt64(const wchar_t* key, std::int64_t value);
    virtual void setUint(const std::wstring& key, unsigned value);
    virtual void setUint(const wchar_t* key, unsigned value);
    virtual void setUint64(const std::wstring& key, std::uint64_t value);
    virtual void setUint64(const wchar_t* key, std::uint64_t value);
    // NaN and infinities have no JSON form: nothing changes.
    virtual void setDouble(const std::wstring& key, double value);
    virtual void setDouble(const wchar_t* key, double value);
    virtual void setIntArray(const std::wstring& key, const std::vector<int>& values);
    virtual void setIntArray(const wchar_t* key, const std::vector<int>& values);
    virtual void setStringArray(const std::wstring& key, const std::vector<std::wstring>& values);
    virtual void setStringArray(const wchar_t* key, const std::vector<std::wstring>& values);
    // Null entries are skipped.
    virtual void setStringArray(const wchar_t* key, const std::vector<const wchar_t*>& values);
    // Appends to the array member (added empty at the end when missing) a copy of the text, or with
    // a member name an object {memberName: value}. A null value, or a member that is no array,
    // does nothing.
    virtual void appendToArray(const std::wstring& key, const std::wstring& value,
                               const std::wstring& memberName = std::wstring());
    virtual void appendToArray(const wchar_t* key, const wchar_t* value, const wchar_t* memberName = nullptr);
    // The member becomes the value the text parses to (any kind); a text that does not parse does
    // nothing.
    virtual void setJson(const wchar_t* key, const wchar_t* jsonText);
    // As setJson, pushed at the end of the array member (see appendToArray).
    virtual void appendJson(const wchar_t* key, const wchar_t* jsonText);
    // An object loses all its members; any other root is left as it is.
    virtual void clear();
    // False only for an object with at least one member.
    virtual bool isEmpty() const;

private:
    void setMember(NuvJson::Value& name, NuvJson::Value& value);
    void appendValue(NuvJson::Value& name, NuvJson::Value& value);
    const NuvJson::Value* member(const wchar_t* key) const;
    NuvJson::Allocator& allocator() const { return m_document->GetAllocator(); }

    std::shared_ptr<NuvJson::Document> m_document;
};

}  // namespace Korin
